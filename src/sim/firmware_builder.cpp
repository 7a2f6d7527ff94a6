#include "sim/firmware_builder.h"

#include "sim/chip_firmware.h"
#include "sim/sim_image_rules.h"

#include <algorithm>
#include <cstring>

namespace brigant::sim
{

namespace
{

std::size_t CodeEnd(unsigned chipCode)
{
    const std::size_t end = BankCodeEnd(chipCode);
    return end ? end : 0xC000;
}

} // namespace

void SealBank(std::vector<std::uint8_t> &image, std::size_t bank, unsigned chipCode)
{
    SealBankAt(image.data() + bank, CodeEnd(chipCode));
}

std::vector<std::uint8_t> BuildBankImage(const FirmwareSpec &spec)
{
    std::vector<std::uint8_t> bank(kBankImageSize, 0xFF);
    const std::size_t end = CodeEnd(spec.chipCode);

    // Pseudo-random "code", the same for the same seed.
    std::uint32_t state = 0x9E3779B9u ^ spec.seed ^ (spec.chipCode << 16);
    for (std::size_t i = 0; i < end; ++i) {
        state = state * 1664525u + 1013904223u;
        bank[i] = static_cast<std::uint8_t>(state >> 24);
    }
    static const char kPreamble[] = "Brigant fw image";
    std::memcpy(bank.data(), kPreamble, 16);
    std::fill(bank.begin() + 16, bank.begin() + 32, 0x00);
    for (int i = 0; i < 3; ++i)
        bank[0x15 + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(spec.tag.size() > 2 ? spec.tag[static_cast<std::size_t>(i)] : '?');
    bank[0x18] = static_cast<std::uint8_t>(spec.revision);
    bank[kBuildFlags] = spec.release ? 0x01 : 0x00;
    std::copy(spec.version.begin(), spec.version.end(), bank.begin() + 25);

    // Header record at the end of the code area, then the checksum.
    std::uint8_t *record = bank.data() + end - 16;
    std::fill(record, record + 16, 0x00);
    std::copy(kRecordSignature.begin(), kRecordSignature.end(), record);
    for (int i = 0; i < 3; ++i)
        record[4 + i] = bank[0x15 + static_cast<std::size_t>(i)];
    record[7] = static_cast<std::uint8_t>(spec.revision);
    SealBank(bank, 0, spec.chipCode);
    return bank;
}

std::vector<std::uint8_t> BuildUpdateImage(const FirmwareSpec &spec)
{
    const std::vector<std::uint8_t> bank = BuildBankImage(spec);
    std::vector<std::uint8_t> image(kUpdateImageSize);
    for (std::size_t at = 0; at < kUpdateImageSize; at += kBankImageSize)
        std::copy(bank.begin(), bank.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    // Each half ends in a trailer of its own (and of its version), so that
    // the copy its header block keeps tells a half written to its end from
    // one cut short, even over an older image.
    std::uint32_t versionBits = 0;
    for (const std::uint8_t b : spec.version)
        versionBits = versionBits << 8 | b;
    for (std::size_t half = 0; half < kUpdateImageSize; half += kStampedHalfBytes) {
        const std::uint32_t trailer =
            0x5EA1ED00u ^ spec.seed ^ versionBits ^ static_cast<std::uint32_t>(half >> 17);
        for (int i = 0; i < 4; ++i)
            image[half + kStampedHalfBytes - 4 + static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(trailer >> (24 - 8 * i));
    }
    StampHalves(image.data());
    // Stamping touched the code of the banks at 0 and 0x20000.
    SealBank(image, 0x00000, spec.chipCode);
    SealBank(image, 0x20000, spec.chipCode);
    return image;
}

} // namespace brigant::sim
