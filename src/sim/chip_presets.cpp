// Building a chip preset's bridge from its row of the table and the options
// given: what it answers, the flash part, the firmware it is delivered with.
#include "sim/chip_presets.h"

#include "common/hex.h"
#include "sim/buffer_firmware.h"
#include "sim/chip_firmware.h"
#include "sim/chip_preset_boot.h"
#include "sim/chip_preset_table.h"
#include "sim/disk_firmware.h"
#include "sim/flash_parts.h"
#include "sim/staging_firmware.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace brigant::sim
{

namespace chip
{

namespace
{

// A small disk unless sectors= says otherwise: 512 MiB of 512-byte sectors.
constexpr std::uint64_t kDefaultDiskSectors = 0x100000;

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
        if (!IsCommonOption(key) && !HasExtra(def, key) && key != also) {
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

// The bridge on its bus: its vendor and product, its USB IDs, the bus and
// the directories its disk's partitions are mounted at.
bool ReadBusIdentity(const Def &def, Options &opt, BridgeIdentity &id)
{
    id.vendor = "Velkor";
    id.product = opt.get("product", std::string(def.series) + " Bridge");
    id.usbVendorId = def.vid;
    id.usbProductId = def.pid;
    std::uint32_t value = 0;
    if (!opt.hex("vid", 0xFFFF, value))
        return false;
    if (opt.has("vid"))
        id.usbVendorId = static_cast<std::uint16_t>(value);
    if (!opt.hex("pid", 0xFFFF, value))
        return false;
    if (opt.has("pid"))
        id.usbProductId = static_cast<std::uint16_t>(value);

    id.bus = def.bus;
    if (opt.has("bus")) {
        if (!ParseBusKind(opt.get("bus", ""), id.bus))
            return opt.fail("bus must be usb, uasp or 1394");
    }
    if (opt.has("mount")) {
        std::stringstream mounts(opt.get("mount", ""));
        std::string dir;
        while (std::getline(mounts, dir, ':')) {
            if (dir.empty() || dir[0] != '/')
                return opt.fail("mount needs absolute directories separated by ':'");
            id.mountPoints.push_back(dir);
        }
    }
    return true;
}

// The chip information bytes that do not depend on the firmware.
void PutChipInfo(const Def &def, const std::string &tag, char rev, BridgeIdentity &id)
{
    if (def.features & kLegacy) {
        // The older models answer the vendor probe with their model in bits 5
        // and 6 and have chip information of another kind.
        id.probeReply = std::array<std::uint8_t, 2>{def.legacyProbe, 0x00};
        id.chipInfo.fill(0);
        id.chipInfo[0] = 0x5A;
        id.chipInfo[1] = static_cast<std::uint8_t>(0x10 | (def.legacyProbe >> 5));
        return;
    }
    id.chipInfo[0] = 0xF4;
    id.chipInfo[1] = 0xE7;
    id.chipInfo[2] = static_cast<std::uint8_t>(id.usbVendorId >> 8);
    id.chipInfo[3] = static_cast<std::uint8_t>(id.usbVendorId);
    id.chipInfo[4] = static_cast<std::uint8_t>(id.usbProductId >> 8);
    id.chipInfo[5] = static_cast<std::uint8_t>(id.usbProductId);
    std::copy(tag.begin(), tag.end(), id.chipInfo.begin() + 8);
    id.chipInfo[11] = static_cast<std::uint8_t>(rev);
}

// What identification reads from the chip itself: the INQUIRY marker, the
// chip information and the signature.
bool ReadChipIdentity(const Def &def, Options &opt, const std::string &tag, char rev, BridgeIdentity &id)
{
    std::string marker = def.marker ? def.marker : "none";
    marker = opt.get("marker", marker);
    if (marker != "none") {
        if (marker.size() != 4)
            return opt.fail("marker must be four characters (such as vQ5J) or none");
        id.inquiryMarker = std::array<std::uint8_t, 4>{};
        std::copy(marker.begin(), marker.end(), id.inquiryMarker->begin());
    }

    std::uint32_t chipInfoLength = def.chipInfoLength;
    if (!opt.number("chipinfo", 16, chipInfoLength))
        return false;
    if (chipInfoLength != 12 && chipInfoLength != 16)
        return opt.fail("chipinfo must be 12 or 16");
    id.chipInfoLength = chipInfoLength;

    PutChipInfo(def, tag, rev, id);
    if (def.signature)
        id.signature = MakeSignature(def.signature, def.sigRev, static_cast<std::uint8_t>(rev - '0'));
    return true;
}

// Which of the firmware's reads it answers (firmware information, the FE
// chip information read, the staging-area read), whether a data-space byte
// toggles, and whether it has a flash at all.
bool ReadFirmwareAnswers(const Def &def, Options &opt, BridgeIdentity &id)
{
    bool fwInfo = (def.features & kFwInfo) != 0;
    if (!opt.flag("fwinfo", fwInfo))
        return false;
    if (fwInfo)
        id.firmwareInfo = std::array<std::uint8_t, 32>{};
    id.answersChipInfoFE = (def.features & kAnswersFE) != 0;
    bool staging = (def.features & kStaging) != 0;
    if (!opt.flag("staging", staging))
        return false;
    id.acceptsStagingRead = staging;
    bool toggle = (def.features & kToggle) != 0;
    if (!opt.flag("toggle", toggle))
        return false;
    if (toggle)
        id.xdataWriteXor[kToggleByte] = 0x01;
    id.flashAttached = !(def.features & kDiskFirmware);
    return true;
}

// What the bridge knows about itself when it starts (see BootChip).
bool ReadChipModel(const Def &def, Options &opt, const std::string &tag, ChipModel &model)
{
    model.code = def.code;
    model.tag = tag;
    model.layout = def.layout;
    model.release = def.release;
    model.features = def.features;
    std::uint32_t chipRevision = 0xB3;
    if (!opt.hex("chiprev", 0xFF, chipRevision))
        return false;
    model.chipRevision = static_cast<std::uint8_t>(chipRevision);
    if (!opt.flag("fwassist", model.assist))
        return false;
    const std::string flashType = opt.get("flashtype", "auto");
    if (flashType != "auto") {
        auto v = ParseNumber(flashType);
        if (!v || *v > 255)
            return opt.fail("flashtype must be auto or a number 0-255");
        model.verdict = static_cast<std::uint8_t>(*v);
    }
    return true;
}

// A chip preset's bridge as its options describe it, before it is built.
struct Plan {
    BridgeIdentity id;
    ChipModel model;
    FirmwareBuild build; // the firmware it was delivered with
    const FlashPart *part = nullptr;
    bool blank = false;      // the flash holds no firmware
    bool readBuffer = false; // buffer-transfer firmware
};

// Reads every option but those of the disk and of the firmware banks, in the
// order their errors are reported.
bool ReadPlan(const Def &def, Options &opt, Plan &plan)
{
    std::string tag;
    char rev = '0';
    if (!ReadBusIdentity(def, opt, plan.id) || !ReadTagAndRevision(def, opt, tag, rev) ||
        !ReadChipIdentity(def, opt, tag, rev, plan.id) || !ReadFirmwareAnswers(def, opt, plan.id) ||
        !ReadChipModel(def, opt, tag, plan.model) || !ReadFirmwareBuild(def, opt, tag, rev, plan.build))
        return false;

    const std::string partName = opt.get("flash", def.flash);
    plan.part = FindFlashPart(partName);
    if (!plan.part)
        return opt.fail("unknown flash part '" + partName + "' (try --simulate help)");

    plan.readBuffer = (def.features & kBufferFw) != 0;
    return opt.flag("blank", plan.blank) && opt.flag("readbuffer", plan.readBuffer) &&
           opt.flag("rom", plan.model.forceRom);
}

// The attached disk of a bridge that keeps its firmware there, holding the
// firmware it was delivered with unless blank=1.
std::shared_ptr<SimDisk> MakeFirmwareDisk(const Def &def, Options &opt, Plan &plan)
{
    auto disk = MakeDisk(opt, plan.model.diskArea, plan.id.partitionExtents);
    if (!disk)
        return nullptr;
    if (!plan.blank)
        InstallFirmwareArea(*disk, plan.model.diskArea, BuildFirmwareImage(def.layout, plan.build));
    plan.id.disk = disk;
    return disk;
}

// The two-bank families: bank 1 may hold another version (ext1=), and
// either bank may be damaged (damage=).
bool SetUpBanks(const Def &def, Options &opt, const FirmwareBuild &build, std::vector<std::uint8_t> &flash)
{
    if (opt.has("ext1")) {
        FirmwareBuild other = build;
        if (!opt.bytes("ext1", 4, other.ext.data()))
            return false;
        other.seed ^= 0x5A5A;
        const auto image = BuildFirmwareImage(def.layout, other);
        std::copy(image.begin(), image.end(), flash.begin() + 0x10000);
    }
    const std::string damage = opt.get("damage", "none");
    if (damage == "bank0" || damage == "both")
        DamageBank(flash, 0);
    if (damage == "bank1" || damage == "both")
        DamageBank(flash, 0x10000);
    if (damage != "none" && damage != "bank0" && damage != "bank1" && damage != "both")
        return opt.fail("damage must be none, bank0, bank1 or both");
    return true;
}

// The firmware the bridge was delivered with, in its flash.
bool InstallDeliveredFirmware(const Def &def, Options &opt, const FirmwareBuild &build,
                              std::vector<std::uint8_t> &flash)
{
    if (!InstallFirmware(flash, def.layout, build))
        return opt.fail("the firmware image does not fit a flash of " + std::to_string(flash.size() / 1024) +
                        " KiB");
    if (def.layout == FirmwareLayout::DualBank && flash.size() >= 0x20000)
        return SetUpBanks(def, opt, build, flash);
    if (opt.has("damage") || opt.has("ext1"))
        return opt.fail("damage and ext1 need a flash of 128 KiB or more");
    return true;
}

// The bridge starts from what it holds, with the firmware behaviour of its
// kind (disk firmware, buffer transfers, the staging area) on top.
void StartBridge(SimBridge &bridge, const Plan &plan, const std::shared_ptr<SimDisk> &disk)
{
    bridge.setBootHook([model = plan.model](SimBridge &b) {
        if (b.identity().disk)
            b.identity().diskFirmware = ReadFirmwareArea(*b.identity().disk, model.diskArea);
        BootChip(b, model);
    });
    if (disk)
        DiskFirmware::Attach(bridge, disk);
    bridge.boot();
    if (plan.readBuffer)
        BufferFirmware::Attach(bridge, plan.model.tag, static_cast<std::uint8_t>(plan.build.revision - '0'),
                               plan.model.forceRom);
    else if (plan.id.acceptsStagingRead)
        StagingFirmware::Attach(bridge);
}

} // namespace

} // namespace chip

std::shared_ptr<SimBridge> MakeChipPresetDevice(const PresetSpec &spec, Clock &clock, std::string &error)
{
    const chip::Def *def = chip::FindDef(spec.name);
    if (!def) {
        error = "unknown preset '" + spec.name + "' (try --simulate help)";
        return nullptr;
    }
    if (!chip::OptionsKnown(*def, spec, error))
        return nullptr;
    chip::Options opt{spec, error};
    chip::Plan plan;
    if (!chip::ReadPlan(*def, opt, plan))
        return nullptr;

    std::shared_ptr<SimDisk> disk;
    if (def->features & chip::kDiskFirmware) {
        disk = chip::MakeFirmwareDisk(*def, opt, plan);
        if (!disk)
            return nullptr;
    }
    auto bridge = std::make_shared<SimBridge>(plan.id, *plan.part, clock);
    if (!plan.blank && plan.id.flashAttached &&
        !chip::InstallDeliveredFirmware(*def, opt, plan.build, bridge->flash().contents()))
        return nullptr;
    chip::StartBridge(*bridge, plan, disk);
    return bridge;
}

bool MakePresetFirmwareFile(const PresetSpec &spec, PresetFirmwareFile &file, std::string &error)
{
    const chip::Def *def = chip::FindDef(spec.name);
    if (!def) {
        error = spec.name == "generic" || spec.name == "plain-disk"
                    ? "preset '" + spec.name + "' belongs to no firmware family: it has no firmware file"
                    : "unknown preset '" + spec.name + "' (try --simulate help)";
        return false;
    }
    if (!chip::OptionsKnown(*def, spec, error, "nvram"))
        return false;
    chip::Options opt{spec, error};
    bool nvram = false;
    if (!opt.flag("nvram", nvram))
        return false;
    if (nvram && def->layout != FirmwareLayout::AfterNvram)
        return opt.fail("nvram=1: the firmware of preset '" + spec.name +
                        "' has no 4 KiB NVRAM area in front of it");
    std::string tag;
    char rev = '0';
    FirmwareBuild build;
    if (!chip::ReadTagAndRevision(*def, opt, tag, rev) ||
        !chip::ReadFirmwareBuild(*def, opt, tag, rev, build))
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

} // namespace brigant::sim
