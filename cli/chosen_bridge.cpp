#include "cli/chosen_bridge.h"

#include "cli/say.h"

namespace brigant::cli
{

int ChooseBridge(CliContext &ctx, int index, ChosenBridge &chosen)
{
    ReadSettings(chosen.settings);
    const BridgeList list = DiscoverBridges();
    const int listed = static_cast<int>(list.listed.size());
    if (listed == 0) {
        if (!ReportAccessProblem(ctx.runtime) && !ReportUnaskedDisks(true))
            SayError() << "no disk behind a supported bridge was found";
        return kExitNoDevice;
    }
    if (index >= listed) {
        SayError() << "--index " << index << ": the device list has entries 0 to " << listed - 1;
        return kExitUsage;
    }
    const ListedBridge &bridge = list.listed[static_cast<std::size_t>(index > 0 ? index : 0)];
    chosen.entry = bridge.entry;
    chosen.item = bridge.item;
    chosen.candidateCount = list.candidateCount;
    if (const int claimed = ClaimBridge(ctx, chosen.entry.path); claimed != kExitOk)
        return claimed;
    chosen.entry.busy.clear(); // this run holds it now
    PlainProbeHost host;
    IdentifyOptions options;
    options.repairBank = false; // look first; write only once confirmed
    chosen.state = IdentifyBridge(host, chosen.entry, options);
    chosen.transfer = host.transfer();
    return kExitOk;
}

} // namespace brigant::cli
