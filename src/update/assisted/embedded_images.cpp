#include "update/assisted/embedded_images.h"

#include <cstring>

extern "C" {
extern const unsigned char brigant_image_FW_FOR_UPDATE[], brigant_image_FW_FOR_UPDATE_end[];
extern const unsigned char brigant_image_PINE_ROM0_MFG[], brigant_image_PINE_ROM0_MFG_end[];
extern const unsigned char brigant_image_QUINCE_ROM0_MFG[], brigant_image_QUINCE_ROM0_MFG_end[];
extern const unsigned char brigant_image_PINE_ROM1_MFG[], brigant_image_PINE_ROM1_MFG_end[];
extern const unsigned char brigant_image_QUINCE_ROM1_MFG[], brigant_image_QUINCE_ROM1_MFG_end[];
extern const unsigned char brigant_image_ROWAN_ROM1_MFG[], brigant_image_ROWAN_ROM1_MFG_end[];
extern const unsigned char brigant_image_SPRUCE_ROM1_MFG[], brigant_image_SPRUCE_ROM1_MFG_end[];
}

namespace brigant
{

namespace
{

struct Resource {
    const unsigned char *begin;
    const unsigned char *end;
};

std::uint32_t CopyOut(const Resource &r, std::uint8_t *dest, std::uint32_t offset, std::uint32_t length)
{
    const auto size = static_cast<std::uint32_t>(r.end - r.begin);
    if (offset > size)
        offset = size;
    if (length == 0 || static_cast<std::uint64_t>(offset) + length > size)
        length = size - offset;
    if (length)
        std::memcpy(dest, r.begin + offset, length);
    return size;
}

} // namespace

std::uint32_t LoadUpdateImage(std::uint8_t *dest, std::uint32_t offset, std::uint32_t length)
{
    return CopyOut({brigant_image_FW_FOR_UPDATE, brigant_image_FW_FOR_UPDATE_end}, dest, offset, length);
}

std::uint32_t LoadMfgImage(std::uint8_t *dest, std::uint32_t offset, std::uint32_t length, int selector)
{
    Resource r{};
    switch (selector) {
    case 1:
        r = {brigant_image_PINE_ROM0_MFG, brigant_image_PINE_ROM0_MFG_end};
        break;
    case 2:
        r = {brigant_image_QUINCE_ROM0_MFG, brigant_image_QUINCE_ROM0_MFG_end};
        break;
    case 11:
        r = {brigant_image_PINE_ROM1_MFG, brigant_image_PINE_ROM1_MFG_end};
        break;
    case 12:
        r = {brigant_image_QUINCE_ROM1_MFG, brigant_image_QUINCE_ROM1_MFG_end};
        break;
    case 13:
        r = {brigant_image_ROWAN_ROM1_MFG, brigant_image_ROWAN_ROM1_MFG_end};
        break;
    case 15:
        r = {brigant_image_SPRUCE_ROM1_MFG, brigant_image_SPRUCE_ROM1_MFG_end};
        break;
    default:
        return 0;
    }
    return CopyOut(r, dest, offset, length);
}

int MfgImageSelector(unsigned chipTypeCode, std::uint8_t romByte)
{
    if (romByte == 0) {
        if (chipTypeCode == 15)
            return 1;
        if (chipTypeCode == 16)
            return 2;
        return 0;
    }
    if (romByte == 1) {
        switch (chipTypeCode) {
        case 15:
            return 11;
        case 16:
            return 12;
        case 17:
            return 13;
        case 18:
            return 15;
        default:
            return 0;
        }
    }
    return 0;
}

} // namespace brigant
