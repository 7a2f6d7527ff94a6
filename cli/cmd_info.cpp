// brigant-fw info: identify one device as the window's selection handler does
// and print every field the window would show.
#include "app/device_list.h"
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/selection.h"
#include "bridge/flash_commands.h"
#include "cli/cli_context.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "forms/headless_ui.h"
#include "identify/chip_identify.h"
#include "identify/flash_identify.h"
#include "model/fwupdate.h"
#include "sim/sim_backend.h"
#include "sim/sim_bridge.h"

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

void PrintField(std::ostream &out, const forms::LabeledEdit &edit)
{
    std::string label = edit.name() + " (\"" + edit.caption() + "\")";
    label.resize(std::max<std::size_t>(label.size() + 1, 40), ' ');
    out << "  " << label << (edit.text().empty() ? "" : "\"" + edit.text() + "\"")
        << (edit.visible() ? "" : "  [hidden]") << "\n";
}

std::string Hex(std::uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string Bytes(const std::uint8_t *bytes, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", bytes[i]);
        text += b;
    }
    return text;
}

// Discovery-less: the devices --device names (or every simulated device) go
// straight into the device table, and choosing one runs the change handler.
int SelectWithoutDiscovery(CliContext &ctx, const InfoArgs &a, TBrigantFwTool &w)
{
    const std::vector<Candidate> candidates = Candidates(ctx);
    if (candidates.empty()) {
        std::cerr
            << "error: no device: give --device /dev/sgN, or --simulate PRESET to try a simulated bridge\n";
        return kExitNoDevice;
    }
    if (a.index < 0 || a.index >= static_cast<int>(candidates.size()) || a.index >= kDeviceTableSize) {
        std::cerr << "error: --index " << a.index << ": there " << (candidates.size() == 1 ? "is " : "are ")
                  << candidates.size() << " device" << (candidates.size() == 1 ? "" : "s") << "\n";
        return kExitNoDevice;
    }
    for (std::size_t i = 0; i < candidates.size() && i < static_cast<std::size_t>(kDeviceTableSize); ++i) {
        DeviceEntry &entry = w.devices[i];
        entry.path = candidates[i].path;
        entry.bus = candidates[i].bus;
        if (!a.bus.empty())
            ParseBusKind(a.bus, entry.bus);
        w.DeviceList.addItem(std::string(BusListTag(entry.bus)) + entry.path);
    }
    w.candidateCount = static_cast<std::int32_t>(candidates.size());
    w.DeviceList.setEnabled(true);
    w.DeviceList.select(a.index); // runs UpdateBtnCheck, as choosing the device in the window does
    return kExitOk;
}

// With discovery: the Refresh Device action lists the disks and identifies
// item 0 (another item is then chosen as a user would).
int SelectAfterDiscovery(const InfoArgs &a, TBrigantFwTool &w)
{
    RefreshDeviceList(w);
    if (w.listedCount == 0) {
        std::cerr << "error: no disk behind a supported bridge was found\n";
        if (LastTransportFailure().openFailed)
            std::cerr << "note: " << DescribeLastTransportFailure() << "\n";
        return kExitNoDevice;
    }
    if (a.index < 0 || a.index >= w.listedCount) {
        std::cerr << "error: --index " << a.index << ": the device list has " << w.listedCount << " entr"
                  << (w.listedCount == 1 ? "y" : "ies") << "\n";
        return kExitNoDevice;
    }
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

int RunInfo(CliContext &ctx, const InfoArgs &a)
{
    // Message boxes are printed as they appear.
    forms::HeadlessUi ui(ProgramClock(), &std::cout);
    InstalledServices services;
    services.ui(&ui);

    auto form = std::make_unique<TBrigantFwTool>();
    WireMainWindow(*form);
    TBrigantFwTool &w = *form;
    w.includeNvram = 1;
    w.repairBankOnSelect = false; // a read verb: a damaged bank is told, not repaired
    // The texts the status line shows on the way (progress dots folded into their line).
    std::vector<std::string> statusTexts;
    w.StatusEdit.addObserver([&](forms::Control &) {
        const std::string &text = w.StatusEdit.text();
        if (!statusTexts.empty() && text.size() > statusTexts.back().size() &&
            text.compare(0, statusTexts.back().size(), statusTexts.back()) == 0)
            statusTexts.back() = text;
        else if (!text.empty())
            statusTexts.push_back(text);
    });

    const bool discover = ctx.device.empty() && CurrentDiskEnumerator() != nullptr;
    const int selected = discover ? SelectAfterDiscovery(a, w) : SelectWithoutDiscovery(ctx, a, w);
    if (selected != kExitOk)
        return selected;
    if (discover && a.index > 0) {
        statusTexts.clear(); // what the refresh showed for item 0 is not this device's
        w.DeviceList.select(a.index);
    }

    const DeviceEntry &entry = w.selectedEntry();
    // What the window shows of a device lost on the way is not the device's.
    if (WentAway(entry.path)) {
        std::cerr << "error: the device " << entry.path
                  << " went away during identification: " << DescribeLastTransportFailure() << "\n";
        return kExitFailed;
    }
    const ChipIdentity &chip = w.chip;
    std::ostream &out = std::cout;
    out << "Device " << a.index << ": " << entry.path << " (" << BusDiskText(entry.bus) << ")";
    if (a.index < static_cast<int>(w.DeviceList.items().size()))
        out << "  \"" << w.DeviceList.items()[static_cast<std::size_t>(a.index)] << "\"";
    out << "\n";
    out << "Window:\n";
    PrintField(out, w.ChipLabelEdit);
    PrintField(out, w.FwVerLableEdit);
    PrintField(out, w.SFlashTypeLable);
    PrintField(out, w.DiskLetterLable);
    PrintField(out, w.StatusEdit);
    for (const forms::CheckBox *box : {&w.NVRAMCheck, &w.ReadWriteBufferChk, &w.SetPrdSNchk}) {
        if (!box->visible())
            continue;
        out << "  " << box->name() << " (\"" << box->caption() << "\")  [" << (box->checked() ? "x" : " ")
            << "]" << (box->enabled() ? "" : " disabled") << "\n";
    }
    if (entry.damagedBank >= 0)
        out << "Warning: " << DamagedBankText(entry.damagedBank) << "\n";
    if (!statusTexts.empty()) {
        out << "Status line texts shown:\n";
        for (const std::string &text : statusTexts)
            out << "  \"" << text << "\"\n";
    }
    out << "ChipIdentity:\n";
    out << "  ChipTypeCode     " << unsigned(chip.ChipTypeCode) << "\n";
    out << "  ChipSubRevision  " << unsigned(chip.ChipSubRevision) << "\n";
    const char *maker = FlashMakerName(chip.FlashKind);
    out << "  FlashKind        " << chip.FlashKind << (maker ? std::string(" (") + maker + ")" : "") << "\n";
    out << "  AmicType         " << chip.AmicType << "\n";
    out << "  AtmelType        " << chip.AtmelType << "\n";
    out << "  SstWordMode      " << chip.SstWordMode << "\n";
    out << "  FlashSizeKb      " << chip.FlashSizeKb << "\n";
    out << "  FirmwareLevel    " << Hex(static_cast<std::uint32_t>(chip.FirmwareLevel), 2) << "\n";
    out << "Erase geometry:    block " << Hex(FlashBlockSize, 5) << ", sector " << Hex(FlashSectorSize, 4)
        << "\n";

    const bool supported = IsSupportedChip(chip.ChipTypeCode);
    if (supported) {
        // The raw SPI channel first, then the bridge's identification read.
        std::uint8_t id[4] = {};
        if (SpiQuery(entry.path, 0x9F, id, 4)) {
            out << "JEDEC ID (9F):     " << Bytes(id, 4) << "\n";
        } else if (ReadFlashIdBytes4(entry.path, id, 0x9F, false)) {
            out << "JEDEC ID (9F):     " << Bytes(id, 4) << " (through the bridge's ID read)\n";
        } else if (WentAway(entry.path)) {
            std::cerr << "error: the device " << entry.path
                      << " went away while its flash ID was read: " << DescribeLastTransportFailure() << "\n";
            return kExitFailed;
        } else {
            out << "JEDEC ID (9F):     not readable (the bridge offers no SPI access)\n";
        }
    }

    if (chip.ChipTypeCode == 0 && LastTransportFailure().openFailed) {
        std::cerr << "error: " << DescribeLastTransportFailure() << "\n";
        return kExitFailed;
    }
    if (!supported) {
        out << "The chip is not supported by the update procedures.\n";
        return kExitNoDevice;
    }
    return kExitOk;
}

} // namespace

void RegisterInfoCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<InfoArgs>();
    auto *cmd = app.add_subcommand(
        "info", "Identify a device's bridge, flash and firmware as the window does and print what it shows");
    cmd->add_option("--index", args->index, "Which entry of the device list: 0 (the default) is the first");
    cmd->add_option("--bus", args->bus,
                    "How --device is attached: usb, uasp or 1394 (default: as listed, else usb)")
        ->check(CLI::IsMember({"usb", "uasp", "1394"}));
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunInfo(ctx, *args); }; });
}

} // namespace brigant::cli
