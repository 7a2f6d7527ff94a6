#include "sim/chip_presets.h"

#include "common/hex.h"
#include "sim/buffer_firmware.h"
#include "sim/chip_firmware.h"
#include "sim/disk_firmware.h"
#include "sim/flash_parts.h"
#include "sim/staging_firmware.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

namespace brigant::sim
{

namespace
{

constexpr std::uint16_t kVelkorVendorId = 0x3A9C;

// Data-space addresses the bridges expose.
constexpr std::uint16_t kChipRevisionRegister = 0xFDB0; // byte 1: silicon revision
constexpr std::uint16_t kAssistProbe = 0x505E;          // firmware-assisted update capability (code 12)
constexpr std::uint16_t kToggleByte = 0x506A;
constexpr std::uint16_t kFlagBytes = 0x7038;
constexpr std::uint16_t kFlagBytesDualBank = 0x70F0;
constexpr std::uint16_t kHeaderShadowAddress =
    0xC000; // the firmware's header record, mapped into the data space

enum Feature : unsigned {
    kFwInfo = 1u << 0,       // the firmware answers ReadFirmwareInfo
    kAnswersFE = 1u << 1,    // the FE F4 E7 chip information read is accepted
    kStaging = 1u << 2,      // the staging-area read is accepted
    kBufferFw = 1u << 3,     // READ / WRITE BUFFER firmware (codes 15 to 18)
    kDiskFirmware = 1u << 4, // no flash: the firmware lives on the attached disk
    kLegacy = 1u << 5,       // older model: chip information without F4 E7
    kHeaderShadow = 1u << 6, // the firmware header is visible at data-space 0xC000
    kToggle = 1u << 7,       // the byte at 0x506A reads back with bit 0 inverted
    kDualModel = 1u << 8,    // firmware information byte 8 is 1 (the dual-model Upas/Willow firmware)
    kHardwareRegs = 1u << 9, // the chip revision register at 0xFDB0 and the capability bytes at 0x505E
};

// How the revision follows the signature text.
enum class SigRev : std::uint8_t { None, Digit, Number };

// Where the running firmware shows that it is a release build.
struct ReleaseFlag {
    std::uint16_t address = kFlagBytes;
    std::uint8_t byte = 2;
    std::uint8_t mask = 0x01;
};

struct Def {
    const char *name;
    unsigned code;
    const char *description;
    const char *series; // product name stem
    const char *tag;
    const char *marker;    // INQUIRY bytes 36-39; nullptr: none
    const char *signature; // signature text before the revision byte; nullptr: command rejected
    SigRev sigRev;
    FirmwareLayout layout;
    const char *flash;
    std::uint8_t major, minor;
    std::array<std::uint8_t, 4> ext;
    std::uint16_t pid;
    std::uint32_t chipInfoLength;
    char rev;
    BusKind bus;
    ReleaseFlag release;
    unsigned features;
    std::uint8_t level = 0, altLevel = 0;
    std::uint8_t legacyProbe = 0; // first byte of the vendor probe's reply
    std::uint16_t vid = kVelkorVendorId;
    const char *extras = "";
};

constexpr ReleaseFlag kBit0{kFlagBytes, 2, 0x01};
constexpr ReleaseFlag kBit2{kFlagBytes, 2, 0x04};
constexpr ReleaseFlag kBit4{kFlagBytes, 2, 0x10};
constexpr ReleaseFlag kDual{kFlagBytesDualBank, 3, 0x01};

using L = FirmwareLayout;
constexpr BusKind kUsb = BusKind::Usb;
constexpr std::array<std::uint8_t, 4> Chars(const char (&s)[5])
{
    return {static_cast<std::uint8_t>(s[0]), static_cast<std::uint8_t>(s[1]), static_cast<std::uint8_t>(s[2]),
            static_cast<std::uint8_t>(s[3])};
}

const char *kLevelOptions = "level altlevel fwinfo";
const char *kMapleOptions = "chiprev fwassist toggle staging";
const char *kDiskOptions = "sectors sector endflag areamarker parts";
// A small disk unless sectors= says otherwise: 512 MiB of 512-byte sectors.
constexpr std::uint64_t kDefaultDiskSectors = 0x100000;
const char *kDualBankOptions = "damage ext1 fwinfo";
const char *kBufferOptions = "readbuffer rom fwinfo";

// clang-format off
const Def kDefs[] = {
    {"alder", 1, "Alder (Q7A): signature vQ7AC, AMIC flash", "Alder", "Q7A", "vQ7A", "vQ7AC", SigRev::Digit,
     L::HeaderAtStart, "A25L05PT", 1, 2, {}, 0x2001, 12, '1', kUsb, kBit0, 0},
    {"birch", 2, "Birch (Q7B): identified, not updatable", "Birch", "Q7B", "vQ7B", nullptr, SigRev::None,
     L::HeaderAtStart, "M25P05", 2, 10, {}, 0x2002, 12, '0', kUsb, kBit0, 0},
    {"cedar", 3, "Cedar (Q7C): ATMEL flash identified by the tool's own probes", "Cedar", "Q7C", "vQ7C", nullptr,
     SigRev::None, L::HeaderAtStart, "AT25F512", 3, 5, {}, 0x2003, 12, '0', kUsb, kBit0, 0},
    {"cedar-a3", 4, "CedarA3 (Q7C with signature vQ7CA3)", "CedarA3", "Q7C", "vQ7C", "vQ7CA3", SigRev::None,
     L::HeaderAtStart, "MX25L4006E", 3, 21, {}, 0x2004, 12, '0', kUsb, kBit0, 0},
    {"elm", 5, "Elm (Q7E): signature vQ7EC, firmware header in the data space", "Elm", "Q7E", "vQ7E", "vQ7EC",
     SigRev::Digit, L::HeaderAtStart, "W25X40", 5, 0, {5, 2, 7, 0}, 0x2005, 16, '1', kUsb, kBit0, kHeaderShadow},
    {"figtree", 6, "Figtree (Q2F): supported display from firmware level 0xD0", "Figtree", "Q2F", "vQ2F", nullptr,
     SigRev::None, L::HeaderAtStart, "M25P40", 6, 0, {6, 1, 3, 0}, 0x2006, 16, '0', kUsb, kBit0, kFwInfo, 0xD2, 0,
     0, kVelkorVendorId, kLevelOptions},
    {"ginkgo", 7, "Ginkgo (Q5G): signature vQ5G, NVRAM", "Ginkgo", "Q5G", "vQ5G", "vQ5GA", SigRev::Digit,
     L::AfterNvram, "EN25F40", 7, 0, {7, 3, 1, 0}, 0x2007, 16, '2', kUsb, kBit2, kHeaderShadow},
    {"hazel", 8, "Hazel (Q5H) on USB: revision 1 or 2 in the chip information", "Hazel", "Q5H", "vQ5H", nullptr,
     SigRev::None, L::HeaderAtStart, "PM25LV040", 8, 4, {}, 0x2008, 12, '1', kUsb, kBit0, 0},
    {"hazel-1394", 8, "Hazel (Q5H) behind 1394: the firmware reports its flash", "Hazel", "Q5H", "vQ5H", nullptr,
     SigRev::None, L::HeaderAtStart, "SST25VF040B", 8, 4, {}, 0x2008, 12, '2', BusKind::Ieee1394, kBit0, 0},
    {"juniper", 9, "Juniper/Katsura (Q5K, or Q5J with marker=vQ5J / tag=Q5J)", "Juniper", "Q5K", "vQ5K", nullptr,
     SigRev::None, L::AfterNvram, "MX25L4006E", 11, 20, {2, 16, 0, 0}, 0x2009, 16, '0', kUsb, kBit2, 0},
    {"larch", 11, "Larch (Q5L): signature v2Q5L, SST flash", "Larch", "Q5L", "vQ5L", "v2Q5L", SigRev::Digit,
     L::Larch, "SST25VF040B", 11, 0, {3, 1, 7, 0}, 0x200B, 16, '0', kUsb, kBit0, 0},
    {"maple", 12, "Maple/Nutmeg (S1M): chip revision register 0xFDB0, toggle byte 0x506A", "Maple", "S1M", "vS1M",
     nullptr, SigRev::None, L::AfterNvram, "MX25L4006E", 12, 2, {2, 16, 0, 0}, 0x200C, 16, '0', kUsb, kBit4,
     kHardwareRegs, 0, 0, 0, kVelkorVendorId, kMapleOptions},
    {"nutmeg", 13, "Nutmeg (S3N): two firmware banks with checksums", "Nutmeg", "S3N", "vS3N", nullptr,
     SigRev::None, L::DualBank, "MX25L4006E", 1, 0, {1, 0, 5, 0}, 0x200D, 16, '0', kUsb, kDual, kFwInfo, 0, 0, 0,
     kVelkorVendorId, kDualBankOptions},
    {"willow", 14, "Willow (S6Y) with the dual-model firmware: \"Upas/Willow Series\"", "Willow", "S6Y", "vS6Y",
     nullptr, SigRev::None, L::Bank, "W25X40", 1, 0, {1, 2, 3, 4}, 0x200E, 16, '0', kUsb, kBit0,
     kFwInfo | kDualModel, 0, 0, 0, kVelkorVendorId, "fwinfo"},
    {"teak", 14, "Teak (S6Y): \"Teak Series\"", "Teak", "S6Y", "vS6Y", nullptr, SigRev::None, L::Bank, "W25X40",
     1, 0, {1, 2, 4, 0}, 0x200E, 16, '0', kUsb, kBit0, kFwInfo, 0, 0, 0, kVelkorVendorId, "fwinfo"},
    {"yew", 14, "Yew (S6Y, accepts FE F4 E7): \"Yew Series\", version as characters", "Yew", "S6Y", "vS6Y",
     nullptr, SigRev::None, L::Bank, "W25X40", 1, 0, Chars("1023"), 0x200E, 16, '0', kUsb, kBit0,
     kFwInfo | kAnswersFE, 0, 0, 0, kVelkorVendorId, "fwinfo"},
    {"pine", 15, "Pine (S6P): buffer-transfer firmware", "Pine", "S6P", "vS6P", nullptr, SigRev::None, L::Bank,
     "MX25L4006E", 2, 0, Chars("1105"), 0x200F, 16, '1', kUsb, kBit0, kFwInfo | kBufferFw, 0, 0, 0,
     kVelkorVendorId, kBufferOptions},
    {"quince", 16, "Quince (S6Q): the one-button update's bridge", "Quince", "S6Q", "vS6Q", nullptr, SigRev::None,
     L::Bank, "MX25L4006E", 2, 0, Chars("1108"), 0x7E21, 16, '1', kUsb, kBit0, kFwInfo | kBufferFw, 0, 0, 0,
     kVelkorVendorId, kBufferOptions},
    {"rowan", 17, "Rowan (S6R): buffer-transfer firmware", "Rowan", "S6R", "vS6R", nullptr, SigRev::None, L::Bank,
     "GD25Q40", 2, 0, Chars("1102"), 0x2011, 16, '1', kUsb, kBit0, kFwInfo | kBufferFw, 0, 0, 0, kVelkorVendorId,
     kBufferOptions},
    {"spruce", 18, "Spruce (S6S): buffer-transfer firmware", "Spruce", "S6S", "vS6S", nullptr, SigRev::None,
     L::Bank, "EN25F40", 2, 0, Chars("1101"), 0x2012, 16, '1', kUsb, kBit0, kFwInfo | kBufferFw, 0, 0, 0,
     kVelkorVendorId, kBufferOptions},
    {"oak", 26, "NutmegA->Oak: an S1M chip that accepts the staging-area read", "Oak", "S1M", "vS1M", nullptr,
     SigRev::None, L::Stamped256, "MX25L4006E", 1, 0, {3, 1, 4, 0}, 0x201A, 16, '0', kUsb, kBit4,
     kStaging | kToggle | kHardwareRegs, 0, 0, 0, kVelkorVendorId, kMapleOptions},
    {"aspen", 27, "Aspen (S3A): two firmware banks, 32 KiB code area", "Aspen", "S3A", "vS3A", nullptr,
     SigRev::None, L::DualBank, "W25X40", 2, 0, {2, 1, 0, 0}, 0x201B, 16, '0', kUsb, kDual, kFwInfo, 0, 0, 0,
     kVelkorVendorId, kDualBankOptions},
    {"baobab", 28, "Baobab (S4B): signature vS4BA, VK record at 0x4000", "Baobab", "S4B", "vS4B", "vS4BA",
     SigRev::Digit, L::VkAt4000, "MX25L4006E", 3, 0, {3, 1, 4, 0}, 0x201C, 16, '0', kUsb, kBit0, 0},
    {"cypress", 29, "Cypress (S0C): firmware level 0xAB with the level in byte 18", "Cypress", "S0C", "vS0C",
     nullptr, SigRev::None, L::HeaderAtStart, "M25P40", 2, 0, {2, 9, 1, 0}, 0x201D, 16, '0', kUsb, kBit0, kFwInfo,
     0xAB, 0xD5, 0, kVelkorVendorId, kLevelOptions},
    {"elm-e", 30, "Elm E (Q7E, signature vQ7EE) with an SPI flash", "Elm E", "Q7E", "vQ7E", "vQ7EE",
     SigRev::Number, L::VkAt4000, "A25L040", 4, 0, {4, 0, 2, 0}, 0x201E, 16, '0', kUsb, kBit0, 0},
    {"elm-e-disk", 30, "Elm E with its firmware on the attached disk (no flash)", "Elm E", "Q7E", "vQ7E", "vQ7EE",
     SigRev::Number, L::VkAt4000, "M25P05", 4, 0, {4, 0, 3, 0}, 0x201E, 16, '0', kUsb, kBit0,
     kFwInfo | kDiskFirmware, 0, 0, 0, kVelkorVendorId, kDiskOptions},
    {"legacy-cedar", 31, "older Cedar: ID word 0x00, no F4 E7 chip information", "Cedar", "Q7C", nullptr, nullptr,
     SigRev::None, L::HeaderAtStart, "M25P05", 0, 0, {}, 0x1001, 16, '0', kUsb, kBit0, kLegacy, 0, 0, 0x00},
    {"dogwood", 32, "Dogwood: ID word 0x20 (marker=vQ7D finds it by tag)", "Dogwood", "Q7D", nullptr, nullptr,
     SigRev::None, L::HeaderAtStart, "M25P05", 0, 0, {}, 0x1002, 16, '0', kUsb, kBit0, kLegacy, 0, 0, 0x20},
    {"legacy-elm", 33, "older Elm: ID word 0x40", "Elm", "Q7E", nullptr, nullptr, SigRev::None, L::HeaderAtStart,
     "M25P05", 0, 0, {}, 0x1003, 16, '0', kUsb, kBit0, kLegacy, 0, 0, 0x40},
    {"legacy-alder", 34, "older Alder: ID word 0x60", "Alder", "Q7A", nullptr, nullptr, SigRev::None,
     L::HeaderAtStart, "M25P05", 0, 0, {}, 0x1004, 16, '0', kUsb, kBit0, kLegacy, 0, 0, 0x60},
    {"birch-ids", 35, "Birch found by its USB IDs 3A9C / 2B17", "Birch", "Q7B", nullptr, nullptr, SigRev::None,
     L::HeaderAtStart, "M25P05", 1, 0, {1, 3, 0, 0}, 0x2B17, 16, '0', kUsb, kBit0, 0},
};
// clang-format on

const std::set<std::string> kCommonOptions = {"flash", "version",   "ext",     "exttext", "build", "rev",
                                              "bus",   "chipinfo",  "product", "vid",     "pid",   "marker",
                                              "tag",   "flashtype", "blank",   "mount"};

const Def *FindDef(const std::string &name)
{
    for (const Def &d : kDefs)
        if (name == d.name)
            return &d;
    return nullptr;
}

bool HasExtra(const Def &def, const std::string &key)
{
    std::istringstream words(def.extras);
    std::string word;
    while (words >> word)
        if (word == key)
            return true;
    return false;
}

// Option parsing; each returns false with `error` set.
struct Options {
    const PresetSpec &spec;
    std::string &error;

    bool has(const char *key) const { return spec.options.count(key) != 0; }
    std::string get(const char *key, const std::string &fallback) const
    {
        auto it = spec.options.find(key);
        return it == spec.options.end() ? fallback : it->second;
    }
    bool fail(const std::string &why)
    {
        error = why;
        return false;
    }
    bool number(const char *key, std::uint32_t max, std::uint32_t &out)
    {
        if (!has(key))
            return true;
        auto v = ParseNumber(spec.options.at(key));
        if (!v || *v > max)
            return fail(std::string(key) + " must be a number from 0 to " + std::to_string(max));
        out = static_cast<std::uint32_t>(*v);
        return true;
    }
    bool hex(const char *key, std::uint32_t max, std::uint32_t &out)
    {
        if (!has(key))
            return true;
        std::string text = spec.options.at(key);
        if (text.rfind("0x", 0) != 0 && text.rfind("0X", 0) != 0)
            text = "0x" + text;
        auto v = ParseNumber(text);
        if (!v || *v > max)
            return fail(std::string(key) + " must be a hexadecimal number up to " + Hex(max));
        out = static_cast<std::uint32_t>(*v);
        return true;
    }
    bool flag(const char *key, bool &out)
    {
        if (!has(key))
            return true;
        const std::string v = spec.options.at(key);
        if (v != "0" && v != "1")
            return fail(std::string(key) + " must be 0 or 1");
        out = v == "1";
        return true;
    }
    bool bytes(const char *key, std::size_t count, std::uint8_t *out)
    {
        if (!has(key))
            return true;
        std::stringstream in(spec.options.at(key));
        std::string item;
        std::size_t n = 0;
        while (std::getline(in, item, '.')) {
            auto v = ParseNumber(item);
            if (!v || *v > 255 || n >= count)
                return fail(std::string(key) + " must be " + std::to_string(count) +
                            " numbers 0-255 joined by dots");
            out[n++] = static_cast<std::uint8_t>(*v);
        }
        if (n != count)
            return fail(std::string(key) + " must be " + std::to_string(count) +
                        " numbers 0-255 joined by dots");
        return true;
    }
    static std::string Hex(std::uint32_t v)
    {
        char text[16];
        std::snprintf(text, sizeof text, "%X", v);
        return text;
    }
};

// The flash maker as the bridge firmware identifies it at start-up: the JEDEC
// maker byte (and the continuation code's next byte), in FlashKind numbering.
// Parts without a JEDEC answer are unknown to it (0).
std::uint8_t FirmwareFlashVerdict(SpiFlash &flash)
{
    flash.select();
    flash.exchange(0x9F);
    const std::uint8_t id0 = flash.exchange(0x00);
    const std::uint8_t id1 = flash.exchange(0x00);
    flash.deselect();
    switch (id0) {
    case 0x7F:
        return id1 == 0x9D ? 1 : id1 == 0x37 ? 7 : 0;
    case 0xBF:
        return 2;
    case 0x20:
        return 3;
    case 0x1F:
        return 4;
    case 0xC2:
        return 5;
    case 0xEF:
        return 6;
    case 0x37:
        return 7;
    case 0x1C:
        return 8;
    case 0x8C:
        return 9;
    case 0x62:
        return 10;
    case 0xC8:
        return 11;
    case 0xA1:
        return 12;
    default:
        return 0;
    }
}

// What the bridge needs to know about itself when it starts.
struct ChipModel {
    unsigned code = 0;
    std::string tag;
    FirmwareLayout layout = FirmwareLayout::HeaderAtStart;
    ReleaseFlag release;
    unsigned features = 0;
    std::optional<std::uint8_t> verdict; // fixed flash verdict; empty: identify the flash
    std::uint8_t chipRevision = 0xB3;    // 0xFDB0 byte 1
    bool assist = false;                 // 0x505E capability bytes
    bool forceRom = false;               // the bridge ignores its flash and starts from ROM
    DiskArea diskArea;                   // firmware on the disk: end flag and area marker
};

// The bridge starts: it looks for its firmware and reports what that firmware
// is; without one it runs from ROM and reports version 0, not a release.
void BootChip(SimBridge &bridge, const ChipModel &m)
{
    BridgeIdentity &id = bridge.identity();
    const std::vector<std::uint8_t> &store = id.flashAttached ? bridge.flash().contents() : id.diskFirmware;
    const auto running = m.forceRom ? std::nullopt : FindRunningFirmware(store, m.layout, m.code, m.tag);
    FirmwareBuild build;
    build.major = 0;
    build.minor = 0;
    build.release = false;
    if (running)
        build = running->build;

    if (!(m.features & kLegacy)) {
        id.chipInfo[6] = build.major;
        id.chipInfo[7] = build.minor;
        std::copy(build.ext.begin(), build.ext.end(), id.chipInfo.begin() + 12);
    }
    if (id.firmwareInfo) {
        auto &info = *id.firmwareInfo;
        info.fill(0);
        info[8] = (m.features & kDualModel) ? 1 : build.level;
        if (m.features & kDiskFirmware) {
            info[16] = m.diskArea.marker ? 1 : 0; // the firmware area's marker is present
            info[17] = m.diskArea.endFlag ? 1 : 0;
        }
        info[18] = build.altLevel;
        info[19] = build.release ? 1 : 0;
    }

    auto &x = bridge.xdata();
    std::fill_n(x.begin() + kFlagBytes, 4, 0);
    std::fill_n(x.begin() + kFlagBytesDualBank, 4, 0);
    if (build.release)
        x[m.release.address + m.release.byte] = m.release.mask;
    if (m.features & kHeaderShadow) {
        std::fill_n(x.begin() + kHeaderShadowAddress, 16, 0);
        if (running)
            std::copy(running->header.begin(), running->header.end(), x.begin() + kHeaderShadowAddress);
    }
    if (m.features & kHardwareRegs) {
        const std::uint8_t reg[4] = {0x00, m.chipRevision, 0x00, 0x00};
        std::copy(reg, reg + 4, x.begin() + kChipRevisionRegister);
        const std::uint8_t assist[4] = {0x00, static_cast<std::uint8_t>(m.assist ? 0x00 : 0x01),
                                        static_cast<std::uint8_t>(m.assist ? 0x01 : 0x00), 0x00};
        std::copy(assist, assist + 4, x.begin() + kAssistProbe);
    }

    if (m.verdict)
        id.flashTypeVerdict = *m.verdict;
    else
        id.flashTypeVerdict = id.flashAttached ? FirmwareFlashVerdict(bridge.flash()) : 0;
}

std::array<std::uint8_t, 40> MakeSignature(const std::string &text, SigRev how, std::uint8_t digit)
{
    std::array<std::uint8_t, 40> sig{};
    std::copy(text.begin(), text.end(), sig.begin());
    if (how == SigRev::Digit)
        sig[text.size()] = static_cast<std::uint8_t>('0' + digit);
    else if (how == SigRev::Number)
        sig[text.size()] = digit;
    return sig;
}

// The disk behind a bridge that keeps its firmware there: sectors=N (what it
// reports), sector=512|4096, endflag=0|1, areamarker=0|1, and
// parts=START+COUNT[:START+COUNT...] in 512-byte units as the kernel lists
// partitions.
std::shared_ptr<SimDisk> MakeDisk(Options &opt, DiskArea &area,
                                  std::vector<std::pair<std::uint64_t, std::uint64_t>> &parts)
{
    std::uint64_t sectors = kDefaultDiskSectors;
    if (opt.has("sectors")) {
        const auto v = ParseNumber(opt.get("sectors", ""));
        if (!v || *v < 0x10000 || *v > (std::uint64_t{1} << 40))
            return opt.fail("sectors must be a number from 65536 to 2^40"), nullptr;
        sectors = *v;
    }
    std::uint32_t sectorSize = 512;
    if (!opt.number("sector", 4096, sectorSize))
        return nullptr;
    if (sectorSize != 512 && sectorSize != 4096)
        return opt.fail("sector must be 512 or 4096"), nullptr;
    if (!opt.flag("endflag", area.endFlag) || !opt.flag("areamarker", area.marker))
        return nullptr;
    std::stringstream in(opt.get("parts", ""));
    std::string item;
    while (std::getline(in, item, ':')) {
        const auto plus = item.find('+');
        const auto start = plus == std::string::npos ? std::nullopt : ParseNumber(item.substr(0, plus));
        const auto count = plus == std::string::npos ? std::nullopt : ParseNumber(item.substr(plus + 1));
        if (!start || !count || *count == 0)
            return opt.fail("parts must be START+COUNT joined by ':' (512-byte units)"), nullptr;
        parts.emplace_back(*start, *count);
    }
    return std::make_shared<SimDisk>(sectors, sectorSize, kBridgeReservedSectors);
}

// Every option must be one of the chip presets' or one of this preset's own
// (or `also`); false with `error` naming the first that is not.
bool OptionsKnown(const Def &def, const PresetSpec &spec, std::string &error, const char *also = "")
{
    for (const auto &[key, value] : spec.options) {
        (void)value;
        if (!kCommonOptions.count(key) && !HasExtra(def, key) && key != also) {
            error = "unknown option '" + key + "' for preset '" + spec.name + "'";
            return false;
        }
    }
    return true;
}

// The model tag and the revision digit, from the options or the preset.
bool ReadTagAndRevision(const Def &def, Options &opt, std::string &tag, char &rev)
{
    tag = opt.get("tag", def.tag);
    if (tag.size() != 3)
        return opt.fail("tag must be three characters");
    const std::string text = opt.get("rev", std::string(1, def.rev));
    if (text.size() != 1 || text[0] < '0' || text[0] > '9')
        return opt.fail("rev must be one digit");
    rev = text[0];
    return true;
}

// The firmware a bridge of the preset is delivered with, as the options set it.
bool ReadFirmwareBuild(const Def &def, Options &opt, const std::string &tag, char rev, FirmwareBuild &build)
{
    build.chipCode = def.code;
    build.tag = tag;
    build.revision = rev;
    build.major = def.major;
    build.minor = def.minor;
    build.ext = def.ext;
    build.level = def.level;
    build.altLevel = def.altLevel;
    build.seed = def.code * 7919u + static_cast<unsigned>(rev - '0');
    const std::string buildKind = opt.get("build", "release");
    if (buildKind != "release" && buildKind != "internal")
        return opt.fail("build must be release or internal");
    build.release = buildKind == "release";
    if (!build.release && def.code == 14 && !(def.features & kAnswersFE) && !opt.has("ext") &&
        !opt.has("exttext"))
        build.ext = {0, 0, 0, 1}; // the version internal builds of this family report
    if (opt.has("version")) {
        std::uint8_t mm[2];
        if (!opt.bytes("version", 2, mm))
            return false;
        build.major = mm[0];
        build.minor = mm[1];
    }
    if (!opt.bytes("ext", 4, build.ext.data()))
        return false;
    if (opt.has("exttext")) {
        const std::string text = opt.get("exttext", "");
        if (text.size() != 4)
            return opt.fail("exttext must be four characters");
        std::copy(text.begin(), text.end(), build.ext.begin());
    }
    std::uint32_t level = build.level, altLevel = build.altLevel;
    if (!opt.hex("level", 0xFF, level) || !opt.hex("altlevel", 0xFF, altLevel))
        return false;
    build.level = static_cast<std::uint8_t>(level);
    build.altLevel = static_cast<std::uint8_t>(altLevel);
    return true;
}

} // namespace

bool IsChipPresetName(const std::string &name) { return FindDef(name) != nullptr; }

const std::vector<ChipPresetInfo> &ChipPresets()
{
    static const std::vector<ChipPresetInfo> list = [] {
        std::vector<ChipPresetInfo> out;
        for (const Def &d : kDefs)
            out.push_back({d.name, d.code, d.description, std::string(d.series) + " Bridge", d.bus,
                           (d.features & kDiskFirmware) != 0});
        return out;
    }();
    return list;
}

std::shared_ptr<SimBridge> MakeChipPresetDevice(const PresetSpec &spec, Clock &clock, std::string &error)
{
    const Def *def = FindDef(spec.name);
    if (!def) {
        error = "unknown preset '" + spec.name + "' (try --simulate help)";
        return nullptr;
    }
    if (!OptionsKnown(*def, spec, error))
        return nullptr;
    Options opt{spec, error};

    // The chip itself.
    BridgeIdentity id;
    id.vendor = "Velkor";
    id.product = opt.get("product", std::string(def->series) + " Bridge");
    id.usbVendorId = def->vid;
    id.usbProductId = def->pid;
    std::uint32_t value = 0;
    if (!opt.hex("vid", 0xFFFF, value))
        return nullptr;
    if (opt.has("vid"))
        id.usbVendorId = static_cast<std::uint16_t>(value);
    if (!opt.hex("pid", 0xFFFF, value))
        return nullptr;
    if (opt.has("pid"))
        id.usbProductId = static_cast<std::uint16_t>(value);

    id.bus = def->bus;
    if (opt.has("bus")) {
        if (!ParseBusKind(opt.get("bus", ""), id.bus))
            return opt.fail("bus must be usb, uasp or 1394"), nullptr;
    }
    if (opt.has("mount")) {
        std::stringstream mounts(opt.get("mount", ""));
        std::string dir;
        while (std::getline(mounts, dir, ':')) {
            if (dir.empty() || dir[0] != '/')
                return opt.fail("mount needs absolute directories separated by ':'"), nullptr;
            id.mountPoints.push_back(dir);
        }
    }

    std::string tag;
    char rev = '0';
    if (!ReadTagAndRevision(*def, opt, tag, rev))
        return nullptr;
    const std::uint8_t digit = static_cast<std::uint8_t>(rev - '0');

    std::string marker = def->marker ? def->marker : "none";
    marker = opt.get("marker", marker);
    if (marker != "none") {
        if (marker.size() != 4)
            return opt.fail("marker must be four characters (such as vQ5J) or none"), nullptr;
        id.inquiryMarker = std::array<std::uint8_t, 4>{};
        std::copy(marker.begin(), marker.end(), id.inquiryMarker->begin());
    }

    std::uint32_t chipInfoLength = def->chipInfoLength;
    if (!opt.number("chipinfo", 16, chipInfoLength))
        return nullptr;
    if (chipInfoLength != 12 && chipInfoLength != 16)
        return opt.fail("chipinfo must be 12 or 16"), nullptr;
    id.chipInfoLength = chipInfoLength;

    if (def->features & kLegacy) {
        // The older models answer the vendor probe with their model in bits 5
        // and 6 and have chip information of another kind.
        id.probeReply = std::array<std::uint8_t, 2>{def->legacyProbe, 0x00};
        id.chipInfo.fill(0);
        id.chipInfo[0] = 0x5A;
        id.chipInfo[1] = static_cast<std::uint8_t>(0x10 | (def->legacyProbe >> 5));
    } else {
        id.chipInfo[0] = 0xF4;
        id.chipInfo[1] = 0xE7;
        id.chipInfo[2] = static_cast<std::uint8_t>(id.usbVendorId >> 8);
        id.chipInfo[3] = static_cast<std::uint8_t>(id.usbVendorId);
        id.chipInfo[4] = static_cast<std::uint8_t>(id.usbProductId >> 8);
        id.chipInfo[5] = static_cast<std::uint8_t>(id.usbProductId);
        std::copy(tag.begin(), tag.end(), id.chipInfo.begin() + 8);
        id.chipInfo[11] = static_cast<std::uint8_t>(rev);
    }
    if (def->signature)
        id.signature = MakeSignature(def->signature, def->sigRev, digit);

    bool fwInfo = (def->features & kFwInfo) != 0;
    if (!opt.flag("fwinfo", fwInfo))
        return nullptr;
    if (fwInfo)
        id.firmwareInfo = std::array<std::uint8_t, 32>{};
    id.answersChipInfoFE = (def->features & kAnswersFE) != 0;
    bool staging = (def->features & kStaging) != 0;
    if (!opt.flag("staging", staging))
        return nullptr;
    id.acceptsStagingRead = staging;
    bool toggle = (def->features & kToggle) != 0;
    if (!opt.flag("toggle", toggle))
        return nullptr;
    if (toggle)
        id.xdataWriteXor[kToggleByte] = 0x01;
    id.flashAttached = !(def->features & kDiskFirmware);

    ChipModel model;
    model.code = def->code;
    model.tag = tag;
    model.layout = def->layout;
    model.release = def->release;
    model.features = def->features;
    std::uint32_t chipRevision = 0xB3;
    if (!opt.hex("chiprev", 0xFF, chipRevision))
        return nullptr;
    model.chipRevision = static_cast<std::uint8_t>(chipRevision);
    if (!opt.flag("fwassist", model.assist))
        return nullptr;
    const std::string flashType = opt.get("flashtype", "auto");
    if (flashType != "auto") {
        auto v = ParseNumber(flashType);
        if (!v || *v > 255)
            return opt.fail("flashtype must be auto or a number 0-255"), nullptr;
        model.verdict = static_cast<std::uint8_t>(*v);
    }

    // The firmware it was delivered with.
    FirmwareBuild build;
    if (!ReadFirmwareBuild(*def, opt, tag, rev, build))
        return nullptr;

    const std::string partName = opt.get("flash", def->flash);
    const FlashPart *part = FindFlashPart(partName);
    if (!part)
        return opt.fail("unknown flash part '" + partName + "' (try --simulate help)"), nullptr;

    bool blank = false, readBuffer = (def->features & kBufferFw) != 0, rom = false;
    if (!opt.flag("blank", blank) || !opt.flag("readbuffer", readBuffer) || !opt.flag("rom", rom))
        return nullptr;

    std::shared_ptr<SimDisk> disk;
    if (def->features & kDiskFirmware) {
        disk = MakeDisk(opt, model.diskArea, id.partitionExtents);
        if (!disk)
            return nullptr;
        if (!blank)
            InstallFirmwareArea(*disk, model.diskArea, BuildFirmwareImage(def->layout, build));
        id.disk = disk;
    }

    auto bridge = std::make_shared<SimBridge>(id, *part, clock);
    auto &flash = bridge->flash().contents();
    if (!blank && id.flashAttached) {
        if (!InstallFirmware(flash, def->layout, build))
            return opt.fail("the firmware image does not fit a flash of " +
                            std::to_string(flash.size() / 1024) + " KiB"),
                   nullptr;
        if (def->layout == FirmwareLayout::DualBank && flash.size() >= 0x20000) {
            if (opt.has("ext1")) {
                FirmwareBuild other = build;
                if (!opt.bytes("ext1", 4, other.ext.data()))
                    return nullptr;
                other.seed ^= 0x5A5A;
                const auto image = BuildFirmwareImage(def->layout, other);
                std::copy(image.begin(), image.end(), flash.begin() + 0x10000);
            }
            const std::string damage = opt.get("damage", "none");
            if (damage == "bank0" || damage == "both")
                DamageBank(flash, 0);
            if (damage == "bank1" || damage == "both")
                DamageBank(flash, 0x10000);
            if (damage != "none" && damage != "bank0" && damage != "bank1" && damage != "both")
                return opt.fail("damage must be none, bank0, bank1 or both"), nullptr;
        } else if (opt.has("damage") || opt.has("ext1")) {
            return opt.fail("damage and ext1 need a flash of 128 KiB or more"), nullptr;
        }
    }

    model.forceRom = rom;
    bridge->setBootHook([model](SimBridge &b) {
        if (b.identity().disk)
            b.identity().diskFirmware = ReadFirmwareArea(*b.identity().disk, model.diskArea);
        BootChip(b, model);
    });
    if (disk)
        DiskFirmware::Attach(*bridge, disk);
    bridge->boot();
    if (readBuffer)
        BufferFirmware::Attach(*bridge, tag, digit, rom);
    else if (staging)
        StagingFirmware::Attach(*bridge);
    return bridge;
}

bool MakePresetFirmwareFile(const PresetSpec &spec, PresetFirmwareFile &file, std::string &error)
{
    const Def *def = FindDef(spec.name);
    if (!def) {
        error = spec.name == "generic" || spec.name == "plain-disk"
                    ? "preset '" + spec.name + "' belongs to no firmware family: it has no firmware file"
                    : "unknown preset '" + spec.name + "' (try --simulate help)";
        return false;
    }
    if (!OptionsKnown(*def, spec, error, "nvram"))
        return false;
    Options opt{spec, error};
    bool nvram = false;
    if (!opt.flag("nvram", nvram))
        return false;
    if (nvram && def->layout != FirmwareLayout::AfterNvram)
        return opt.fail("nvram=1: the firmware of preset '" + spec.name +
                        "' has no 4 KiB NVRAM area in front of it");
    std::string tag;
    char rev = '0';
    FirmwareBuild build;
    if (!ReadTagAndRevision(*def, opt, tag, rev) || !ReadFirmwareBuild(*def, opt, tag, rev, build))
        return false;

    file.code = def->code;
    file.bytes = BuildFirmwareImage(def->layout, build);
    file.flashOffset = FirmwareImageBase(def->layout);
    if (nvram) {
        // The settings area as an unused bridge holds it: erased.
        file.bytes.insert(file.bytes.begin(), kNvramAreaBytes, 0xFF);
        file.flashOffset -= kNvramAreaBytes;
    }
    return true;
}

std::string ChipPresetListHelp()
{
    std::string text;
    for (const Def &d : kDefs) {
        std::string name = d.name;
        name.resize(std::max<std::size_t>(name.size() + 1, 14), ' ');
        char code[8];
        std::snprintf(code, sizeof code, "%2u  ", d.code);
        text += "  " + name + code + d.description + "\n";
    }
    return text;
}

std::string ChipPresetOptionsHelp()
{
    return "Options of the chip presets (after the name: NAME:key=value,...):\n"
           "  flash=PART          SPI flash part (each preset has its own default)\n"
           "  version=MAJ.MIN     firmware version, chip information bytes 6 and 7\n"
           "  ext=A.B.C.D         extended version, chip information bytes 12-15\n"
           "  exttext=WXYZ        the same as four characters (codes 14 to 18 show characters)\n"
           "  build=release|internal  release build or internal code\n"
           "  rev=N               chip revision digit (chip information byte 11, signature byte 5)\n"
           "  bus=usb|uasp|1394   how the bridge is attached\n"
           "  chipinfo=12|16      bytes of chip information the bridge delivers\n"
           "  marker=vXYZ|none    INQUIRY bytes 36-39\n"
           "  tag=XYZ             model tag in the chip information\n"
           "  flashtype=auto|N    the flash maker the firmware reports (auto: from the flash's JEDEC ID)\n"
           "  blank=1             the flash holds no firmware: the bridge runs from ROM\n"
           "  vid=HEX, pid=HEX, product=TEXT, mount=DIR[:DIR..]\n"
           "  level=HEX, altlevel=HEX       firmware levels (figtree, cypress)\n"
           "  chiprev=HEX         0xFDB0 byte 1, B4 or more is revision 5 (maple, oak)\n"
           "  fwassist=0|1        0x505E reads 00 00 01: firmware-assisted update (maple, oak)\n"
           "  toggle=0|1          0x506A reads back inverted (maple, oak)\n"
           "  staging=0|1         accepts the staging-area read (maple, oak)\n"
           "  sectors=N           sectors the attached disk reports (elm-e-disk; default 1048576);\n"
           "                      the bridge keeps 16 more of its own beyond them\n"
           "  sector=512|4096     the disk's logical sector size (elm-e-disk)\n"
           "  endflag=0|1         firmware information byte 17, the area's end flag (elm-e-disk)\n"
           "  areamarker=0|1      firmware information byte 16, the area marker (elm-e-disk)\n"
           "  parts=S+N[:S+N..]   partitions of the disk, start and size in 512-byte units (elm-e-disk)\n"
           "  damage=bank0|bank1|both, ext1=A.B.C.D  bank 1's version, a damaged bank (nutmeg, aspen)\n"
           "  fwinfo=0|1          answers the firmware information read\n"
           "  readbuffer=0|1, rom=1         buffer-transfer firmware, forced ROM start (pine .. spruce)\n";
}

} // namespace brigant::sim
