#include "device/transport.h"

#include "device/bridge_lock.h"

#include "common/clock.h"
#include "common/debug_log.h"
#include "common/hex.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace brigant
{

namespace
{

ScsiBackend *backend = nullptr;
std::FILE *traceSink = nullptr;
std::FILE *dataSink = nullptr;
TransportFailure lastFailure;
std::uint64_t commandCount = 0; // commands sent (or tried) so far
std::uint64_t lastSuccess = 0;  // the number of the last one that succeeded
std::uint64_t failingSince = 0; // the first that failed after it; 0: none
std::function<void()> commandGate;
SensePolicy sensePolicy = SensePolicy::Full;

constexpr std::uint32_t kDataInTimeoutSec = 10;
constexpr std::uint32_t kSenseAreaSize = 32;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kUnitAttention = 0x06;

bool Succeeded(const ScsiOutcome &o)
{
    return o.opened && o.transportOk && o.sysErrno == 0 && o.scsiStatus == 0;
}

void RecordOutcome(const std::string &path, const ScsiCommand &cmd, const ScsiOutcome &o)
{
    ++commandCount;
    if (Succeeded(o)) {
        lastSuccess = commandCount;
        failingSince = 0;
        return;
    }
    if (failingSince == 0)
        failingSince = commandCount;
    lastFailure =
        TransportFailure{.path = path,
                         .openFailed = !o.opened,
                         .openError = o.openError,
                         .sysErrno = o.sysErrno,
                         .scsiStatus = o.scsiStatus,
                         .command = HexBytes(cmd.cdb, cmd.cdbLength),
                         .timeoutSec = cmd.timeoutSec,
                         .heldBy = o.heldBy,
                         .sense = cmd.sense && o.senseLength
                                      ? HexBytes(cmd.sense, std::min<std::uint32_t>(o.senseLength, 18), "")
                                      : std::string()};
    if (!o.opened)
        DebugPrintf("open %s failed: %s (%s)\n", path.c_str(), OpenErrorText(o.openError),
                    std::strerror(o.sysErrno));
}

void Trace(const std::string &path, const ScsiCommand &cmd, bool ok, std::uint32_t transferred,
           const std::uint8_t *sense, std::uint32_t senseLength)
{
    if (!traceSink)
        return;
    std::string line = path;
    line += cmd.direction == DataDirection::In ? " in " : " out ";
    line += HexBytes(cmd.cdb, cmd.cdbLength);
    line += " len=" + std::to_string(cmd.length);
    line += " tmo=" + std::to_string(cmd.timeoutSec);
    line += ok ? " ok" : " fail";
    line += " xfer=" + std::to_string(transferred);
    if (!ok && sense && senseLength)
        line += " sense=" + HexBytes(sense, senseLength, "");
    line += '\n';
    std::fputs(line.c_str(), traceSink);
    std::fflush(traceSink);
}

// A JSON string of `text` (paths are the only free text here).
std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void TraceData(const std::string &path, const ScsiCommand &cmd, const ScsiOutcome &o)
{
    if (!dataSink)
        return;
    const bool in = cmd.direction == DataDirection::In;
    std::string line = "{\"path\":" + JsonString(path) + ",\"dir\":\"" + (in ? "in" : "out") +
                       "\",\"cdb\":\"" + HexBytes(cmd.cdb, cmd.cdbLength) +
                       "\",\"len\":" + std::to_string(cmd.length) +
                       ",\"tmo\":" + std::to_string(cmd.timeoutSec);
    if (!in && cmd.data && cmd.length)
        line += ",\"out\":\"" + HexBytes(cmd.data, cmd.length, "") + "\"";
    if (!o.opened) {
        line += ",\"result\":\"not opened\",\"errno\":" + std::to_string(o.sysErrno);
    } else {
        const bool ok = o.transportOk && o.sysErrno == 0 && o.scsiStatus == 0;
        line += std::string(",\"result\":\"") + (ok ? "ok" : "fail") +
                "\",\"transportOk\":" + (o.transportOk ? "true" : "false") +
                ",\"errno\":" + std::to_string(o.sysErrno) + ",\"status\":" + std::to_string(o.scsiStatus) +
                ",\"xfer\":" + std::to_string(o.transferred);
        if (in && cmd.data && o.transferred)
            line += ",\"in\":\"" + HexBytes(cmd.data, std::min(o.transferred, cmd.length), "") + "\"";
        if (cmd.sense && o.senseLength)
            line += ",\"sense\":\"" + HexBytes(cmd.sense, o.senseLength, "") + "\"";
    }
    line += "}\n";
    std::fputs(line.c_str(), dataSink);
    std::fflush(dataSink);
}

ScsiOutcome Execute(const std::string &path, const ScsiCommand &cmd)
{
    if (commandGate)
        commandGate();
    // Nothing goes to a bridge another program of ours works on: its
    // sequence of commands must not be cut into.
    const CommandLock lock(path);
    if (lock.busy()) {
        ScsiOutcome o;
        o.openError = OpenError::Busy;
        o.sysErrno = EBUSY;
        o.heldBy = BusyText(*lock.busy());
        return o;
    }
    if (!backend) {
        ScsiOutcome o;
        o.openError = OpenError::NotFound;
        o.sysErrno = ENODEV;
        return o;
    }
    ScsiOutcome o = backend->execute(path, cmd);
    TraceData(path, cmd, o);
    return o;
}

// Runs `cmd` under the sense policy: every send but the last is traced and
// recorded here (through `sent`), the last one is left to the caller.
// cmd.sense must point to a sense area of kSenseAreaSize bytes.
ScsiOutcome ExecuteWithPolicy(const std::string &path, const ScsiCommand &cmd,
                              const std::function<void(const ScsiOutcome &)> &sent)
{
    int unitAttentions = sensePolicy == SensePolicy::SendOnce ? 1 : 0;
    int polls = sensePolicy == SensePolicy::Full ? 0 : kNotReadyPolls;
    for (;;) {
        std::memset(cmd.sense, 0, kSenseAreaSize);
        ScsiOutcome o = Execute(path, cmd);
        if (!o.opened || !o.transportOk || o.sysErrno != 0 || o.scsiStatus != kCheckCondition)
            return o;
        const SenseCode s = DecodeSense(cmd.sense, o.senseLength);
        const bool unitAttention = s.key == kUnitAttention && unitAttentions == 0;
        const bool becomingReady = s.key == 0x02 && s.asc == 0x04 && s.ascq == 0x01 && polls < kNotReadyPolls;
        if (!unitAttention && !becomingReady)
            return o;
        sent(o);
        const std::string command = HexBytes(cmd.cdb, cmd.cdbLength);
        if (unitAttention) {
            ++unitAttentions;
            DebugPrintf("%s %s: UNIT ATTENTION (%02X/%02X/%02X): not executed, sending it again\n",
                        path.c_str(), command.c_str(), s.key, s.asc, s.ascq);
        } else {
            ++polls;
            DebugPrintf("%s %s: becoming ready (02/04/01): asking again in %u ms (%d of %d)\n", path.c_str(),
                        command.c_str(), kNotReadyPollMs, polls, kNotReadyPolls);
            SleepMs(kNotReadyPollMs);
        }
    }
}

// A data-out command that moved fewer bytes than asked did not do what it was
// sent for, whatever its status: GOOD with a short transfer is a failure.
bool ShortDataOut(DataDirection dir, std::uint32_t length, std::uint32_t transferred)
{
    return dir == DataDirection::Out && transferred < length;
}

// The two plain operations share everything but the direction, the sharing
// mode and the time-out.
int SendPlain(const std::string &path, const std::uint8_t *cdb, int cdbLength, DataDirection dir,
              std::uint8_t *inBuffer, const std::uint8_t *outData, std::uint32_t length,
              std::uint32_t &transferred)
{
    if (cdbLength < 1 || cdbLength > 16)
        return 0;
    const std::uint32_t xferLength = length == 1 ? 2 : length;

    // Freed on every way out, also when a stop asked for during the command
    // is thrown through here.
    std::unique_ptr<std::uint8_t, void (*)(std::uint8_t *)> raw(nullptr, FreeAlignedBlock);
    std::uint8_t *aligned = nullptr;
    if (xferLength > 0) {
        raw.reset(AllocAlignedBlock(static_cast<std::int32_t>(xferLength), kTransferAlignment));
        if (!raw)
            return 0;
        aligned = AlignUp(raw.get(), kTransferAlignment);
        if (dir == DataDirection::Out && outData)
            std::memcpy(aligned, outData, length);
    }

    ScsiCommand cmd;
    cmd.cdb = cdb;
    cmd.cdbLength = static_cast<std::uint8_t>(cdbLength);
    cmd.direction = dir;
    cmd.data = aligned;
    cmd.length = xferLength;
    cmd.exclusive = dir == DataDirection::Out;
    cmd.timeoutSec = dir == DataDirection::In ? kDataInTimeoutSec : DataOutTimeoutSec(cdb, cdbLength);
    std::uint8_t senseArea[kSenseAreaSize] = {};
    cmd.sense = senseArea;
    cmd.senseCapacity = kSenseAreaSize;

    ScsiOutcome o = ExecuteWithPolicy(path, cmd, [&](const ScsiOutcome &failed) {
        RecordOutcome(path, cmd, failed);
        Trace(path, cmd, false, failed.transferred, nullptr, 0);
    });
    RecordOutcome(path, cmd, o);
    if (!o.opened)
        return 0;
    if (dir == DataDirection::In && length > 0)
        std::memcpy(inBuffer, aligned, length);
    raw.reset();
    transferred = o.transferred;
    const bool ok = Succeeded(o) && !ShortDataOut(dir, length, o.transferred);
    Trace(path, cmd, ok, o.transferred, nullptr, 0);
    return ok ? 1 : 0;
}

int SendWithSense(const std::string &path, const std::uint8_t *cdb, int cdbLength, DataDirection dir,
                  std::uint8_t *buffer, std::uint32_t length, std::uint32_t &transferred, std::uint8_t *sense,
                  std::uint32_t senseLength)
{
    if (cdbLength < 1 || cdbLength > 16)
        return 0;
    std::uint8_t small[4] = {0, 0, 0, 0};
    std::uint8_t senseArea[kSenseAreaSize] = {};

    ScsiCommand cmd;
    cmd.cdb = cdb;
    cmd.cdbLength = static_cast<std::uint8_t>(cdbLength);
    cmd.direction = dir;
    cmd.exclusive = true;
    cmd.timeoutSec = kDataInTimeoutSec;
    if (length == 1) {
        if (dir == DataDirection::Out)
            small[0] = buffer ? buffer[0] : 0;
        cmd.data = small;
        cmd.length = 2;
    } else {
        cmd.data = length ? buffer : nullptr;
        cmd.length = length;
    }
    cmd.sense = senseArea;
    cmd.senseCapacity = kSenseAreaSize;
    const std::uint32_t copied = senseLength < kSenseAreaSize ? senseLength : kSenseAreaSize;

    ScsiOutcome o = ExecuteWithPolicy(path, cmd, [&](const ScsiOutcome &failed) {
        RecordOutcome(path, cmd, failed);
        Trace(path, cmd, false, failed.transferred, sense ? senseArea : nullptr, sense ? copied : 0);
    });
    RecordOutcome(path, cmd, o);
    if (!o.opened)
        return 0;
    if (length == 1 && dir == DataDirection::In)
        buffer[0] = small[0];
    const bool ok = Succeeded(o) && !ShortDataOut(dir, length, o.transferred);
    if (dir == DataDirection::In || ok)
        transferred = o.transferred;
    if (sense)
        std::memcpy(sense, senseArea, copied);
    Trace(path, cmd, ok, o.transferred, sense, sense ? copied : 0);
    return ok ? 1 : 0;
}

} // namespace

const char *OpenErrorText(OpenError error)
{
    switch (error) {
    case OpenError::None:
        return "no error";
    case OpenError::NotFound:
        return "device not present";
    case OpenError::PermissionDenied:
        return "permission denied";
    case OpenError::Busy:
        return "device busy (opened exclusively elsewhere)";
    case OpenError::Other:
        break;
    }
    return "open failed";
}

SenseCode DecodeSense(const std::uint8_t *sense, std::uint32_t length)
{
    SenseCode s;
    if (!sense || length < 1)
        return s;
    const std::uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        if (length > 1)
            s.key = sense[1] & 0x0F;
        if (length > 2)
            s.asc = sense[2];
        if (length > 3)
            s.ascq = sense[3];
    } else if (code == 0x70 || code == 0x71) {
        if (length > 2)
            s.key = sense[2] & 0x0F;
        if (length > 12)
            s.asc = sense[12];
        if (length > 13)
            s.ascq = sense[13];
    }
    return s;
}

ScopedSensePolicy::ScopedSensePolicy(SensePolicy policy) : previous_(sensePolicy) { sensePolicy = policy; }
ScopedSensePolicy::~ScopedSensePolicy() { sensePolicy = previous_; }

void SetTransportBackend(ScsiBackend *b) { backend = b; }
void SetCommandGate(std::function<void()> gate) { commandGate = std::move(gate); }
ScsiBackend *TransportBackend() { return backend; }
void SetCommandTrace(std::FILE *sink) { traceSink = sink; }
void SetCommandDataTrace(std::FILE *sink) { dataSink = sink; }
std::FILE *CommandDataTraceSink() { return dataSink; }

void TraceDataBusEvent(const std::string &event, const std::string &location, std::uint64_t ms)
{
    if (!dataSink)
        return;
    const std::string line = "{\"event\":" + JsonString(event) + ",\"location\":" + JsonString(location) +
                             ",\"ms\":" + std::to_string(ms) + "}\n";
    std::fputs(line.c_str(), dataSink);
    std::fflush(dataSink);
}
std::FILE *CommandTraceSink() { return traceSink; }
const TransportFailure &LastTransportFailure() { return lastFailure; }
std::uint64_t CommandsSent() { return commandCount; }
std::uint64_t FailingSinceCommand() { return failingSince; }

std::string DescribeLastTransportFailure()
{
    const TransportFailure &f = lastFailure;
    if (f.openFailed) {
        // Another program of ours has the bridge: that says it all.
        if (f.openError == OpenError::Busy && f.heldBy.rfind("the bridge at ", 0) == 0)
            return "cannot open " + f.path + ": " + f.heldBy;
        std::string text = "cannot open " + f.path + ": " + OpenErrorText(f.openError);
        if (f.openError == OpenError::Busy && !f.heldBy.empty())
            text += ": " + f.heldBy; // who has the node to itself
        if (f.openError == OpenError::PermissionDenied)
            text += std::string(". Raw SCSI access needs privileges: ") + kPrivilegeAdvice;
        return text;
    }
    if (f.sysErrno == EPERM || f.sysErrno == EACCES)
        return "command refused on " + f.path +
               ": permission denied. Vendor commands need CAP_SYS_RAWIO: " + kPrivilegeAdvice;
    if (f.sysErrno == ETIMEDOUT)
        return "command " + f.command + " timed out on " + f.path + ": no answer within " +
               std::to_string(f.timeoutSec) + " s";
    if (f.sysErrno != 0)
        return "command failed on " + f.path + ": " + std::strerror(f.sysErrno);
    if (f.scsiStatus != 0) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02X", f.scsiStatus);
        return "command failed on " + f.path + ": SCSI status " + buf;
    }
    return "command failed on " + f.path;
}

std::string LastTransportFailureCause()
{
    const TransportFailure &f = lastFailure;
    if (f.openFailed)
        return std::string("cannot open: ") + OpenErrorText(f.openError);
    if (f.sysErrno == ETIMEDOUT)
        return "no answer within " + std::to_string(f.timeoutSec) + " s";
    if (f.sysErrno != 0)
        return std::strerror(f.sysErrno);
    if (f.scsiStatus != 0) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "SCSI status 0x%02X", f.scsiStatus);
        return buf;
    }
    return "the command failed";
}

std::uint32_t DataOutTimeoutSec(const std::uint8_t *cdb, int cdbLength)
{
    std::uint8_t padded[16] = {};
    std::memcpy(padded, cdb, static_cast<std::size_t>(cdbLength > 16 ? 16 : cdbLength));
    if (padded[2] == 0x13 || (padded[11] == 0xFB && padded[1] == 3))
        return 100;
    return 50;
}

int SendScsiIn(const std::string &path, const std::uint8_t *cdb, int cdbLength, std::uint8_t *buffer,
               std::uint32_t length, std::uint32_t &transferred)
{
    return SendPlain(path, cdb, cdbLength, DataDirection::In, buffer, nullptr, length, transferred);
}

int SendScsiOut(const std::string &path, const std::uint8_t *cdb, int cdbLength, const std::uint8_t *data,
                std::uint32_t length, std::uint32_t &transferred)
{
    return SendPlain(path, cdb, cdbLength, DataDirection::Out, nullptr, data, length, transferred);
}

int SendScsiInSense(const std::string &path, const std::uint8_t *cdb, int cdbLength, std::uint8_t *buffer,
                    std::uint32_t length, std::uint32_t &transferred, std::uint8_t *sense,
                    std::uint32_t senseLength)
{
    return SendWithSense(path, cdb, cdbLength, DataDirection::In, buffer, length, transferred, sense,
                         senseLength);
}

int SendScsiOutSense(const std::string &path, const std::uint8_t *cdb, int cdbLength,
                     const std::uint8_t *data, std::uint32_t length, std::uint32_t &transferred,
                     std::uint8_t *sense, std::uint32_t senseLength)
{
    // The data is only read: the out direction never writes into the data phase.
    return SendWithSense(path, cdb, cdbLength, DataDirection::Out, const_cast<std::uint8_t *>(data), length,
                         transferred, sense, senseLength);
}

std::uint8_t *AllocAlignedBlock(std::int32_t size, std::int32_t alignment)
{
    if (size < 0 || alignment < 0)
        return nullptr;
    return static_cast<std::uint8_t *>(
        std::calloc(static_cast<std::size_t>(size) + static_cast<std::size_t>(alignment), 1));
}

std::uint8_t *AlignUp(std::uint8_t *raw, std::int32_t alignment)
{
    const auto mask = static_cast<std::uintptr_t>(alignment) - 1;
    return reinterpret_cast<std::uint8_t *>((reinterpret_cast<std::uintptr_t>(raw) + mask) & ~mask);
}

void FreeAlignedBlock(std::uint8_t *raw) { std::free(raw); }

} // namespace brigant
