// brigant-fw info: identify one device as the window's selection handler does
// (the same identification, without the window) and print its chip, firmware
// version, flash and mount points; --verbose adds every field the window would
// show.
#include "app/bridge_state.h"
#include "app/device_list.h"
#include "bridge/flash_commands.h"
#include "cli/cli_context.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/user_text.h"
#include "cli/window_view.h"
#include "common/clock.h"
#include "device/bridge_lock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "identify/chip_identify.h"
#include "identify/flash_identify.h"
#include "sim/sim_backend.h"
#include "sim/sim_bridge.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace brigant::cli
{

namespace
{

struct InfoArgs {
    bool json = false;
    int index = 0;
    std::string bus; // empty: as the disk enumeration reports it, else USB
};

struct Candidate {
    std::string path;
    BusKind bus = BusKind::Usb;
};

// The devices to choose from: the one --device names, or every simulated
// device in the order they were given.
std::vector<Candidate> Candidates(CliContext &ctx)
{
    std::vector<Candidate> list;
    auto *sim = dynamic_cast<sim::SimBackend *>(TransportBackend());
    // The bus as the platform's disk enumeration reports it, else USB.
    std::vector<DiskInterface> disks;
    if (DiskEnumerator *enumerator = CurrentDiskEnumerator())
        enumerator->listDisks(disks);
    auto busOf = [&](const std::string &path) {
        for (const DiskInterface &disk : disks)
            if (disk.path == path)
                return disk.bus;
        if (sim)
            if (auto bridge = std::dynamic_pointer_cast<sim::SimBridge>(sim->device(path)))
                return bridge->identity().bus;
        return BusKind::Usb;
    };
    if (!ctx.device.empty()) {
        list.push_back({ctx.device, busOf(ctx.device)});
    } else if (sim) {
        for (const std::string &path : sim->paths())
            list.push_back({path, busOf(path)});
    }
    return list;
}

std::string Hex(std::uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// The device info reports on, as the device list shows it.
struct Target {
    DeviceEntry entry;
    std::string item;
    int candidateCount = 0;
};

// Discovery-less: the devices --device names (or every simulated device),
// each listed as its path.
int TargetWithoutDiscovery(CliContext &ctx, const InfoArgs &a, Target &target)
{
    const std::vector<Candidate> candidates = Candidates(ctx);
    if (candidates.empty()) {
        SayError().as(MessageCode::NoDevice)
            << "no device: give --device /dev/sgN, or --simulate PRESET to try a simulated bridge";
        return kExitNoDevice;
    }
    const int count = std::min(static_cast<int>(candidates.size()), kDeviceTableSize);
    if (a.index < 0 || a.index >= count)
        return IndexOutOfRange(a.index, count);
    const Candidate &chosen = candidates[static_cast<std::size_t>(a.index)];
    target.entry.path = chosen.path;
    target.entry.bus = chosen.bus;
    if (!a.bus.empty())
        ParseBusKind(a.bus, target.entry.bus);
    target.item = std::string(BusListTag(target.entry.bus)) + target.entry.path;
    return kExitOk;
}

// With discovery: the device list's entry `a.index`.
int TargetAfterDiscovery(const InfoArgs &a, Target &target, const runtime::Runtime *runtime)
{
    const BridgeList list = DiscoverBridges();
    if (list.candidateCount == 0 || list.listed.empty()) {
        if (ReportAccessProblem(runtime) || ReportUnaskedDisks(true))
            return kExitNoDevice;
        Saying said = SayError();
        said.as(MessageCode::NoDevice);
        said << "no disk behind a supported bridge was found";
        if (LastTransportFailure().openFailed)
            said << " (" << DescribeLastTransportFailure() << ")";
        return kExitNoDevice;
    }
    const int listed = static_cast<int>(list.listed.size());
    if (a.index < 0 || a.index >= listed)
        return IndexOutOfRange(a.index, listed);
    const ListedBridge &chosen = list.listed[static_cast<std::size_t>(a.index)];
    target.entry = chosen.entry;
    target.item = chosen.item;
    target.candidateCount = list.candidateCount;
    return kExitOk;
}

// Whether the device at `path` stopped answering: its last command found no
// device to open, and the platform no longer lists it (when it can tell).
bool WentAway(const std::string &path)
{
    const TransportFailure &f = LastTransportFailure();
    if (f.path != path || !f.openFailed || f.openError != OpenError::NotFound)
        return false;
    std::vector<DiskInterface> disks;
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    if (!enumerator || !enumerator->listDisks(disks))
        return true;
    for (const DiskInterface &disk : disks)
        if (disk.path == path)
            return false;
    return true;
}

// Another program of ours works on the bridge: said, and nothing asked of
// it. True when it is busy.
bool ReportBusy(const InfoArgs &a, DeviceEntry &entry)
{
    const std::optional<BusyBridge> busy = BridgeBusy(entry.path);
    entry.busy = busy ? BusyText(*busy) : std::string();
    if (entry.busy.empty())
        return false;
    if (a.json)
        std::cout << JsonText({{"verb", "info"}, {"device", entry.path}, {"busy", entry.busy}});
    else
        std::cout << "device " << entry.path << ": " << entry.busy << "\n";
    return true;
}

// Identifies the bridge at `entry` as a read verb does (a damaged bank is
// told, not repaired): kExitOk with `state` filled, or kExitFailed after
// saying why (the device went away, or could not be opened).
int IdentifyForInfo(CliContext &ctx, PlainProbeHost &host, DeviceEntry &entry, BridgeState &state)
{
    IdentifyOptions options;
    options.repairBank = false; // a read verb: a damaged bank is told, not repaired
    state = IdentifyBridge(host, entry, options);
    // What the window shows of a device lost on the way is not the device's.
    if (WentAway(entry.path)) {
        SayError().as(MessageCode::Failed)
            << "the device " << entry.path
            << " went away during identification: " << DescribeLastTransportFailure();
        return kExitFailed;
    }
    if (state.chip.ChipTypeCode == 0 && (LastTransportFailure().openFailed || PermissionProblem())) {
        if (!ReportAccessProblem(ctx.runtime))
            SayError().as(MessageCode::Failed) << DescribeLastTransportFailure();
        return kExitFailed;
    }
    return kExitOk;
}

// What info learnt of the bridge, as both of its renderings show it.
struct InfoFacts {
    InfoFacts(const InfoArgs &asked, bool verboseView, const DeviceEntry &device, const std::string &listItem,
              const BridgeState &identified, const TransferState &geometry)
        : args(asked), verbose(verboseView), entry(device), item(listItem), state(identified),
          transfer(geometry)
    {
    }

    const InfoArgs &args;
    bool verbose = false; // --verbose: the window-level view too
    const DeviceEntry &entry;
    const std::string &item;
    const BridgeState &state;
    const TransferState &transfer; // the erase geometry identification learnt
    bool supported = false;
    std::string jedec;     // the flash's JEDEC ID (empty: not readable)
    std::string jedecNote; // how it was read, when not through the raw SPI channel
    std::vector<std::string> mounts;
    const char *maker = nullptr; // the flash maker's name by its kind (nullptr: not known)
    bool versionShown = false;
    bool flashShown = false;
    NextStep step;
};

// The flash's JEDEC ID: the raw SPI channel first, then the bridge's
// identification read. kExitOk, or kExitFailed after saying that the device
// went away while it was read.
int ReadJedec(InfoFacts &facts)
{
    const std::string &path = facts.entry.path;
    bool throughBridge = false;
    facts.jedec = ReadJedecText(path, throughBridge);
    if (throughBridge)
        facts.jedecNote = " (through the bridge's ID read)";
    if (facts.jedec.empty() && WentAway(path)) {
        SayError().as(MessageCode::Failed)
            << "the device " << path
            << " went away while its flash ID was read: " << DescribeLastTransportFailure();
        return kExitFailed;
    }
    return kExitOk;
}

// info --json: the bridge as one JSON document.
int PrintInfoJson(const InfoFacts &facts)
{
    const DeviceEntry &entry = facts.entry;
    const ChipIdentity &chip = facts.state.chip;
    const SelectedBridge &found = facts.state.bridge;
    nlohmann::json flash = nullptr;
    if (facts.supported)
        flash = {{"maker", facts.flashShown ? nlohmann::json(found.flashMaker) : nlohmann::json()},
                 {"sizeKb", chip.FlashSizeKb},
                 {"jedecId", facts.jedec.empty() ? nlohmann::json() : nlohmann::json(facts.jedec)}};
    nlohmann::json document = {
        {"verb", "info"},
        {"index", facts.args.index},
        {"path", entry.path},
        {"bus", BusName(entry.bus)},
        {"product", ProductText(facts.item)},
        {"chip",
         {{"name", found.series},
          {"typeCode", chip.ChipTypeCode},
          {"subRevision", chip.ChipSubRevision},
          {"supported", facts.supported}}},
        {"firmwareVersion",
         facts.versionShown ? nlohmann::json(UserVersion(found.version)) : nlohmann::json()},
        {"releaseFirmware", facts.versionShown ? nlohmann::json(found.releaseFirmware) : nlohmann::json()},
        {"flash", flash},
        {"mountPoints", facts.mounts},
        {"damagedBank", entry.damagedBank >= 0 ? nlohmann::json(entry.damagedBank) : nlohmann::json()},
        {"runsFromRom", found.runsFromRom},
        {"unfinishedUpdate", UnfinishedJson(entry.path, facts.step)},
        {"nextStep", NextStepJson(facts.step)},
    };
    if (facts.verbose) {
        const WindowFieldsView view = ViewWindowFields(entry, facts.item);
        document["window"] = {{"item", facts.item},
                              {"fields", view.fields},
                              {"statusTexts", view.statusTexts},
                              {"chipIdentity",
                               {{"ChipTypeCode", chip.ChipTypeCode},
                                {"ChipSubRevision", chip.ChipSubRevision},
                                {"FlashKind", chip.FlashKind},
                                {"AmicType", chip.AmicType},
                                {"AtmelType", chip.AtmelType},
                                {"SstWordMode", chip.SstWordMode},
                                {"FlashSizeKb", chip.FlashSizeKb},
                                {"FirmwareLevel", chip.FirmwareLevel}}}};
    }
    std::cout << JsonText(document);
    return facts.supported ? kExitOk : kExitNoDevice;
}

// The bridge as the user reads it: device, chip, firmware, flash, mounts and
// the warnings that tell what to do next.
void PrintInfoText(const InfoFacts &facts, std::ostream &out)
{
    const DeviceEntry &entry = facts.entry;
    const ChipIdentity &chip = facts.state.chip;
    const SelectedBridge &found = facts.state.bridge;
    const char *maker = facts.maker;
    out << "Device " << facts.args.index << ":          " << entry.path << " (" << BusName(entry.bus) << ")  "
        << ProductText(facts.item) << "\n";
    out << "Chip:              " << (found.series.empty() ? "-" : found.series) << " (chip type code "
        << unsigned(chip.ChipTypeCode) << ", sub-revision " << unsigned(chip.ChipSubRevision) << ")\n";
    if (facts.supported) {
        out << "Firmware version:  "
            << (facts.versionShown
                    ? UserVersion(found.version) + (found.releaseFirmware ? "" : " (an internal build)")
                    : "-")
            << "\n";
        out << "Flash:             " << (facts.flashShown ? found.flashMaker : maker ? maker : "-");
        if (chip.FlashSizeKb > 0)
            out << ", " << chip.FlashSizeKb << " KiB";
        out << (facts.jedec.empty() ? ", JEDEC ID not readable" : ", JEDEC ID " + facts.jedec) << "\n";
    }
    out << "Mounted at:        ";
    for (std::size_t i = 0; i < facts.mounts.size(); ++i)
        out << (i ? " " : "") << facts.mounts[i];
    out << (facts.mounts.empty() ? "-\n" : "\n");
    if (entry.damagedBank >= 0)
        out << "Warning:           " << DamagedBankWarning(entry.damagedBank, facts.step) << "\n";
    if (facts.step.kind == StepKind::Recover || facts.step.kind == StepKind::FinishWrite)
        out << "Warning:           " << facts.step.warning << "\n";
}

// --verbose: the window-level view, the controls and ChipIdentity as the
// window holds them.
void PrintWindowLevel(const InfoFacts &facts, std::ostream &out)
{
    const DeviceEntry &entry = facts.entry;
    const ChipIdentity &chip = facts.state.chip;
    const char *maker = facts.maker;
    out << "Device " << facts.args.index << ": " << entry.path << " (" << BusDiskText(entry.bus) << ")";
    if (!facts.item.empty())
        out << "  \"" << facts.item << "\"";
    out << "\n";
    const WindowFieldsView view = ViewWindowFields(entry, facts.item);
    out << view.text;
    if (!view.statusTexts.empty()) {
        out << "Status line texts shown:\n";
        for (const std::string &text : view.statusTexts)
            out << "  \"" << text << "\"\n";
    }
    out << "ChipIdentity:\n";
    out << "  ChipTypeCode     " << unsigned(chip.ChipTypeCode) << "\n";
    out << "  ChipSubRevision  " << unsigned(chip.ChipSubRevision) << "\n";
    out << "  FlashKind        " << chip.FlashKind << (maker ? std::string(" (") + maker + ")" : "") << "\n";
    out << "  AmicType         " << chip.AmicType << "\n";
    out << "  AtmelType        " << chip.AtmelType << "\n";
    out << "  SstWordMode      " << chip.SstWordMode << "\n";
    out << "  FlashSizeKb      " << chip.FlashSizeKb << "\n";
    out << "  FirmwareLevel    " << Hex(static_cast<std::uint32_t>(chip.FirmwareLevel), 2) << "\n";
    out << "Erase geometry:    block " << Hex(facts.transfer.FlashBlockSize, 5) << ", sector "
        << Hex(facts.transfer.FlashSectorSize, 4) << "\n";
    if (facts.supported) {
        if (!facts.jedec.empty())
            out << "JEDEC ID (9F):     " << facts.jedec << facts.jedecNote << "\n";
        else
            out << "JEDEC ID (9F):     not readable (the bridge offers no SPI access)\n";
    }
}

int RunInfo(CliContext &ctx, const InfoArgs &a)
{
    // Message boxes are printed as they appear (warnings and errors to standard error).
    MessageBoxes boxes(a.json ? nullptr : &std::cout, &std::cerr);

    const bool discover = ctx.device.empty() && CurrentDiskEnumerator() != nullptr;
    Target target;
    const int selected =
        discover ? TargetAfterDiscovery(a, target, ctx.runtime) : TargetWithoutDiscovery(ctx, a, target);
    if (selected != kExitOk)
        return selected;

    DeviceEntry &entry = target.entry;
    if (ReportBusy(a, entry))
        return kExitBusy;
    PlainProbeHost host;
    BridgeState state;
    if (const int rc = IdentifyForInfo(ctx, host, entry, state); rc != kExitOk)
        return rc;
    const ChipIdentity &chip = state.chip;
    InfoFacts facts(a, ctx.verbose, entry, target.item, state, host.transfer());
    facts.supported = IsSupportedChip(chip.ChipTypeCode);
    if (facts.supported)
        if (const int rc = ReadJedec(facts); rc != kExitOk)
            return rc;
    facts.mounts = MountPointsOf(entry.path);
    facts.maker = FlashMakerName(chip.FlashKind);
    const SelectedBridge &found = state.bridge;
    facts.versionShown = found.versionShown && !found.version.empty();
    facts.flashShown = found.flashShown && !found.flashMaker.empty();
    facts.step = NextStepOf(entry.path, found.runsFromRom, entry.damagedBank, chip.ChipTypeCode);

    if (a.json)
        return PrintInfoJson(facts);
    PrintInfoText(facts, std::cout);
    if (ctx.verbose)
        PrintWindowLevel(facts, std::cout);
    if (!facts.supported) {
        std::cout << "The chip is not supported by the update procedures.\n";
        return kExitNoDevice;
    }
    return kExitOk;
}

} // namespace

int RecordTargetOf(CliContext &ctx, int index, RecordTarget &target)
{
    InfoArgs a;
    a.index = index;
    const bool discover = ctx.device.empty() && CurrentDiskEnumerator() != nullptr;
    Target chosen;
    if (const int rc =
            discover ? TargetAfterDiscovery(a, chosen, ctx.runtime) : TargetWithoutDiscovery(ctx, a, chosen);
        rc != kExitOk)
        return rc;
    if (const std::optional<BusyBridge> busy = BridgeBusy(chosen.entry.path)) {
        SayError().as(MessageCode::Busy) << "device " << chosen.entry.path << ": " << BusyText(*busy);
        return kExitBusy;
    }
    target.entry = chosen.entry;
    target.item = chosen.item;
    target.index = index;
    target.candidateCount = chosen.candidateCount;
    return kExitOk;
}

void RegisterInfoCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<InfoArgs>();
    auto *cmd = app.add_subcommand(
        "info",
        "Identify a device's bridge, flash and firmware version (--verbose: also what the window shows)");
    cmd->add_flag("--json", args->json, "Print what was found as JSON (UTF-8)");
    cmd->add_option("--index", args->index, "Which entry of the device list: 0 (the default) is the first")
        ->type_name("N");
    cmd->add_option("--bus", args->bus,
                    "How --device is attached: usb, uasp or 1394 (default: as listed, else usb)")
        ->type_name("BUS")
        ->check(CLI::IsMember({"usb", "uasp", "1394"}));
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunInfo(ctx, *args); }; });
}

} // namespace brigant::cli
