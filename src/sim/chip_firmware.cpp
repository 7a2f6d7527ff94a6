#include "sim/chip_firmware.h"

#include "sim/firmware_builder.h"
#include "sim/sim_image_rules.h"

#include <algorithm>
#include <cstring>

namespace brigant::sim
{

namespace
{

constexpr std::uint32_t kSmallImageSize = 0x8000; // HeaderAtStart, AfterNvram, Larch
constexpr std::uint32_t kVkImageSize = 0x8000;    // VkAt4000: code and the record at 0x4000
// Larch: the record sits in the first 4 KiB, the settings area that the
// bridge keeps; its code, and the build block with it, from 0x1000.
constexpr std::uint32_t kLarchRecord = 0x80;
constexpr std::uint32_t kLarchCode = 0x1000;
constexpr std::uint32_t kVkRecord = 0x4000;
constexpr std::array<std::uint8_t, 4> kVkSignature = {0x55, 0xAA, 'V', 'K'};
constexpr std::uint32_t kSecondBank = 0x10000;

void Fill(std::vector<std::uint8_t> &image, std::size_t end, const FirmwareBuild &build)
{
    std::uint32_t state = 0x2545F491u ^ build.seed ^ (build.chipCode << 20);
    for (std::size_t i = 0; i < end && i < image.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        image[i] = static_cast<std::uint8_t>(state >> 24);
    }
}

void PutBuildBlock(std::uint8_t *at, const FirmwareBuild &build)
{
    std::memset(at + 0x10, 0, 0x12);
    for (std::size_t i = 0; i < 3; ++i)
        at[kBuildTag + i] = static_cast<std::uint8_t>(i < build.tag.size() ? build.tag[i] : '?');
    at[kBuildRevision] = static_cast<std::uint8_t>(build.revision);
    std::copy(build.ext.begin(), build.ext.end(), at + kBuildExt);
    at[kBuildMajor] = build.major;
    at[kBuildMinor] = build.minor;
    at[kBuildFlags] = build.release ? 0x01 : 0x00;
    at[kBuildLevel] = build.level;
    at[kBuildAltLevel] = build.altLevel;
}

FirmwareBuild ReadBuildBlock(const std::uint8_t *at, unsigned chipCode)
{
    FirmwareBuild build;
    build.chipCode = chipCode;
    build.tag.assign(reinterpret_cast<const char *>(at + kBuildTag), 3);
    build.revision = static_cast<char>(at[kBuildRevision]);
    std::copy(at + kBuildExt, at + kBuildExt + 4, build.ext.begin());
    build.major = at[kBuildMajor];
    build.minor = at[kBuildMinor];
    build.release = (at[kBuildFlags] & 0x01) != 0;
    build.level = at[kBuildLevel];
    build.altLevel = at[kBuildAltLevel];
    return build;
}

// Bytes 4-7 of the header record: what a firmware file for the chip carries there.
std::array<std::uint8_t, 4> HeaderModel(const FirmwareBuild &build)
{
    const auto c = [&](std::size_t i) {
        return static_cast<std::uint8_t>(i < build.tag.size() ? build.tag[i] : '?');
    };
    const auto digit = static_cast<std::uint8_t>(build.revision);
    switch (build.chipCode) {
    case 1: // the first Alder revision's files carry a binary model
        if (build.revision == '0')
            return {0x5A, 0xA5, 0x0F, 0xF0};
        break;
    case 2:
    case 35: // Birch files carry the model as the bridge's marker, "vQ7B"
        return {'v', c(0), c(1), c(2)};
    case 8: // Hazel: revision 1 "vQ5H", revision 2 "Q5H1"
        if (build.revision == '1')
            return {'v', 'Q', '5', 'H'};
        if (build.revision == '2')
            return {'Q', '5', 'H', '1'};
        break;
    case 30: // Elm E
        return {c(0), c(1), c(2), 'E'};
    default:
        break;
    }
    return {c(0), c(1), c(2), digit};
}

void PutRecord(std::uint8_t *at, const std::array<std::uint8_t, 4> &signature, const FirmwareBuild &build)
{
    std::copy(signature.begin(), signature.end(), at);
    const auto model = HeaderModel(build);
    std::copy(model.begin(), model.end(), at + 4);
    at[8] = static_cast<std::uint8_t>(build.revision);
    at[9] = 0;
}

bool StartsWith(const std::vector<std::uint8_t> &flash, std::size_t at,
                const std::array<std::uint8_t, 4> &what)
{
    return flash.size() >= at + 10 && std::equal(what.begin(), what.end(), flash.begin() + at);
}

bool BankHoldsTaggedHeader(const std::vector<std::uint8_t> &flash, std::uint32_t bank, unsigned chipCode,
                           const std::string &tag)
{
    const std::size_t end = BankCodeEnd(chipCode);
    if (end == 0 || flash.size() < bank + kBankImageSize)
        return false;
    const std::uint8_t *record = flash.data() + bank + end - 16;
    return std::equal(kRecordSignature.begin(), kRecordSignature.end(), record) && tag.size() >= 3 &&
           std::memcmp(record + 4, tag.data(), 3) == 0;
}

} // namespace

std::uint32_t FirmwareImageBase(FirmwareLayout layout)
{
    return layout == FirmwareLayout::AfterNvram ? kNvramAreaBytes : 0;
}

std::vector<std::uint8_t> BuildFirmwareImage(FirmwareLayout layout, const FirmwareBuild &build)
{
    std::vector<std::uint8_t> image;
    switch (layout) {
    case FirmwareLayout::HeaderAtStart:
    case FirmwareLayout::AfterNvram:
        image.assign(kSmallImageSize, 0xFF);
        Fill(image, image.size(), build);
        PutRecord(image.data(), kRecordSignature, build);
        PutBuildBlock(image.data(), build);
        break;
    case FirmwareLayout::Larch:
        image.assign(kSmallImageSize, 0xFF);
        Fill(image, image.size(), build);
        PutBuildBlock(image.data() + kLarchCode, build);
        PutRecord(image.data() + kLarchRecord, kLarchRecordSignature, build);
        break;
    case FirmwareLayout::VkAt4000:
        image.assign(kVkImageSize, 0xFF);
        Fill(image, image.size(), build);
        PutBuildBlock(image.data(), build);
        PutRecord(image.data() + kVkRecord, kVkSignature, build);
        break;
    case FirmwareLayout::Bank:
    case FirmwareLayout::DualBank: {
        FirmwareSpec spec;
        spec.chipCode = build.chipCode;
        spec.tag = build.tag;
        spec.revision = build.revision;
        spec.version = build.ext;
        spec.seed = build.seed;
        image = BuildBankImage(spec);
        PutBuildBlock(image.data(), build);
        SealBank(image, 0, build.chipCode);
        break;
    }
    case FirmwareLayout::Stamped256:
        image.assign(kStampedImageBytes, 0xFF);
        Fill(image, image.size(), build);
        for (std::size_t half = 0; half < kStampedImageBytes; half += kStampedHalfBytes) {
            PutRecord(image.data() + half, kRecordSignature, build);
            PutBuildBlock(image.data() + half, build);
        }
        StampHalves(image.data());
        break;
    }
    return image;
}

bool InstallFirmware(std::vector<std::uint8_t> &flash, FirmwareLayout layout, const FirmwareBuild &build)
{
    const std::vector<std::uint8_t> image = BuildFirmwareImage(layout, build);
    const std::uint32_t base = FirmwareImageBase(layout);
    if (flash.size() < base + image.size())
        return false;
    std::copy(image.begin(), image.end(), flash.begin() + base);
    if (layout == FirmwareLayout::DualBank && flash.size() >= kSecondBank + image.size())
        std::copy(image.begin(), image.end(), flash.begin() + kSecondBank);
    return true;
}

std::optional<RunningFirmware> FindRunningFirmware(const std::vector<std::uint8_t> &flash,
                                                   FirmwareLayout layout, unsigned chipCode,
                                                   const std::string &tag)
{
    RunningFirmware running;
    std::size_t record = 0;
    std::size_t buildAt = 0; // the build block, from the image's base
    switch (layout) {
    case FirmwareLayout::HeaderAtStart:
        if (!StartsWith(flash, 0, kRecordSignature))
            return std::nullopt;
        break;
    case FirmwareLayout::AfterNvram:
        if (!StartsWith(flash, kNvramAreaBytes, kRecordSignature))
            return std::nullopt;
        running.base = kNvramAreaBytes;
        record = kNvramAreaBytes;
        break;
    case FirmwareLayout::Larch:
        if (!StartsWith(flash, kLarchRecord, kLarchRecordSignature))
            return std::nullopt;
        record = kLarchRecord;
        buildAt = kLarchCode;
        break;
    case FirmwareLayout::VkAt4000:
        if (!StartsWith(flash, kVkRecord, kVkSignature))
            return std::nullopt;
        record = kVkRecord;
        break;
    case FirmwareLayout::Bank:
        if (!BankHoldsTaggedHeader(flash, 0, chipCode, tag))
            return std::nullopt;
        record = BankCodeEnd(chipCode) - 16;
        break;
    case FirmwareLayout::DualBank: {
        auto valid = [&](std::uint32_t bank) {
            return BankHoldsTaggedHeader(flash, bank, chipCode, tag) &&
                   BankSealed(flash.data() + bank, BankCodeEnd(chipCode));
        };
        if (valid(0))
            running.base = 0;
        else if (valid(kSecondBank))
            running.base = kSecondBank;
        else
            return std::nullopt;
        record = running.base + BankCodeEnd(chipCode) - 16;
        break;
    }
    case FirmwareLayout::Stamped256:
        if (flash.size() < kStampedImageBytes || !HalfStamped(flash.data()) ||
            !HalfStamped(flash.data() + kStampedHalfBytes))
            return std::nullopt;
        break;
    }
    std::copy(flash.begin() + static_cast<std::ptrdiff_t>(record),
              flash.begin() + static_cast<std::ptrdiff_t>(record + 10), running.header.begin());
    running.build = ReadBuildBlock(flash.data() + running.base + buildAt, chipCode);
    return running;
}

void DamageBank(std::vector<std::uint8_t> &flash, std::uint32_t bank)
{
    // An update cut short: the bank's first sectors were erased, the rest is old code.
    const std::size_t end = std::min<std::size_t>(flash.size(), bank + 0x2000);
    for (std::size_t i = bank; i < end; ++i)
        flash[i] = 0xFF;
}

} // namespace brigant::sim
