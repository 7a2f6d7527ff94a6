#pragma once
// The main window's device-change and timer handlers: USB arrivals and
// removals restart the refresh timer, and the timer runs the Refresh Device
// action once the bus has settled.
#include "device/enumerator.h"

namespace brigant
{

class TBrigantFwTool;

// An arrival (outside a one-button run) sets the status line to the prompt in
// blue; both events restart timer 101, with 1200 ms after an arrival and
// 200 ms after a removal, so a burst of events leads to one refresh.
void FormDeviceChange(TBrigantFwTool &form, DeviceChange change);

// Lets pending messages run; then, for timer 101, stops it and runs the
// Refresh Device action.
void FormTimer(TBrigantFwTool &form, int timerId);

// Routes the UI services' timer to FormTimer and starts taking device
// changes; Unregister stops both and the refresh timer.
void RegisterDeviceNotifications(TBrigantFwTool &form);
void UnregisterDeviceNotifications(TBrigantFwTool &form);

// Hands the changes `source` has collected to FormDeviceChange (dropped while
// the window is not registered); returns how many there were. Event loops
// call it when the source has something to report.
int DeliverDeviceChanges(TBrigantFwTool &form, DeviceChangeSource &source);

} // namespace brigant
