// Fuzzes the firmware-file checks with arbitrary file contents: every chip
// type code with a few sub-revisions, the bank and NVRAM checks, both
// checksums and the header stamp; then the file-reading wrappers once.
#include "app/check_report.h"
#include "fuzz_require.h"
#include "image/bank_image.h"
#include "image/checksums.h"
#include "image/chip_match.h"
#include "image/file_checks.h"
#include "image/image_stamp.h"
#include "image/model_tags.h"

#include "fuzz_temp_file.h"

#include <cstdlib>
#include <vector>

using namespace brigant;
using brigant::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::span<const std::uint8_t> file(data, size);
    const std::uint8_t revFromFile = size > 8 ? data[8] : 0;
    MatchReport report;
    for (unsigned code = 0; code <= kChipTypeCount; ++code) {
        for (unsigned rev : {0u, 1u, 2u, 3u, 255u, unsigned(revFromFile)}) {
            const int fits =
                CheckFirmwareFileMatchesChip(file, PackChip(std::uint8_t(code), std::uint8_t(rev)), &report);
            Require(fits == 0 || fits == 1);
            Require(!report.probes.empty() && !report.reason.empty());
            if (code == 3 || code == 4 || (code >= 31 && code <= 34))
                Require(fits == 1);
            if (code == 0 || code == 26 || code == 29 || (code >= 19 && code <= 25) || code >= kChipTypeCount)
                Require(fits == 0);
        }
        const int nvram = CheckNvramHeader(file, code);
        Require(nvram == 0 || nvram == 1);
        if (CheckBankImage(file, code))
            Require(BankImageEnd(code) != 0);
    }
    ImageCrc16(data, size, revFromFile);
    ImageCrc32(data, size);
    std::vector<std::uint8_t> image(data, data + size);
    Require(StampImageHeader(image) == (size >= kStampedImageSize ? 1 : 0));

    // The wrappers read the file and must agree with the in-memory checks.
    static fuzz::ScratchFile scratch;
    const char *path = scratch.write(data, size);
    const std::uint16_t chip = PackChip(static_cast<std::uint8_t>(size ? data[0] % 40 : 0), revFromFile);
    Require(CheckFirmwareFileMatchesChip(path, chip) == CheckFirmwareFileMatchesChip(file, chip));
    Require(CheckNvramHeader(path, chip & 0xFF) == CheckNvramHeader(file, chip & 0xFF));
    Require(FileFitsFlash(path, static_cast<std::uint32_t>(size / 1024)) == (size % 1024 == 0));
    std::string text;
    Require(DescribeFirmwareFileCheck(path, {std::uint8_t(chip & 0xFF), revFromFile}, text) !=
            FileCheckOutcome::Unreadable);
    return 0;
}
