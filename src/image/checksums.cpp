#include "image/checksums.h"

namespace brigant
{

namespace
{
// The group's bytes as a little-endian word: its high byte is fed first.
std::uint32_t GroupWord(const std::uint8_t *group)
{
    return std::uint32_t(group[0]) | std::uint32_t(group[1]) << 8 | std::uint32_t(group[2]) << 16 |
           std::uint32_t(group[3]) << 24;
}
} // namespace

std::uint16_t ImageCrc16(const std::uint8_t *bytes, std::size_t length, std::uint16_t initial)
{
    std::uint32_t crc = initial;
    for (std::size_t i = 0; i + 4 <= length; i += 4) {
        const std::uint32_t word = GroupWord(bytes + i);
        // Four bits at a time, most significant nibble of the word first.
        for (int n = 28; n >= 0; n -= 4) {
            const std::uint32_t t = ((crc >> 12) ^ (word >> n)) & 0xF;
            crc = (crc << 4) ^ (t << 12) ^ (t << 5) ^ t;
            crc &= 0xFFFF;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

std::uint32_t ImageCrc32(const std::uint8_t *bytes, std::size_t length)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i + 4 <= length; i += 4) {
        for (int b = 3; b >= 0; --b) {
            const std::uint8_t byte = bytes[i + static_cast<std::size_t>(b)];
            for (int bit = 0; bit < 8; ++bit) {
                const std::uint32_t feed = ((byte >> bit) & 1u) ^ (crc >> 31);
                crc <<= 1;
                if (feed)
                    crc ^= 0x04C11DB7u;
            }
        }
    }
    return crc;
}

} // namespace brigant
