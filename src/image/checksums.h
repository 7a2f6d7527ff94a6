#pragma once
// The two checksums that firmware images carry. Both walk the data in groups
// of four bytes taken last byte first; a trailing partial group is ignored.
#include <cstddef>
#include <cstdint>

namespace brigant
{

// CRC-16 with polynomial 0x1021, no reflection, no final XOR, starting from
// `initial`. Guards the code area of 64 KiB bank images.
std::uint16_t ImageCrc16(const std::uint8_t *bytes, std::size_t length, std::uint16_t initial);

// 32-bit shift-register checksum, polynomial 0x04C11DB7, register starting at
// 0xFFFFFFFF, bits of each byte fed from bit 0 up, no final XOR. Guards the
// header blocks of 256 KiB images.
std::uint32_t ImageCrc32(const std::uint8_t *bytes, std::size_t length);

} // namespace brigant
