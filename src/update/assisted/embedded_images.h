#pragma once
// The firmware images the program carries: the update image programmed by the
// one-button update, and the manufacturing images a bridge running from ROM
// needs before its flash can be programmed.
#include <cstdint>

namespace brigant
{

constexpr std::uint32_t kUpdateImageSize = 262144;
constexpr std::uint32_t kMfgImageSize = 65536;

// Copies `length` bytes (0: all) from `offset` of the image into `dest`,
// shortened to what the image holds; returns the image's size, or 0 when
// there is no such image (nothing is copied then).
std::uint32_t LoadUpdateImage(std::uint8_t *dest, std::uint32_t offset, std::uint32_t length);
// Selector 1 "PINE_ROM0_MFG", 2 "QUINCE_ROM0_MFG", 11 "PINE_ROM1_MFG",
// 12 "QUINCE_ROM1_MFG", 13 "ROWAN_ROM1_MFG", 15 "SPRUCE_ROM1_MFG".
std::uint32_t LoadMfgImage(std::uint8_t *dest, std::uint32_t offset, std::uint32_t length, int selector);

// The selector of the manufacturing image for a chip type code and the ROM
// byte (chip information byte 7); 0 when there is none.
int MfgImageSelector(unsigned chipTypeCode, std::uint8_t romByte);

} // namespace brigant
