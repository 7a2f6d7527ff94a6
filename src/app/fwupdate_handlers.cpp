#include "app/fwupdate_handlers.h"
#include "app/window_journal.h"

#include "app/device_change.h"
#include "app/file_verdict.h"
#include "app/one_button.h"
#include "app/one_button_run.h"
#include "app/recover_bridge.h"
#include "app/run_dispatch.h"
#include "app/selection.h"
#include "app/settings.h"
#include "app/window_run.h"
#include "bridge/chip_commands.h"
#include "common/version.h"
#include "forms/ui_services.h"
#include "identify/chip_identify.h"
#include "image/chip_match.h"
#include "image/chip_types.h"
#include "image/firmware_file.h"
#include "model/fwupdate.h"
#include "update/assisted/embedded_images.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace brigant
{

namespace fs = std::filesystem;

namespace
{

bool IsBufferPathChip(unsigned code) { return ChipTypeOf(code).bufferPath; }

// The running bridge's check of codes 15 to 18 compares file bytes 21 to 23.
constexpr std::size_t kRunningBridgeCheckEnd = 24;

// The file dialogs open where the last file was chosen, at first in the
// user's home (never in the program's own directory, such as /usr/bin).
void PrepareDialog(TBrigantFwTool &form)
{
    if (form.OpenDialog1.initialDir.empty())
        form.OpenDialog1.initialDir = UserHomeDirectory();
}

void RememberDialogDirectory(TBrigantFwTool &form, const std::string &chosen)
{
    const fs::path dir = fs::path(chosen).parent_path();
    if (!dir.empty())
        form.OpenDialog1.initialDir = dir.string();
}

// The running bridge's verdict on a firmware file of codes 15 to 18.
bool FileFitsRunningBridge(const std::vector<std::uint8_t> &file, const std::uint8_t *r)
{
    // Files shorter than the bytes compared read as zeros there.
    auto f = [&](std::size_t i) -> std::uint8_t { return i < file.size() ? file[i] : 0; };
    const bool tagEqual = f(21) == r[8] && f(22) == r[9] && f(23) == r[10];
    if (r[6] == 1 && r[7] == 0) {
        if (f(21) == r[8] && f(22) == r[9] && r[10] == '1')
            return f(23) == '1' || f(23) == '3' || f(23) == '5';
        return tagEqual;
    }
    if (r[6] == 1 && r[7] == 1)
        return tagEqual;
    if (r[6] == 2 || r[6] == 3)
        return tagEqual && r[12] == 0x1F && r[13] == 0x19 && r[14] == 0x01 && r[15] == 0x05;
    return false;
}

// -1: stop silently (other firmware kinds); 0: not accepted; 1: accepted.
int RunningBridgeVerdict(const std::vector<std::uint8_t> &file, const std::uint8_t *r)
{
    if (r[6] == 1 && r[7] != 0 && r[7] != 1)
        return -1;
    if (r[6] != 1 && r[6] != 2 && r[6] != 3)
        return -1;
    return FileFitsRunningBridge(file, r) ? 1 : 0;
}

// Why the running bridge does not take the file, in words: the identity
// bytes of both and, for a bridge whose running firmware must be version 3
// with extended version 1F 19 01 05, that version.
std::string RunningBridgeMismatch(const std::vector<std::uint8_t> &file, const std::uint8_t *r)
{
    auto f = [&](std::size_t i) -> std::uint8_t { return i < file.size() ? file[i] : 0; };
    auto printable = [](std::uint8_t c) { return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?'; };
    const std::string fileTag = {printable(f(21)), printable(f(22)), printable(f(23))};
    const std::string runningTag = {printable(r[8]), printable(r[9]), printable(r[10])};
    std::string why = "the file's identity \"" + fileTag +
                      "\" (bytes 21-23) is not the running firmware's \"" + runningTag + "\"";
    if (fileTag == runningTag && (r[6] == 2 || r[6] == 3)) {
        char version[64];
        std::snprintf(version, sizeof version, "%02X %02X %02X %02X", r[12], r[13], r[14], r[15]);
        why = std::string("the running firmware's extended version is ") + version +
              ", and a file is taken only from one that runs 1F 19 01 05";
    }
    return why;
}

// The buffer-path bridges' Load File check: the firmware running on the
// bridge says whether the file is for it. Only the bytes the check compares
// are read, whatever the file's size.
LoadCheck CheckWithRunningBridge(const std::string &file, const std::string &device)
{
    std::vector<std::uint8_t> head;
    if (!ReadFirmwareFileHead(file.c_str(), kRunningBridgeCheckEnd, head))
        return {LoadResult::OpenFailed, {}};
    std::uint8_t reply[40] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(device, reply, 40, transferred))
        return {LoadResult::NotChecked, {}};
    const int verdict = RunningBridgeVerdict(head, reply);
    if (verdict < 0)
        return {LoadResult::NotChecked, {}};
    if (verdict == 1)
        return {LoadResult::Accepted, {}};
    LoadCheck check{LoadResult::Mismatch, RunningBridgeMismatch(head, reply)};
    check.refusedByRunningVersion = (reply[6] == 2 || reply[6] == 3) && head.size() > 23 &&
                                    head[21] == reply[8] && head[22] == reply[9] && head[23] == reply[10];
    return check;
}

// The status line after a file Run must not write.
void ShowFileRefusal(TBrigantFwTool &form, const std::string &why)
{
    form.StatusEdit.setText(std::string(kFileRefusedText) + why + "; Run stays disabled.");
}

} // namespace

std::string ProgramDirectory()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty())
        return fs::current_path(ec).string();
    return exe.parent_path().string();
}

std::string UserHomeDirectory()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd *user = ::getpwuid(::getuid()); user && user->pw_dir && *user->pw_dir)
        return user->pw_dir;
    std::error_code ec;
    return fs::current_path(ec).string();
}

std::string MainWindowCaption()
{
    char text[64];
    std::snprintf(text, sizeof text, "SSI_Quince_v%d.%d.%d.%d", kVersionMajor, kVersionMinor, kVersionPatch,
                  kVersionTweak);
    return text;
}

std::string UpdateButtonCaption(const std::uint8_t header[32])
{
    int v[4];
    const bool digits = header[25] >= '0' && header[25] <= '9';
    for (int i = 0; i < 4; ++i)
        v[i] = digits ? header[25 + i] - '0' : header[25 + i];
    char text[64];
    std::snprintf(text, sizeof text, "Update firmware to version %02d.%02d.%02d.%02d", v[0], v[1], v[2],
                  v[3]);
    return text;
}

std::string EmbeddedImageVersion()
{
    std::uint8_t header[32] = {};
    if (LoadUpdateImage(header, 0, sizeof header) == 0)
        return "";
    const std::string caption = UpdateButtonCaption(header); // "Update firmware to version 01.01.01.00"
    return caption.substr(caption.rfind(' ') + 1);
}

void ConstructMainWindow(TBrigantFwTool &form, const std::string &settingsFile)
{
    form.settings = INI_STATE{};
    form.eraseOnly = form.EraseOnlyCheck.checked() ? 1 : 0;
    form.includeNvram = 1;
    ReadSettings(form.settings, settingsFile);
    RefreshBtnClick(form);
    RdCheckBoxClick(form);
}

void FormCreate(TBrigantFwTool &form)
{
    RegisterDeviceNotifications(form);
    form.acceptsDroppedFiles = true;
    form.caption = MainWindowCaption();
    std::uint8_t header[32] = {};
    LoadUpdateImage(header, 0, 32);
    form.YesBtn.setCaption(UpdateButtonCaption(header));
    form.updateRunning = 0;
}

void FormClose(TBrigantFwTool &form)
{
    const fs::path dir = form.programDirectory.empty() ? ProgramDirectory() : form.programDirectory;
    std::error_code ec;
    fs::remove(dir / "ExChangeData.tmp", ec);
    UnregisterDeviceNotifications(form);
    form.closed = true;
}

void ExitBtnClick(TBrigantFwTool &form) { FormClose(form); }

void LoadBtnClick(TBrigantFwTool &form)
{
    form.StatusEdit.setText("");
    form.UpdateBtn.setEnabled(false);
    form.YesBtn.setEnabled(false);
    PrepareDialog(form);
    form.lastLoad = LoadResult::None;
    form.lastLoadReason.clear();
    const auto chosen = Ui().openFileDialog(form.OpenDialog1);
    if (!chosen)
        return;
    RememberDialogDirectory(form, *chosen);
    std::error_code ec;
    if (const std::uint64_t size = fs::file_size(*chosen, ec); !ec && size > kLargestFirmwareFile) {
        form.lastLoad = LoadResult::TooLarge;
        form.StatusEdit.setText(kFileTooLargeText);
        return;
    }
    form.fileMismatchShown = false;
    form.wayForward.clear();
    form.FwFilenameEdit.setText(*chosen);
    if (!IsBufferPathChip(form.chip.ChipTypeCode)) {
        // Run takes only a file that `update FILE` would write: one the
        // selection handler found not to match, or that Run would refuse,
        // leaves it disabled with the reason in the status line.
        const std::string why = FileRefusalForSelected(form, *chosen);
        if (why.empty()) {
            form.lastLoad = LoadResult::Accepted;
            form.UpdateBtn.setEnabled(true);
            if (const std::string cut = CutUpdateOfFile(form, *chosen); !cut.empty())
                form.StatusEdit.setText(cut);
            return;
        }
        form.lastLoad = form.fileMismatchShown ? LoadResult::Mismatch : LoadResult::Refused;
        form.lastLoadReason = form.fileMismatchShown
                                  ? FileMismatchReason(chosen->c_str(), PackChip(form.chip.ChipTypeCode,
                                                                                 form.chip.ChipSubRevision))
                                  : why;
        form.UpdateBtn.setEnabled(false);
        ShowFileRefusal(form, why);
        return;
    }
    if (form.selected.runsFromRom) {
        // A bridge in its ROM runs no firmware to ask: the file is checked as
        // the recovery checks it, and Run writes it to bring the firmware back.
        const RecoverPlan plan = PlanRecover(form.selectedEntry().path, form.chip.ChipTypeCode, *chosen);
        if (plan.refusal == RecoverPlan::Refusal::None) {
            form.lastLoad = LoadResult::Accepted;
            form.UpdateBtn.setEnabled(true);
            form.StatusEdit.setText(
                "The bridge runs from its ROM: Run writes this file to bring its firmware back.");
        } else {
            form.lastLoad = LoadResult::Refused;
            form.lastLoadReason = plan.reason;
            ShowFileRefusal(form, plan.reason);
        }
        return;
    }
    const LoadCheck check = CheckWithRunningBridge(*chosen, form.selectedEntry().path);
    form.lastLoad = check.result;
    form.lastLoadReason = check.reason;
    if (check.result == LoadResult::Accepted) {
        if (const std::string why = RunRefusalText(FileRunRequest(form, *chosen), form.selectedEntry().bus,
                                                   form.selectedEntry().path);
            !why.empty()) {
            form.lastLoad = LoadResult::Refused;
            form.lastLoadReason = why;
            ShowFileRefusal(form, why);
            return;
        }
        form.UpdateBtn.setEnabled(true);
        form.YesBtn.setEnabled(true);
    } else if (check.result == LoadResult::OpenFailed) {
        form.StatusEdit.setText(kOpenFwFileErrorText);
    } else if (const std::string cut = CutUpdateOfFile(form, *chosen);
               check.result == LoadResult::Mismatch && !cut.empty()) {
        // The running firmware is the cut update's half-written one: its
        // identity bytes say nothing about the file.
        form.lastLoad = LoadResult::Accepted;
        form.lastLoadReason.clear();
        form.UpdateBtn.setEnabled(true);
        form.YesBtn.setEnabled(true);
        form.StatusEdit.setText(cut);
    } else if (check.result == LoadResult::Mismatch) {
        form.StatusEdit.setText(std::string(kFwFileNotMatchText) + " " + check.reason);
    }
}

bool FileMismatchIsShown(std::uint8_t type)
{
    return type != 0 && !ChipTypeOf(type).bufferPath &&
           ChipTypeOf(type).procedure != UpdateProcedure::RunConversionUpdate;
}

LoadCheck CheckFileForBridge(const std::string &file, const ChipIdentity &chip, const std::string &device)
{
    std::error_code ec;
    const std::uint64_t size = fs::file_size(file, ec);
    if (!ec && size > kLargestFirmwareFile)
        return {LoadResult::TooLarge, {}};
    if (!ec && size == 0)
        return {LoadResult::Refused, "the file is empty"};
    if (IsBufferPathChip(chip.ChipTypeCode))
        return CheckWithRunningBridge(file, device);
    const std::uint16_t packed = PackChip(chip.ChipTypeCode, chip.ChipSubRevision);
    bool unreadable = false;
    const int fits = CheckFirmwareFileMatchesChip(file.c_str(), packed, &unreadable);
    if (unreadable)
        return {LoadResult::OpenFailed, {}};
    if (fits || !FileMismatchIsShown(chip.ChipTypeCode))
        return {LoadResult::Accepted, {}};
    return {LoadResult::Mismatch, FileMismatchReason(file.c_str(), packed)};
}

void BackupBtnClick(TBrigantFwTool &form)
{
    form.StatusEdit.setText("");
    PrepareDialog(form);
    const auto chosen = Ui().openFileDialog(form.OpenDialog1);
    if (!chosen)
        return;
    RememberDialogDirectory(form, *chosen);
    form.BackupFileEdit.setText(*chosen);
    form.UpdateBtn.setEnabled(true);
}

void EraseOnlyCheckClick(TBrigantFwTool &form, forms::CheckBox &sender)
{
    if (sender.tag() == 0) {
        if (form.chip.ChipTypeCode == 7)
            form.NVRAMCheck.show();
        if (sender.checked())
            form.BackupFWCheckBox.setChecked(false);
    } else if (sender.checked()) {
        form.EraseOnlyCheck.setChecked(false);
    }
    form.eraseOnly = form.EraseOnlyCheck.checked() ? 1 : 0;
    const bool chipReady = form.candidateCount != 0 && form.chip.ChipTypeCode != 0;
    if (form.EraseOnlyCheck.checked()) {
        form.FwFilenameEdit.setEnabled(false);
        form.UpdateBtn.setEnabled(chipReady);
    } else {
        form.FwFilenameEdit.setEnabled(true);
        const std::uint16_t chip =
            static_cast<std::uint16_t>(form.chip.ChipTypeCode | form.chip.ChipSubRevision << 8);
        bool fits = false;
        if (chipReady && !form.FwFilenameEdit.text().empty()) {
            bool unreadable = false;
            fits = CheckFirmwareFileMatchesChip(form.FwFilenameEdit.text().c_str(), chip, &unreadable) != 0;
            if (unreadable)
                Ui().messageBox(kOpenFirmwareFileErrorText, "Error", MessageKind::Error);
            // A file that matches is still one Run may refuse.
            if (fits)
                if (const std::string why = FileRefusalForSelected(form, form.FwFilenameEdit.text());
                    !why.empty()) {
                    fits = false;
                    ShowFileRefusal(form, why);
                }
        }
        form.UpdateBtn.setEnabled(fits);
    }
    if (!form.UpdateBtn.enabled() && form.BackupFWCheckBox.checked())
        form.UpdateBtn.setEnabled(true);
}

void RdCheckBoxClick(TBrigantFwTool &form)
{
    if (form.RdCheckBox.checked()) {
        form.RdPanel.show();
        form.clientHeight += form.RdPanel.bounds().height;
        return;
    }
    form.RdPanel.hide();
    form.FwFilenameEdit.setEnabled(true);
    form.UpdateBtn.setEnabled(false);
    UpdateBtnCheck(form);
}

void NVRAMCheckClick(TBrigantFwTool &form) { form.includeNvram = form.NVRAMCheck.checked() ? 1 : 0; }

void WireMainWindowHandlers(TBrigantFwTool &form)
{
    form.ExitBtn.onClick = [&form] { ExitBtnClick(form); };
    form.LoadBtn.onClick = [&form] { LoadBtnClick(form); };
    form.BackupBtn.onClick = [&form] { BackupBtnClick(form); };
    form.RefreshBtn.onClick = [&form] { RefreshBtnClick(form); };
    form.UpdateBtn.onClick = [&form] { UpdateBtnClick(form); };
    form.EraseOnlyCheck.onClick = [&form] { EraseOnlyCheckClick(form, form.EraseOnlyCheck); };
    form.BackupFWCheckBox.onClick = [&form] { EraseOnlyCheckClick(form, form.BackupFWCheckBox); };
    form.RdCheckBox.onClick = [&form] { RdCheckBoxClick(form); };
    form.NVRAMCheck.onClick = [&form] { NVRAMCheckClick(form); };
    form.YesBtn.onClick = [&form] { YesBtnClick(form); };
}

void WireMainWindow(TBrigantFwTool &form)
{
    WireIdentificationHandlers(form);
    WireMainWindowHandlers(form);
}

} // namespace brigant
