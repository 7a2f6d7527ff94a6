#include "identify/chip_identify.h"

#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "device/transport.h"
#include "identify/candidates.h"
#include "identify/flash_identify.h"
#include "image/chip_match.h"
#include "image/chip_names.h"
#include "image/chip_types.h"
#include "image/model_tags.h"

#include <cstdio>
#include <cstring>

namespace brigant
{

namespace
{

constexpr std::uint32_t kSignatureLength = 40;
constexpr std::uint32_t kHazelChipInfoLength = 12;
constexpr std::uint16_t kChipRevisionRegister = 0xFDB0;
constexpr std::uint16_t kVersionToggleByte = 0x506A;
constexpr std::uint16_t kReleaseFlags = 0x7038;
constexpr std::uint16_t kReleaseFlagsDualBank = 0x70F0;
constexpr std::uint16_t kShadowHeader = 0xC000;

bool HasChipInfoSignature(const std::uint8_t *reply) { return reply[0] == 0xF4 && reply[1] == 0xE7; }

// The first slot 1..35 whose tag equals the three characters.
std::uint8_t FindTagSlot(const std::uint8_t *three)
{
    for (unsigned code = 1; code < kChipTypeCount; ++code)
        if (std::memcmp(three, ModelTagTable[code], 3) == 0)
            return static_cast<std::uint8_t>(code);
    return 0;
}

bool Starts(const char *text, const char *prefix, std::size_t count)
{
    return std::strncmp(text, prefix, count) == 0;
}

// The second stage's signature check of types 0, 1, 3, 5, 7, 11 and 28.
void CheckSignature(const std::string &path, std::uint8_t &type, std::uint8_t &revision)
{
    std::uint8_t signature[kSignatureLength] = {};
    if (!ReadChipSignature(path, signature, kSignatureLength)) {
        if (type == 1)
            revision = 1;
        return;
    }
    char text[9] = {};
    std::memcpy(text, signature, 8);
    const std::uint8_t r = signature[5];
    if (Starts(text, "vQ7AC", 5)) {
        type = 1;
        revision = static_cast<std::uint8_t>(r - 47);
    } else if (Starts(text, "vQ7CA3", 6)) {
        type = 4;
    } else if (Starts(text, "vQ7EC", 5)) {
        type = 5;
        revision = static_cast<std::uint8_t>(r - 47);
    } else if (Starts(text, "vQ7EE", 5)) {
        type = 30;
        revision = static_cast<std::uint8_t>(r + 1);
    } else if (Starts(text, "vS4BA", 5)) {
        type = 28;
        revision = static_cast<std::uint8_t>(r - 47);
    } else if (Starts(text, "vQ5G", 4)) {
        type = 7;
        revision = r == 0 ? 1 : static_cast<std::uint8_t>(r - 47);
    } else if (Starts(text, "v2Q5L", 5)) {
        type = 11;
        revision = static_cast<std::uint8_t>(r - 47);
    }
}

// A 10-byte header: 55 AA AA 55 and the model characters, of which the first
// three must equal `tag`.
bool IsHeaderWithTag(const std::uint8_t *record, const char *tag)
{
    static const std::uint8_t kSignature[4] = {0x55, 0xAA, 0xAA, 0x55};
    if (std::memcmp(record, kSignature, 4) != 0)
        return false;
    char model[5] = {};
    std::snprintf(model, sizeof model, "%c%c%c%c", record[4], record[5], record[6], record[7]);
    return std::strncmp(model, tag, 3) == 0;
}

bool TextIsOneOf(const std::string &text, std::initializer_list<const char *> texts)
{
    for (const char *t : texts)
        if (text == t)
            return true;
    return false;
}

// Reads 1024 bytes through the running firmware and tests the header at `at`.
bool Block24HoldsHeader(const std::string &path, std::uint32_t address, std::size_t at,
                        std::initializer_list<const char *> tags)
{
    std::uint8_t block[1024] = {};
    if (!ReadBlock24(path, address, block, sizeof block))
        return false;
    for (const char *tag : tags)
        if (IsHeaderWithTag(block + at, tag))
            return true;
    return false;
}

std::string Format(const char *format, auto... values)
{
    char text[80] = {};
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

} // namespace

bool IsFirmwareReportedFlashChip(unsigned code, BusKind bus)
{
    switch (ChipTypeOf(code).reportedFlash) {
    case FlashReport::Yes:
        return true;
    case FlashReport::On1394:
        return bus == BusKind::Ieee1394;
    case FlashReport::No:
        break;
    }
    return false;
}

bool IsNvramChip(unsigned code) { return ChipTypeOf(code).nvramGroup; }

namespace
{

// The chip type code from the INQUIRY answer, else from the chip information
// behind the vendor probe (with the sub-revision it gives); 0: not ours, or
// nothing answered.
std::uint8_t TypeFromAnswers(const std::string &path, std::uint8_t &revision, std::string *inquiryFailure)
{
    std::uint8_t inquiry[kInquiryLength] = {};
    if (ReadInquiry(path, inquiry, kInquiryLength) == 0) {
        if (inquiryFailure)
            *inquiryFailure = LastTransportFailureCause();
        return 0;
    }
    std::uint8_t type = 0;
    if (inquiry[36] == 'v')
        type = FindTagSlot(inquiry + 37);
    if (type == 0 && std::memcmp(inquiry + 36, "vQ5J", 4) == 0)
        type = 9;
    std::uint8_t probe[2] = {};
    if (type != 0 || !ProbeVendorCommand(path, probe))
        return type;
    const std::uint16_t idWord = static_cast<std::uint16_t>(probe[0] | probe[1] << 8);
    std::uint8_t info[kChipInfoLength] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(path, info, kChipInfoLength, transferred))
        return type;
    if (!HasChipInfoSignature(info))
        return static_cast<std::uint8_t>(31 + ((idWord >> 5) & 3));
    char vendor[8] = {}, product[8] = {};
    std::snprintf(vendor, sizeof vendor, "%X%X", info[2], info[3]);
    std::snprintf(product, sizeof product, "%X%X", info[4], info[5]);
    if (std::strstr(vendor, "3A9C") && std::strstr(product, "2B17"))
        return 35;
    type = FindTagSlot(info + 8);
    if (type == 0 && std::memcmp(info + 8, "Q5J", 3) == 0)
        type = 9;
    revision = static_cast<std::uint8_t>(info[11] - 48);
    return type;
}

// The short chip information's revision ('1' or '2'); false: it failed.
bool ReadChipInfoRevision(const std::string &path, std::uint8_t &revision)
{
    std::uint8_t info[kChipInfoLength] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(path, info, kHazelChipInfoLength, transferred) || !HasChipInfoSignature(info) ||
        (info[11] != '1' && info[11] != '2'))
        return false;
    revision = info[11] == '1' ? 1 : 2;
    return true;
}

// Only the bridge's own refusal makes a type 12: a read that got no answer
// is asked again, since a staging bridge taken for type 12 would be updated
// by the wrong procedure. The revision picks the update procedure (the SST
// path from 5 on).
void StagingOrRevision(const std::string &path, std::uint8_t &type, std::uint8_t &revision,
                       const char **failedRead)
{
    std::uint8_t staging[512] = {};
    if (AskStagingBuffer(path, staging) == 1) {
        type = 26;
        return;
    }
    std::uint8_t reg[4] = {};
    if (!ReadXdata(path, reg, kChipRevisionRegister, 4)) {
        if (failedRead)
            *failedRead = "the chip revision register";
    } else if (reg[1] >= 0xB4) {
        revision = 5;
    }
}

} // namespace

std::uint16_t IdentifyChip(const std::string &path, bool *infoFailed, const char **failedRead,
                           std::string *inquiryFailure)
{
    if (failedRead)
        *failedRead = nullptr;
    if (inquiryFailure)
        inquiryFailure->clear();
    std::uint8_t revision = 0;
    std::uint8_t type = TypeFromAnswers(path, revision, inquiryFailure);
    const IdentifyStep step = type < kChipTypeCodes ? ChipTypeOf(type).identifyStep : IdentifyStep::None;
    switch (step) {
    case IdentifyStep::None:
        break;
    case IdentifyStep::Signature:
        CheckSignature(path, type, revision);
        break;
    case IdentifyStep::ChipInfoRevision:
        if (!ReadChipInfoRevision(path, revision) && infoFailed)
            *infoFailed = true;
        break;
    case IdentifyStep::StagingOrRevision:
        StagingOrRevision(path, type, revision, failedRead);
        break;
    }
    return static_cast<std::uint16_t>(type | revision << 8);
}

int VersionToggleProbe(const std::string &path)
{
    std::uint8_t saved = 0;
    int answer = 0;
    if (ReadXdata(path, &saved, kVersionToggleByte, 1)) {
        const std::uint8_t zero = 0;
        if (WriteXdata(path, &zero, kVersionToggleByte, 1)) {
            std::uint8_t back = 0;
            if (ReadXdata(path, &back, kVersionToggleByte, 1) && back == 1) {
                answer = 1;
                saved ^= 1;
            }
        }
    } else {
        saved = 0;
    }
    WriteXdata(path, &saved, kVersionToggleByte, 1);
    return answer;
}

std::string FormatVersionText(std::uint8_t type, const std::uint8_t b[16], std::uint32_t transferred,
                              const VersionExtras &extras)
{
    // printf's %.2c is %c: the precision does not apply to characters.
    switch (type) {
    case 9:
    case 10:
        return Format("%d.%.2d.%.2d.%.2d.%.2d", b[6], b[7], b[12], b[13], b[14]);
    case 12:
    case 26: {
        const std::uint8_t v = extras.toggle == 1 ? static_cast<std::uint8_t>(b[14] ^ 1) : b[14];
        return Format("%d.%.2d.%.2d.%.2d.%.2d", b[6], b[7], b[12], b[13],
                      static_cast<int>(static_cast<std::int8_t>(v)));
    }
    case 11:
        return Format("%.2d.%.2d.%.2d.%.2d.%.2d", b[10], b[11], b[12], b[13], b[14]);
    case 14:
        if (extras.chipInfoFeAnswered)
            return Format("%c.%c.%c.%c", b[12], b[13], b[14], b[15]);
        return Format("%.2d.%.2d.%.2d.%.2d", b[12], b[13], b[14], b[15]);
    case 15:
    case 16:
    case 17:
    case 18:
        if (b[6] == 2)
            return Format("%c.%c.%c.%c", b[12], b[13], b[14], b[15]);
        return Format("%.2d.%.2d.%.2d.%.2d", b[12], b[13], b[14], b[15]);
    default:
        if (transferred > 12)
            return Format("%d.%.2d.%.2d", b[12], b[13], b[14]);
        return Format("%d.%.2d", b[6], b[7]);
    }
}

VersionReadout ReadVersionText(const std::string &path, std::uint8_t type, std::string &text)
{
    text.clear();
    std::uint8_t info[kChipInfoLength] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(path, info, kChipInfoLength, transferred))
        return VersionReadout::NoReply;
    if (!HasChipInfoSignature(info))
        return VersionReadout::NotVelkor;
    VersionExtras extras;
    const VersionProbe probe = ChipTypeOf(type).versionProbe;
    if (probe == VersionProbe::Toggle) {
        extras.toggle = VersionToggleProbe(path);
    } else if (probe == VersionProbe::ChipInfoFE) {
        std::uint8_t fe[kChipInfoLength] = {};
        std::uint32_t feTransferred = 0;
        extras.chipInfoFeAnswered = ReadChipInfoFE(path, fe, kChipInfoLength, feTransferred) == 1;
    }
    text = FormatVersionText(type, info, transferred, extras);
    return VersionReadout::Text;
}

int IsReleaseFirmware(const std::string &path, std::uint8_t type, const std::string &text,
                      std::int32_t flashKind)
{
    std::uint8_t flags[4] = {};
    const bool flagsRead =
        ReadXdata(path, flags, ChipTypeOf(type).dualBank ? kReleaseFlagsDualBank : kReleaseFlags, 4) == 1;

    switch (type) {
    case 5:
    case 7: {
        const std::uint8_t bit = type == 5 ? 0x01 : 0x04;
        if (!flagsRead || !(flags[2] & bit))
            return 0;
        std::uint8_t header[10] = {};
        if (!ReadXdata(path, header, kShadowHeader, sizeof header))
            return 0;
        return IsHeaderWithTag(header, type == 5 ? "Q7E" : "Q5G") ? 1 : 0;
    }
    case 9:
    case 10:
        if (!(flags[2] & 0x04) || TextIsOneOf(text, {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"}))
            return 0;
        return Block24HoldsHeader(path, 4096, 0, {"Q5K", "Q5J"}) ? 1 : 0;
    case 12:
        if (!(flags[2] & 0x10) || TextIsOneOf(text, {"9.18.01.16.00", "12.01.02.16.00", "2.05.11.16.00",
                                                     "4.08.11.16.00", "5.13.11.16.00"}))
            return 0;
        return Block24HoldsHeader(path, 4096, 0, {"S1M"}) ? 1 : 0;
    case 13:
    case 27: {
        if (!(flags[3] & 0x01) || TextIsOneOf(text, {"49.48.48.48", "49.48.48.49"}))
            return 0;
        if (flashKind == 0)
            return 1;
        std::uint8_t info[20] = {};
        if (ReadFirmwareInfo(path, info, sizeof info))
            return info[19];
        return Block24HoldsHeader(path, type == 13 ? 0xBC00 : 0x7C00, 1008, {type == 13 ? "S3N" : "S3A"}) ? 1
                                                                                                          : 0;
    }
    case 14: {
        std::uint8_t info[32] = {};
        if (ReadFirmwareInfo(path, info, sizeof info) && info[19] == 1)
            return 1;
        std::uint8_t fe[kChipInfoLength] = {};
        std::uint32_t transferred = 0;
        if (ReadChipInfoFE(path, fe, kChipInfoLength, transferred))
            return 1;
        return text != "00.00.00.01" ? 1 : 0;
    }
    case 15:
    case 16:
    case 17:
    case 18: {
        std::uint8_t info[20] = {};
        if (!ReadFirmwareInfo(path, info, sizeof info))
            return 0;
        return info[19] != 0 ? 1 : 0;
    }
    case 28:
    case 30: {
        if (!(flags[2] & 0x01) || TextIsOneOf(text, {"2.00.00", "0.160.144"}))
            return 0;
        std::uint8_t block[1024] = {};
        if (!ReadFlash(path, 0x4000, block, sizeof block))
            return 0;
        return block[0] == 0x55 && block[1] == 0xAA && block[2] == 'V' && block[3] == 'K' &&
                       std::memcmp(block + 4, ModelTagOf(type), 3) == 0
                   ? 1
                   : 0;
    }
    default:
        return 1;
    }
}

} // namespace brigant
