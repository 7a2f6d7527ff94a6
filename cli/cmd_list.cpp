// brigant-fw list: run the Refresh Device action and print the devices found,
// with chip, firmware version, flash and mount points, and what the built-in
// image would do for the first of them.
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/one_button.h"
#include "app/selection.h"
#include "app/settings.h"
#include "cli/cli_context.h"
#include "cli/say.h"
#include "cli/user_text.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "forms/headless_ui.h"
#include "identify/chip_identify.h"
#include "model/fwupdate.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
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
    std::string status;
    int damagedBank = -1;
    bool runsFromRom = false;
    NextStep step;    // what is left to do about it (the journal's open write, ROM, a bank)
    std::string busy; // another program of ours works on it: nothing was asked
};

EntryView Capture(TBrigantFwTool &form, int index)
{
    EntryView v;
    const DeviceEntry &entry = form.devices[static_cast<std::size_t>(index)];
    v.item = form.DeviceList.items()[static_cast<std::size_t>(index)];
    v.path = entry.path;
    v.bus = entry.bus;
    v.chipTypeCode = form.chip.ChipTypeCode;
    v.chipSubRevision = form.chip.ChipSubRevision;
    v.chip = form.selected.series;
    v.firmwareVersion = UserVersion(form.selected.version);
    v.firmwareVersionShown = form.selected.versionShown;
    v.flashType = form.selected.flashMaker;
    v.flashTypeShown = form.selected.flashShown;
    v.volumes = form.DiskLetterLable.text();
    v.mountPoints = MountPointsOf(entry.path);
    v.status = form.StatusEdit.text();
    v.damagedBank = entry.damagedBank;
    v.runsFromRom = form.selected.runsFromRom;
    v.busy = entry.busy;
    v.step = NextStepOf(entry.path, v.runsFromRom, v.damagedBank, v.chipTypeCode);
    return v;
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

void PrintText(std::ostream &out, const TBrigantFwTool &form, const std::vector<EntryView> &entries,
               bool verbose, const OutputStyle &style)
{
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const EntryView &e = entries[i];
        out << "[" << i << "] " << e.path << " (" << BusName(e.bus) << ")  " << ProductText(e.item) << "\n";
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
        if (verbose) {
            out << "    Window item:       \"" << e.item << "\"\n";
            out << "    Firmware Ver.:     " << e.firmwareVersion
                << (e.firmwareVersionShown ? "" : " [hidden]") << "\n";
            out << "    Flash Type:        " << e.flashType << (e.flashTypeShown ? "" : " [hidden]") << "\n";
            out << "    Status:            " << e.status << "\n";
        }
    }
    if (!entries.empty())
        out << DescribeOneButton(form.oneButton, UpdateOffered(form)).text << "\n";
    if (verbose) {
        out << "Device list" << (form.DeviceList.enabled() ? "" : " (disabled)")
            << ", status line: " << Paint(form.devpnl.caption(), form.devpnl.fontColour(), style) << "\n";
        out << "Update firmware button: " << (UpdateOffered(form) ? "offered" : "not offered") << "\n";
    }
}

// The list as JSON: the user's fields; with `verbose` also what the window
// shows (its texts, as it spells them) under "window".
nlohmann::json DocumentOf(const TBrigantFwTool &form, const std::vector<EntryView> &entries,
                          const std::vector<forms::HeadlessUi::Message> &messages, bool verbose)
{
    nlohmann::json devices = nlohmann::json::array();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const EntryView &e = entries[i];
        devices.push_back({
            {"index", i},
            {"path", e.path},
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
        if (verbose)
            devices.back()["window"] = {{"item", e.item},
                                        {"firmwareVersion", e.firmwareVersion},
                                        {"firmwareVersionShown", e.firmwareVersionShown},
                                        {"flashType", e.flashType},
                                        {"flashTypeShown", e.flashTypeShown},
                                        {"volumes", e.volumes},
                                        {"status", e.status}};
    }
    const OneButtonVerdict verdict = DescribeOneButton(form.oneButton, UpdateOffered(form));
    // The window's message boxes, by severity; their titles are the window's.
    nlohmann::json said = nlohmann::json::array(), boxes = nlohmann::json::array();
    for (const auto &m : messages) {
        said.push_back({{"severity", KindName(m.kind)}, {"text", m.text}});
        boxes.push_back({{"title", m.title}, {"text", m.text}, {"kind", KindName(m.kind)}});
    }
    nlohmann::json document = {
        {"verb", "list"},
        {"devices", devices},
        {"builtInImage",
         {{"version", BuiltInImageVersion()}, {"device0", verdict.key}, {"text", verdict.text}}},
        {"messages", said},
    };
    if (verbose)
        document["window"] = {
            {"listEnabled", form.DeviceList.enabled()},
            {"candidateCount", form.candidateCount},
            {"statusLine",
             {{"text", form.devpnl.caption()}, {"colour", forms::ColourName(form.devpnl.fontColour())}}},
            {"updateOffered", UpdateOffered(form)},
            {"messageBoxes", boxes}};
    return document;
}

int RunList(const CliContext &ctx, const ListArgs &a)
{
    if (!CurrentDiskEnumerator()) {
        SayError() << "no disk enumeration available";
        return kExitFailed;
    }
    // Message boxes are printed as they appear; with --json they go into the document.
    // Warnings and errors go to standard error either way.
    forms::HeadlessUi ui(ProgramClock(), a.json ? nullptr : &std::cout, &std::cerr);
    InstalledServices services;
    services.ui(&ui);

    auto window = std::make_unique<TBrigantFwTool>();
    WireMainWindow(*window);
    TBrigantFwTool &form = *window;
    form.repairBankOnSelect = false; // a read verb: a damaged bank is told, not repaired
    ReadSettings(form.settings);
    RefreshBtnClick(form);

    // Item 0 is selected and identified by the refresh; the others are chosen in turn.
    std::vector<EntryView> entries;
    for (int i = 0; i < form.listedCount; ++i) {
        if (i > 0) {
            form.DeviceList.setItemIndex(i);
            UpdateBtnCheck(form);
        }
        entries.push_back(Capture(form, i));
    }
    if (form.listedCount > 0)
        form.DeviceList.setItemIndex(0);

    if (a.json)
        std::cout << JsonText(DocumentOf(form, entries, ui.messages(), ctx.verbose));
    else
        PrintText(std::cout, form, entries, ctx.verbose, ctx.style);
    if (form.listedCount > 0) {
        ReportUnaskedDisks(false);
        return kExitOk;
    }
    // Disks that could not be opened or asked are not "no disk": the problem is the message.
    if (!ReportAccessProblem(ctx.runtime) && !ReportUnaskedDisks(true))
        SayError() << "no disk behind a supported bridge was found";
    return kExitNoDevice;
}

} // namespace

int ListVerb(CliContext &ctx) { return RunList(ctx, ListArgs{}); }

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
