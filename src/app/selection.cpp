#include "app/selection.h"

#include "app/bridge_state.h"
#include "app/file_verdict.h"
#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/run_dispatch.h"
#include "app/update_journal.h"
#include "app/window_run.h"
#include "app/window_texts.h"
#include "app/write_guard.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "device/bridge_lock.h"
#include "forms/ui_services.h"
#include "identify/chip_identify.h"
#include "identify/flash_identify.h"
#include "identify/selected_flash.h"
#include "image/chip_match.h"
#include "image/chip_names.h"
#include "image/chip_types.h"
#include "model/fwupdate.h"

namespace brigant
{

namespace
{

// Hides the flash and version fields and says the chip cannot be updated.
void ShowNotSupported(TBrigantFwTool &form)
{
    form.SFlashTypeLable.hide();
    form.FwVerLableEdit.hide();
    form.StatusEdit.setText(kNotSupportedText);
}

// The fields of a chip Run cannot update: the version alone where the chip
// shows one, else "not supported".
void ShowUnsupportedFields(TBrigantFwTool &form, const BridgeState &state)
{
    switch (ChipTypeOf(state.chip.ChipTypeCode).display) {
    case UnsupportedDisplay::FirmwareLevel:
        if (!state.firmwareLevelRead)
            return; // the fields stay as they are
        if (!state.bridge.versionShown) {
            ShowNotSupported(form);
            return;
        }
        [[fallthrough]];
    case UnsupportedDisplay::VersionOnly:
        form.SFlashTypeLable.hide();
        form.FwVerLableEdit.show();
        return;
    case UnsupportedDisplay::NotSupported:
        ShowNotSupported(form);
        return;
    }
}

// A bridge another program of ours works on (found busy when listed, or
// now): nothing is asked of it, and nothing can be started on it.
bool ShowBusy(TBrigantFwTool &form, DeviceEntry &entry)
{
    // Asked again: a bridge busy when listed may be free now, or the other way.
    const std::optional<BusyBridge> busy = BridgeBusy(entry.path);
    entry.busy = busy ? BusyText(*busy) : std::string();
    if (entry.busy.empty())
        return false;
    form.chip = ChipIdentity{};
    form.selected = SelectedBridge{};
    form.UpdateBtn.setEnabled(false);
    form.YesBtn.setEnabled(false);
    form.SFlashTypeLable.setText("");
    form.FwVerLableEdit.setText("");
    form.ChipLabelEdit.setText("");
    form.StatusEdit.setText(entry.busy + "; try again when it is done.");
    return true;
}

// A cut update of the bridge at `path` is finished by Run with the file it
// was writing: that file is loaded, as the open dialog loads one, when no
// other is chosen and it still is the file the update wrote. True when the
// file field holds it now.
bool LoadFinishingFile(TBrigantFwTool &form, const std::string &path)
{
    if (form.updateRunning || CurrentWritePhase() != WritePhase::Idle)
        return false;
    const std::optional<JournalEntry> open = OpenJournalEntry(BridgeJournalKey(path));
    if (!open || open->action != "update" || open->firmware.empty())
        return false;
    if (form.FwFilenameEdit.text() == open->firmware)
        return true;
    if (!form.FwFilenameEdit.text().empty() || FileSha256(open->firmware) != open->sha256)
        return false;
    // This handler goes on to check the file: its change event is not needed.
    auto changed = std::move(form.FwFilenameEdit.onChange);
    form.FwFilenameEdit.setText(open->firmware);
    form.FwFilenameEdit.onChange = std::move(changed);
    return true;
}

} // namespace

void UpdateBtnCheck(TBrigantFwTool &form)
{
    form.NVRAMCheck.hide();
    form.ReadWriteBufferChk.hide();
    form.SetPrdSNchk.hide();
    if (form.candidateCount == 0)
        return;
    const DeviceEntry &entry = form.selectedEntry();
    const std::string path = entry.path;
    // The disk-kind label names the bus of the device chosen, not of the one listed last.
    if (form.DeviceList.itemIndex() >= 0 && form.DeviceList.itemIndex() < form.listedCount)
        form.diskLabel.setCaption(BusDiskText(entry.bus));
    if (ShowBusy(form, form.selectedEntry()))
        return;
    const bool finishingLoaded = LoadFinishingFile(form, path);

    std::string mismatchWhy;
    WindowRunHost host(form);
    IdentifyOptions options;
    options.repairBank = form.repairBankOnSelect;
    options.carried = form.chip;
    options.chipKnown = [&](const BridgeState &state) {
        form.chip = state.chip;
        const std::uint8_t type = state.chip.ChipTypeCode;
        // The firmware-file gate of the Run button.
        if (form.DeviceList.enabled() && !form.FwFilenameEdit.text().empty()) {
            bool unreadable = false;
            const int fits =
                CheckFirmwareFileMatchesChip(form.FwFilenameEdit.text().c_str(), state.packedId, &unreadable);
            if (unreadable)
                Ui().messageBox(kOpenFirmwareFileErrorText, "Error", MessageKind::Error);
            if (fits && ChipTypeOf(type).bufferPath &&
                RunRefusesFile(FileRunRequest(form, form.FwFilenameEdit.text()), entry.bus, path)) {
                // Load File has said why (a file larger than the flash, say):
                // Run stays as Load File left it, disabled.
                form.UpdateBtn.setEnabled(false);
            } else if (fits) {
                form.UpdateBtn.setEnabled(true);
            } else if (FileMismatchIsShown(type)) {
                form.fileMismatchShown = true;
                mismatchWhy = FileMismatchReason(form.FwFilenameEdit.text().c_str(), state.packedId);
                Ui().messageBox(kFileMismatchText, "Message", MessageKind::Information);
                form.UpdateBtn.setEnabled(false);
            }
        } else if (form.DeviceList.enabled() &&
                   (form.EraseOnlyCheck.checked() || form.BackupFWCheckBox.checked())) {
            form.UpdateBtn.setEnabled(true);
        }
        form.selected = state.bridge;
        form.StatusEdit.setText("");
        form.SFlashTypeLable.setText("");
        form.FwVerLableEdit.setText("");
        form.ChipLabelEdit.setText(state.bridge.series);
        if (state.bridge.supported) {
            form.SFlashTypeLable.show();
            form.FwVerLableEdit.show();
            if (state.bridge.nvramOffered) {
                form.NVRAMCheck.show();
                if (form.includeNvram != 0)
                    form.NVRAMCheck.setChecked(true);
            }
        }
    };
    const BridgeState state = IdentifyBridge(host, form.selectedEntry(), options);
    form.chip = state.chip;

    if (!state.bridge.supported)
        ShowUnsupportedFields(form, state);
    if (!state.bridge.velkorFirmware)
        form.StatusEdit.setText(kNotVelkorText);
    if (!state.bridge.version.empty())
        form.FwVerLableEdit.setText(state.bridge.releaseFirmware ? state.bridge.version : kInternalCodeText);
    form.selected = state.bridge;

    // The status line says why the file was refused, unless it says something else.
    if (!mismatchWhy.empty() && form.StatusEdit.text().empty())
        form.StatusEdit.setText(std::string(kFileMismatchText) + " " + mismatchWhy);
    // A write to this bridge that was cut: the status line says so first.
    // The entry of the write running now is open by design: a refresh in
    // the middle of it (a box open, the bridge back from its reset) says
    // nothing of it.
    if (!form.updateRunning && CurrentWritePhase() == WritePhase::Idle)
        if (const std::optional<JournalEntry> &open = state.openEntry)
            form.StatusEdit.setText("Warning: " + UnfinishedText(*open) +
                                    (finishingLoaded && form.UpdateBtn.enabled()
                                         ? "; its file is loaded: Run finishes it."
                                         : "; the same update finishes it.") +
                                    (open->backup.empty() ? "" : "  Backup of the flash: " + open->backup));
    // A bridge in its ROM runs no firmware: Run with its firmware file
    // brings it back (the recovery), which the status line says before all.
    if (!form.updateRunning && CurrentWritePhase() == WritePhase::Idle && state.runs == BridgeRuns::Rom)
        form.StatusEdit.setText("Warning: the bridge runs from its ROM (an update was cut short): load its "
                                "firmware file and press Run to bring its firmware back.");
    if (form.StatusEdit.text().empty() && !form.lastBackup.text.empty() &&
        form.lastBackup.bridge == BridgeJournalKey(path))
        form.StatusEdit.setText(form.lastBackup.text);

    form.DiskLetterLable.setText(form.selectedEntry().driveLetters);
}

void DeviceListChange(TBrigantFwTool &form)
{
    UpdateBtnCheck(form);
    if (form.updateRunning)
        return; // the run's own messages stay
    // The update button and the status line judge the device chosen now: no
    // earlier device's offer or verdict stays behind.
    form.YesBtn.setEnabled(false);
    ShowOneButtonStatus(form, OneButtonState::Blank);
    RefreshEnd(form);
    if (UpdateOffered(form))
        ShowOneButtonStatus(form, OneButtonState::Offered);
}

void WireIdentificationHandlers(TBrigantFwTool &form)
{
    form.DeviceList.onChange = [&form] { DeviceListChange(form); };
    form.FwFilenameEdit.onChange = [&form] { UpdateBtnCheck(form); };
}

} // namespace brigant
