#pragma once
// 64 KiB firmware banks of chip type codes 13 to 18 and 27: a code area that
// ends E bytes into the bank, with the header record at E - 16 and the 16-bit
// checksum of bytes 0 .. E - 5 stored big-endian at E - 2 and E - 1.
#include <cstddef>
#include <cstdint>
#include <span>

namespace brigant
{

inline constexpr std::size_t kBankSize = 0x10000;

// E for the codes with a bank layout (0xC000, or 0x8000 for code 27); 0 for
// every other code.
std::size_t BankImageEnd(unsigned code);

// The checksum an image should carry: ImageCrc16 over bytes 0 .. E - 5.
// Requires image.size() >= end.
std::uint16_t BankImageChecksum(std::span<const std::uint8_t> image, std::size_t end);
// The checksum the image carries at E - 2 (high byte) and E - 1.
std::uint16_t StoredBankChecksum(std::span<const std::uint8_t> image, std::size_t end);

// True when the image holds, for the code, a header record with signature
// 55 AA AA 55 and the code's model tag at E - 16 and a matching checksum.
// False for codes without a bank layout and for an image shorter than E.
bool CheckBankImage(std::span<const std::uint8_t> image, unsigned code);

} // namespace brigant
