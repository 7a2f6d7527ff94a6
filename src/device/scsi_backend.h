#pragma once
// The seam between the pass-through operations and whatever carries a SCSI
// command: the kernel's SG_IO on a real disk, or the in-process simulator.
// A back end opens the device, runs exactly one command and closes it again.
#include <cstdint>
#include <string>

namespace brigant
{

enum class DataDirection : std::uint8_t { In, Out };

struct ScsiCommand {
    const std::uint8_t *cdb = nullptr;
    std::uint8_t cdbLength = 0; // 6 to 16
    DataDirection direction = DataDirection::In;
    std::uint8_t *data = nullptr; // null when length is 0
    std::uint32_t length = 0;     // bytes of the data phase, as the device sees them
    std::uint32_t timeoutSec = 10;
    bool exclusive = false;        // open without sharing
    std::uint8_t *sense = nullptr; // sense area, or null when not asked for
    std::uint8_t senseCapacity = 0;
};

enum class OpenError : std::uint8_t {
    None,
    NotFound,         // ENOENT, ENODEV, ENXIO: the device is gone
    PermissionDenied, // EACCES, EPERM: needs root or the helper
    Busy,             // EBUSY: someone else holds the device exclusively
    Other,
};

struct ScsiOutcome {
    bool opened = false;
    OpenError openError = OpenError::None;
    int sysErrno = 0; // errno of the failed open or pass-through call
    // Busy: who holds the bridge or the node, in words, when that could be found.
    std::string heldBy;

    // Meaningful when opened:
    bool transportOk = false; // the pass-through call and the transport both succeeded
    std::uint8_t scsiStatus = 0;
    std::uint32_t transferred = 0; // bytes moved in the data phase
    std::uint8_t senseLength = 0;  // bytes written into the sense area
};

class ScsiBackend
{
  public:
    virtual ~ScsiBackend() = default;
    virtual ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) = 0;
};

const char *OpenErrorText(OpenError error);

} // namespace brigant
