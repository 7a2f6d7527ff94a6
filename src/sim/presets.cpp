#include "sim/presets.h"

#include "common/hex.h"
#include "sim/chip_presets.h"
#include "sim/flash_parts.h"

#include <set>
#include <sstream>

namespace brigant::sim
{

namespace
{

// An arbitrary identity for simulated bridges; real bridges report their own.
constexpr std::uint16_t kSimVendorId = 0x3A9B;
constexpr std::uint16_t kSimProductId = 0x0100;

struct PresetInfo {
    const char *name;
    const char *description;
};

const PresetInfo kPresets[] = {
    {"generic", "a bridge whose firmware reads, erases and programs its SPI flash on request"},
    {"plain-disk", "a USB disk without a supported bridge: every vendor command is rejected"},
};

const char *kFaultHelp =
    "Faults, for every preset (repeat for several):\n"
    "  fault=KIND@N      the device's Nth command (counted from 1) fails; KIND is one of\n"
    "                    error     the pass-through call itself fails\n"
    "                    check     CHECK CONDITION, ILLEGAL REQUEST (5/20/00)\n"
    "                    notready  CHECK CONDITION, becoming ready (2/04/01)\n"
    "                    ua        CHECK CONDITION, UNIT ATTENTION: power on or reset\n"
    "                              occurred (6/29/00); the command is not run\n"
    "                    short     only half the data moves\n"
    "                    corrupt   the first byte of a data-in reply arrives inverted\n"
    "                    powerloss the device is gone from then on; --sim-state keeps\n"
    "                              its state of that moment\n"
    "                    denied    from then on the node cannot be opened (EACCES), as for\n"
    "                              a user without the rights to it\n"
    "                    e.g. nutmeg:fault=error@3,fault=powerloss@12\n"
    "After its reset, for every preset:\n"
    "  leave-after=MS    the bridge stays on the bus MS milliseconds before it leaves (default 0)\n"
    "  reattach=MS       and comes back MS milliseconds after leaving (default 1500)\n"
    "On the bus, for every preset:\n"
    "  arrive=MS         the bridge is plugged in MS milliseconds after the start (default 0)\n"
    "  serial=TEXT       its USB serial number (default SIM and its port number, SIM0000003)\n"
    "  maxkb=N           the host takes at most N KiB in one command (max_hw_sectors_kb)\n"
    "  quirks=FLAGS      the host's usb-storage quirk flags for its USB IDs (u: not uas)\n"
    "Twins and replays instead of a preset:\n"
    "  @FILE             the twin of a device recorded with 'brigant-fw record -o FILE'\n"
    "  replay[:bus=usb|uasp|1394]@FILE\n"
    "                    a session written with --trace-data FILE, answered as it was\n";

const char *kCommonOptionsHelp =
    "  flash=PART        SPI flash part (default MX25L4006E; see the list below)\n"
    "  version=MAJ.MIN   firmware version in the chip information (default 1.0)\n"
    "  tag=ABC           three-character model tag (default GEN)\n"
    "  rev=N             revision digit (default 0)\n"
    "  vid=HEX, pid=HEX  USB vendor and product IDs\n"
    "  product=TEXT      INQUIRY product name\n"
    "  bus=usb|uasp|1394 how the bridge is attached (default usb)\n"
    "  chipinfo=12|16    bytes of chip information the bridge delivers (default 16)\n"
    "  mount=DIR[:DIR..] mount points of the attached disk's partitions, one partition each\n";

bool ParseHex16(const std::string &text, std::uint16_t &out)
{
    auto v = ParseNumber(text.rfind("0x", 0) == 0 ? text : "0x" + text);
    if (!v || *v > 0xFFFF)
        return false;
    out = static_cast<std::uint16_t>(*v);
    return true;
}

void PutChipInfoIds(BridgeIdentity &id)
{
    id.chipInfo[0] = 0xF4;
    id.chipInfo[1] = 0xE7;
    id.chipInfo[2] = static_cast<std::uint8_t>(id.usbVendorId >> 8);
    id.chipInfo[3] = static_cast<std::uint8_t>(id.usbVendorId);
    id.chipInfo[4] = static_cast<std::uint8_t>(id.usbProductId >> 8);
    id.chipInfo[5] = static_cast<std::uint8_t>(id.usbProductId);
}

} // namespace

bool ParsePresetSpec(const std::string &text, PresetSpec &spec, std::string &error)
{
    spec = PresetSpec{};
    const auto colon = text.find(':');
    spec.name = text.substr(0, colon);
    if (spec.name.empty()) {
        error = "no preset name in '" + text + "'";
        return false;
    }
    if (colon == std::string::npos)
        return true;
    std::stringstream rest(text.substr(colon + 1));
    std::string item;
    while (std::getline(rest, item, ',')) {
        const auto eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "option '" + item + "' is not key=value";
            return false;
        }
        const std::string key = item.substr(0, eq);
        if (key == "fault") {
            spec.faults.push_back(item.substr(eq + 1));
        } else if (!spec.options.emplace(key, item.substr(eq + 1)).second) {
            error = "option '" + key + "' is given twice";
            return false;
        }
    }
    return true;
}

bool ParseFaultOption(const std::string &value, FaultRule &rule, std::string &error)
{
    const std::string option = "fault=" + value;
    const auto at = value.find('@');
    const std::string kind = value.substr(0, at);
    rule = FaultRule{};
    if (kind == "error") {
        rule.kind = FaultRule::Kind::TransportError;
    } else if (kind == "check") {
        rule = NotReadyFault(1);
        rule.key = 0x05; // ILLEGAL REQUEST, invalid command operation code
        rule.asc = 0x20;
        rule.ascq = 0x00;
    } else if (kind == "notready") {
        rule = NotReadyFault(1);
    } else if (kind == "ua") {
        rule = NotReadyFault(1);
        rule.key = 0x06;
        rule.asc = 0x29;
        rule.ascq = 0x00;
    } else if (kind == "short") {
        rule.kind = FaultRule::Kind::HalfData;
    } else if (kind == "corrupt") {
        rule.kind = FaultRule::Kind::CorruptByte; // the reply's first byte
    } else if (kind == "powerloss") {
        rule.kind = FaultRule::Kind::PowerLoss;
    } else if (kind == "denied") {
        rule.kind = FaultRule::Kind::AccessDenied;
    } else {
        error = "option " + option + ": unknown fault '" + kind +
                "' (error, check, notready, ua, short, corrupt, powerloss or denied)";
        return false;
    }
    const std::string count = at == std::string::npos ? std::string() : value.substr(at + 1);
    std::uint64_t n = 0;
    const bool digits =
        !count.empty() && count.size() <= 9 && count.find_first_not_of("0123456789") == std::string::npos;
    for (char c : digits ? count : std::string())
        n = n * 10 + static_cast<unsigned>(c - '0');
    if (n == 0) {
        error = "option " + option + ": give the command as @N, a number from 1";
        return false;
    }
    rule.nth = n;
    rule.times = 1;
    return true;
}

namespace
{

// The value of option `key`, or `fallback` when it is not given.
std::string OptionOr(const PresetSpec &spec, const char *key, const char *fallback)
{
    auto it = spec.options.find(key);
    return it == spec.options.end() ? std::string(fallback) : it->second;
}

// generic and plain-disk take only the options they list in --simulate help.
bool CheckPresetOptions(const PresetSpec &spec, std::string &error)
{
    bool known = false;
    for (const auto &p : kPresets)
        known = known || spec.name == p.name;
    if (!known) {
        error = "unknown preset '" + spec.name + "' (try --simulate help)";
        return false;
    }
    static const std::set<std::string> kKnownOptions = {"flash", "version", "tag", "rev",      "vid",
                                                        "pid",   "product", "bus", "chipinfo", "mount"};
    for (const auto &[key, value] : spec.options) {
        if (!kKnownOptions.count(key)) {
            error = "unknown option '" + key + "' for preset '" + spec.name + "'";
            return false;
        }
    }
    return true;
}

// The device on its bus: vendor and product, USB IDs, the bus, and the
// directories its disk's partitions are mounted at.
bool ReadBusIdentity(const PresetSpec &spec, BridgeIdentity &id, std::string &error)
{
    id.usbVendorId = kSimVendorId;
    id.usbProductId = kSimProductId;
    id.product = OptionOr(spec, "product", spec.name == "plain-disk" ? "USB Disk" : "Generic Bridge");
    if (spec.name == "plain-disk") {
        id.vendor = "Generic";
        id.vendorCommands = false;
        id.probeReply.reset();
    }
    if (spec.options.count("vid") && !ParseHex16(spec.options.at("vid"), id.usbVendorId)) {
        error = "vid must be a 16-bit hexadecimal number";
        return false;
    }
    if (spec.options.count("pid") && !ParseHex16(spec.options.at("pid"), id.usbProductId)) {
        error = "pid must be a 16-bit hexadecimal number";
        return false;
    }
    if (!ParseBusKind(OptionOr(spec, "bus", "usb"), id.bus)) {
        error = "bus must be usb, uasp or 1394";
        return false;
    }

    if (spec.options.count("mount")) {
        std::stringstream mounts(spec.options.at("mount"));
        std::string dir;
        while (std::getline(mounts, dir, ':')) {
            if (dir.empty() || dir[0] != '/') {
                error = "mount needs absolute directories separated by ':'";
                return false;
            }
            id.mountPoints.push_back(dir);
        }
    }
    return true;
}

// The chip information: the USB IDs, the version, the model tag and
// revision, and how many bytes of it the bridge delivers.
bool ReadChipInfo(const PresetSpec &spec, BridgeIdentity &id, std::string &error)
{
    PutChipInfoIds(id);
    unsigned major = 1, minor = 0;
    const std::string version = OptionOr(spec, "version", "1.0");
    char dot = 0;
    std::istringstream vs(version);
    if (!(vs >> major >> dot >> minor) || dot != '.' || major > 255 || minor > 255 || !vs.eof()) {
        error = "version must be MAJ.MIN with numbers 0-255";
        return false;
    }
    id.chipInfo[6] = static_cast<std::uint8_t>(major);
    id.chipInfo[7] = static_cast<std::uint8_t>(minor);
    const std::string tag = OptionOr(spec, "tag", "GEN");
    const std::string rev = OptionOr(spec, "rev", "0");
    if (tag.size() != 3 || rev.size() != 1) {
        error = "tag must be three characters and rev one";
        return false;
    }
    for (int i = 0; i < 3; ++i)
        id.chipInfo[8 + i] = static_cast<std::uint8_t>(tag[i]);
    id.chipInfo[11] = static_cast<std::uint8_t>(rev[0]);
    const std::string chipInfoLength = OptionOr(spec, "chipinfo", "16");
    if (chipInfoLength != "12" && chipInfoLength != "16") {
        error = "chipinfo must be 12 or 16";
        return false;
    }
    id.chipInfoLength = chipInfoLength == "12" ? 12 : 16;
    return true;
}

} // namespace

std::shared_ptr<SimBridge> MakePresetDevice(const PresetSpec &spec, Clock &clock, std::string &error)
{
    if (IsChipPresetName(spec.name))
        return MakeChipPresetDevice(spec, clock, error);
    BridgeIdentity id;
    if (!CheckPresetOptions(spec, error) || !ReadBusIdentity(spec, id, error) ||
        !ReadChipInfo(spec, id, error))
        return nullptr;
    const FlashPart *part = FindFlashPart(OptionOr(spec, "flash", "MX25L4006E"));
    if (!part) {
        error = "unknown flash part '" + OptionOr(spec, "flash", "") + "' (try --simulate help)";
        return nullptr;
    }
    auto bridge = std::make_shared<SimBridge>(id, *part, clock);
    bridge->boot();
    return bridge;
}

std::string PresetHelp()
{
    std::string text = "Simulated devices: --simulate NAME[:key=value,...] (repeat for several devices)\n\n";
    for (const auto &p : kPresets)
        text += std::string("  ") + p.name + std::string(12 - std::string(p.name).size(), ' ') +
                p.description + "\n";
    text += "\nChip presets (name, the chip type code they are identified as, what they show):\n";
    text += ChipPresetListHelp();
    text += "\nOptions of generic and plain-disk:\n";
    text += kCommonOptionsHelp;
    text += "\n";
    text += ChipPresetOptionsHelp();
    text += "\n";
    text += kFaultHelp;
    text += "\nFlash parts:\n";
    for (const auto &part : FlashParts())
        text += std::string("  ") + part.name + " (" + std::to_string(part.sizeBytes / 1024) + " KiB)\n";
    return text;
}

} // namespace brigant::sim
