// The simulator's own image rules against values worked out by hand from the
// rules, and against the tool's image code: the two are written separately,
// so a fault in either shows up here.
#include "image/bank_image.h"
#include "image/checksums.h"
#include "image/image_stamp.h"
#include "sim/firmware_builder.h"
#include "sim/sim_image_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (auto &b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

struct SumCase {
    const char *what;
    Bytes bytes;
    std::optional<std::uint16_t> bank;
    std::optional<std::uint32_t> half;
};

TEST(SimImageRules, ChecksumsOfSmallBuffers)
{
    const Bytes ascii = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    // By hand: the group's last byte goes first, so {0,0,0,1} feeds 01 00 00 00
    // (0x1021 times x^24) and {1,0,0,0} feeds 00 00 00 01 (0x1021). In the
    // 32-bit register, ones fed while the top bit is one cancel it: FF FF FF FF
    // clears the preset register, and 7F FF FF FF differs only in the last bit
    // fed (bit 7 of byte 0), leaving the polynomial.
    const SumCase cases[] = {
        {"a-h", ascii, 0xD1FD, 0x3DCE9C14u},
        {"a-h and a partial group", {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'}, 0xD1FD, 0x3DCE9C14u},
        {"three bytes", {1, 2, 3}, 0x0000, 0xFFFFFFFFu},
        {"last byte first", {0, 0, 0, 1}, 0x76B4, std::nullopt},
        {"first byte last", {1, 0, 0, 0}, 0x1021, std::nullopt},
        {"all ones", {0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt, 0x00000000u},
        {"bit 7 of byte 0 last", {0x7F, 0xFF, 0xFF, 0xFF}, std::nullopt, 0x04C11DB7u},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.bank) {
            EXPECT_EQ(brigant::sim::BankSum(c.bytes.data(), c.bytes.size()), *c.bank);
        }
        if (c.half) {
            EXPECT_EQ(brigant::sim::HalfSum(c.bytes.data(), c.bytes.size()), *c.half);
        }
    }
    EXPECT_EQ(brigant::sim::BankSum(ascii.data(), 0, 0xBEEF), 0xBEEF);
}

TEST(SimImageRules, BankEndsAndSeal)
{
    EXPECT_EQ(brigant::sim::BankCodeEnd(13), 0xC000u);
    EXPECT_EQ(brigant::sim::BankCodeEnd(18), 0xC000u);
    EXPECT_EQ(brigant::sim::BankCodeEnd(27), 0x8000u);
    EXPECT_EQ(brigant::sim::BankCodeEnd(12), 0u);
    EXPECT_EQ(brigant::sim::BankCodeEnd(19), 0u);

    Bytes bank = RandomBytes(0x10000, 5);
    brigant::sim::SealBankAt(bank.data(), 0x8000);
    EXPECT_TRUE(brigant::sim::BankSealed(bank.data(), 0x8000));
    bank[0x8000 - 3] ^= 0x01; // outside the checksummed area
    EXPECT_TRUE(brigant::sim::BankSealed(bank.data(), 0x8000));
    bank[0x7FFB] ^= 0x01; // the last byte covered
    EXPECT_FALSE(brigant::sim::BankSealed(bank.data(), 0x8000));
}

// The tool's checksums and the simulator's must agree on any data.
TEST(SimImageRules, AgreeWithTheToolsChecksums)
{
    for (std::size_t length : {0u, 4u, 7u, 1020u, 4099u, 0xBFFCu}) {
        const Bytes data = RandomBytes(length, static_cast<unsigned>(length) + 1);
        SCOPED_TRACE(length);
        EXPECT_EQ(brigant::sim::BankSum(data.data(), length, 0x1D0F),
                  brigant::ImageCrc16(data.data(), length, 0x1D0F));
        EXPECT_EQ(brigant::sim::HalfSum(data.data(), length), brigant::ImageCrc32(data.data(), length));
    }
    for (unsigned code = 0; code < 40; ++code)
        EXPECT_EQ(brigant::sim::BankCodeEnd(code), brigant::BankImageEnd(code)) << code;
}

TEST(SimImageRules, ImagesAgreeWithTheTool)
{
    Bytes ours = RandomBytes(brigant::sim::kStampedImageBytes, 9);
    Bytes theirs = ours;
    brigant::sim::StampHalves(ours.data());
    ASSERT_EQ(brigant::StampImageHeader(theirs), 1);
    EXPECT_EQ(ours, theirs);
    EXPECT_TRUE(brigant::sim::HalfStamped(ours.data()));
    EXPECT_TRUE(brigant::sim::HalfStamped(ours.data() + brigant::sim::kStampedHalfBytes));

    // Banks the simulator seals pass the tool's bank check, for every bank layout.
    for (unsigned code : {13u, 14u, 15u, 16u, 17u, 18u, 27u}) {
        brigant::sim::FirmwareSpec spec;
        spec.chipCode = code;
        spec.tag = code == 27 ? "S3A" : code == 13 ? "S3N" : std::string("S6") + "YPQRS"[code - 14];
        spec.seed = code;
        Bytes bank = brigant::sim::BuildBankImage(spec);
        EXPECT_TRUE(brigant::CheckBankImage(bank, code)) << code;
        bank[100] ^= 0x40;
        EXPECT_FALSE(brigant::CheckBankImage(bank, code)) << code;
    }
}

} // namespace
