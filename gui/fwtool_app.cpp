#include "gui/fwtool_app.h"

#include "app/device_change.h"
#include "app/fwupdate_handlers.h"
#include "app/window_run.h"
#include "app/write_guard.h"
#include "cli/cli_context.h"

#include <QGuiApplication>
#include <QScreen>

namespace brigant::gui
{

FwToolApp::FwToolApp(GuiSession &session, Face face) : session_(session), face_(face) {}

FwToolApp::~FwToolApp()
{
    SetWindowRehearsal(nullptr);
    SetWritePhaseListener(nullptr);
    // The handlers reach the UI services through Ui(); stop that first.
    if (form_)
        UnregisterDeviceNotifications(*form_);
    uiInstalled_.reset();
    view_.reset();
    form_.reset();
}

void FwToolApp::create()
{
    uiInstalled_.emplace().ui(&ui_);
    form_ = std::make_unique<TBrigantFwTool>();
    WireMainWindow(*form_);
    // Run and the update button write only after the mount check and a backup.
    WireWriteGuards(*form_);
    view_ = std::make_unique<FwToolView>(*form_, face_);
    ui_.setParentWidget(view_.get());
    view_->setAfterUserAction([this] { reportAccessProblem(); });
    ui_.setDispatchHooks([this] { view_->enterHandler(); },
                         [this] {
                             view_->leaveHandler();
                             view_->syncWindow();
                             reportAccessProblem();
                         });

    SetWindowRehearsal([this](TBrigantFwTool &form, const WritePlan &plan) { return rehearse(form, plan); });
    SetWritePhaseListener([this](WritePhase) { view_->updateAll(); });

    ConstructMainWindow(*form_);
    passFail_ = std::make_unique<TPassFailForm>();
    FormCreate(*form_);
    view_->syncWindow();

    if (DeviceChangeSource *changes = session_.deviceChanges()) {
        auto deliver = [this, changes] { DeliverDeviceChanges(*form_, *changes); };
        if (session_.deviceChangeFd() >= 0)
            ui_.watchSocket(session_.deviceChangeFd(), deliver);
        else
            ui_.pollEvery(kSimulatedBusPollMs, deliver);
    }
}

void FwToolApp::show()
{
    view_->show();
    if (QScreen *screen = QGuiApplication::primaryScreen())
        view_->move(screen->availableGeometry().center() - view_->rect().center());
    reportAccessProblem();
}

RehearsalVerdict FwToolApp::rehearse(TBrigantFwTool &form, const WritePlan &plan)
{
    RehearsalVerdict verdict;
    // The box is the full tool's; in the advanced window it covers the
    // one-button update above it too.
    const RunRequest req = RequestFromWindow(form);
    if (!view_->rehearseFirst() || (!plan.builtIn && req.mode == RunMode::BackupOnly) ||
        form.updateRunning != 0 || form.DeviceList.itemIndex() < 0)
        return verdict;
    verdict.ran = true;
    cli::CliContext ctx;
    ctx.runtime = &session_.runtime();
    ctx.simulation = session_.runtime().simulation();
    const std::string path = form.selectedEntry().path;
    ctx.attachDevice = [path](std::string &p) {
        p = path;
        return true;
    };
    form.StatusEdit.setText("Rehearsing on the device's twin...");
    std::string reason;
    const int rc =
        plan.builtIn
            ? cli::RehearseBuiltInRun(ctx, form.DeviceList.itemIndex(), verdict.plan, reason)
            : cli::RehearseFullToolRun(ctx, form.DeviceList.itemIndex(), req.mode == RunMode::EraseOnly,
                                       req.firmwareFile, req.includeNvram && form.selected.nvramOffered,
                                       req.readWriteBuffer, verdict.plan, reason);
    verdict.ok = rc == cli::kExitOk;
    verdict.reason = reason.empty() ? "exit status " + std::to_string(rc) : reason;
    form.StatusEdit.setText("");
    return verdict;
}

void FwToolApp::reportAccessProblem()
{
    // Not in the middle of a handler (a refresh inside an update's wait):
    // the problem stays pending until the outermost one has returned.
    if (view_ && view_->busy())
        return;
    if (auto text = session_.accessWatch().takeReport())
        ui_.messageBox(*text, "Error", MessageKind::Error);
}

} // namespace brigant::gui
