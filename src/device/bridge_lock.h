#pragma once
// One bridge, one program: a lock per physical bridge that every program of
// ours takes before it talks to the bridge. It is an flock(2) on a file named
// after where the bridge sits on its bus (the USB port path, the 1394 unit),
// which stays the same when the bridge resets and its sg node changes. The
// kernel lets it go when the holder ends, however it ends: no stale locks.
// The file names its holder (PID, program, verb, start) for the others.
#include "common/lock_file.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace brigant
{

// A bridge held by another program.
struct BusyBridge {
    std::string location;
    LockHolder holder;
};
// "the bridge at usb-1-2 is busy: brigant-fw update (PID 1234, since 12:03:11)".
std::string BusyText(const BusyBridge &busy);

// The locks this process holds on bridges.
class BridgeLocks
{
  public:
    BridgeLocks() = default;
    ~BridgeLocks();
    BridgeLocks(const BridgeLocks &) = delete;
    BridgeLocks &operator=(const BridgeLocks &) = delete;

    // Locks in `directory` (created, open to every user, when missing), as
    // `me`; `scope` goes before every location in the lock file's name (the
    // state folder of simulated bridges). An empty directory turns locking
    // off: bridges only this process sees (a simulation without a state folder).
    void configure(const std::string &directory, LockHolder me, const std::string &scope = {});
    bool enabled() const { return !directory_.empty(); }
    const std::string &directory() const { return directory_; }

    // Where the bridge at `path` sits: from the installed disk enumerator,
    // kept for the path until forgetPaths(); the path itself when the
    // platform does not say.
    std::string locationOf(const std::string &path);
    // Forgets the locations of paths (a node may name another bridge after a
    // change on the bus).
    void forgetPaths() { locations_.clear(); }

    enum class Taken : std::uint8_t {
        Held,        // this process holds it (now or already)
        Busy,        // another program does: `busy` says who
        Unavailable, // the lock file cannot be made: `error` says why
    };
    struct Attempt {
        Taken taken = Taken::Unavailable;
        BusyBridge busy;
        std::string error;
    };
    // Takes the lock of the bridge at `location` without waiting, and keeps
    // it until release(). Taking a lock held already is a no-op.
    Attempt take(const std::string &location);
    void release(const std::string &location);
    void releaseAll();
    bool holds(const std::string &location) const { return held_.count(location) != 0; }
    // Another program's hold on the bridge at `location`, without taking it.
    std::optional<BusyBridge> heldElsewhere(const std::string &location);
    // The lock file of the bridge at `location`.
    std::string lockFile(const std::string &location) const;
    // Whether this process found a bridge busy and has not held it since (a
    // simulated one's state is then the holder's to keep).
    bool metBusy() const { return !metBusy_.empty(); }

  private:
    std::string directory_;
    std::string scope_;
    LockHolder me_;
    std::set<std::string> metBusy_;   // locations found busy and not taken since
    std::map<std::string, int> held_; // location -> the lock file's descriptor
    std::map<std::string, std::string> locations_;
};

// The process's locks (each program configures them once at start).
BridgeLocks &ProcessBridgeLocks();

// The lock of the bridge at `path` while it lives: taken (when this process
// does not hold it already, and locks are on) and let go again.
class HeldBridge
{
  public:
    explicit HeldBridge(const std::string &path);
    ~HeldBridge();
    HeldBridge(const HeldBridge &) = delete;
    HeldBridge &operator=(const HeldBridge &) = delete;
    // Another program's hold: then nothing may be sent.
    const std::optional<BusyBridge> &busy() const { return busy_; }

  private:
    std::string taken_;
    std::optional<BusyBridge> busy_;
};

// One command's hold: held already, taken for the command, or refused.
using CommandLock = HeldBridge;

// The program that holds the lock of the bridge at `path` elsewhere, if any;
// nothing is sent to the bridge and nothing kept.
std::optional<BusyBridge> BridgeBusy(const std::string &path);

} // namespace brigant
