// brigant-fw update --embedded: the one-button update, headless.
#include "app/one_button.h"
#include "cli/cli_context.h"
#include "cli/window_session.h"
#include "device/transport.h"

#include <iostream>
#include <memory>

namespace brigant::cli
{

namespace
{

struct UpdateArgs {
    bool embedded = false;
    int index = -1;
};

// Prints the status line and the progress as they change: each step of a
// long operation is one dot on the line of the status text it belongs to.
void FollowWindow(TBrigantFwTool &form, forms::HeadlessUi &ui, std::ostream &out)
{
    auto midLine = std::make_shared<bool>(false);
    auto stepDot = std::make_shared<bool>(false); // the next status change is a step's dot
    auto endLine = [&out, midLine] {
        if (*midLine)
            out << "\n";
        *midLine = false;
    };
    // The colour is set before the text, so a new text is printed with its own colour.
    auto lastCaption = std::make_shared<std::string>(form.devpnl.caption());
    form.devpnl.addObserver([&out, endLine, lastCaption](forms::Control &c) {
        if (c.caption() == *lastCaption)
            return;
        *lastCaption = c.caption();
        endLine();
        out << "status: " << c.caption() << " (" << forms::ColourName(c.fontColour()) << ")\n" << std::flush;
    });
    ui.onProgress = [&out, midLine, stepDot](const ProgressEvent &) {
        out << '.' << std::flush;
        *midLine = true;
        *stepDot = true;
    };
    form.StatusEdit.addObserver([&out, midLine, stepDot, endLine](forms::Control &c) {
        if (*stepDot) {
            *stepDot = false;
            return;
        }
        const std::string &text = static_cast<forms::LabeledEdit &>(c).text();
        if (!text.empty()) {
            endLine();
            out << "  " << text << std::flush;
            *midLine = true;
        }
    });
    auto lastPosition = std::make_shared<int>(0);
    form.ProgressBar2.addObserver([&out, lastPosition, endLine](forms::Control &c) {
        const int position = static_cast<forms::ProgressBar &>(c).position();
        if (position == *lastPosition)
            return;
        *lastPosition = position;
        endLine();
        out << "progress: " << position << "%\n" << std::flush;
    });
}

int RunUpdate(CliContext &ctx, const UpdateArgs &args)
{
    if (!args.embedded) {
        std::cerr << "error: only the one-button update is available: use update --embedded\n";
        return kExitUsage;
    }
    WindowSession session(ctx, std::cout);
    TBrigantFwTool &form = session.form();
    FollowWindow(form, session.ui(), std::cout);
    session.open();
    if (session.enumerationFailed())
        std::cerr << "warning: the list of disks could not be read (is udev running?)\n";
    if (form.listedCount == 0) {
        const TransportFailure &f = LastTransportFailure();
        if (f.openError == OpenError::PermissionDenied || f.sysErrno == EPERM || f.sysErrno == EACCES)
            std::cerr << "error: " << DescribeLastTransportFailure() << "\n";
    }
    if (args.index >= 0) {
        if (args.index >= form.listedCount) {
            std::cerr << "error: --index " << args.index << ": " << form.listedCount << " device(s) listed\n";
            return kExitUsage;
        }
        form.DeviceList.select(args.index);
        RefreshEnd(form);
    }
    if (!form.YesBtn.enabled()) {
        const std::string status = form.devpnl.caption();
        std::cout << "update not offered: " << status << "\n";
        if (status == "Firmware already updated.")
            return kExitNothingToDo;
        if (status == "No device found!!" || status == "Chip not support!!" || form.listedCount == 0)
            return kExitNoDevice;
        return kExitFailed;
    }
    std::cout << "updating " << form.selectedEntry().path << ": " << form.YesBtn.caption() << "\n";
    form.YesBtn.click();
    const bool passed = form.devpnl.caption() == "Update    Pass!!";
    // Let the refresh that follows the bridge's return run.
    session.ui().runTimers(10000);
    return passed ? kExitOk : kExitFailed;
}

} // namespace

void RegisterUpdateCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<UpdateArgs>();
    auto *update = app.add_subcommand("update", "Update a bridge's firmware");
    update->add_flag(
        "--embedded", args->embedded,
        "Program the firmware image built into the program (one-button update of a code-16 bridge)");
    update->add_option("--index", args->index, "Device list entry to update (default: the first)")
        ->check(CLI::NonNegativeNumber);
    update->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunUpdate(ctx, *args); }; });
}

} // namespace brigant::cli
