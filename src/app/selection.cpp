#include "app/selection.h"

#include "app/one_button.h"
#include "app/window_run.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
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
void ShowNotSupported(TBrigantFwTool &w)
{
    w.SFlashTypeLable.hide();
    w.FwVerLableEdit.hide();
    w.StatusEdit.setText(kNotSupportedText);
}

} // namespace

void UpdateBtnCheck(TBrigantFwTool &w)
{
    w.NVRAMCheck.hide();
    w.ReadWriteBufferChk.hide();
    w.SetPrdSNchk.hide();
    if (w.candidateCount == 0)
        return;
    const DeviceEntry &entry = w.selectedEntry();
    const std::string path = entry.path;
    // The disk-kind label names the bus of the device chosen, not of the one listed last.
    if (w.DeviceList.itemIndex() >= 0 && w.DeviceList.itemIndex() < w.listedCount)
        w.diskLabel.setCaption(BusDiskText(entry.bus));

    const std::uint16_t packed = IdentifyChip(path);
    w.chip.ChipTypeCode = IdentifiedType(packed);
    w.chip.ChipSubRevision = IdentifiedRevision(packed);
    const std::uint8_t type = w.chip.ChipTypeCode;

    // The firmware-file gate of the Run button.
    if (w.DeviceList.enabled() && !w.FwFilenameEdit.text().empty()) {
        if (CheckFirmwareFileMatchesChip(w.FwFilenameEdit.text().c_str(), packed)) {
            w.UpdateBtn.setEnabled(true);
        } else if (type != 0 && !ChipTypeOf(type).bufferPath &&
                   ChipTypeOf(type).procedure != UpdateProcedure::RunConversionUpdate) {
            // The buffer-path bridges judge a file when it is loaded; staging files never match.
            w.fileMismatchShown = true;
            Ui().messageBox(kFileMismatchText, "Message", MessageKind::Information);
            w.UpdateBtn.setEnabled(false);
        }
    } else if (w.DeviceList.enabled() && (w.EraseOnlyCheck.checked() || w.BackupFWCheckBox.checked())) {
        w.UpdateBtn.setEnabled(true);
    }

    w.selected = SelectedBridge{};
    w.selected.series = type < kChipTypeCount ? ChipNameTable[type] : "";
    w.StatusEdit.setText("");
    w.SFlashTypeLable.setText("");
    w.FwVerLableEdit.setText("");
    w.ChipLabelEdit.setText(w.selected.series);

    if (type == 14) {
        std::uint8_t info[32] = {};
        if (ReadFirmwareInfo(path, info, sizeof info)) {
            w.selected.series = info[8] == 1 ? "Upas/Willow Series" : "Teak Series";
            w.ChipLabelEdit.setText(w.selected.series);
        }
        std::uint8_t fe[kChipInfoLength] = {};
        std::uint32_t transferred = 0;
        if (ReadChipInfoFE(path, fe, kChipInfoLength, transferred)) {
            w.selected.series = "Yew Series";
            w.ChipLabelEdit.setText(w.selected.series);
        }
    }

    if (IsSupportedChip(type)) {
        WindowRunHost host(w);
        w.SFlashTypeLable.show();
        w.FwVerLableEdit.show();
        w.chip.AtmelType = -1;
        w.chip.AmicType = -1;
        w.chip.SstWordMode = 0;
        if (IsNvramChip(type)) {
            w.NVRAMCheck.show();
            if (w.includeNvram != 0)
                w.NVRAMCheck.setChecked(true);
        }
        if (IsFirmwareReportedFlashChip(type, entry.bus)) {
            w.SFlashTypeLable.show();
            std::uint8_t verdict[4] = {};
            if (ReadFlashType(path, verdict))
                SetFlashKind(host, w.chip, verdict[0]);
            const ChipType &row = ChipTypeOf(type);
            if (row.bufferPath)
                ProbeBufferFamilyFlash(host, w.chip, path);
            else if (row.bankEnd != 0 ||
                     (row.variant == RunVariant::XdataProbe && w.chip.ChipSubRevision >= 5))
                ProbeSpiFamilyFlash(host, w.chip, w.selectedEntry(), w.repairBankOnSelect, path, type);
        } else {
            ProbeOtherSupportedFlash(host, w.chip, path);
            // Run holds the file against this flash's size: measure it now, so
            // that no earlier device's size (or none) stands in for it.
            if (ChipTypeOf(type).variant == RunVariant::SizeCheckedSst) {
                FlashOpcodeRecord record;
                record.flashKind = static_cast<std::uint8_t>(w.chip.FlashKind);
                ProbeFlashSizeSpi(path, record);
                w.chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
                // Run programs an SST part by SPI: a part that takes only
                // words would be left erased by byte-wise programming.
                if (w.chip.FlashKind == kFlashSst)
                    ProbeSstWordMode(w.chip, path);
            }
        }
    } else if (ChipTypeOf(type).display == UnsupportedDisplay::FirmwareLevel) {
        std::uint8_t info[20] = {};
        if (ReadFirmwareInfo(path, info, sizeof info)) {
            w.chip.FirmwareLevel = info[8];
            if (info[8] == 0xAB && info[18] >= 0xD2)
                w.chip.FirmwareLevel = info[18];
            if (w.chip.FirmwareLevel >= 0xD0) {
                w.SFlashTypeLable.hide();
                w.FwVerLableEdit.show();
            } else {
                ShowNotSupported(w);
            }
        }
    } else if (ChipTypeOf(type).display == UnsupportedDisplay::VersionOnly) {
        w.SFlashTypeLable.hide();
        w.FwVerLableEdit.show();
    } else {
        ShowNotSupported(w);
    }

    std::string text;
    switch (ReadVersionText(path, type, text)) {
    case VersionReadout::NoReply:
        break;
    case VersionReadout::NotVelkor:
        w.selected.velkorFirmware = false;
        w.StatusEdit.setText(kNotVelkorText);
        break;
    case VersionReadout::Text:
        w.selected.version = text;
        w.selected.releaseFirmware = IsReleaseFirmware(path, type, text, w.chip.FlashKind) == 1;
        w.FwVerLableEdit.setText(w.selected.releaseFirmware ? text : kInternalCodeText);
        break;
    }
    w.selected.supported = IsSupportedChip(type);
    w.selected.versionShown = w.FwVerLableEdit.visible();
    w.selected.flashShown = w.SFlashTypeLable.visible();

    w.DiskLetterLable.setText(w.selectedEntry().driveLetters);
}

void DeviceListChange(TBrigantFwTool &window)
{
    UpdateBtnCheck(window);
    if (window.updateRunning)
        return; // the run's own messages stay
    // The update button and the status line judge the device chosen now: no
    // earlier device's offer or verdict stays behind.
    window.YesBtn.setEnabled(false);
    ShowOneButtonStatus(window, OneButtonState::Blank);
    RefreshEnd(window);
    if (window.YesBtn.enabled())
        ShowOneButtonStatus(window, OneButtonState::Offered);
}

void WireIdentificationHandlers(TBrigantFwTool &window)
{
    window.DeviceList.onChange = [&window] { DeviceListChange(window); };
    window.FwFilenameEdit.onChange = [&window] { UpdateBtnCheck(window); };
}

} // namespace brigant
