#include "gui/gui_session.h"

#include "app/update_journal.h"

namespace brigant::gui
{

GuiSession::GuiSession() = default;

GuiSession::~GuiSession() = default;

bool GuiSession::start(const GuiOptions &options, std::string &error)
{
    runtime::RuntimeOptions run;
    run.simulate = options.simulate;
    run.simState = options.simState;
    run.device = options.device;
    run.trace = options.trace;
    run.traceFile = options.traceFile;
    run.debug = options.debug;
    // Not root: the installed helper, authorised through polkit, sends the commands.
    run.helper = runtime::HelperUse::UnlessRoot;
    // A simulated command never lets the window's events run in its middle,
    // and the bridges' delays on the bus pass in real time.
    run.simulatedTime = runtime::SimulatedTime::RealPlusWaits;
    run.programClock = &clock_;
    run.program = "brigant-fwtool";
    run.verb = "(the window)";
    if (const auto failure = runtime_.start(run)) {
        error = failure->kind == runtime::StartFailure::Kind::NoDevice ? "--device: " + failure->text
                                                                       : failure->text;
        return false;
    }
    // The update journal: for real bridges, or for simulated ones with a kept state.
    if (options.simulate.empty())
        EnableJournalForRealBridges();
    else
        SetJournalForSimulation(options.simState);
    watch_.setBackend(runtime_.backend());
    watch_.setEnumerator(runtime_.diskEnumerator());
    services_.backend(&watch_).diskEnumerator(&watch_);
    return true;
}

} // namespace brigant::gui
