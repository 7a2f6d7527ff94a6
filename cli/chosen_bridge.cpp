#include "cli/chosen_bridge.h"

#include "cli/say.h"
#include "device/enumerator.h"
#include "device/transport.h"

#include <vector>

namespace brigant::cli
{

void WarnWhenDisksUnlisted()
{
    std::vector<DiskInterface> disks;
    if (DiskEnumerator *enumerator = CurrentDiskEnumerator(); !enumerator || !enumerator->listDisks(disks))
        SayWarning().as(MessageCode::Access) << "the list of disks could not be read (is udev running?)";
}

int ChooseBridge(CliContext &ctx, int index, ChosenBridge &chosen)
{
    ReadSettings(chosen.settings);
    const BridgeList list = DiscoverBridges();
    const int listed = static_cast<int>(list.listed.size());
    if (listed == 0) {
        WarnWhenDisksUnlisted();
        if (!ReportAccessProblem(ctx.runtime) && !ReportUnaskedDisks(true))
            SayError().as(MessageCode::NoDevice) << "no disk behind a supported bridge was found";
        return kExitNoDevice;
    }
    return ChooseListed(ctx, list, index, chosen);
}

int ChooseListed(CliContext &ctx, const BridgeList &list, int index, ChosenBridge &chosen)
{
    const int listed = static_cast<int>(list.listed.size());
    if (index >= listed)
        return IndexOutOfRange(index, listed);
    const ListedBridge &bridge = list.listed[static_cast<std::size_t>(index > 0 ? index : 0)];
    if (const int claimed = ClaimBridge(ctx, bridge.entry.path); claimed != kExitOk)
        return claimed;
    ListedBridge held = bridge;
    held.entry.busy.clear(); // this run holds it now
    IdentifyListed(held, list.candidateCount, chosen);
    // A bridge that went away while it was identified (its power cut, its
    // cable pulled) left a state that is not its own: nothing is written.
    const TransportFailure &gone = LastTransportFailure();
    if (FailingSinceCommand() != 0 && gone.path == chosen.entry.path && gone.openFailed &&
        gone.openError == OpenError::NotFound) {
        SayError().as(MessageCode::Failed)
            << chosen.entry.path << " stopped answering while it was identified (disconnected or without "
            << "power?): nothing was written; connect it and run the same command again";
        return kExitNoDevice;
    }
    return kExitOk;
}

void IdentifyListed(const ListedBridge &listed, int candidateCount, ChosenBridge &chosen,
                    const ChipIdentity &carried)
{
    chosen.entry = listed.entry;
    chosen.item = listed.item;
    chosen.candidateCount = candidateCount;
    PlainProbeHost host;
    IdentifyOptions options;
    options.repairBank = false; // look first; write only once confirmed
    options.carried = carried;
    chosen.state = IdentifyBridge(host, chosen.entry, options);
    chosen.transfer = host.transfer();
}

} // namespace brigant::cli
