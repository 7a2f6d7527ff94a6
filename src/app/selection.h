#pragma once
// The selection handler of the main window: identifies the selected device,
// checks the chosen firmware file against it, probes the flash, reads the
// running firmware version and decides what the identification fields show
// and whether Run is enabled.
namespace brigant
{

class TBrigantFwTool;

// The change handler of DeviceList and FwFilenameEdit.
void UpdateBtnCheck(TBrigantFwTool &form);
// The change handler of DeviceList: UpdateBtnCheck, then, unless a one-button
// run is in progress, the one-button face's verdict on the device chosen (the
// status line and whether the update button is offered).
void DeviceListChange(TBrigantFwTool &form);
// Makes DeviceListChange the change handler of DeviceList and UpdateBtnCheck
// that of FwFilenameEdit.
void WireIdentificationHandlers(TBrigantFwTool &form);

} // namespace brigant
