// Waiting for a bridge to come back after it was told to reset.
#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "identify/candidates.h"
#include "update/assisted/buffer_transfer.h"

#include <algorithm>
#include <vector>

namespace brigant
{

namespace
{

constexpr int kReattachAttempts = 60;

// Where the bridge at `path` sits on its bus, from the platform's list of disks.
std::string LocationOf(const std::string &path)
{
    std::vector<DiskInterface> disks;
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    if (!enumerator || !enumerator->listDisks(disks))
        return {};
    for (const DiskInterface &disk : disks)
        if (disk.path == path)
            return disk.location;
    return {};
}

// The index in `found` of the bridge that was reset, or -1 while it is away.
// Known by its bus location; without one, by the number of candidates coming
// back to what it was before the reset (any other bridge attached meanwhile
// would be mistaken for it, which is why the location is asked first).
int ReturnedBridge(const std::vector<DiskInterface> &found, const std::string &location,
                   std::size_t candidatesBefore)
{
    if (!location.empty()) {
        for (std::size_t i = 0; i < found.size(); ++i)
            if (found[i].location == location)
                return static_cast<int>(i);
        return -1;
    }
    return !found.empty() && found.size() >= candidatesBefore ? 0 : -1;
}

} // namespace

int ResetAndWaitReattach(const RunRequest &req, RunHost &host, const std::string &path)
{
    // Another bridge on the bus must not pass for this one: the wait is for
    // the bridge that was reset, recognised by where it sits on the bus.
    const std::string location = LocationOf(path);
    const auto before = static_cast<std::size_t>(std::max(req.candidateCount, 1));
    std::vector<DiskInterface> found;

    ResetChip(path);
    SleepMs(2000);
    int back = -1;
    for (int attempt = 0; attempt < kReattachAttempts && back < 0; ++attempt) {
        EnumerateDiskInterfaces(found, 1);
        host.processMessages();
        SleepMs(500);
        back = ReturnedBridge(found, location, before);
    }
    if (back < 0) {
        host.showStatus("The bridge did not come back after its reset (" + path +
                        "): unplug it and plug it in again");
        return 0;
    }
    host.devicesReattached(found, back);
    return 1;
}

} // namespace brigant
