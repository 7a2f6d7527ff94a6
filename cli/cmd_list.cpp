// brigant-fw list: find the devices as the window's Refresh Device action does,
// identify each, and print them with chip, firmware version, flash and mount
// points, and what the built-in image would do for the first of them.
#include "app/bridge_state.h"
#include "app/device_list.h"
#include "app/one_button.h"
#include "app/settings.h"
#include "cli/cli_context.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/user_text.h"
#include "cli/window_view.h"
#include "common/clock.h"
#include "device/bridge_lock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "forms/headless_ui.h"
#include "identify/chip_identify.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brigant::cli
{

namespace
{

struct ListArgs {
    bool json = false;
};

// What the window shows while one entry is selected.
struct EntryView {
    std::string item;
    std::string path;
    std::string port;   // where it sits on its bus (its USB port path); empty: not known
    std::string serial; // the bridge's own serial number (USB iSerial); empty: not known
    BusKind bus = BusKind::Usb;
    unsigned chipTypeCode = 0;
    unsigned chipSubRevision = 0;
    std::string chip;
    std::string firmwareVersion;
    bool firmwareVersionShown = false;
    std::string flashType;
    bool flashTypeShown = false;
    std::string volumes;
    std::vector<std::string> mountPoints;
    int damagedBank = -1;
    bool runsFromRom = false;
    NextStep step;    // what is left to do about it (the journal's open write, ROM, a bank)
    std::string busy; // another program of ours works on it: nothing was asked
};

// An entry as identification found it (the previous entry's chip carried,
// as the window carries it from one selection to the next).
EntryView Capture(ListedBridge listed, ChipIdentity &carried)
{
    EntryView v;
    DeviceEntry &entry = listed.entry;
    v.item = listed.item;
    v.path = entry.path;
    v.port = entry.location;
    v.serial = entry.serial;
    v.bus = entry.bus;
    v.volumes = entry.driveLetters;
    v.mountPoints = MountPointsOf(entry.path);
    // Asked again: a bridge busy when listed may be free now, or the other way.
    const std::optional<BusyBridge> busy = BridgeBusy(entry.path);
    v.busy = busy ? BusyText(*busy) : std::string();
    if (!v.busy.empty()) {
        carried = ChipIdentity{};
        return v;
    }
    PlainProbeHost host;
    IdentifyOptions options;
    options.repairBank = false; // a read verb: a damaged bank is told, not repaired
    options.carried = carried;
    const BridgeState state = IdentifyBridge(host, entry, options);
    carried = state.chip;
    v.chipTypeCode = state.chip.ChipTypeCode;
    v.chipSubRevision = state.chip.ChipSubRevision;
    v.chip = state.bridge.series;
    v.firmwareVersion = UserVersion(state.bridge.version);
    v.firmwareVersionShown = state.bridge.versionShown;
    v.flashType = state.bridge.flashMaker;
    v.flashTypeShown = state.bridge.flashShown;
    v.damagedBank = entry.damagedBank;
    v.runsFromRom = state.bridge.runsFromRom;
    v.step = NextStepOf(entry.path, v.runsFromRom, v.damagedBank, v.chipTypeCode);
    return v;
}

// The window's status line with entry `i` chosen (the window's own list may
// have changed since).
std::string WindowStatus(const WindowListView *window, std::size_t i)
{
    return window && i < window->statuses.size() ? window->statuses[i] : std::string();
}

const char *KindName(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Warning:
        return "warning";
    case MessageKind::Error:
        return "error";
    case MessageKind::Information:
        break;
    }
    return "information";
}

std::string OrDash(const std::string &text, bool shown = true) { return shown && !text.empty() ? text : "-"; }

void PrintText(std::ostream &out, const OneButtonVerdict &verdict, const std::vector<EntryView> &entries,
               const WindowListView *window, bool offered, const OutputStyle &style)
{
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const EntryView &e = entries[i];
        out << "[" << i << "] " << e.path << " (" << BusName(e.bus) << ")  " << ProductText(e.item) << "\n";
        if (!e.port.empty())
            out << "    Port:              " << e.port << "\n";
        if (!e.serial.empty())
            out << "    Serial:            " << e.serial << "\n";
        if (!e.busy.empty()) {
            out << "    Busy:              " << e.busy << "\n";
            continue;
        }
        out << "    Chip:              " << OrDash(e.chip) << "\n";
        out << "    Firmware version:  " << OrDash(e.firmwareVersion, e.firmwareVersionShown) << "\n";
        out << "    Flash:             " << OrDash(e.flashType, e.flashTypeShown) << "\n";
        out << "    Mounted at:        " << OrDash(e.volumes) << "\n";
        if (e.damagedBank >= 0)
            out << "    Warning:           " << DamagedBankWarning(e.damagedBank, e.step) << "\n";
        if (e.step.kind == StepKind::Recover || e.step.kind == StepKind::FinishWrite)
            out << "    Warning:           " << e.step.warning << "\n";
        if (window) {
            out << "    Window item:       \"" << e.item << "\"\n";
            out << "    Firmware Ver.:     " << e.firmwareVersion
                << (e.firmwareVersionShown ? "" : " [hidden]") << "\n";
            out << "    Flash Type:        " << e.flashType << (e.flashTypeShown ? "" : " [hidden]") << "\n";
            out << "    Status:            " << WindowStatus(window, i) << "\n";
        }
    }
    if (!entries.empty())
        out << verdict.text << "\n";
    if (window) {
        out << "Device list" << (window->listEnabled ? "" : " (disabled)")
            << ", status line: " << Paint(window->statusLine, window->statusLineColour, style) << "\n";
        out << "Update firmware button: " << (offered ? "offered" : "not offered") << "\n";
    }
}

// The list as JSON: the user's fields; with `verbose` also what the window
// shows (its texts, as it spells them) under "window".
nlohmann::json DocumentOf(const OneButtonVerdict &verdict, const std::vector<EntryView> &entries,
                          const std::vector<forms::HeadlessUi::Message> &messages,
                          const WindowListView *window, bool offered)
{
    nlohmann::json devices = nlohmann::json::array();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const EntryView &e = entries[i];
        devices.push_back({
            {"index", i},
            {"path", e.path},
            {"port", e.port.empty() ? nlohmann::json() : nlohmann::json(e.port)},
            {"serial", e.serial.empty() ? nlohmann::json() : nlohmann::json(e.serial)},
            {"bus", BusName(e.bus)},
            {"product", ProductText(e.item)},
            {"chip", {{"name", e.chip}, {"typeCode", e.chipTypeCode}, {"subRevision", e.chipSubRevision}}},
            {"firmwareVersion",
             e.firmwareVersionShown ? nlohmann::json(e.firmwareVersion) : nlohmann::json()},
            {"flash", e.flashTypeShown ? nlohmann::json(e.flashType) : nlohmann::json()},
            {"mountPoints", e.mountPoints},
            {"damagedBank", e.damagedBank >= 0 ? nlohmann::json(e.damagedBank) : nlohmann::json()},
            {"runsFromRom", e.runsFromRom},
            {"unfinishedUpdate", UnfinishedJson(e.path, e.step)},
            {"nextStep", NextStepJson(e.step)},
            {"busy", e.busy.empty() ? nlohmann::json() : nlohmann::json(e.busy)},
        });
        if (window)
            devices.back()["window"] = {{"item", e.item},
                                        {"firmwareVersion", e.firmwareVersion},
                                        {"firmwareVersionShown", e.firmwareVersionShown},
                                        {"flashType", e.flashType},
                                        {"flashTypeShown", e.flashTypeShown},
                                        {"volumes", e.volumes},
                                        {"status", WindowStatus(window, i)}};
    }
    // The window's message boxes, by severity; their titles are the window's.
    nlohmann::json said = nlohmann::json::array(), boxes = nlohmann::json::array();
    for (const auto &m : messages) {
        said.push_back({{"severity", KindName(m.kind)},
                        {"code", MessageCodeName(MessageCode::Procedure)},
                        {"text", m.text},
                        {"fields", {{"title", m.title}}}});
        boxes.push_back({{"title", m.title}, {"text", m.text}, {"kind", KindName(m.kind)}});
    }
    nlohmann::json document = {
        {"verb", "list"},
        {"devices", devices},
        {"builtInImage",
         {{"version", BuiltInImageVersion()}, {"device0", verdict.key}, {"text", verdict.text}}},
        {"messages", said},
    };
    if (window)
        document["window"] = {
            {"listEnabled", window->listEnabled},
            {"candidateCount", window->candidateCount},
            {"statusLine",
             {{"text", window->statusLine}, {"colour", forms::ColourName(window->statusLineColour)}}},
            {"updateOffered", offered},
            {"messageBoxes", boxes}};
    return document;
}

int RunList(const CliContext &ctx, const ListArgs &a)
{
    if (!CurrentDiskEnumerator()) {
        SayError().as(MessageCode::Failed) << "no disk enumeration available";
        return kExitFailed;
    }
    // Message boxes are printed as they appear; with --json they go into the document.
    // Warnings and errors go to standard error either way.
    MessageBoxes boxes(a.json ? nullptr : &std::cout, &std::cerr);

    // The settings file is read as the window reads it (a bad value is said).
    INI_STATE settings;
    ReadSettings(settings);
    const BridgeList list = DiscoverBridges();
    std::vector<EntryView> entries;
    OneButtonDecision decided;
    ChipIdentity carried;
    for (const ListedBridge &listed : list.listed) {
        entries.push_back(Capture(listed, carried));
        // What the built-in image would do is decided for entry 0, as the
        // window's refresh decides it, before the others are asked.
        if (entries.size() == 1 && entries.front().busy.empty())
            decided =
                DecideOneButton(listed.entry, static_cast<std::uint8_t>(entries.front().chipTypeCode), false);
    }
    if (entries.empty())
        decided.state = OneButtonState::NoDevice;
    const bool offered = decided.buttonEnabled && decided.state != OneButtonState::RunsFromRom;
    const OneButtonVerdict verdict = DescribeOneButton(decided.state, offered);
    // The window's own view is made with --verbose only: it asks every bridge again.
    std::optional<WindowListView> window;
    if (ctx.verbose)
        window = ViewWindowList();
    const WindowListView *view = window ? &*window : nullptr;

    if (a.json) {
        nlohmann::json document = DocumentOf(verdict, entries, boxes.ui().messages(), view, offered);
        nlohmann::json unidentified = nlohmann::json::array();
        for (const UnaskedDisk &disk : UnaskedDisks())
            unidentified.push_back({{"path", disk.path}, {"reason", disk.error}});
        document["unidentified"] = unidentified;
        std::cout << JsonText(document);
    } else {
        PrintText(std::cout, verdict, entries, view, offered, ctx.style);
    }
    if (!entries.empty()) {
        // Listed with the bridges: a disk that did not answer may be one.
        if (!a.json)
            for (const UnaskedDisk &disk : UnaskedDisks())
                std::cout << UnidentifiedText(disk) << "\n";
        return kExitOk;
    }
    // Disks that could not be opened or asked are not "no disk": the problem is the message.
    if (!ReportAccessProblem(ctx.runtime) && !ReportUnaskedDisks(true))
        SayError().as(MessageCode::NoDevice) << "no disk behind a supported bridge was found";
    return kExitNoDevice;
}

} // namespace

void RegisterListCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<ListArgs>();
    CLI::App *cmd =
        app.add_subcommand("list", "Find the disks behind supported bridges and list them with chip, "
                                   "firmware version, flash and mount points");
    cmd->add_flag("--json", args->json, "Print the list as JSON (UTF-8)");
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunList(ctx, *args); }; });
}

} // namespace brigant::cli
