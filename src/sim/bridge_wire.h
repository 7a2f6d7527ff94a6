#pragma once
// What the simulated bridge's command handlers share: reading CDB fields,
// copying a reply into the host's buffer, and the firmware's own error reply.
#include "sim/sim_device.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace brigant::sim::wire
{

constexpr std::uint8_t kSpiReadStatus = 0x05;

inline std::uint32_t Be16(const std::uint8_t *p) { return static_cast<std::uint32_t>(p[0] << 8 | p[1]); }
inline std::uint32_t Be24(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0] << 16 | p[1] << 8 | p[2]);
}

// Up to `length` bytes of `from` (which holds `available`) into the host's buffer.
inline SimReply CopyIn(std::uint8_t *data, std::uint32_t length, const std::uint8_t *from,
                       std::uint32_t available)
{
    const std::uint32_t n = std::min(length, available);
    if (n)
        std::memcpy(data, from, n);
    return Good(n);
}

// The flash did not finish in time.
inline SimReply HardwareError() { return CheckCondition(0x04, 0x44, 0x00); }

} // namespace brigant::sim::wire
