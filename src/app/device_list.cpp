#include "app/device_list.h"

#include "app/selection.h"
#include "app/write_guard.h"
#include "bridge/chip_commands.h"
#include "common/window_texts.h"
#include "device/discovery.h"
#include "forms/ui_services.h"
#include "identify/candidates.h"
#include "identify/chip_identify.h"
#include "model/fwupdate.h"

#include <algorithm>
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
    form.StatusEdit.setText(form.wayForward);
    form.DiskLetterLable.setText("");
    form.NVRAMCheck.hide();
}

// Two bridges of one model read the same in the list: each such item also
// names where its bridge is plugged in (when the platform gives no
// port, the item stays as it is), so that the user can tell which is which.
void TellAlikeItemsApart(TBrigantFwTool &form)
{
    const std::vector<std::string> items = form.DeviceList.items();
    for (std::size_t i = 0; i < items.size() && i < static_cast<std::size_t>(form.listedCount); ++i) {
        const DeviceEntry &entry = form.devices[i];
        if (std::count(items.begin(), items.end(), items[i]) < 2 || entry.location.empty())
            continue;
        form.DeviceList.setItem(i, items[i] + "  (port " + entry.location + ")");
    }
}

// The listed index of the bridge `kept` names, by where it is plugged in
// (its sg node may be new after a reset); 0 when it is not listed.
int ListedIndexOf(const TBrigantFwTool &form, const DeviceEntry &kept)
{
    if (kept.path.empty())
        return 0;
    for (int i = 0; i < form.listedCount; ++i) {
        const DeviceEntry &entry = form.devices[static_cast<std::size_t>(i)];
        if (kept.location.empty() ? entry.path == kept.path : entry.location == kept.location)
            return i;
    }
    return 0;
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

    // The bridge a write is busy with stays selected when the list is made
    // again under it (it left the bus for its reset, another bridge came).
    const bool writing = form.updateRunning || CurrentWritePhase() != WritePhase::Idle;
    const DeviceEntry kept = writing && form.listedCount > 0 ? form.selectedEntry() : DeviceEntry{};

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
        entry.location = candidate.location;
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
    TellAlikeItemsApart(form);

    form.DeviceList.setEnabled(true);
    if (listed == 0)
        form.DeviceList.addItem("");
    form.DeviceList.setItemIndex(ListedIndexOf(form, kept));
    UpdateBtnCheck(form);
}

} // namespace brigant
