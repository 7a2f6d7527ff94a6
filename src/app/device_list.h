#pragma once
// The device list of the main window: discovery of the candidate disks,
// identification of each, the device table and the list's items.
namespace brigant
{

class TBrigantFwTool;

// The whole discovery: enumerates, identifies each candidate, fills the
// device table and the device list, selects item 0 and runs UpdateBtnCheck.
void RefreshDeviceList(TBrigantFwTool &form);

} // namespace brigant
