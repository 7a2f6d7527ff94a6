#include "app/device_list.h"

#include "app/selection.h"
#include "bridge/chip_commands.h"
#include "common/window_texts.h"
#include "device/discovery.h"
#include "forms/ui_services.h"
#include "identify/candidates.h"
#include "identify/chip_identify.h"
#include "model/fwupdate.h"

#include <cstdio>

namespace brigant
{

namespace
{

void ShowNoDevice(TBrigantFwTool &form)
{
    form.DeviceList.clear();
    form.DeviceList.addItem("No available device!!!");
    form.DeviceList.setItemIndex(0);
    form.DeviceList.setEnabled(false);
    form.UpdateBtn.setEnabled(false);
    form.ChipLabelEdit.setText("");
    form.FwVerLableEdit.setText("");
    form.SFlashTypeLable.setText("");
    form.StatusEdit.setText("");
    form.DiskLetterLable.setText("");
    form.NVRAMCheck.hide();
}

} // namespace

void RefreshDeviceList(TBrigantFwTool &form)
{
    std::vector<DiskInterface> candidates;
    form.candidateCount = EnumerateDiskInterfaces(candidates, 1);
    if (form.candidateCount == 0) {
        form.listedCount = 0;
        ShowNoDevice(form);
        return;
    }

    form.DeviceList.clear();
    std::string name; // a candidate whose INQUIRY fails keeps the previous one's name
    int listed = 0;
    for (const DiskInterface &candidate : candidates) {
        if (listed >= kDeviceTableSize) {
            char text[64];
            std::snprintf(text, sizeof text, "The tool only can show %d disks.", kDeviceTableSize);
            Ui().messageBox(text, "Warning", MessageKind::Warning);
            break;
        }
        DeviceEntry &entry = form.devices[static_cast<std::size_t>(listed)];
        entry.path = candidate.path;
        entry.bus = candidate.bus;
        entry.bankCheckDone = 0;
        entry.damagedBank = -1;
        entry.busy = candidate.busy;
        if (!entry.busy.empty()) {
            // Listed without a word to it: another program of ours works on it.
            entry.driveLetters.clear();
            form.DeviceList.addItem(std::string(BusListTag(candidate.bus)) + "(busy)");
            ++listed;
            continue;
        }

        std::uint8_t inquiry[kInquiryLength] = {};
        if (ReadInquiry(candidate.path, inquiry, kInquiryLength))
            name = InquiryName(inquiry);

        bool infoFailed = false;
        std::string inquiryFailure;
        const int identified = IdentifyChip(candidate.path, &infoFailed, nullptr, &inquiryFailure);
        if (infoFailed)
            Ui().messageBox(kChipInfoFailText, "Error", MessageKind::Error);
        form.chip.ChipTypeCode = static_cast<std::uint8_t>(identified & 0xFF);
        form.chip.ChipSubRevision = static_cast<std::uint8_t>((identified >> 8) & 0xFF);
        if (form.chip.ChipTypeCode == 0) {
            // Said, not only skipped, when the disk gave no answer at all.
            if (!inquiryFailure.empty())
                NoteUnaskedDisk(candidate.path, "INQUIRY failed: " + inquiryFailure);
            continue; // the next listed disk takes this slot
        }

        // The slot may still hold the volumes of the disk listed here before.
        entry.driveLetters.clear();
        FindDriveLetters(candidate.identity, entry.driveLetters);
        form.diskLabel.setCaption(BusDiskText(candidate.bus));
        form.DeviceList.addItem(std::string(BusListTag(candidate.bus)) + name);
        ++listed;
    }
    form.listedCount = listed;

    form.DeviceList.setEnabled(true);
    if (listed == 0)
        form.DeviceList.addItem("");
    form.DeviceList.setItemIndex(0);
    UpdateBtnCheck(form);
}

} // namespace brigant
