#include "app/selection.h"

#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/update_journal.h"
#include "app/window_run.h"
#include "app/write_guard.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "common/window_texts.h"
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

constexpr std::uint32_t kChipInfoLength = 16;

// Hides the flash and version fields and says the chip cannot be updated.
void ShowNotSupported(TBrigantFwTool &form)
{
    form.SFlashTypeLable.hide();
    form.FwVerLableEdit.hide();
    form.StatusEdit.setText(kNotSupportedText);
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

    bool infoFailed = false;
    const char *failedRead = nullptr;
    const std::uint16_t packed = IdentifyChip(path, &infoFailed, &failedRead);
    if (infoFailed)
        Ui().messageBox(kChipInfoFailText, "Error", MessageKind::Error);
    form.chip.ChipTypeCode = IdentifiedType(packed);
    form.chip.ChipSubRevision = IdentifiedRevision(packed);
    form.chip.failedIdentifyRead = failedRead;
    const std::uint8_t type = form.chip.ChipTypeCode;

    // The firmware-file gate of the Run button.
    std::string mismatchWhy;
    if (form.DeviceList.enabled() && !form.FwFilenameEdit.text().empty()) {
        bool unreadable = false;
        const int fits =
            CheckFirmwareFileMatchesChip(form.FwFilenameEdit.text().c_str(), packed, &unreadable);
        if (unreadable)
            Ui().messageBox(kOpenFirmwareFileErrorText, "Error", MessageKind::Error);
        if (fits) {
            form.UpdateBtn.setEnabled(true);
        } else if (FileMismatchIsShown(type)) {
            form.fileMismatchShown = true;
            mismatchWhy = FileMismatchReason(form.FwFilenameEdit.text().c_str(), packed);
            Ui().messageBox(kFileMismatchText, "Message", MessageKind::Information);
            form.UpdateBtn.setEnabled(false);
        }
    } else if (form.DeviceList.enabled() &&
               (form.EraseOnlyCheck.checked() || form.BackupFWCheckBox.checked())) {
        form.UpdateBtn.setEnabled(true);
    }

    form.selected = SelectedBridge{};
    form.selected.series = type < kChipTypeCount ? ChipNameTable[type] : "";
    form.StatusEdit.setText("");
    form.SFlashTypeLable.setText("");
    form.FwVerLableEdit.setText("");
    form.ChipLabelEdit.setText(form.selected.series);

    if (type == 14) {
        std::uint8_t info[32] = {};
        if (ReadFirmwareInfo(path, info, sizeof info)) {
            form.selected.series = info[8] == 1 ? "Upas/Willow Series" : "Teak Series";
            form.ChipLabelEdit.setText(form.selected.series);
        }
        std::uint8_t fe[kChipInfoLength] = {};
        std::uint32_t transferred = 0;
        if (ReadChipInfoFE(path, fe, kChipInfoLength, transferred)) {
            form.selected.series = "Yew Series";
            form.ChipLabelEdit.setText(form.selected.series);
        }
    }

    if (IsSupportedChip(type)) {
        WindowRunHost host(form);
        form.SFlashTypeLable.show();
        form.FwVerLableEdit.show();
        form.chip.AtmelType = -1;
        form.chip.AmicType = -1;
        form.chip.SstWordMode = 0;
        if (IsNvramChip(type)) {
            form.selected.nvramOffered = true;
            form.NVRAMCheck.show();
            if (form.includeNvram != 0)
                form.NVRAMCheck.setChecked(true);
        }
        if (IsFirmwareReportedFlashChip(type, entry.bus)) {
            form.SFlashTypeLable.show();
            std::int32_t verdict = kFlashUnknown;
            if (ReadFlashTypeVerdict(form.chip, path, verdict))
                SetFlashKind(host, form.chip, verdict);
            const ChipType &row = ChipTypeOf(type);
            if (row.bufferPath)
                form.selected.runsFromRom = ProbeBufferFamilyFlash(host, form.chip, path);
            else if (row.bankEnd != 0 ||
                     (row.variant == RunVariant::XdataProbe && form.chip.ChipSubRevision >= 5))
                ProbeSpiFamilyFlash(host, form.chip, form.selectedEntry(), form.repairBankOnSelect, path,
                                    type);
        } else {
            ProbeOtherSupportedFlash(host, form.chip, path);
            // Run holds the file against this flash's size: measure it now, so
            // that no earlier device's size (or none) stands in for it.
            if (ChipTypeOf(type).variant == RunVariant::SizeCheckedSst) {
                FlashOpcodeRecord record;
                record.flashKind = static_cast<std::uint8_t>(form.chip.FlashKind);
                ProbeFlashSizeSpi(path, record);
                form.chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
                // Run programs an SST part by SPI: a part that takes only
                // words would be left erased by byte-wise programming.
                if (form.chip.FlashKind == kFlashSst)
                    ProbeSstWordMode(form.chip, path);
            }
        }
    } else if (ChipTypeOf(type).display == UnsupportedDisplay::FirmwareLevel) {
        std::uint8_t info[20] = {};
        if (ReadFirmwareInfo(path, info, sizeof info)) {
            form.chip.FirmwareLevel = info[8];
            if (info[8] == 0xAB && info[18] >= 0xD2)
                form.chip.FirmwareLevel = info[18];
            if (form.chip.FirmwareLevel >= 0xD0) {
                form.SFlashTypeLable.hide();
                form.FwVerLableEdit.show();
            } else {
                ShowNotSupported(form);
            }
        }
    } else if (ChipTypeOf(type).display == UnsupportedDisplay::VersionOnly) {
        form.SFlashTypeLable.hide();
        form.FwVerLableEdit.show();
    } else {
        ShowNotSupported(form);
    }

    std::string text;
    switch (ReadVersionText(path, type, text)) {
    case VersionReadout::NoReply:
        break;
    case VersionReadout::NotVelkor:
        form.selected.velkorFirmware = false;
        form.StatusEdit.setText(kNotVelkorText);
        break;
    case VersionReadout::Text:
        form.selected.version = text;
        form.selected.releaseFirmware = IsReleaseFirmware(path, type, text, form.chip.FlashKind) == 1;
        form.FwVerLableEdit.setText(form.selected.releaseFirmware ? text : kInternalCodeText);
        break;
    }
    form.selected.supported = IsSupportedChip(type);
    form.selected.versionShown = form.FwVerLableEdit.visible();
    form.selected.flashShown = form.SFlashTypeLable.visible();

    // The status line says why the file was refused, unless it says something else.
    if (!mismatchWhy.empty() && form.StatusEdit.text().empty())
        form.StatusEdit.setText(std::string(kFileMismatchText) + " " + mismatchWhy);
    // A write to this bridge that was cut: the status line says so first.
    // The entry of the write running now is open by design: a refresh in
    // the middle of it (a box open, the bridge back from its reset) says
    // nothing of it.
    if (!form.updateRunning && CurrentWritePhase() == WritePhase::Idle)
        if (const std::optional<JournalEntry> open = OpenJournalEntry(BridgeJournalKey(path)))
            form.StatusEdit.setText("Warning: " + UnfinishedText(*open) +
                                    (finishingLoaded && form.UpdateBtn.enabled()
                                         ? "; its file is loaded: Run finishes it."
                                         : "; the same update finishes it.") +
                                    (open->backup.empty() ? "" : "  Backup of the flash: " + open->backup));
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
