#pragma once
// The one-button face of the main window: its status line and the Refresh
// Device action that decides whether the update button is offered.
#include "device/device_entry.h"
#include "forms/controls.h"
#include "model/fwupdate.h"

#include <cstdint>

#include <string>

namespace brigant
{

class TBrigantFwTool;

// The bridge model the one-button update is made for.
constexpr int kOneButtonChipType = 16;

// The one-button status line (devpnl): the colour and text of `state`, which
// the window keeps as its one-button state.
void ShowOneButtonStatus(TBrigantFwTool &form, OneButtonState state);

// What the face decides for a listed bridge (identified as `chipType`):
// the state its status line shows, and whether its button is enabled.
// RunsFromRom is shown after IdMismatch; Offered is kept, not shown; Blank
// shows nothing new. Asks the bridge its chip information (and, on a model
// mismatch, whether it runs from ROM).
struct OneButtonDecision {
    OneButtonState state = OneButtonState::Blank;
    bool buttonEnabled = false;
};
OneButtonDecision DecideOneButton(const DeviceEntry &entry, std::uint8_t chipType, bool updateRunning);

// First step of every refresh: shows the status line, hides the replug hint,
// disables the update button and, unless a run is in progress, empties the
// progress bar.
void RefreshStart(TBrigantFwTool &form);
// Last step of every refresh: compares the first listed device's running
// firmware with the embedded update image and offers the update button when
// the identities match and the versions differ.
void RefreshEnd(TBrigantFwTool &form);

// Puts `text` (empty: nothing) on the face's result line, below its
// progress bar, until the next run.
void ShowOneButtonResult(TBrigantFwTool &form, const std::string &text);

// Says on the result line what a run waits for (not kept as its result).
void ShowOneButtonWait(TBrigantFwTool &form, const std::string &text);

// Whether the update button offers the built-in image's update. On a
// bridge that runs from its ROM the same button brings the firmware back
// (a recovery), which is no update offer.
bool UpdateOffered(const TBrigantFwTool &form);

// The Refresh Device action: RefreshStart, RefreshDeviceList, RefreshEnd.
void RefreshBtnClick(TBrigantFwTool &form);

} // namespace brigant
