#include "image/chip_match.h"

#include "firmware_files.h"
#include "recording_ui.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace brigant;
using namespace brigant::test;

namespace
{

const auto kSig = kHeaderSignature;
const std::array<std::uint8_t, 4> kHalfSig = {0x55, 0xAA, 0x00, 0x00};
const std::array<std::uint8_t, 4> kNoSig = {0x12, 0x34, 0x56, 0x78};
const std::array<std::uint8_t, 4> kLarchOnly3 = {0xE9, 0xAC, 0x67, 0x00};

int Match(const Bytes &file, unsigned code, unsigned rev = 0)
{
    return CheckFirmwareFileMatchesChip(file, PackChip(std::uint8_t(code), std::uint8_t(rev)));
}

const std::vector<std::pair<unsigned, std::string>> kBankCodes = {
    {13, "S3N"}, {14, "S6Y"}, {15, "S6P"}, {16, "S6Q"}, {17, "S6R"}, {18, "S6S"}, {27, "S3A"}};

std::size_t BankRecordOffset(unsigned code) { return code == 27 ? 0x7FF0 : 0xBFF0; }

} // namespace

// Codes 13 to 18 and 27: the record near the end of the bank's code area.
TEST(ChipMatchBankLayout, RecordAtEndOfCodeAreaWithTheCodesTag)
{
    for (const auto &[code, tag] : kBankCodes) {
        SCOPED_TRACE(code);
        const std::size_t at = BankRecordOffset(code);
        EXPECT_EQ(Match(Image(at + 16, {{at, Record(kSig, tag + "1")}}), code), 1);
        EXPECT_EQ(Match(Image(at + 16, {{at, Record(kSig, "Q5K1")}}), code), 0);
        // Only 55 AA is needed there; without a full signature the record at
        // 0x1000 may stand in, and its tag then decides.
        EXPECT_EQ(Match(Image(at + 16, {{at, Record(kHalfSig, tag + "1")}}), code), 1);
        EXPECT_EQ(
            Match(Image(at + 16, {{at, Record(kHalfSig, "XYZ1")}, {0x1000, Record(kSig, tag + "2")}}), code),
            1);
        EXPECT_EQ(
            Match(Image(at + 16, {{at, Record(kHalfSig, tag + "1")}, {0x1000, Record(kSig, "XYZ2")}}), code),
            0);
    }
}

TEST(ChipMatchBankLayout, FailsAtOnceWithoutSignatureAtTheEndEvenWithValidHeadersElsewhere)
{
    for (const auto &[code, tag] : kBankCodes) {
        SCOPED_TRACE(code);
        const std::size_t at = BankRecordOffset(code);
        const Bytes file = Image(0x10000, {{0, Record(kSig, tag + "1")},
                                           {0x1000, Record(kSig, tag + "1")},
                                           {at, Record(kNoSig, tag + "1")}});
        MatchReport report;
        EXPECT_EQ(CheckFirmwareFileMatchesChip(file, PackChip(std::uint8_t(code), 0), &report), 0);
        ASSERT_EQ(report.probes.size(), 1u);
        EXPECT_EQ(report.probes[0].offset, at);
        // A file that ends before the record reads nothing there.
        EXPECT_EQ(Match(Image(at, {{0, Record(kSig, tag + "1")}}), code), 0);
    }
    // Code 27's record is at 0x7FF0, not at 0xBFF0, and the other way round.
    EXPECT_EQ(Match(Image(0xC000, {{0xBFF0, Record(kSig, "S3A1")}}), 27), 0);
    EXPECT_EQ(Match(Image(0xC000, {{0x7FF0, Record(kSig, "S3N1")}}), 13), 0);
}

// Codes 28 and 30: the record at 0x4000.
TEST(ChipMatchAt4000, BaobabTagAndElmEETag)
{
    EXPECT_EQ(Match(Image(0x4010, {{0x4000, Record(kSig, "S4B7")}}), 28), 1);
    EXPECT_EQ(Match(Image(0x4010, {{0x4000, Record(kHalfSig, "S4B7")}}), 28), 1);
    EXPECT_EQ(Match(Image(0x4010, {{0x4000, Record(kSig, "S4C7")}}), 28), 0);
    EXPECT_EQ(Match(Image(0x4010, {{0x4000, Record(kNoSig, "S4B7")}}), 28), 0);
    EXPECT_EQ(Match(Image(0x4010, {{0, Record(kSig, "S4B7")}}), 28), 0);

    // Code 30 compares four characters.
    EXPECT_EQ(Match(Image(0x4010, {{0x4000, Record(kSig, "Q7EE")}}), 30), 1);
    EXPECT_EQ(Match(Image(0x4010, {{0x4000, Record(kSig, "Q7E1")}}), 30), 0);
    EXPECT_EQ(Match(Image(0x4010, {{0x4000, Record(kNoSig, "Q7EE")}}), 30), 0);
}

// Codes 7, 9, 10 and 12: the record at 0, or at 0x1000 when 0 has no signature.
TEST(ChipMatchAtZeroWithTagCheck, SignedRecordAtZeroMustCarryTheTag)
{
    for (const auto &[code, tag] :
         std::vector<std::pair<unsigned, std::string>>{{9, "Q5K"}, {10, "Q5K"}, {12, "S1M"}}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Match(Image(0x2000, {{0, Record(kSig, tag + "0")}}), code), 1);
        EXPECT_EQ(Match(Image(0x2000, {{0, Record(kSig, "Q5G0")}, {0x1000, Record(kSig, tag + "0")}}), code),
                  0);
        // No signature at 0: the signed record at 0x1000 decides.
        EXPECT_EQ(
            Match(Image(0x2000, {{0, Record(kNoSig, "Q5G0")}, {0x1000, Record(kSig, tag + "0")}}), code), 1);
        EXPECT_EQ(
            Match(Image(0x2000, {{0, Record(kNoSig, tag + "0")}, {0x1000, Record(kSig, "Q5G0")}}), code), 0);
    }
    // Code 7 checks the tag too, whatever its revision byte says.
    EXPECT_EQ(Match(Image(0x2000, {{0, Record(kSig, "Q5K0", '0')}}), 7, 1), 0);
}

TEST(ChipMatchAtZeroWithTagCheck, WithNeitherSignatureTheTextAtZeroStays)
{
    const Bytes file = Image(0x2000, {{0, Record(kNoSig, "S1M0")}});
    MatchReport report;
    EXPECT_EQ(CheckFirmwareFileMatchesChip(file, PackChip(12, 0), &report), 1);
    ASSERT_EQ(report.probes.size(), 2u);
    EXPECT_EQ(report.probes[1].offset, 0x1000u);
    EXPECT_EQ(report.comparisonOffset, 0u);
    EXPECT_EQ(Match(Image(0x2000, {{0, Record(kNoSig, "S1N0")}}), 12), 0);
}

TEST(ChipMatchRevisionByte, Code7ComparesByteEightWithSubRevisionMinusOne)
{
    // Any tag passes without a signature; the digit '2' fits sub-revision 3.
    EXPECT_EQ(
        Match(Image(0x2000, {{0, Record(kNoSig, "ABCD", '2')}, {0x1000, Record(kNoSig, "ABCD", '2')}}), 7, 3),
        1);
    EXPECT_EQ(Match(Image(0x2000, {{0, Record(kSig, "Q5G0", '2')}}), 7, 3), 1);
    EXPECT_EQ(Match(Image(0x2000, {{0, Record(kSig, "Q5G0", '2')}}), 7, 2), 0);
    // A binary 0 is taken as it is and fits sub-revision 1.
    EXPECT_EQ(Match(Image(0x2000, {{0, Record(kSig, "Q5G0", 0)}}), 7, 1), 1);
    EXPECT_EQ(Match(Image(0x2000, {{0, Record(kSig, "Q5G0", '0')}}), 7, 1), 1);
    // With neither signature, byte 8 is the one at 0x1008.
    EXPECT_EQ(
        Match(Image(0x2000, {{0, Record(kNoSig, "Q5G0", '5')}, {0x1000, Record(kNoSig, "Q5G0", '1')}}), 7, 2),
        1);
    EXPECT_EQ(
        Match(Image(0x2000, {{0, Record(kNoSig, "Q5G0", '5')}, {0x1000, Record(kNoSig, "Q5G0", '1')}}), 7, 6),
        0);
}

// Code 11: the Larch record at 0x80.
TEST(ChipMatchLarch, RecordAt80WithThreeSignatureBytes)
{
    EXPECT_EQ(Match(Image(0x1000, {{0x80, Record(kLarchSignature, "Q5L1")}}), 11), 1);
    EXPECT_EQ(Match(Image(0x1000, {{0x80, Record(kLarchOnly3, "Q5L1")}}), 11), 1);
    EXPECT_EQ(Match(Image(0x1000, {{0x80, Record(kLarchSignature, "Q5G1")}}), 11), 0);
    EXPECT_EQ(Match(Image(0x1000, {{0, Record(kSig, "Q5L1")}, {0x1000, Record(kSig, "Q5L1")}}), 11), 0);
    // The tag at 0 does not matter when the Larch record is there.
    EXPECT_EQ(Match(Image(0x1000, {{0, Record(kSig, "S3N1")}, {0x80, Record(kLarchSignature, "Q5L1")}}), 11),
              1);
}

// Codes whose files carry no checked signature: the text at offset 0 decides.
TEST(ChipMatchTextAtZero, TagsWithRevisionCharacter)
{
    // Codes 1 and 5: tag and the character of sub-revision - 1.
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q7A2")}}), 1, 3), 1);
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q7A2")}}), 1, 2), 0);
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q7E0")}}), 5, 1), 1);
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q7E0")}}), 5, 0), 0);
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q7E/")}}), 5, 0), 1);
    // Code 1 with sub-revision 1 wants four binary bytes, not "Q7A0".
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "\x5A\xA5\x0F\xF0")}}), 1, 1), 1);
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q7A0")}}), 1, 1), 0);
    // Code 6: three characters.
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q2F9")}}), 6), 1);
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "Q2G9")}}), 6), 0);
}

TEST(ChipMatchTextAtZero, BirchRefusesTheQ7Family)
{
    for (unsigned code : {2u, 35u}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Match(Image(64, {{0, Record(kSig, "Q7B0")}}), code), 0);
        EXPECT_EQ(Match(Image(64, {{0, Record(kSig, "Q5B0")}}), code), 1);
        EXPECT_EQ(Match(Image(64, {{0, Record(kSig, "q7B0")}}), code), 1); // case counts
    }
}

TEST(ChipMatchTextAtZero, HazelWantsSignatureAndTagForRevisionOneOrTwo)
{
    const Bytes rev1 = Image(64, {{0, Record(kSig, "vQ5H")}});
    const Bytes rev2 = Image(64, {{0, Record(kSig, "Q5H1")}});
    EXPECT_EQ(Match(rev1, 8, 1), 1);
    EXPECT_EQ(Match(rev2, 8, 2), 1);
    EXPECT_EQ(Match(rev1, 8, 2), 0);
    EXPECT_EQ(Match(rev2, 8, 1), 0);
    EXPECT_EQ(Match(rev2, 8, 3), 0);
    EXPECT_EQ(Match(rev1, 8, 0), 0);
    EXPECT_EQ(Match(Image(64, {{0, Record(kNoSig, "vQ5H")}}), 8, 1), 0);
}

TEST(ChipMatchCodeClasses, SomeCodesTakeAnyFileOthersNone)
{
    const Bytes empty;
    const Bytes junk = Image(0x10000, {}, 0xA5);
    for (unsigned code : {3u, 4u, 31u, 32u, 33u, 34u}) {
        EXPECT_EQ(Match(empty, code), 1) << code;
        EXPECT_EQ(Match(junk, code, 7), 1) << code;
    }
    // Good-looking files for each layout still do not fit these codes.
    const Bytes everything = Image(0x10000, {{0, Record(kSig, "S6O1")},
                                             {0x1000, Record(kSig, "S0C1")},
                                             {0x4000, Record(kSig, "S6O1")},
                                             {0x7FF0, Record(kSig, "S6O1")},
                                             {0xBFF0, Record(kSig, "S6O1")}});
    for (unsigned code : {0u, 19u, 20u, 21u, 22u, 23u, 24u, 25u, 26u, 29u, 36u, 200u, 255u})
        EXPECT_EQ(Match(everything, code), 0) << code;
}

TEST(ChipMatchShortReads, PartialReadKeepsTheRestOfThePreviousRecord)
{
    // The file ends four bytes into the record at 0x1000: the read there
    // brings a signature, and the tag bytes stay those read at 0.
    Bytes file = Image(0x1004, {{0, Record(kNoSig, "S1M0")}, {0x1000, Record(kSig, "")}});
    MatchReport report;
    EXPECT_EQ(CheckFirmwareFileMatchesChip(file, PackChip(12, 0), &report), 1);
    ASSERT_EQ(report.probes.size(), 2u);
    EXPECT_EQ(report.probes[1].bytesRead, 4u);
    EXPECT_EQ(report.comparisonOffset, 0x1000u);
    // A file that ends before 0x1000 leaves byte 8 from offset 0 for code 7.
    EXPECT_EQ(Match(Image(16, {{0, Record(kNoSig, "Q5G0", '4')}}), 7, 5), 1);
    // Nothing read at all: the record is zeros, which fits code 7 sub-revision 1.
    EXPECT_EQ(Match(Bytes{}, 7, 1), 1);
    EXPECT_EQ(Match(Bytes{}, 12), 0);
}

TEST(ChipMatchFile, UnopenableFileIsSaidApartFromAMismatch)
{
    RecordingUi ui;
    TempDir dir;
    bool unreadable = false;
    EXPECT_EQ(CheckFirmwareFileMatchesChip((dir.path() / "missing.bin").c_str(), PackChip(3, 0), &unreadable),
              0);
    EXPECT_TRUE(unreadable);
    unreadable = false;
    EXPECT_EQ(CheckFirmwareFileMatchesChip(dir.path().c_str(), PackChip(3, 0), &unreadable),
              0); // a directory
    EXPECT_TRUE(unreadable);

    const std::string good = dir.write("nutmeg.bin", Image(0xC000, {{0xBFF0, Record(kSig, "S3N1")}}));
    EXPECT_EQ(CheckFirmwareFileMatchesChip(good.c_str(), PackChip(13, 0), &unreadable), 1);
    EXPECT_FALSE(unreadable);
    EXPECT_EQ(CheckFirmwareFileMatchesChip(good.c_str(), PackChip(27, 0), &unreadable), 0);
    EXPECT_FALSE(unreadable);
    EXPECT_TRUE(ui.boxes.empty()); // the window shows the box, not the check
}

TEST(ChipMatchFile, HugeSparseFileIsJudgedByItsHeaderRecords)
{
    TempDir dir;
    const std::string path = dir.write("huge.bin", Image(0xC000, {{0xBFF0, Record(kSig, "S6Q1")}}));
    std::filesystem::resize_file(path, std::uintmax_t{8} << 30); // 8 GiB, no data blocks
    EXPECT_EQ(CheckFirmwareFileMatchesChip(path.c_str(), PackChip(16, 0)), 1);
    EXPECT_EQ(CheckFirmwareFileMatchesChip(path.c_str(), PackChip(17, 0)), 0);
}
