// brigant-fwtool: the window of the firmware update utility.
#include "common/version.h"
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "gui/options.h"
#include "gui/smoke.h"

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

bool Set(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

// Whether Qt can open a window (or was told a platform): without one it
// aborts, so the program says so itself first.
bool HaveDisplay() { return Set("QT_QPA_PLATFORM") || Set("DISPLAY") || Set("WAYLAND_DISPLAY"); }

} // namespace

int main(int argc, char **argv)
{
    const bool terminal = StartedFromTerminal();
    // First pass: --help and --version need no display, and a usage error on
    // a terminal is told there. What the program does not know may be Qt's.
    GuiOptions options;
    const ParsedOptions first = ParseGuiOptions(argc, argv, options, true);
    if (first.exitCode && (first.error.empty() || terminal || !HaveDisplay())) {
        if (!first.error.empty())
            ReportStartError(first.error, true);
        return *first.exitCode;
    }
    if (!HaveDisplay()) {
        // No window to tell it in, and no Qt to take its options: what is
        // left unknown is a usage error on standard error.
        GuiOptions strict;
        if (const ParsedOptions parsed = ParseGuiOptions(argc, argv, strict, false); parsed.exitCode) {
            ReportStartError(parsed.error, true);
            return *parsed.exitCode;
        }
        std::cerr << "error: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset); "
                     "brigant-fw is the command-line tool\n";
        return 1;
    }

    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brigant-fwtool"));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersionText));
    QApplication::setApplicationDisplayName(QString::fromLatin1(kApplicationTitle));
    if (first.exitCode) {
        ReportStartError(first.error, false);
        return *first.exitCode;
    }
    // Qt has taken its own options out of argv: whatever is left is unknown.
    GuiOptions rest;
    if (const ParsedOptions second = ParseGuiOptions(argc, argv, rest, false); second.exitCode) {
        ReportStartError(second.error, terminal);
        return *second.exitCode;
    }

    GuiSession session;
    std::string error;
    if (!session.start(options, error)) {
        ReportStartError(error, terminal);
        return 2;
    }

    int code = 0;
    try {
        FwToolApp window(session, options.advanced ? Face::Advanced : Face::Delivered);
        window.create();
        if (!options.smoke.empty()) {
            window.show();
            code = RunSmoke(window, options);
        } else if (!options.screenshot.empty()) {
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
