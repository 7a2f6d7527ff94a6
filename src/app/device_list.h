#pragma once
// The device list: discovery of the candidate disks and identification of
// each, as a list of bridges (the window's device table and list items are
// filled from it).
#include "device/device_entry.h"
#include "device/enumerator.h"

#include <functional>
#include <string>
#include <vector>

namespace brigant
{

class TBrigantFwTool;

// A listed bridge and its item in the device list ("<<USB>> " and the
// inquiry name, "(busy)" for one another program of ours works on).
struct ListedBridge {
    DeviceEntry entry;
    std::string item;
};

struct BridgeList {
    int candidateCount = 0; // the candidate disks enumerated
    std::vector<ListedBridge> listed;
};

// What a discovery tells as it goes: the number of candidate disks once
// they are enumerated; then, for each candidate, its entry before it is
// asked anything (without its volumes), and the bridge if it is listed.
struct DiscoveryEvents {
    std::function<void(int candidates)> enumerated;
    std::function<void(const DeviceEntry &)> asking;
    std::function<void(const ListedBridge &)> listed;
    // Which candidates to ask at all (unset: every one); the others are
    // sent nothing and not listed.
    std::function<bool(const DiskInterface &)> wanted;
};

// Enumerates the candidate disks and asks each what it is: a disk whose chip
// is not identified is left out (said in the unasked disks when it gave no
// answer at all). A chip information read that fails, and a list that is
// full, are said through the UI services' message box on the way. Items
// that read the same name the port where their bridge is plugged in (where
// the platform gives one).
BridgeList DiscoverBridges(const DiscoveryEvents &events = {});

// "USB", "UASP" or "1394".
const char *BusName(BusKind bus);
// A device list item without its bus tag, runs of blanks as one blank.
std::string ProductText(const std::string &item);

// The whole discovery: enumerates, identifies each candidate, fills the
// device table and the device list, selects item 0 and runs UpdateBtnCheck.
void RefreshDeviceList(TBrigantFwTool &form);

} // namespace brigant
