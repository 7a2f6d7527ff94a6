#pragma once
// Firmware images of our own making, shaped like the real ones where the tool
// and the simulated bridges look at them: the model tag at 0x15, the version
// at 25, a header record and a checksum at the end of each 64 KiB bank's code
// area, and the header blocks of a 256 KiB image. The code bytes themselves
// are a deterministic pseudo-random fill.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brigant::sim
{

struct FirmwareSpec {
    unsigned chipCode = 16;
    std::string tag = "S6Q"; // three characters, at 0x15 and in the header record
    char revision = '0';     // fourth character of the header record's tag
    std::array<std::uint8_t, 4> version{'1', '0', '0', '0'}; // bytes 25-28
    std::uint32_t seed = 1;                                  // varies the code fill
    bool release = true;                                     // build flags bit 0: a release build
};

constexpr std::size_t kBankImageSize = 0x10000;
constexpr std::size_t kUpdateImageSize = 0x40000;

// One 64 KiB bank: code area with the header record and its checksum at the
// end of the code area of the chip's bank layout (0xC000, 0x8000 for code 27),
// 0xFF after it.
std::vector<std::uint8_t> BuildBankImage(const FirmwareSpec &spec);

// 256 KiB: the bank image in both 64 KiB banks of each 128 KiB half, both
// halves carrying their header blocks, each bank's checksum valid.
std::vector<std::uint8_t> BuildUpdateImage(const FirmwareSpec &spec);

// Rewrites the checksum of the bank starting at `bank` for `chipCode`'s layout.
void SealBank(std::vector<std::uint8_t> &image, std::size_t bank, unsigned chipCode);

} // namespace brigant::sim
