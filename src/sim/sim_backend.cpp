#include "sim/sim_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brigant::sim
{

FaultRule NotReadyFault(int times, std::vector<std::uint8_t> cdbPrefix)
{
    FaultRule r;
    r.kind = FaultRule::Kind::CheckCondition;
    r.times = times;
    r.cdbPrefix = std::move(cdbPrefix);
    r.key = 0x02;
    r.asc = 0x04;
    r.ascq = 0x01;
    return r;
}

std::string SimBackend::nextPath() { return "sim:sg" + std::to_string(nextNumber_++); }

std::string SimBackend::attach(std::shared_ptr<SimDevice> device, std::string path)
{
    if (path.empty())
        path = nextPath();
    Slot slot;
    slot.path = path;
    slot.device = std::move(device);
    slot.number = firstPort_ + static_cast<std::uint32_t>(slots_.size());
    slots_.push_back(std::move(slot));
    return path;
}

SimBackend::Slot *SimBackend::find(const std::string &path)
{
    for (auto &s : slots_)
        if (s.path == path)
            return &s;
    return nullptr;
}

const SimBackend::Slot *SimBackend::find(const std::string &path) const
{
    return const_cast<SimBackend *>(this)->find(path);
}

std::shared_ptr<SimDevice> SimBackend::device(const std::string &path) const
{
    const Slot *s = find(path);
    return s ? s->device : nullptr;
}

std::vector<std::string> SimBackend::paths() const
{
    std::vector<std::string> out;
    for (const auto &s : slots_)
        if (s.present)
            out.push_back(s.path);
    return out;
}

std::string SimBackend::pathOf(const SimDevice *device) const
{
    for (const auto &s : slots_)
        if (s.device.get() == device)
            return s.path;
    return {};
}

void SimBackend::addFault(const std::string &path, FaultRule rule)
{
    if (Slot *s = find(path))
        s->faults.push_back(std::move(rule));
}

void SimBackend::setHeldElsewhere(const std::string &path, bool held)
{
    if (Slot *s = find(path))
        s->heldElsewhere = held;
}

std::uint64_t SimBackend::commandCount(const std::string &path) const
{
    const Slot *s = find(path);
    return s ? s->commands : 0;
}

int SimBackend::addBusObserver(BusObserver observer)
{
    observers_.emplace_back(++nextObserver_, std::move(observer));
    return nextObserver_;
}

void SimBackend::removeBusObserver(int id)
{
    std::erase_if(observers_, [id](const auto &o) { return o.first == id; });
}

void SimBackend::notify(const Slot &slot, bool arrived)
{
    if (listener_)
        listener_(slot.path, arrived);
    const auto observers = observers_; // an observer may remove itself
    for (const auto &[id, observer] : observers)
        observer(slot.number, arrived);
}

void SimBackend::detachFor(const std::string &path, std::uint32_t delayMs)
{
    Slot *s = find(path);
    if (!s || !s->present)
        return;
    s->leaving = false;
    s->present = false;
    s->returning = true;
    s->returnAtMs = clock_.nowMs() + delayMs;
    notify(*s, false);
}

void SimBackend::setMaxTransfer(const std::string &path, std::uint32_t bytes)
{
    if (Slot *s = find(path))
        s->maxTransfer = bytes;
}

void SimBackend::arriveLater(const std::string &path, std::uint32_t delayMs)
{
    Slot *s = find(path);
    if (!s || !s->present)
        return;
    s->present = false;
    s->returning = true;
    s->returnAtMs = clock_.nowMs() + delayMs;
}

void SimBackend::detachLater(const std::string &path, std::uint32_t leaveMs, std::uint32_t delayMs)
{
    Slot *s = find(path);
    if (!s || !s->present)
        return;
    if (leaveMs == 0) {
        detachFor(path, delayMs);
        return;
    }
    s->leaving = true;
    s->leaveAtMs = clock_.nowMs() + leaveMs;
    s->awayMs = delayMs;
}

void SimBackend::poll()
{
    const std::uint64_t now = clock_.nowMs();
    for (auto &s : slots_) {
        if (s.leaving && s.present && now >= s.leaveAtMs) {
            s.leaving = false;
            s.present = false;
            s.returning = true;
            s.returnAtMs = s.leaveAtMs + s.awayMs;
            notify(s, false);
        }
        if (!s.returning || s.poweredOff || now < s.returnAtMs)
            continue;
        s.returning = false;
        s.present = true;
        if (renumber_)
            s.path = nextPath();
        notify(s, true);
    }
}

namespace
{

bool Matches(const FaultRule &r, std::uint64_t index, const ScsiCommand &cmd)
{
    if (r.times == 0)
        return false;
    if (r.nth != 0 && r.nth != index)
        return false;
    if (r.cdbPrefix.size() > cmd.cdbLength)
        return false;
    return std::equal(r.cdbPrefix.begin(), r.cdbPrefix.end(), cmd.cdb);
}

// SG_IO hands a command without data over with no direction, whatever the
// caller asked for; so does the bus.
WireDirection WireDirectionOf(const ScsiCommand &cmd)
{
    if (cmd.length == 0)
        return WireDirection::None;
    return cmd.direction == DataDirection::In ? WireDirection::In : WireDirection::Out;
}

// The first fault that hits the device's `index`-th command, counted down;
// nullptr for none.
const FaultRule *TakeFault(std::vector<FaultRule> &faults, std::uint64_t index, const ScsiCommand &cmd)
{
    for (auto &r : faults) {
        if (Matches(r, index, cmd)) {
            if (r.times > 0)
                --r.times;
            return &r;
        }
    }
    return nullptr;
}

// The device runs the command, unless the fault answers for it; a fault may
// also cut the data phase short or corrupt what comes back.
SimReply RunCommand(SimDevice &device, const ScsiCommand &cmd, const FaultRule *hit)
{
    using Kind = FaultRule::Kind;
    if (hit && hit->kind == Kind::CheckCondition)
        return CheckCondition(hit->key, hit->asc, hit->ascq);
    // A short transfer: only the first `value` bytes of the data phase move.
    std::uint32_t moved = cmd.length;
    if (hit && hit->kind == Kind::ShortData)
        moved = std::min(moved, hit->value);
    if (hit && hit->kind == Kind::HalfData)
        moved = cmd.length / 2;
    const SimReply reply =
        device.execute(cmd.cdb, cmd.cdbLength, WireDirectionOf(cmd), moved ? cmd.data : nullptr, moved);
    if (hit && hit->kind == Kind::CorruptByte && cmd.direction == DataDirection::In &&
        hit->value < cmd.length)
        cmd.data[hit->value] = static_cast<std::uint8_t>(~cmd.data[hit->value]);
    return reply;
}

// The device's reply as the pass-through call reports it.
void PutReply(const SimReply &reply, const ScsiCommand &cmd, ScsiOutcome &o)
{
    o.transportOk = true;
    o.scsiStatus = reply.status;
    o.transferred = std::min(reply.transferred, cmd.length);
    if (reply.status == 2 && cmd.sense) {
        const std::size_t n = std::min<std::size_t>(cmd.senseCapacity, reply.sense.size());
        std::memcpy(cmd.sense, reply.sense.data(), n);
        o.senseLength = static_cast<std::uint8_t>(n);
    }
}

} // namespace

bool SimBackend::refusesOpen(const Slot *s, const ScsiCommand &cmd, ScsiOutcome &o)
{
    if (!s || !s->present) {
        o.openError = OpenError::NotFound;
        o.sysErrno = ENOENT;
        return true;
    }
    if (s->denied) {
        o.openError = OpenError::PermissionDenied;
        o.sysErrno = EACCES;
        return true;
    }
    if (cmd.exclusive && s->heldElsewhere) {
        o.openError = OpenError::Busy;
        o.sysErrno = EBUSY;
        return true;
    }
    return false;
}

bool SimBackend::loseDevice(Slot &s, const FaultRule &fault, ScsiOutcome &o)
{
    using Kind = FaultRule::Kind;
    if (fault.kind == Kind::AccessDenied) {
        s.denied = true;
        o.openError = OpenError::PermissionDenied;
        o.sysErrno = EACCES;
        return true;
    }
    if (fault.kind == Kind::PowerLoss) {
        s.present = false;
        s.poweredOff = true;
        o.openError = OpenError::NotFound;
        o.sysErrno = ENODEV;
        notify(s, false);
        return true;
    }
    return false;
}

ScsiOutcome SimBackend::execute(const std::string &path, const ScsiCommand &cmd)
{
    poll();
    ScsiOutcome o;
    Slot *s = find(path);
    if (refusesOpen(s, cmd, o))
        return o;
    const std::uint64_t index = ++s->commands;
    if (s->maxTransfer != 0 && cmd.length > s->maxTransfer) {
        o.opened = true;
        o.sysErrno = EINVAL;
        return o;
    }

    const FaultRule *hit = TakeFault(s->faults, index, cmd);
    if (hit && loseDevice(*s, *hit, o))
        return o;
    o.opened = true;
    if (hit && hit->kind == FaultRule::Kind::TransportError) {
        o.sysErrno = EIO;
        return o;
    }
    PutReply(RunCommand(*s->device, cmd, hit), cmd, o);
    return o;
}

std::optional<std::uint32_t> SimBackend::portNumber(const std::string &path) const
{
    const Slot *s = find(path);
    if (!s || !s->present)
        return std::nullopt;
    return s->number;
}

} // namespace brigant::sim
