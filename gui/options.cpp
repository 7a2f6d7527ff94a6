#include "gui/options.h"

#include "common/version.h"
#include "gui/qt_ui_services.h"
#include "gui/smoke.h"
#include "sim/presets.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <iterator>
#include <unistd.h>

namespace brigant::gui
{

ParsedOptions ParseGuiOptions(int argc, char **argv, GuiOptions &options, bool leaveRestToQt)
{
    CLI::App app{"Brigant Firmware Update Utility for Linux: the window"};
    app.allow_extras(leaveRestToQt);
    app.set_version_flag("--version", std::string("brigant-fwtool ") + kVersionText);
    app.add_option("--simulate", options.simulate,
                   "Use a simulated device: PRESET[:key=value,...] (repeat for several; 'help' lists them)")
        ->type_name("PRESET")
        ->expected(1)
        ->take_all();
    app.add_option("--device", options.device,
                   "SCSI generic node of the bridge's disk, e.g. /dev/sg2 (with --simulate: sim:sgN); "
                   "the window lists that disk only")
        ->type_name("NODE");
    app.add_option("--sim-state", options.simState, "Directory that keeps the simulated devices' state")
        ->type_name("DIR");
    auto *trace =
        app.add_option("--trace", options.traceFile,
                       "Write one line per SCSI command (to FILE or stderr); also BRIGANT_TRACE=FILE")
            ->type_name("FILE")
            ->expected(0, 1);
    app.add_flag("--debug", options.debug, "Print the program's debug trace to standard error");
    app.add_flag("--advanced", options.advanced, "Also show every control of the full tool");
    app.add_option("--screenshot", options.screenshot, "Render the window to a PNG file and quit")
        ->type_name("FILE")
        ->group("");
    // The smoke test's: states of the window on the screen, checked and pictured.
    app.add_option("--smoke", options.smoke, "Drive the window to STATE, then take the screenshot")
        ->type_name("STATE")
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(kSmokeStates), std::end(kSmokeStates))))
        ->group("");
    app.add_option("--smoke-file", options.smokeFile, "The firmware file the confirm state loads")
        ->type_name("FILE")
        ->group("");
    app.footer("Qt's own options (such as -platform offscreen) are accepted as well.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return {app.exit(e), {}}; // --help, --version
    } catch (const CLI::ParseError &e) {
        return {2, std::string(e.what()) + "\nRun with --help for more information."};
    }
    const char *smokeError = nullptr;
    if (!options.smoke.empty() && options.screenshot.empty())
        smokeError = "--smoke needs --screenshot";
    else if ((options.smoke == "confirm") != !options.smokeFile.empty())
        smokeError = "--smoke-file goes with --smoke confirm, which needs it";
    if (smokeError)
        return {2, std::string(smokeError) + "\nRun with --help for more information."};
    if (options.simulate.size() == 1 && options.simulate[0] == "help") {
        std::cout << sim::PresetHelp();
        return {0, {}};
    }
    options.trace = trace->count() > 0;
    if (!options.trace) {
        const char *env = std::getenv("BRIGANT_TRACE");
        if (env && *env) {
            options.trace = true;
            options.traceFile = env;
        }
    }
    return {};
}

bool StartedFromTerminal() { return ::isatty(STDIN_FILENO) || ::isatty(STDERR_FILENO); }

void ReportStartError(const std::string &text, bool terminal)
{
    if (terminal) {
        std::cerr << "brigant-fwtool: error: " << text << "\n";
        return;
    }
    QtUiServices().messageBox(text, "Error", MessageKind::Error);
}

} // namespace brigant::gui
