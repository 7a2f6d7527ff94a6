#pragma once
// Anything the simulator can put behind a device path: it answers one CDB at a
// time, as the hardware would, from its own state only.
#include "device/scsi_backend.h"

#include <array>
#include <cstdint>
#include <string>

namespace brigant::sim
{

// The direction of a command's data phase as it reaches the device. A command
// without data carries none: the wire has nothing to say about it.
enum class WireDirection : std::uint8_t { None, In, Out };

struct SimReply {
    std::uint8_t status = 0;              // 0 GOOD, 2 CHECK CONDITION
    std::uint32_t transferred = 0;        // bytes of the data phase actually moved
    std::array<std::uint8_t, 18> sense{}; // fixed-format sense when status is 2
};

// Fixed-format sense data with key / ASC / ASCQ.
SimReply CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
inline SimReply IllegalRequest() { return CheckCondition(0x05, 0x20, 0x00); }
// ILLEGAL REQUEST, INVALID FIELD IN CDB.
inline SimReply InvalidField() { return CheckCondition(0x05, 0x24, 0x00); }
inline SimReply Good(std::uint32_t transferred) { return SimReply{0, transferred, {}}; }

class SimDevice
{
  public:
    virtual ~SimDevice() = default;
    // `data` holds `length` bytes: filled by the device for data-in, read by it
    // for data-out. Never writes more than `length` bytes. `direction` is None
    // exactly when the command has no data phase.
    virtual SimReply execute(const std::uint8_t *cdb, int cdbLength, WireDirection direction,
                             std::uint8_t *data, std::uint32_t length) = 0;
};

} // namespace brigant::sim
