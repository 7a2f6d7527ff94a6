// brigant-fwtool: the window of the firmware update utility.
#include "common/version.h"
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "gui/options.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <exception>
#include <iostream>

using namespace brigant;
using namespace brigant::gui;

namespace
{

const char *const kApplicationTitle = "Velkor Brigant Firmware Update Utility";

} // namespace

int main(int argc, char **argv)
{
    const bool terminal = StartedFromTerminal();
    // First pass: --help and --version need no display, and a usage error on
    // a terminal is told there. What the program does not know may be Qt's.
    GuiOptions options;
    const ParsedOptions first = ParseGuiOptions(argc, argv, options, true);
    if (first.exitCode && (first.error.empty() || terminal)) {
        if (!first.error.empty())
            ReportStartError(first.error, true);
        return *first.exitCode;
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
