#include "gui/fwtool_app.h"

#include "app/device_change.h"
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/window_run.h"
#include "app/write_guard.h"
#include "rehearse/rehearsal.h"

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
    form.StatusEdit.setText("Rehearsing on the device's twin...");
    // The device is recorded as the device list finds it, then the write
    // rehearsed on its twin.
    RehearsalPlan rehearsed;
    {
        // Its message boxes are the recording's and the twin's: not shown.
        InstalledServices quiet;
        quiet.ui(nullptr);
        CommandRecorder recorder;
        RecordTarget target;
        const auto unrecorded = [&](const std::string &why) {
            verdict.ok = false;
            verdict.reason = why;
            form.StatusEdit.setText("");
            return verdict;
        };
        if (!ListedTarget(form.selectedEntry().path, target))
            return unrecorded(form.selectedEntry().path + " is no longer listed");
        const Recording recording = RecordBridge(recorder, target);
        if (!recording.failure.empty())
            return unrecorded(recording.failure);
        RehearsalRequest request;
        request.verb = plan.builtIn                     ? RehearsedVerb::EmbeddedUpdate
                       : req.mode == RunMode::EraseOnly ? RehearsedVerb::Erase
                                                        : RehearsedVerb::Update;
        request.file = req.firmwareFile;
        request.includeNvram = req.includeNvram && form.selected.nvramOffered;
        request.readWriteBuffer = req.readWriteBuffer;
        // The window writes the same version, or an older one, when asked to.
        request.versions.allowReinstall = true;
        request.versions.allowOlder = true;
        rehearsed = RehearseOnTwin(recording, request);
    }
    verdict.ok = rehearsed.end == RehearsalEnd::Written;
    verdict.reason = rehearsed.reason.empty() ? "the rehearsal did not write" : rehearsed.reason;
    for (const std::string &line : PlanLines(rehearsed))
        verdict.plan += line + "\n";
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
