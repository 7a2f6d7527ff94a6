// The version a firmware file carries, written as the window writes a
// running version, and the order of two versions.
#include "firmware_files.h"
#include "image/firmware_version.h"

#include <gtest/gtest.h>

using namespace brigant;
using brigant::test::Bytes;

namespace
{

Bytes WithVersionAt25(std::initializer_list<std::uint8_t> version, std::size_t size = 64)
{
    Bytes head(size, 0xFF);
    std::size_t at = 25;
    for (const std::uint8_t b : version)
        if (at < size)
            head[at++] = b;
    return head;
}

TEST(FirmwareVersion, ReadsTheVersionBytesAsTheRunningFirmwareShowsThem)
{
    struct Case {
        unsigned code;
        Bytes head;
        const char *text;
    };
    const Case cases[] = {
        {16, WithVersionAt25({'1', '1', '0', '8'}), "1.1.0.8"},
        {15, WithVersionAt25({'1', 'A', '0', '2'}), "1.A.0.2"},
        {17, WithVersionAt25({1, 2, 0, 13}), "01.02.00.13"},
        // A '.' or a control byte would not read back as four fields of characters.
        {18, WithVersionAt25({'1', '.', '0', '8'}), "49.46.48.56"},
        {16, WithVersionAt25({'1', '1', '0', 0}), "49.49.48.00"},
        {16, WithVersionAt25({'1', '1', '0', '8'}, 28), ""}, // too short for the fourth byte
        {13, WithVersionAt25({'1', '1', '0', '8'}), ""},     // its files carry no version the tool knows
        {0, WithVersionAt25({'1', '1', '0', '8'}), ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(FirmwareImageVersion(c.code, c.head), c.text) << c.code << " " << c.text;
}

TEST(FirmwareVersion, OfAFileIsEmptyWhenItCannotBeRead)
{
    test::TempDir dir;
    const std::string file = dir.write("fw.bin", WithVersionAt25({'2', '0', '0', '1'}, 0xC000));
    EXPECT_EQ(FirmwareFileVersion(file, 16), "2.0.0.1");
    EXPECT_EQ(FirmwareFileVersion(file, 13), "");
    EXPECT_EQ(FirmwareFileVersion((dir.path() / "missing.bin").string(), 16), "");
    EXPECT_EQ(FirmwareFileVersion(dir.path().string(), 16), ""); // a directory
    EXPECT_EQ(FirmwareFileVersion(dir.write("short.bin", Bytes(20, '1')), 16), "");
}

TEST(FirmwareVersion, ComparesFieldByField)
{
    struct Case {
        const char *candidate, *installed;
        VersionOrder order;
    };
    using O = VersionOrder;
    const Case cases[] = {
        {"1.1.0.9", "1.1.0.8", O::Newer},
        {"1.1.0.7", "1.1.0.8", O::Older},
        {"1.1.0.8", "1.1.0.8", O::Same},
        {"01.01.00.09", "01.01.00.08", O::Newer},
        {"10.00", "9.99", O::Newer}, // numbers by value, not as text
        {"1.05.03", "1.5.3", O::Same},
        // Characters against two-digit numbers: other bytes, no order.
        {"1.1.0.8", "01.01.00.08", O::Unknown},
        {"2.3.4.5", "31.25.01.05", O::Unknown},
        {"2.05.11.16.-124", "2.05.11.16.05", O::Older},
        {"1.B.0.0", "1.A.0.0", O::Newer},
        {"1.A.0.0", "1.9.0.0", O::Unknown}, // a character against a number
        {"1.AB", "1.AC", O::Unknown},
        {"1.AB", "1.AB", O::Same},
        {"2.05.11.16.00", "2.05.11.16", O::Unknown},
        {"", "1.1.0.8", O::Unknown},
        {"1.1.0.8", "", O::Unknown},
    };
    for (const Case &c : cases)
        EXPECT_EQ(CompareVersions(c.candidate, c.installed), c.order) << c.candidate << " vs " << c.installed;
}

// The one form the command line names versions in: the same image reads alike
// whichever form the chip shows it in.
TEST(FirmwareVersion, PlainFormDropsLeadingZerosOfNumbersAndShowsNoRawBytes)
{
    const std::pair<const char *, const char *> cases[] = {
        {"01.01.01.00", "1.1.1.0"},
        {"1.1.1.0", "1.1.1.0"},
        {"1.00.05", "1.0.5"},
        {"31.25.01.05", "31.25.1.5"},
        {"A.0B.01", "A.0B.1"},
        {"00", "0"},
        {"1..2", "1..2"},
        {"", ""},
        // Bytes shown as characters that are not printable: in hex, never raw.
        {"\x1F.\x19.\x01.\x05", "0x1F.0x19.0x01.0x05"},
        {"1.\xFF.a", "1.0xFF.a"},
        {"1. .2", "1.0x20.2"},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(PlainVersion(in), out) << in;
}

} // namespace
