#include "app/device_list.h"

#include "app/selection.h"
#include "app/window_texts.h"
#include "app/write_guard.h"
#include "bridge/chip_commands.h"
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
void TellAlikeItemsApart(std::vector<ListedBridge> &listed)
{
    std::vector<std::string> items;
    for (const ListedBridge &b : listed)
        items.push_back(b.item);
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (std::count(items.begin(), items.end(), items[i]) < 2 || listed[i].entry.location.empty())
            continue;
        listed[i].item = items[i] + "  (port " + listed[i].entry.location + ")";
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

BridgeList DiscoverBridges(const DiscoveryEvents &events)
{
    BridgeList list;
    std::vector<DiskInterface> candidates;
    list.candidateCount = EnumerateDiskInterfaces(candidates, 1, events.wanted);
    if (events.enumerated)
        events.enumerated(list.candidateCount);
    std::string name; // a candidate whose INQUIRY fails keeps the previous one's name
    for (const DiskInterface &candidate : candidates) {
        if (static_cast<int>(list.listed.size()) >= kDeviceTableSize) {
            char text[64];
            std::snprintf(text, sizeof text, "The tool only can show %d disks.", kDeviceTableSize);
            Ui().messageBox(text, "Warning", MessageKind::Warning);
            break;
        }
        if (events.wanted && !events.wanted(candidate))
            continue;
        ListedBridge bridge;
        DeviceEntry &entry = bridge.entry;
        entry.path = candidate.path;
        entry.bus = candidate.bus;
        entry.busy = candidate.busy;
        entry.location = candidate.location;
        entry.serial = candidate.serial;
        if (events.asking)
            events.asking(entry);
        if (!entry.busy.empty()) {
            // Listed without a word to it: another program of ours works on it.
            bridge.item = std::string(BusListTag(candidate.bus)) + "(busy)";
        } else {
            std::uint8_t inquiry[kInquiryLength] = {};
            if (ReadInquiry(candidate.path, inquiry, kInquiryLength))
                name = InquiryName(inquiry);

            bool infoFailed = false;
            std::string inquiryFailure;
            const int identified = IdentifyChip(candidate.path, &infoFailed, nullptr, &inquiryFailure);
            if (infoFailed)
                Ui().messageBox(kChipInfoFailText, "Error", MessageKind::Error);
            if ((identified & 0xFF) == 0) {
                // Said, not only skipped, when the disk gave no answer at all.
                if (!inquiryFailure.empty())
                    NoteUnaskedDisk(candidate.path, "INQUIRY failed (" + inquiryFailure + ")");
                continue; // the next listed disk takes this slot
            }
            FindDriveLetters(candidate.identity, entry.driveLetters);
            bridge.item = std::string(BusListTag(candidate.bus)) + name;
        }
        list.listed.push_back(bridge);
        if (events.listed)
            events.listed(list.listed.back());
    }
    TellAlikeItemsApart(list.listed);
    return list;
}

void RefreshDeviceList(TBrigantFwTool &form)
{
    // The bridge a write is busy with stays selected when the list is made
    // again under it (it left the bus for its reset, another bridge came).
    const bool writing = form.updateRunning || CurrentWritePhase() != WritePhase::Idle;
    const DeviceEntry kept = writing && form.listedCount > 0 ? form.selectedEntry() : DeviceEntry{};

    DiscoveryEvents events;
    events.enumerated = [&form](int candidates) {
        if (candidates > 0)
            form.DeviceList.clear();
    };
    // A candidate takes the next free slot before it is asked; one that is
    // not listed leaves it to the next (with the volumes of the disk listed
    // there before, until a listed one replaces them).
    int shown = 0;
    events.asking = [&form, &shown](const DeviceEntry &entry) {
        DeviceEntry &slot = form.devices[static_cast<std::size_t>(shown)];
        std::string volumes = std::move(slot.driveLetters);
        slot = entry;
        slot.driveLetters = std::move(volumes);
    };
    events.listed = [&form, &shown](const ListedBridge &bridge) {
        form.devices[static_cast<std::size_t>(shown++)] = bridge.entry;
        if (bridge.entry.busy.empty())
            form.diskLabel.setCaption(BusDiskText(bridge.entry.bus));
        form.DeviceList.addItem(bridge.item);
    };
    const BridgeList list = DiscoverBridges(events);
    form.candidateCount = list.candidateCount;
    if (form.candidateCount == 0) {
        form.listedCount = 0;
        ShowNoDevice(form);
        return;
    }
    form.listedCount = static_cast<int>(list.listed.size());
    for (std::size_t i = 0; i < list.listed.size(); ++i)
        if (form.DeviceList.items()[i] != list.listed[i].item)
            form.DeviceList.setItem(i, list.listed[i].item);

    form.DeviceList.setEnabled(true);
    if (list.listed.empty())
        form.DeviceList.addItem("");
    form.DeviceList.setItemIndex(ListedIndexOf(form, kept));
    UpdateBtnCheck(form);
}

const char *BusName(BusKind bus)
{
    switch (bus) {
    case BusKind::Uasp:
        return "UASP";
    case BusKind::Ieee1394:
        return "1394";
    case BusKind::Usb:
        break;
    }
    return "USB";
}

std::string ProductText(const std::string &item)
{
    std::string text = item;
    if (text.rfind("<<", 0) == 0) {
        const std::size_t end = text.find(">>");
        if (end != std::string::npos)
            text.erase(0, end + 2);
    }
    std::string out;
    for (char c : text) {
        if (c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

} // namespace brigant
