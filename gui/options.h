#pragma once
// The window program's command line, and how a problem with it reaches the
// user: on standard error when started from a terminal, else in a message box.
#include "gui/gui_session.h"

#include <optional>
#include <string>

namespace brigant::gui
{

struct ParsedOptions {
    std::optional<int> exitCode; // stop with this code; nothing: open the window
    std::string error;           // what is wrong with the command line, if anything
};

// Parses the program's options into `options`. With `leaveRestToQt` the
// options the program does not know are left for QApplication (before it has
// taken its own out of argv); without it they are errors. --help, --version
// and --simulate help print to standard output and stop with 0.
ParsedOptions ParseGuiOptions(int argc, char **argv, GuiOptions &options, bool leaveRestToQt);

// Whether the program runs from a terminal: standard input or error is one.
bool StartedFromTerminal();

// Tells the user why the program cannot start: on standard error from a
// terminal, else in an error box (a QApplication must exist then).
void ReportStartError(const std::string &text, bool terminal);

} // namespace brigant::gui
