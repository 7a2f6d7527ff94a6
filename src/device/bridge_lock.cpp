#include "device/bridge_lock.h"

#include "common/clock.h"
#include "device/enumerator.h"

#include <vector>

namespace brigant
{

namespace
{

// A probe of another program (heldElsewhere) holds a lock for a moment:
// taking one is tried this often before the bridge counts as busy. The other
// program runs in real time, so this waits in real time too.
constexpr int kTakeTries = 4;
constexpr std::uint32_t kTakeRetryMs = 15;

} // namespace

std::string BusyText(const BusyBridge &busy)
{
    return "the bridge at " + busy.location + " is busy: " + HolderText(busy.holder);
}

BridgeLocks::~BridgeLocks() { releaseAll(); }

void BridgeLocks::configure(const std::string &directory, LockHolder me, const std::string &scope)
{
    releaseAll();
    locations_.clear();
    directory_ = directory;
    scope_ = scope;
    metBusy_.clear();
    me_ = std::move(me);
    if (!directory_.empty())
        MakeLockDirectory(directory_);
}

std::string BridgeLocks::locationOf(const std::string &path)
{
    if (auto it = locations_.find(path); it != locations_.end())
        return it->second;
    std::string location = path;
    std::vector<DiskInterface> disks;
    if (DiskEnumerator *enumerator = CurrentDiskEnumerator(); enumerator && enumerator->listDisks(disks))
        for (const DiskInterface &disk : disks)
            if (disk.path == path && !disk.location.empty())
                location = disk.location;
    locations_[path] = location;
    return location;
}

BridgeLocks::Attempt BridgeLocks::take(const std::string &location)
{
    Attempt a;
    a.busy.location = location;
    if (!enabled() || holds(location)) {
        a.taken = Taken::Held;
        return a;
    }
    for (int attempt = 1;; ++attempt) {
        LockFileAttempt tried = TryLockFile(lockFile(location), me_);
        if (tried.fd >= 0) {
            held_[location] = tried.fd;
            metBusy_.erase(location);
            a.taken = Taken::Held;
            return a;
        }
        if (!tried.busy) {
            a.error = tried.error;
            return a;
        }
        if (attempt == kTakeTries) {
            a.taken = Taken::Busy;
            a.busy.holder = tried.holder;
            metBusy_.insert(location);
            return a;
        }
        RealClock().sleepMs(kTakeRetryMs);
    }
}

void BridgeLocks::release(const std::string &location)
{
    if (auto it = held_.find(location); it != held_.end()) {
        UnlockFile(it->second);
        held_.erase(it);
    }
}

void BridgeLocks::releaseAll()
{
    for (auto &[location, fd] : held_)
        UnlockFile(fd);
    held_.clear();
}

std::optional<BusyBridge> BridgeLocks::heldElsewhere(const std::string &location)
{
    if (!enabled() || holds(location))
        return std::nullopt;
    const std::optional<LockHolder> holder = LockFileHolder(lockFile(location));
    if (!holder)
        return std::nullopt;
    metBusy_.insert(location);
    return BusyBridge{location, *holder};
}

std::string BridgeLocks::lockFile(const std::string &location) const
{
    return directory_ + "/" + LockFileName(scope_ + location);
}

BridgeLocks &ProcessBridgeLocks()
{
    static BridgeLocks locks;
    return locks;
}

HeldBridge::HeldBridge(const std::string &path)
{
    BridgeLocks &locks = ProcessBridgeLocks();
    if (!locks.enabled())
        return;
    const std::string location = locks.locationOf(path);
    if (locks.holds(location))
        return;
    const BridgeLocks::Attempt a = locks.take(location);
    if (a.taken == BridgeLocks::Taken::Held)
        taken_ = location;
    else if (a.taken == BridgeLocks::Taken::Busy)
        busy_ = a.busy;
}

HeldBridge::~HeldBridge()
{
    if (!taken_.empty())
        ProcessBridgeLocks().release(taken_);
}

std::optional<BusyBridge> BridgeBusy(const std::string &path)
{
    BridgeLocks &locks = ProcessBridgeLocks();
    if (!locks.enabled())
        return std::nullopt;
    return locks.heldElsewhere(locks.locationOf(path));
}

} // namespace brigant
