#pragma once
// The selection handler of the main window: identifies the selected device,
// checks the chosen firmware file against it, probes the flash, reads the
// running firmware version and decides what the identification fields show
// and whether Run is enabled.
namespace brigant
{

class TBrigantFwTool;

// The change handler of DeviceList and FwFilenameEdit.
void UpdateBtnCheck(TBrigantFwTool &window);
// Makes UpdateBtnCheck the change handler of DeviceList and FwFilenameEdit.
void WireIdentificationHandlers(TBrigantFwTool &window);

} // namespace brigant
