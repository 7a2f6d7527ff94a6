#include "image/image_stamp.h"

#include "image/checksums.h"

#include <cstring>

namespace brigant
{

int StampImageHeader(std::span<std::uint8_t> image)
{
    if (image.size() < kStampedImageSize)
        return 0;
    static constexpr std::uint8_t kMarker[4] = {0x5A, 0xC3, 0x69, 0xE1};
    for (std::size_t h = 0; h < kStampedImageSize; h += kStampedHalfSize) {
        std::uint8_t *half = image.data() + h;
        std::memcpy(half + 512, kMarker, 4);
        std::memset(half + 516, 0, 4);
        std::memcpy(half + 520, half + kStampedHalfSize - 4, 4);
        const std::uint32_t crc = ImageCrc32(half, 1020);
        half[1020] = static_cast<std::uint8_t>(crc >> 24);
        half[1021] = static_cast<std::uint8_t>(crc >> 16);
        half[1022] = static_cast<std::uint8_t>(crc >> 8);
        half[1023] = static_cast<std::uint8_t>(crc);
    }
    return 1;
}

} // namespace brigant
