#pragma once
// The header blocks of 256 KiB images: each 128 KiB half carries, in its
// first KiB, a marker, a copy of its last four bytes and a 32-bit checksum.
#include <cstddef>
#include <cstdint>
#include <span>

namespace brigant
{

inline constexpr std::size_t kStampedImageSize = 0x40000;
inline constexpr std::size_t kStampedHalfSize = 0x20000;

// For each half h (offset 0, then 0x20000): 5A C3 69 E1 at h + 512, four zero
// bytes at h + 516, the half's last four bytes at h + 520, and ImageCrc32 of
// h + 0 .. h + 1019 at h + 1020, high byte first. Returns 1; returns 0 and
// leaves the buffer untouched when it is shorter than 256 KiB.
int StampImageHeader(std::span<std::uint8_t> image);

} // namespace brigant
