#pragma once
// The main window's view of a device, for --verbose: the one place where the
// command line builds the window (headless, silent), selects the device in
// it as a user would, and renders the fields the window's selection handler
// leaves. The verbs themselves work from the bridge's state, not from this.
#include "device/device_entry.h"
#include "forms/controls.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace brigant::cli
{

struct WindowFieldsView {
    std::string text;                     // "Window:" and a line per field and shown check box
    nlohmann::json fields;                // {"<field name>": {"caption", "text", "shown"}}
    std::vector<std::string> statusTexts; // the status line's texts on the way
};

// The fields of the window with `entry` (listed as `item`) selected.
// Identifies the bridge once more, with no bank repair; says nothing.
WindowFieldsView ViewWindowFields(const DeviceEntry &entry, const std::string &item);

// The window after its Refresh Device action, each listed item chosen in turn.
struct WindowListView {
    std::vector<std::string> statuses; // the status line with item i chosen
    bool listEnabled = false;
    int candidateCount = 0;
    std::string statusLine; // the one-button status line, as it ends
    forms::Colour statusLineColour{};
};
// Discovers and identifies every bridge once more, as the window's refresh
// does; says nothing.
WindowListView ViewWindowList();

} // namespace brigant::cli
