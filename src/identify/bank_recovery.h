#pragma once
// Dual-bank firmware recovery: chips of types 13 and 27 with a
// flash of 128 KiB or more keep one firmware copy in each of the first two
// 64 KiB banks; when exactly one is valid it is copied over the other.
#include "device/device_entry.h"
#include "identify/probe_host.h"
#include "image/chip_identity.h"

#include <cstdint>
#include <string>

namespace brigant
{

inline constexpr std::uint32_t kBank0Address = 0x00000;
inline constexpr std::uint32_t kBank1Address = 0x10000;
inline constexpr std::uint32_t kFirmwareBankSize = 0x10000;

// Checks both banks once per listed device (`entry`'s bankCheckDone mark) and repairs the damaged one from
// the valid one. 1 when a repair was made and verified; 0 otherwise (also when both banks are valid or both
// damaged, or a read failed); 1 without doing anything unless FlashSizeKb > 127,
// the mark is not 1 and `chipTypeCode` is 13 or 27. The status line ends with
// "FW Recovery successful!!" or "FW Recovery Fail!!" after a repair attempt.
// With `repair` false nothing is written: a damaged bank is recorded in the
// entry's damagedBank and the mark is left unset.
int RecoverFirmwareBank(ProbeHost &host, const ChipIdentity &chip, DeviceEntry &entry, bool repair,
                        const std::string &path, std::uint8_t chipTypeCode);

} // namespace brigant
