#include "app/check_report.h"

#include "identify/flash_identify.h"
#include "image/bank_image.h"
#include "image/checksums.h"

#include "firmware_files.h"
#include "recording_ui.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using namespace brigant;
using namespace brigant::test;
using ::testing::HasSubstr;

TEST(ParseChipChoice, CodeOrSeriesNameWithOptionalSubRevision)
{
    ChipChoice chip;
    std::string error;
    ASSERT_TRUE(ParseChipChoice("13", chip, error));
    EXPECT_EQ(chip.code, 13);
    EXPECT_EQ(chip.subRevision, 0);
    ASSERT_TRUE(ParseChipChoice("7:3", chip, error));
    EXPECT_EQ(chip.code, 7);
    EXPECT_EQ(chip.subRevision, 3);
    ASSERT_TRUE(ParseChipChoice("Nutmeg Series", chip, error));
    EXPECT_EQ(chip.code, 13);
    ASSERT_TRUE(ParseChipChoice("hazel:2", chip, error));
    EXPECT_EQ(chip.code, 8);
    EXPECT_EQ(chip.subRevision, 2);
    ASSERT_TRUE(ParseChipChoice("Juniper/Katsura", chip, error)); // the first of equal names
    EXPECT_EQ(chip.code, 9);
    ASSERT_TRUE(ParseChipChoice("Dogwood", chip, error));
    EXPECT_EQ(chip.code, 32);
    ASSERT_TRUE(ParseChipChoice("255:255", chip, error));

    for (const char *bad : {"", "256", "13:256", "13:", "13:x", "Oak", "-1", "Unknown Chip", "13:1:2"})
        EXPECT_FALSE(ParseChipChoice(bad, chip, error)) << bad;
}

TEST(DescribeFirmwareFileCheck, ReportsRecordsBankChecksumAndOutcome)
{
    TempDir dir;
    Bytes bank = Image(0xC000, {{0xBFF0, Record(kHeaderSignature, "S3N1", '1')}});
    const std::uint16_t crc = ImageCrc16(bank.data(), 0xC000 - 4, 0);
    bank[0xBFFE] = static_cast<std::uint8_t>(crc >> 8);
    bank[0xBFFF] = static_cast<std::uint8_t>(crc);
    const std::string path = dir.write("s3n.bin", bank);

    std::string text;
    EXPECT_EQ(DescribeFirmwareFileCheck(path, {13, 0}, text), FileCheckOutcome::Fits);
    EXPECT_THAT(text, HasSubstr("49152 bytes"));
    EXPECT_THAT(text,
                HasSubstr("header record at 0xBFF0: signature 55 AA AA 55, tag \"S3N1\", revision 0x31"));
    EXPECT_THAT(text, HasSubstr("bank image: valid"));
    EXPECT_THAT(text, HasSubstr("result: fits"));

    bank[100] ^= 1;
    EXPECT_EQ(DescribeFirmwareFileCheck(dir.write("s3n-bad.bin", bank), {13, 0}, text),
              FileCheckOutcome::Fits);
    EXPECT_THAT(text, HasSubstr("bank image: not valid"));

    EXPECT_EQ(DescribeFirmwareFileCheck(path, {14, 0}, text), FileCheckOutcome::DoesNotFit);
    EXPECT_THAT(text, HasSubstr("result: does not fit"));

    EXPECT_EQ(DescribeFirmwareFileCheck(dir.write("short.bin", Bytes(100)), {13, 0}, text),
              FileCheckOutcome::DoesNotFit);
    EXPECT_THAT(text, HasSubstr("beyond the end of the file"));
    EXPECT_THAT(text, HasSubstr("bank image: none"));
}

TEST(DescribeFirmwareFileCheck, AFileLargerThanTheLargestFlashDoesNotFitWhateverItsHead)
{
    TempDir dir;
    Bytes bank = Image(0xC000, {{0xBFF0, Record(kHeaderSignature, "S3N1", '1')}});
    const std::uint16_t crc = ImageCrc16(bank.data(), 0xC000 - 4, 0);
    bank[0xBFFE] = static_cast<std::uint8_t>(crc >> 8);
    bank[0xBFFF] = static_cast<std::uint8_t>(crc);
    const std::string path = dir.write("s3n.bin", bank);
    std::string text;
    for (const std::uintmax_t size : {std::uintmax_t{16} << 20, (std::uintmax_t{16} << 20) + 1}) {
        std::filesystem::resize_file(path, size); // sparse: the head stays a valid image
        const bool fits = size <= std::uintmax_t{kLargestFlashKb} * 1024;
        EXPECT_EQ(DescribeFirmwareFileCheck(path, {13, 0}, text),
                  fits ? FileCheckOutcome::Fits : FileCheckOutcome::DoesNotFit)
            << size;
        EXPECT_EQ(text.find("larger than the largest flash") != std::string::npos, !fits) << text;
    }
}

TEST(DescribeFirmwareFileCheck, UnreadableFilesGiveTheReasonWithoutAMessageBox)
{
    RecordingUi ui;
    TempDir dir;
    std::string text;
    EXPECT_EQ(DescribeFirmwareFileCheck((dir.path() / "none.bin").string(), {3, 0}, text),
              FileCheckOutcome::Unreadable);
    EXPECT_THAT(text, HasSubstr("No such file or directory"));
    EXPECT_EQ(DescribeFirmwareFileCheck(dir.path().string(), {3, 0}, text), FileCheckOutcome::Unreadable);
    EXPECT_THAT(text, HasSubstr("Is a directory"));
    EXPECT_TRUE(ui.boxes.empty());
    // An empty file is readable, and fits the codes that take any file.
    EXPECT_EQ(DescribeFirmwareFileCheck(dir.write("empty.bin", Bytes{}), {3, 0}, text),
              FileCheckOutcome::Fits);
}
