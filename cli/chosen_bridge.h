#pragma once
// The bridge a write verb works on, chosen without the window: the device
// list's entry --index, claimed for this run, then identified (a damaged
// bank is told, not repaired).
#include "app/bridge_state.h"
#include "app/device_list.h"
#include "app/settings.h"
#include "cli/cli_context.h"
#include "flash/transfer_state.h"

#include <string>

namespace brigant::cli
{

struct ChosenBridge {
    DeviceEntry entry;
    std::string item;       // its device list item
    int candidateCount = 0; // the candidate disks of the discovery
    BridgeState state;
    TransferState transfer; // what identification learnt of the flash's geometry
    INI_STATE settings;     // the settings file, read as the window reads it
};

// Says that the platform's list of disks could not be read, when it could not
// (discovery found no bridge: the list may be why).
void WarnWhenDisksUnlisted();

// kExitOk with `chosen` filled; else the exit status, after saying why (no
// bridge, an index out of range, a bridge another program holds, a bridge
// that stopped answering while it was identified).
int ChooseBridge(CliContext &ctx, int index, ChosenBridge &chosen);
// The same on a list already made (the settings are left to the caller).
int ChooseListed(CliContext &ctx, const BridgeList &list, int index, ChosenBridge &chosen);

// Identifies `listed` into `chosen` (its settings left as they are), with
// no bank repair; the chip values the probes do not reach are `carried`'s,
// as the window carries them from one selection to the next.
void IdentifyListed(const ListedBridge &listed, int candidateCount, ChosenBridge &chosen,
                    const ChipIdentity &carried = {});

} // namespace brigant::cli
