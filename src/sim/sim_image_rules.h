#pragma once
// What the simulated bridges' boot code knows about firmware images: the
// header record signatures, where a bank's code area ends, the bank checksum
// and the stamped header blocks of 256 KiB images. The simulator keeps its own
// copy of these rules, so that a mistake in the tool's image code cannot hide
// behind the same mistake in the hardware it is tested against.
#include <array>
#include <cstddef>
#include <cstdint>

namespace brigant::sim
{

// First four bytes of a header record.
inline constexpr std::array<std::uint8_t, 4> kRecordSignature = {0x55, 0xAA, 0xAA, 0x55};
inline constexpr std::array<std::uint8_t, 4> kLarchRecordSignature = {0xE9, 0xAC, 0x67, 0x32};

// A 256 KiB image: two halves, each with a header block in its first KiB.
inline constexpr std::size_t kStampedImageBytes = 0x40000;
inline constexpr std::size_t kStampedHalfBytes = 0x20000;
inline constexpr std::array<std::uint8_t, 4> kStampMarkerBytes = {0x5A, 0xC3, 0x69, 0xE1};
inline constexpr std::size_t kStampMarkerAt = 512;
inline constexpr std::size_t kStampSumAt = 1020;

// Where the code area of a 64 KiB bank ends for the chip (its header record
// sits 16 bytes before, its checksum in the last two bytes); 0 for chips
// without banks.
std::size_t BankCodeEnd(unsigned chipCode);

// The bank checksum: a CRC-16 (polynomial 0x1021, MSB first, no final XOR)
// over whole four-byte groups, each group fed last byte first. A trailing
// partial group is not fed.
std::uint16_t BankSum(const std::uint8_t *bytes, std::size_t length, std::uint16_t start = 0);

// The checksum of a header block: a 32-bit shift register (polynomial
// 0x04C11DB7, preset to all ones, no final XOR) fed the same four-byte groups
// last byte first, each byte from its lowest bit up.
std::uint32_t HalfSum(const std::uint8_t *bytes, std::size_t length);

// Seals the bank starting at `bank`: the checksum of its code area (all but
// the last four bytes) goes big-endian into the last two. `end` is the
// bank's BankCodeEnd.
void SealBankAt(std::uint8_t *bank, std::size_t end);
// True when the bank's stored checksum matches its code area.
bool BankSealed(const std::uint8_t *bank, std::size_t end);

// Writes both header blocks of a 256 KiB image (kStampedImageBytes at `image`):
// marker, four zeros, a copy of the half's last four bytes, then the half's
// checksum of its first 1020 bytes, high byte first.
void StampHalves(std::uint8_t *image);
// True when the half starting at `half` carries the marker and a matching checksum.
bool HalfStamped(const std::uint8_t *half);

} // namespace brigant::sim
