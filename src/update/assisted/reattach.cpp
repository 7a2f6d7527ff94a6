// Waiting for a bridge to come back after it was told to reset.
#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "identify/candidates.h"
#include "update/assisted/buffer_transfer.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace brigant
{

namespace
{

constexpr int kReattachAttempts = 60;
// A reset bridge leaves the bus within a few seconds. Its return is counted
// until its disk is listed again, after the kernel's probe and udev's rules
// (which read the disk): on a slow or busy machine that takes a while.
constexpr std::uint32_t kLeaveBoundMs = 15000;
constexpr std::uint32_t kReturnBoundMs = 90000;
constexpr std::uint32_t kWatchStepMs = 100;
constexpr std::uint32_t kListEveryMs = 500;

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

bool Listed(const std::string &location)
{
    std::vector<DiskInterface> disks;
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    if (!enumerator || !enumerator->listDisks(disks))
        return true; // no list to tell: only the events say it left
    return std::any_of(disks.begin(), disks.end(),
                       [&](const DiskInterface &d) { return d.location == location; });
}

// Follows the bridge at `location` through its removal, then its arrival:
// from the bus's events, and from the list of disks (an event missed while
// the watch was not read). Returns 1 once it is listed again; 0 when it never
// left within kLeaveBoundMs, -1 when it left but did not come back within
// kReturnBoundMs.
int FollowRemovalAndArrival(RunHost &host, BusWatch &watch, const std::string &location,
                            std::vector<DiskInterface> &found, int &back)
{
    const std::uint64_t start = ProgramClock().nowMs();
    std::uint64_t leftAt = 0;
    bool left = false, arrived = false;
    std::uint64_t listedAt = start;
    std::vector<BusEvent> events;
    for (;;) {
        host.processMessages();
        events.clear();
        watch.poll(events);
        auto leaves = [&](const char *seenBy) {
            left = true;
            leftAt = ProgramClock().nowMs();
            DebugPrintf("%s left the bus %llu ms after its reset (%s)\n", location.c_str(),
                        static_cast<unsigned long long>(leftAt - start), seenBy);
            TraceDataBusEvent("left", location, leftAt - start);
        };
        for (const BusEvent &e : events) {
            if (e.location != location)
                continue;
            if (!e.arrived && !left)
                leaves("its removal");
            else if (e.arrived && left)
                arrived = true;
        }
        const std::uint64_t now = ProgramClock().nowMs();
        if (now - listedAt >= kListEveryMs || arrived) {
            listedAt = now;
            if (!left && !Listed(location))
                leaves("no longer listed");
            if (left) {
                EnumerateDiskInterfaces(found, 1);
                back = ReturnedBridge(found, location, 1);
                if (back >= 0) {
                    const std::uint64_t away = ProgramClock().nowMs() - leftAt;
                    DebugPrintf("%s is back on the bus %llu ms after it left\n", location.c_str(),
                                static_cast<unsigned long long>(away));
                    TraceDataBusEvent("back", location, away);
                    return 1;
                }
            }
        }
        // Read again: the removal may have been taken after `now` was read.
        const std::uint64_t later = ProgramClock().nowMs();
        if (!left && later - start >= kLeaveBoundMs)
            return 0;
        if (left && later - leftAt >= kReturnBoundMs)
            return -1;
        SleepMs(kWatchStepMs);
    }
}

} // namespace

int ResetAndWaitReattach(const RunRequest &req, RunHost &host, const std::string &path)
{
    // Another bridge on the bus must not pass for this one: the wait is for
    // the bridge that was reset, recognised by where it sits on the bus.
    const std::string location = LocationOf(path);
    const auto before = static_cast<std::size_t>(std::max(req.candidateCount, 1));
    std::vector<DiskInterface> found;
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::unique_ptr<BusWatch> watch = enumerator && !location.empty() ? enumerator->openBusWatch() : nullptr;

    ResetChip(path);
    int back = -1;
    if (watch) {
        // Found at its old place before it left, the bridge would be asked
        // while it goes: the wait ends only once it has gone and come back.
        const int followed = FollowRemovalAndArrival(host, *watch, location, found, back);
        if (followed == 0) {
            host.showStatus({StatusCode::ReattachTimedOut, "The bridge did not leave the bus within " +
                                                               std::to_string(kLeaveBoundMs / 1000) +
                                                               " s of its reset (" + path +
                                                               "): unplug it and plug it in again"});
            return 0;
        }
        if (followed < 0) {
            host.showStatus({StatusCode::ReattachTimedOut,
                             "The bridge left the bus after its reset but did not come back within " +
                                 std::to_string(kReturnBoundMs / 1000) + " s (" + path +
                                 "): unplug it and plug it in again"});
            return 0;
        }
    } else {
        // No events to follow: a fixed pause, then the list.
        SleepMs(2000);
        for (int attempt = 0; attempt < kReattachAttempts && back < 0; ++attempt) {
            EnumerateDiskInterfaces(found, 1);
            host.processMessages();
            SleepMs(500);
            back = ReturnedBridge(found, location, before);
        }
    }
    if (back < 0) {
        host.showStatus({StatusCode::ReattachTimedOut, "The bridge did not come back after its reset (" +
                                                           path + "): unplug it and plug it in again"});
        return 0;
    }
    host.devicesReattached(found, back);
    return 1;
}

} // namespace brigant
