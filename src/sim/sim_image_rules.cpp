#include "sim/sim_image_rules.h"

#include <algorithm>

namespace brigant::sim
{

std::size_t BankCodeEnd(unsigned chipCode)
{
    switch (chipCode) {
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
        return 0xC000;
    case 27:
        return 0x8000;
    default:
        return 0;
    }
}

std::uint16_t BankSum(const std::uint8_t *bytes, std::size_t length, std::uint16_t start)
{
    std::uint16_t reg = start;
    const std::size_t groups = length / 4;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t *group = bytes + 4 * g;
        for (int k = 3; k >= 0; --k) {
            reg ^= static_cast<std::uint16_t>(group[k] << 8);
            for (int bit = 0; bit < 8; ++bit) {
                const bool top = (reg & 0x8000) != 0;
                reg = static_cast<std::uint16_t>(reg << 1);
                if (top)
                    reg ^= 0x1021;
            }
        }
    }
    return reg;
}

std::uint32_t HalfSum(const std::uint8_t *bytes, std::size_t length)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    const std::size_t groups = length / 4;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t *group = bytes + 4 * g;
        // 32 bits per group: the last byte's bit 0 first, the first byte's bit 7 last.
        for (unsigned k = 0; k < 32; ++k) {
            const unsigned in = (group[3 - k / 8] >> (k % 8)) & 1u;
            const unsigned out = reg >> 31;
            reg <<= 1;
            if (in != out)
                reg ^= 0x04C11DB7u;
        }
    }
    return reg;
}

void SealBankAt(std::uint8_t *bank, std::size_t end)
{
    const std::uint16_t sum = BankSum(bank, end - 4);
    bank[end - 2] = static_cast<std::uint8_t>(sum >> 8);
    bank[end - 1] = static_cast<std::uint8_t>(sum & 0xFF);
}

bool BankSealed(const std::uint8_t *bank, std::size_t end)
{
    const unsigned stored = static_cast<unsigned>(bank[end - 2]) << 8 | bank[end - 1];
    return BankSum(bank, end - 4) == stored;
}

namespace
{

std::uint32_t HalfSumStored(const std::uint8_t *half)
{
    const std::uint8_t *p = half + kStampSumAt;
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

} // namespace

void StampHalves(std::uint8_t *image)
{
    for (std::uint8_t *half = image; half < image + kStampedImageBytes; half += kStampedHalfBytes) {
        std::uint8_t *block = half + kStampMarkerAt;
        std::copy(kStampMarkerBytes.begin(), kStampMarkerBytes.end(), block);
        std::fill(block + 4, block + 8, 0x00);
        std::copy(half + kStampedHalfBytes - 4, half + kStampedHalfBytes, block + 8);
        const std::uint32_t sum = HalfSum(half, kStampSumAt);
        for (int i = 0; i < 4; ++i)
            half[kStampSumAt + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sum >> (24 - 8 * i));
    }
}

bool HalfStamped(const std::uint8_t *half)
{
    return std::equal(kStampMarkerBytes.begin(), kStampMarkerBytes.end(), half + kStampMarkerAt) &&
           HalfSum(half, kStampSumAt) == HalfSumStored(half);
}

} // namespace brigant::sim
