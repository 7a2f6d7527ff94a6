// brigant-fw list: run the Refresh Device action and print the device list as
// the window shows it, with what the window shows for each entry.
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/one_button.h"
#include "app/selection.h"
#include "app/settings.h"
#include "cli/cli_context.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "forms/headless_ui.h"
#include "identify/chip_identify.h"
#include "model/fwupdate.h"

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
    std::string status;
    int damagedBank = -1;
};

EntryView Capture(TBrigantFwTool &w, int index)
{
    EntryView v;
    const DeviceEntry &entry = w.devices[static_cast<std::size_t>(index)];
    v.item = w.DeviceList.items()[static_cast<std::size_t>(index)];
    v.path = entry.path;
    v.bus = entry.bus;
    v.chipTypeCode = w.chip.ChipTypeCode;
    v.chipSubRevision = w.chip.ChipSubRevision;
    v.chip = w.ChipLabelEdit.text();
    v.firmwareVersion = w.FwVerLableEdit.text();
    v.firmwareVersionShown = w.FwVerLableEdit.visible();
    v.flashType = w.SFlashTypeLable.text();
    v.flashTypeShown = w.SFlashTypeLable.visible();
    v.volumes = w.DiskLetterLable.text();
    v.status = w.StatusEdit.text();
    v.damagedBank = entry.damagedBank;
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

// A JSON string. Bytes outside printable ASCII (device names are raw bytes)
// become \u00XX escapes, so the output is valid whatever the devices report.
std::string Json(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void PrintText(std::ostream &out, const TBrigantFwTool &w, const std::vector<EntryView> &entries)
{
    out << "Device list" << (w.DeviceList.enabled() ? "" : " (disabled)") << ":\n";
    const auto &items = w.DeviceList.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        out << "  [" << i << "] \"" << items[i] << "\"\n";
        if (i >= entries.size())
            continue;
        const EntryView &e = entries[i];
        out << "      Chip:          " << e.chip << "\n";
        out << "      Firmware Ver.: " << e.firmwareVersion << (e.firmwareVersionShown ? "" : " [hidden]")
            << "\n";
        out << "      Flash Type:    " << e.flashType << (e.flashTypeShown ? "" : " [hidden]") << "\n";
        out << "      Drives:        " << e.volumes << "\n";
        out << "      Status:        " << e.status << "\n";
        if (e.damagedBank >= 0)
            out << "      Warning:       " << DamagedBankText(e.damagedBank) << "\n";
        out << "      Path:          " << e.path << " (" << BusDiskText(e.bus) << ")\n";
    }
    out << "Status line: " << w.devpnl.caption() << " (" << forms::ColourName(w.devpnl.fontColour()) << ")\n";
    out << "Update firmware button: " << (w.YesBtn.enabled() ? "offered" : "not offered") << "\n";
}

void PrintJson(std::ostream &out, const TBrigantFwTool &w, const std::vector<EntryView> &entries,
               const std::vector<forms::HeadlessUi::Message> &messages)
{
    out << "{\n  \"items\": [";
    const auto &items = w.DeviceList.items();
    for (std::size_t i = 0; i < items.size(); ++i)
        out << (i ? ", " : "") << Json(items[i]);
    out << "],\n  \"listEnabled\": " << (w.DeviceList.enabled() ? "true" : "false") << ",\n";
    out << "  \"candidateCount\": " << w.candidateCount << ",\n  \"devices\": [";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const EntryView &e = entries[i];
        out << (i ? "," : "") << "\n    {\"index\": " << i << ", \"item\": " << Json(e.item)
            << ", \"path\": " << Json(e.path) << ", \"bus\": " << Json(BusDiskText(e.bus))
            << ", \"chipTypeCode\": " << e.chipTypeCode << ", \"chipSubRevision\": " << e.chipSubRevision
            << ", \"chip\": " << Json(e.chip) << ", \"firmwareVersion\": " << Json(e.firmwareVersion)
            << ", \"firmwareVersionShown\": " << (e.firmwareVersionShown ? "true" : "false")
            << ", \"flashType\": " << Json(e.flashType)
            << ", \"flashTypeShown\": " << (e.flashTypeShown ? "true" : "false")
            << ", \"volumes\": " << Json(e.volumes) << ", \"status\": " << Json(e.status)
            << ", \"damagedBank\": " << e.damagedBank << "}";
    }
    out << (entries.empty() ? "" : "\n  ") << "],\n";
    out << "  \"statusLine\": {\"text\": " << Json(w.devpnl.caption())
        << ", \"colour\": " << Json(forms::ColourName(w.devpnl.fontColour())) << "},\n";
    out << "  \"updateOffered\": " << (w.YesBtn.enabled() ? "true" : "false") << ",\n  \"messages\": [";
    for (std::size_t i = 0; i < messages.size(); ++i)
        out << (i ? ", " : "") << "{\"title\": " << Json(messages[i].title)
            << ", \"text\": " << Json(messages[i].text) << ", \"kind\": " << Json(KindName(messages[i].kind))
            << "}";
    out << "]\n}\n";
}

bool PermissionProblem()
{
    const TransportFailure &f = LastTransportFailure();
    return f.openError == OpenError::PermissionDenied || f.sysErrno == EPERM || f.sysErrno == EACCES;
}

int RunList(const ListArgs &a)
{
    if (!CurrentDiskEnumerator()) {
        std::cerr << "error: no disk enumeration available\n";
        return kExitFailed;
    }
    // Message boxes are printed as they appear; with --json they go into the document.
    forms::HeadlessUi ui(ProgramClock(), a.json ? nullptr : &std::cout);
    InstalledServices services;
    services.ui(&ui);

    auto form = std::make_unique<TBrigantFwTool>();
    WireMainWindow(*form);
    TBrigantFwTool &w = *form;
    w.repairBankOnSelect = false; // a read verb: a damaged bank is told, not repaired
    ReadSettings(w.settings);
    RefreshBtnClick(w);

    // Item 0 is selected and identified by the refresh; the others are chosen in turn.
    std::vector<EntryView> entries;
    for (int i = 0; i < w.listedCount; ++i) {
        if (i > 0) {
            w.DeviceList.setItemIndex(i);
            UpdateBtnCheck(w);
        }
        entries.push_back(Capture(w, i));
    }
    if (w.listedCount > 0)
        w.DeviceList.setItemIndex(0);

    if (a.json)
        PrintJson(std::cout, w, entries, ui.messages());
    else
        PrintText(std::cout, w, entries);
    if (w.listedCount == 0 && PermissionProblem())
        std::cerr << "note: " << DescribeLastTransportFailure() << "\n";
    return w.listedCount > 0 ? kExitOk : kExitNoDevice;
}

} // namespace

void RegisterListCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<ListArgs>();
    CLI::App *cmd =
        app.add_subcommand("list", "Find the disks behind supported bridges and list them as the "
                                   "window does, with chip, firmware version, flash, volumes and path");
    cmd->add_flag("--json", args->json, "Print the list as JSON");
    cmd->callback([&ctx, args] { ctx.action = [args] { return RunList(*args); }; });
}

} // namespace brigant::cli
