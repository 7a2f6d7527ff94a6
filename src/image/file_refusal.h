#pragma once
// Whether a firmware file may be written at all, before any update procedure
// touches the bridge: a file that cannot be the bridge's firmware must not
// cost the bridge the firmware it has. The match check decides whether a file
// was built for a chip; this decides whether writing it can leave a bridge
// that starts.
#include "image/chip_match.h"

#include <cstdint>
#include <span>
#include <string>

namespace brigant
{

// How many bytes from the start of a file the judgement reads.
inline constexpr std::size_t kFileRefusalProbeEnd = kChipMatchProbeEnd;

// Why `head` (the first bytes of a file of `length` bytes) must not be
// written to a bridge of chip type `code` whose flash holds `flashBytes`
// (0: not known here, no size limit applied); empty when nothing speaks
// against it. The reasons, in the order they are looked for: an empty file;
// a length other than the one whole image the code's update takes; a file
// larger than the flash; a missing 4 KiB NVRAM area where the code's flash
// keeps one in front of the firmware; for a code no match check passes, a
// header record of another chip type where the match check would read one.
std::string FirmwareFileRefusal(std::span<const std::uint8_t> head, std::uint64_t length, unsigned code,
                                std::uint64_t flashBytes);

} // namespace brigant
