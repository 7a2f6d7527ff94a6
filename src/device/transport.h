#pragma once
// One SCSI command per call: open the device, send, close. Every bridge
// command of the program goes through these operations.
#include "device/scsi_backend.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace brigant
{

// Selects the process-wide back end (set once at start; tests may swap it).
void SetTransportBackend(ScsiBackend *backend);
ScsiBackend *TransportBackend();

// Called before every command is sent (none when empty). A caller that must
// stop between two commands, such as a user's interrupt, throws from it: the
// command is then not sent.
void SetCommandGate(std::function<void()> gate);

// Command trace: one line per command to `sink`, or off when null.
void SetCommandTrace(std::FILE *sink);
std::FILE *CommandTraceSink(); // the sink in use, or nullptr when off
// Command data trace: one JSON object per line for every command the back end
// ran (each resend too), with the bytes of its data phase (see
// docs/trace-data.md), or off when null.
void SetCommandDataTrace(std::FILE *sink);
std::FILE *CommandDataTraceSink();
// A bus event in the data trace, between the commands around it: the bridge
// at `location` left the bus ("left", `ms` after its reset) or came back
// ("back", `ms` after it left).
void TraceDataBusEvent(const std::string &event, const std::string &location, std::uint64_t ms);

// What went wrong with the most recent failed operation, so that callers can
// tell a permission problem from a vanished device.
struct TransportFailure {
    std::string path;
    bool openFailed = false;
    OpenError openError = OpenError::None;
    int sysErrno = 0;
    std::uint8_t scsiStatus = 0;
    std::string command;          // the CDB in hex, as the trace shows it
    std::uint32_t timeoutSec = 0; // the time-out the command was given
    std::string heldBy;           // OpenError::Busy: who holds the bridge or node, when known
    std::string sense;            // the sense bytes of a CHECK CONDITION, in hex; empty: none
};
const TransportFailure &LastTransportFailure();
// How many commands were sent (or tried) so far, and the number of the
// first of the commands that failed since the last one that succeeded (0
// when the last one succeeded): where a run that ended failing broke off.
std::uint64_t CommandsSent();
std::uint64_t FailingSinceCommand();
// A user-facing sentence about LastTransportFailure() (with advice for permission problems).
std::string DescribeLastTransportFailure();
// Why LastTransportFailure() failed, in a few words without the device
// ("Input/output error", "SCSI status 0x02", "no answer within 10 s").
std::string LastTransportFailureCause();
// The one advice every front end gives when raw SCSI access is denied.
inline constexpr const char *kPrivilegeAdvice =
    "run through the helper (installed with the package), or as root";

// Sense key / ASC / ASCQ, from fixed (0x70/0x71) or descriptor (0x72/0x73) sense data.
struct SenseCode {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
};
SenseCode DecodeSense(const std::uint8_t *sense, std::uint32_t length);

// What the operations below do with a CHECK CONDITION before they report it.
// A UNIT ATTENTION (key 6: power on, reset, a changed medium) means the
// command was not executed, so it is sent once more. NOT READY "becoming
// ready" (02/04/01) is asked again, kNotReadyPolls times at most,
// kNotReadyPollMs apart on the program clock. Every other sense fails the
// command. Each resend shows in the debug output and, as its own line, in
// the trace.
enum class SensePolicy : std::uint8_t {
    Full,              // both rules (the default)
    UnitAttentionOnly, // for callers that poll "becoming ready" themselves
    SendOnce,          // exactly the command asked for (raw)
};
inline constexpr int kNotReadyPolls = 30;
inline constexpr std::uint32_t kNotReadyPollMs = 100;
// The policy for the commands sent while it lives (restored after).
class ScopedSensePolicy
{
  public:
    explicit ScopedSensePolicy(SensePolicy policy);
    ~ScopedSensePolicy();
    ScopedSensePolicy(const ScopedSensePolicy &) = delete;
    ScopedSensePolicy &operator=(const ScopedSensePolicy &) = delete;

  private:
    SensePolicy previous_;
};

int SendScsiIn(const std::string &path, const std::uint8_t *cdb, int cdbLength, std::uint8_t *buffer,
               std::uint32_t length, std::uint32_t &transferred);
int SendScsiOut(const std::string &path, const std::uint8_t *cdb, int cdbLength, const std::uint8_t *data,
                std::uint32_t length, std::uint32_t &transferred);
int SendScsiInSense(const std::string &path, const std::uint8_t *cdb, int cdbLength, std::uint8_t *buffer,
                    std::uint32_t length, std::uint32_t &transferred, std::uint8_t *sense,
                    std::uint32_t senseLength);
int SendScsiOutSense(const std::string &path, const std::uint8_t *cdb, int cdbLength,
                     const std::uint8_t *data, std::uint32_t length, std::uint32_t &transferred,
                     std::uint8_t *sense, std::uint32_t senseLength);

// Time-out in seconds that the plain data-out operation gives a CDB.
std::uint32_t DataOutTimeoutSec(const std::uint8_t *cdb, int cdbLength);

// Zero-filled heap block of size + alignment bytes; keep the raw pointer for freeing.
std::uint8_t *AllocAlignedBlock(std::int32_t size, std::int32_t alignment);
std::uint8_t *AlignUp(std::uint8_t *raw, std::int32_t alignment);
void FreeAlignedBlock(std::uint8_t *raw);

constexpr std::int32_t kTransferAlignment = 8192;

// A transfer block taken with AllocAlignedBlock / AlignUp (zero-filled,
// 8192-aligned) that frees its raw block when it goes; data() is null when
// the allocation failed.
class TransferBlock
{
  public:
    explicit TransferBlock(std::uint32_t size)
        : raw_(AllocAlignedBlock(static_cast<std::int32_t>(size), kTransferAlignment)),
          data_(raw_ ? AlignUp(raw_, kTransferAlignment) : nullptr)
    {
    }
    ~TransferBlock() { FreeAlignedBlock(raw_); }
    TransferBlock(const TransferBlock &) = delete;
    TransferBlock &operator=(const TransferBlock &) = delete;

    std::uint8_t *data() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

  private:
    std::uint8_t *raw_;
    std::uint8_t *data_;
};

} // namespace brigant
