// brigant-fwtool: the window of the firmware update utility.
#include "common/version.h"
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "sim/presets.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdlib>
#include <exception>
#include <iostream>

using namespace brigant;
using namespace brigant::gui;

namespace
{

const char *const kApplicationTitle = "Velkor Brigant Firmware Update Utility";

// Parses the program's options and lets Qt's own (-platform, ...) through to
// QApplication; returns an exit code when the program should stop right away
// (--help, --version, --simulate help, a usage error), before any display is
// needed.
std::optional<int> ParseOptions(int argc, char **argv, GuiOptions &options)
{
    CLI::App app{"Brigant Firmware Update Utility for Linux: the window"};
    app.allow_extras();
    app.set_version_flag("--version", std::string("brigant-fwtool ") + kVersionText);
    app.add_option("--simulate", options.simulate,
                   "Use a simulated device: PRESET[:key=value,...] (repeat for several; 'help' lists them)")
        ->expected(1)
        ->take_all();
    app.add_option("--sim-state", options.simState, "Directory that keeps the simulated devices' state");
    auto *trace =
        app.add_option("--trace", options.traceFile,
                       "Write one line per SCSI command (to FILE or stderr); also BRIGANT_TRACE=FILE")
            ->expected(0, 1);
    app.add_flag("--debug", options.debug, "Print the program's debug trace to standard error");
    app.add_flag("--advanced", options.advanced, "Also show every control of the full tool");
    app.add_option("--screenshot", options.screenshot, "Render the window to a PNG file and quit")->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (options.simulate.size() == 1 && options.simulate[0] == "help") {
        std::cout << sim::PresetHelp();
        return 0;
    }
    options.trace = trace->count() > 0;
    if (!options.trace) {
        const char *env = std::getenv("BRIGANT_TRACE");
        if (env && *env) {
            options.trace = true;
            options.traceFile = env;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    GuiOptions options;
    if (auto code = ParseOptions(argc, argv, options))
        return *code;

    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brigant-fwtool"));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersionText));
    QApplication::setApplicationDisplayName(QString::fromLatin1(kApplicationTitle));

    GuiSession session;
    std::string error;
    if (!session.start(options, error)) {
        std::cerr << "error: " << error << "\n";
        return 2;
    }

    int code = 0;
    try {
        FwToolApp window(session, options.advanced ? Face::Advanced : Face::Delivered);
        window.create();
        if (!options.screenshot.empty()) {
            window.view().show();
            QTimer::singleShot(100, &qapp, [&] {
                if (!window.view().grab().save(QString::fromStdString(options.screenshot))) {
                    std::cerr << "error: cannot write " << options.screenshot << "\n";
                    code = 1;
                }
                QApplication::quit();
            });
            QApplication::exec();
        } else {
            window.show();
            QApplication::exec();
        }
    } catch (const std::exception &e) {
        // The application's last word on anything that escaped a handler.
        QMessageBox::critical(nullptr, QString::fromLatin1(kApplicationTitle),
                              QString::fromStdString(e.what()));
    }

    if (!session.saveSimState(error)) {
        std::cerr << "error: " << error << "\n";
        return 1;
    }
    return code;
}
