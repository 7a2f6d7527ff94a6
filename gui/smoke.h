#pragma once
// The window's smoke run (--smoke STATE --screenshot FILE): drives a face to
// one of its result states as a user would, checks that every text on the
// screen fits its widget, and saves what the screen shows.
#include <QString>

#include <string>
#include <vector>

namespace brigant::gui
{

class FwToolApp;
struct GuiOptions;

// The states a smoke run ends in.
inline constexpr const char *kSmokeStates[] = {"success", "failure", "confirm"};

// A text its widget cuts: the widget's name, the text, and the pixels it
// needs against those the widget has for it.
struct Misfit {
    QString widget;
    QString text;
    int needed = 0;
    int room = 0;
    bool height = false; // a wrapped text too tall, else a line too wide
};

// Every text the user can see (labels, buttons, line edits, combo boxes,
// message boxes) that does not fit its widget.
std::vector<Misfit> TextsThatDoNotFit();
// "does not fit: NAME: TEXT (NEEDED > ROOM px)".
std::string Describe(const Misfit &misfit);

// Drives the shown window `app` to the state options.smoke names and saves
// the screen to options.screenshot; the program's exit status (problems on
// standard error).
int RunSmoke(FwToolApp &app, const GuiOptions &options);

} // namespace brigant::gui
