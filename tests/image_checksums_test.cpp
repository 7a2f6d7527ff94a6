#include "image/checksums.h"
#include "image/image_stamp.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace brigant;

namespace
{

using Bytes = std::vector<std::uint8_t>;

Bytes Ascii(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (auto &b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// Whole groups of four, each reversed; a trailing partial group dropped.
Bytes GroupsReversed(const Bytes &in)
{
    Bytes out;
    for (std::size_t i = 0; i + 4 <= in.size(); i += 4)
        out.insert(out.end(), {in[i + 3], in[i + 2], in[i + 1], in[i]});
    return out;
}

std::uint8_t BitReversed(std::uint8_t b)
{
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        r = static_cast<std::uint8_t>(r | ((b >> i) & 1) << (7 - i));
    return r;
}

// Table-driven textbook CRCs, checked against their published check values.
std::uint16_t Xmodem(const Bytes &data, std::uint16_t crc)
{
    static const auto table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            std::uint16_t c = static_cast<std::uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k)
                c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
            t[i] = c;
        }
        return t;
    }();
    for (auto b : data)
        crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

std::uint32_t Mpeg2(const Bytes &data)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k)
                c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (auto b : data)
        crc = (crc << 8) ^ table[((crc >> 24) ^ b) & 0xFF];
    return crc;
}

} // namespace

TEST(ImageCrc, KnownValuesOfEightAsciiBytes)
{
    const Bytes abc = Ascii("abcdefgh");
    EXPECT_EQ(ImageCrc16(abc.data(), abc.size(), 0), 0xD1FD);
    EXPECT_EQ(ImageCrc32(abc.data(), abc.size()), 0x3DCE9C14u);
}

TEST(ImageCrc, IncompleteGroupsAreIgnored)
{
    const Bytes abc = Ascii("abcdefghijk");
    EXPECT_EQ(ImageCrc16(abc.data(), 3, 0x1234), 0x1234);
    EXPECT_EQ(ImageCrc16(abc.data(), 0, 0xBEEF), 0xBEEF);
    EXPECT_EQ(ImageCrc32(abc.data(), 3), 0xFFFFFFFFu);
    // The three bytes after the second group change nothing.
    EXPECT_EQ(ImageCrc16(abc.data(), 11, 0), ImageCrc16(abc.data(), 8, 0));
    EXPECT_EQ(ImageCrc32(abc.data(), 11), ImageCrc32(abc.data(), 8));
}

TEST(ImageCrc, ReferenceCrcsMatchTheirPublishedCheckValues)
{
    EXPECT_EQ(Xmodem(Ascii("123456789"), 0), 0x31C3);
    EXPECT_EQ(Mpeg2(Ascii("123456789")), 0x0376E6E7u);
}

TEST(ImageCrc, Crc16IsXmodemOverReversedGroupsFromAnyStart)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const Bytes data = RandomBytes(seed * 37, seed);
        const auto initial = static_cast<std::uint16_t>(seed * 0x0F0F);
        EXPECT_EQ(ImageCrc16(data.data(), data.size(), initial), Xmodem(GroupsReversed(data), initial))
            << "seed " << seed;
    }
}

TEST(ImageCrc, Crc32IsMpeg2OverReversedGroupsWithBitReversedBytes)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        Bytes fed = GroupsReversed(RandomBytes(seed * 41, seed));
        const Bytes data = RandomBytes(seed * 41, seed);
        for (auto &b : fed)
            b = BitReversed(b);
        EXPECT_EQ(ImageCrc32(data.data(), data.size()), Mpeg2(fed)) << "seed " << seed;
    }
}

TEST(StampImageHeader, WritesMarkerTailCopyAndChecksumIntoBothHalves)
{
    Bytes image = RandomBytes(kStampedImageSize, 7);
    const Bytes before = image;
    ASSERT_EQ(StampImageHeader(image), 1);
    for (std::size_t h : {std::size_t{0}, kStampedHalfSize}) {
        SCOPED_TRACE(h);
        const std::uint8_t *half = image.data() + h;
        EXPECT_EQ(Bytes(half + 512, half + 520), (Bytes{0x5A, 0xC3, 0x69, 0xE1, 0, 0, 0, 0}));
        EXPECT_EQ(Bytes(half + 520, half + 524), Bytes(half + kStampedHalfSize - 4, half + kStampedHalfSize));
        const std::uint32_t crc = ImageCrc32(half, 1020); // covers the bytes just written
        EXPECT_EQ(Bytes(half + 1020, half + 1024), (Bytes{std::uint8_t(crc >> 24), std::uint8_t(crc >> 16),
                                                          std::uint8_t(crc >> 8), std::uint8_t(crc)}));
        // Nothing else in the half changes.
        EXPECT_TRUE(std::equal(half, half + 512, before.data() + h));
        EXPECT_TRUE(std::equal(half + 524, half + 1020, before.data() + h + 524));
        EXPECT_TRUE(std::equal(half + 1024, half + kStampedHalfSize, before.data() + h + 1024));
    }
    // The halves are stamped independently: their tails differ, so do their blocks.
    EXPECT_NE(Bytes(image.begin() + 520, image.begin() + 1024),
              Bytes(image.begin() + kStampedHalfSize + 520, image.begin() + kStampedHalfSize + 1024));
}

TEST(StampImageHeader, RefusesABufferShorterThan256KiB)
{
    Bytes image = RandomBytes(kStampedImageSize - 1, 3);
    const Bytes before = image;
    EXPECT_EQ(StampImageHeader(image), 0);
    EXPECT_EQ(image, before);
}
