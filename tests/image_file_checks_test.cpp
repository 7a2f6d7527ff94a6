#include "image/bank_image.h"
#include "image/checksums.h"
#include "image/file_checks.h"

#include "firmware_files.h"
#include "recording_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace brigant;
using namespace brigant::test;

namespace
{

// A bank image whose code area ends at `end`, with a record and checksum.
Bytes Bank(std::size_t end, const std::string &tag)
{
    Bytes bank = Image(kBankSize, {{end - 16, Record(kHeaderSignature, tag + "1")}});
    for (std::size_t i = 0; i < end - 16; ++i)
        bank[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::uint16_t crc = ImageCrc16(bank.data(), end - 4, 0);
    bank[end - 2] = static_cast<std::uint8_t>(crc >> 8);
    bank[end - 1] = static_cast<std::uint8_t>(crc);
    return bank;
}

} // namespace

TEST(CheckBankImage, RecordAndChecksumAtTheEndOfEachCodesCodeArea)
{
    for (const auto &[code, tag, end] : std::vector<std::tuple<unsigned, std::string, std::size_t>>{
             {13, "S3N", 0xC000}, {14, "S6Y", 0xC000}, {18, "S6S", 0xC000}, {27, "S3A", 0x8000}}) {
        SCOPED_TRACE(code);
        Bytes bank = Bank(end, tag);
        EXPECT_TRUE(CheckBankImage(bank, code));
        // The two bytes before the checksum, and the rest of the bank, are outside it.
        bank[end - 4] ^= 0xFF;
        bank[end - 3] ^= 0xFF;
        bank[end + 10] ^= 0xFF;
        EXPECT_TRUE(CheckBankImage(bank, code));
        // Any byte of the code area counts, and so do both checksum bytes.
        for (std::size_t at : {std::size_t{0}, end / 2, end - 5, end - 2, end - 1}) {
            Bytes damaged = Bank(end, tag);
            damaged[at] ^= 0x01;
            EXPECT_FALSE(CheckBankImage(damaged, code)) << "byte " << at;
        }
    }
}

TEST(CheckBankImage, TagSignatureCodeAndLengthAreChecked)
{
    EXPECT_FALSE(CheckBankImage(Bank(0xC000, "S3N"), 14)); // another code's tag
    EXPECT_FALSE(CheckBankImage(Bank(0xC000, "S3N"), 27)); // code 27 reads at 0x7FF0
    EXPECT_FALSE(CheckBankImage(Bank(0x8000, "S3A"), 13));
    for (unsigned code : {0u, 7u, 12u, 19u, 28u, 36u})
        EXPECT_FALSE(CheckBankImage(Bank(0xC000, "S3N"), code)) << code;

    Bytes unsigned_ = Bank(0xC000, "S3N");
    unsigned_[0xBFF3] = 0x00; // 55 AA AA 00
    const std::uint16_t crc = ImageCrc16(unsigned_.data(), 0xC000 - 4, 0);
    unsigned_[0xBFFE] = static_cast<std::uint8_t>(crc >> 8);
    unsigned_[0xBFFF] = static_cast<std::uint8_t>(crc);
    EXPECT_FALSE(CheckBankImage(unsigned_, 13));

    const Bytes bank = Bank(0xC000, "S3N");
    EXPECT_TRUE(CheckBankImage(std::span(bank).first(0xC000), 13));
    EXPECT_FALSE(CheckBankImage(std::span(bank).first(0xBFFF), 13));
}

TEST(FileFitsFlash, LengthAgainstFlashSize)
{
    RecordingUi ui;
    TempDir dir;
    const std::string exact = dir.write("exact.bin", Bytes(64 * 1024, 0xFF));
    const std::string over = dir.write("over.bin", Bytes(64 * 1024 + 1, 0xFF));
    EXPECT_TRUE(FileFitsFlash(exact.c_str(), 64));
    EXPECT_FALSE(FileFitsFlash(over.c_str(), 64));
    EXPECT_TRUE(FileFitsFlash(over.c_str(), 65));
    EXPECT_TRUE(FileFitsFlash(dir.write("empty.bin", Bytes{}).c_str(), 0));
    // Only the low 24 bits of the size count.
    EXPECT_FALSE(FileFitsFlash(exact.c_str(), 0x01000000u + 63));
    EXPECT_TRUE(FileFitsFlash(exact.c_str(), 0xFF000040u));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(FileFitsFlash, LargeFilesAreComparedWithoutOverflow)
{
    TempDir dir;
    const std::string path = dir.write("big.bin", Bytes{});
    std::filesystem::resize_file(path, std::uintmax_t{16} << 30); // 16 GiB, sparse
    EXPECT_FALSE(FileFitsFlash(path.c_str(), 0xFFFFFF));
    std::filesystem::resize_file(path, std::uintmax_t{0xFFFFFF} * 1024);
    EXPECT_TRUE(FileFitsFlash(path.c_str(), 0xFFFFFF));
}

TEST(FileFitsFlash, UnopenableFileIsRefusedAndSaidSo)
{
    TempDir dir;
    bool unreadable = false;
    EXPECT_FALSE(FileFitsFlash((dir.path() / "missing.bin").c_str(), 1024, &unreadable));
    EXPECT_TRUE(unreadable);
    unreadable = false;
    EXPECT_FALSE(FileFitsFlash(dir.path().c_str(), 1024, &unreadable));
    EXPECT_TRUE(unreadable);
}

TEST(FileLength, LeavesTheReadPositionAlone)
{
    TempDir dir;
    const std::string path = dir.write("f.bin", Bytes(1000, 1));
    std::FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, 123, SEEK_SET), 0);
    EXPECT_EQ(FileLength(f), 1000);
    EXPECT_EQ(std::ftell(f), 123);
    std::fclose(f);
    EXPECT_EQ(FileLength(nullptr), -1);
}

TEST(CheckNvramHeader, SignedRecordBehindA4KiBArea)
{
    RecordingUi ui;
    const Bytes atZero = Image(0x2000, {{0, Record(kHeaderSignature, "Q5G1")}});
    const Bytes behind = Image(0x2000, {{0x1000, Record(kHeaderSignature, "Q5G1")}});
    EXPECT_EQ(CheckNvramHeader(atZero, 7), 0);
    EXPECT_EQ(CheckNvramHeader(behind, 7), 1);
    EXPECT_EQ(CheckNvramHeader(behind, 12), 0); // another code's tag
    // A signature at 0 means no area, even when 0x1000 also holds a record.
    EXPECT_EQ(CheckNvramHeader(Image(0x2000, {{0, Record(kHeaderSignature, "XXX1")},
                                              {0x1000, Record(kHeaderSignature, "Q5G1")}}),
                               7),
              0);
    // A file that ends before 0x1000 keeps the record from 0, which has no signature.
    EXPECT_EQ(CheckNvramHeader(Image(0x800, {{0, Record({1, 2, 3, 4}, "Q5G1")}}), 7), 0);
    // An unknown chip's empty tag matches nothing.
    EXPECT_EQ(CheckNvramHeader(Image(0x2000, {{0x1000, Record(kHeaderSignature, "")}}), 0), 0);
    EXPECT_EQ(CheckNvramHeader(behind, 200), 0);

    TempDir dir;
    EXPECT_EQ(CheckNvramHeader(dir.write("atzero.bin", atZero).c_str(), 7), 0);
    EXPECT_EQ(CheckNvramHeader(dir.write("behind.bin", behind).c_str(), 7), 1);
    EXPECT_EQ(CheckNvramHeader((dir.path() / "missing.bin").c_str(), 7), 0);
    EXPECT_TRUE(ui.boxes.empty()); // refused silently
}

TEST(CheckNvramHeader, LarchRecordAt128)
{
    EXPECT_EQ(CheckNvramHeader(Image(0x2000, {{0x80, Record(kLarchSignature, "Q5L1")}}), 11), 1);
    EXPECT_EQ(CheckNvramHeader(Image(0x2000, {{0x80, Record({0xE9, 0xAC, 0x67, 0x00}, "Q5L1")}}), 11), 0);
    EXPECT_EQ(CheckNvramHeader(Image(0x2000, {{0x80, Record(kLarchSignature, "Q5K1")}}), 11), 0);
    // Only code 11 looks there.
    EXPECT_EQ(CheckNvramHeader(Image(0x2000, {{0x80, Record(kLarchSignature, "Q5L1")}}), 19), 0);
    // Either place is enough for code 11.
    EXPECT_EQ(CheckNvramHeader(Image(0x2000, {{0x1000, Record(kHeaderSignature, "Q5L1")}}), 11), 1);
}
