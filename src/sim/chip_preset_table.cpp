// The table of chip presets, and what --simulate help says about them.
#include "sim/chip_preset_table.h"
#include "sim/chip_presets.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

namespace brigant::sim
{

namespace chip
{

namespace
{

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

} // namespace

std::span<const Def> Defs() { return kDefs; }

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

bool IsCommonOption(const std::string &key) { return kCommonOptions.count(key) != 0; }

} // namespace chip

bool IsChipPresetName(const std::string &name) { return chip::FindDef(name) != nullptr; }

const std::vector<ChipPresetInfo> &ChipPresets()
{
    static const std::vector<ChipPresetInfo> list = [] {
        std::vector<ChipPresetInfo> out;
        for (const chip::Def &d : chip::Defs())
            out.push_back({d.name, d.code, d.description, std::string(d.series) + " Bridge", d.bus,
                           (d.features & chip::kDiskFirmware) != 0});
        return out;
    }();
    return list;
}

std::string ChipPresetListHelp()
{
    std::string text;
    for (const chip::Def &d : chip::Defs()) {
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
