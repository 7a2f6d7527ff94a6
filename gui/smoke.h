#pragma once
// Whether every text on the screen fits its widget.
#include <QString>

#include <string>
#include <vector>

namespace brigant::gui
{

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

} // namespace brigant::gui
