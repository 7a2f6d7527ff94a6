#pragma once
// The transport back end that puts simulated devices behind device paths.
// Devices can leave and come back (a reset makes the bridge re-attach after a
// delay on the clock), and faults can be injected per device.
#include "common/clock.h"
#include "device/scsi_backend.h"
#include "sim/sim_device.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brigant::sim
{

struct FaultRule {
    enum class Kind : std::uint8_t {
        TransportError, // the pass-through call itself fails (EIO)
        CheckCondition, // CHECK CONDITION with the sense in `key`/`asc`/`ascq`
        ShortData,      // the command runs but only `value` bytes of data move
        HalfData,       // the command runs but only half its data moves (rounded down)
        CorruptByte,    // byte `value` of a data-in reply is inverted
        PowerLoss,      // the device is gone from this command on; its state stays as it was
        AccessDenied,   // from this command on the node cannot be opened: EACCES, as without rights
    };
    Kind kind = Kind::TransportError;
    std::uint64_t nth = 0;               // hit the nth command (1-based) only; 0: any matching command
    std::vector<std::uint8_t> cdbPrefix; // match commands whose CDB starts with these bytes
    int times = 1;                       // matching commands affected; -1 for all of them
    std::uint32_t value = 0;
    std::uint8_t key = 0, asc = 0, ascq = 0;
};

inline FaultRule Fault(FaultRule::Kind kind, std::uint32_t value = 0)
{
    FaultRule r;
    r.kind = kind;
    r.value = value;
    return r;
}

// Sense 2/04/01 "becoming ready" for `times` matching commands.
FaultRule NotReadyFault(int times, std::vector<std::uint8_t> cdbPrefix = {});

class SimBackend final : public ScsiBackend
{
  public:
    explicit SimBackend(Clock &clock) : clock_(clock) {}

    // Puts a device behind a path ("sim:sgN" when none is given) and returns the path.
    std::string attach(std::shared_ptr<SimDevice> device, std::string path = {});
    std::shared_ptr<SimDevice> device(const std::string &path) const;
    std::vector<std::string> paths() const;            // present devices, in attach order
    std::string pathOf(const SimDevice *device) const; // current path, empty if unknown

    void addFault(const std::string &path, FaultRule rule);
    // Another process holds the device open exclusively: exclusive opens fail with EBUSY.
    void setHeldElsewhere(const std::string &path, bool held);
    std::uint64_t commandCount(const std::string &path) const;

    // The device leaves the bus now and comes back `delayMs` later on the clock,
    // under a new path when `renumber` is set (as a re-enumerated sg node would).
    void detachFor(const std::string &path, std::uint32_t delayMs);
    // The same, but the device stays on the bus (answering) `leaveMs` longer
    // first, as a bridge does whose firmware takes its time to drop off USB.
    void detachLater(const std::string &path, std::uint32_t leaveMs, std::uint32_t delayMs);
    // The host takes at most `bytes` in one command (the queue's
    // max_hw_sectors_kb): a larger one fails in the pass-through call
    // (EINVAL), as the kernel refuses it. 0: no limit.
    void setMaxTransfer(const std::string &path, std::uint32_t bytes);
    // The device is not on the bus yet: it arrives `delayMs` from now.
    void arriveLater(const std::string &path, std::uint32_t delayMs);
    void setRenumberOnReattach(bool renumber) { renumber_ = renumber; }
    // The first device attached gets "sim:sgN" and port N (the others follow
    // on): a process that simulates device N of a larger set alone names it
    // as the whole set does.
    void setFirstNumber(std::uint32_t n)
    {
        nextNumber_ = n;
        firstPort_ = n;
    }
    // Delivers due arrivals; called before every command and by event loops.
    void poll();
    void setDeviceEventListener(std::function<void(const std::string &path, bool arrived)> listener)
    {
        listener_ = std::move(listener);
    }
    // Further watchers of the bus: each sees every departure and arrival with
    // the device's port (see portNumber). Returns the id to remove it with.
    using BusObserver = std::function<void(std::uint32_t port, bool arrived)>;
    int addBusObserver(BusObserver observer);
    void removeBusObserver(int id);

    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override;
    // The port a present device sits on: it keeps it across resets and
    // re-enumerations, and numbers its disk.
    std::optional<std::uint32_t> portNumber(const std::string &path) const;

  private:
    struct Slot {
        std::string path;
        std::shared_ptr<SimDevice> device;
        std::uint32_t number = 0;
        bool present = true;
        bool poweredOff = false;
        bool heldElsewhere = false;
        bool denied = false;
        std::uint64_t returnAtMs = 0;
        bool returning = false;
        std::uint64_t leaveAtMs = 0;
        std::uint32_t awayMs = 0;
        bool leaving = false;
        std::uint64_t commands = 0;
        std::uint32_t maxTransfer = 0;
        std::vector<FaultRule> faults;
    };
    Slot *find(const std::string &path);
    // The pass-through call fails before the command reaches the device: no
    // device there, the node denied, or held open elsewhere.
    static bool refusesOpen(const Slot *s, const ScsiCommand &cmd, ScsiOutcome &o);
    // A fault that takes the device away: the node denied from now on, or the power lost.
    bool loseDevice(Slot &s, const FaultRule &fault, ScsiOutcome &o);
    const Slot *find(const std::string &path) const;
    std::string nextPath();
    void notify(const Slot &slot, bool arrived);

    Clock &clock_;
    std::vector<Slot> slots_;
    std::uint32_t nextNumber_ = 0;
    std::uint32_t firstPort_ = 0;
    bool renumber_ = false;
    std::function<void(const std::string &, bool)> listener_;
    std::vector<std::pair<int, BusObserver>> observers_;
    int nextObserver_ = 0;
};

} // namespace brigant::sim
