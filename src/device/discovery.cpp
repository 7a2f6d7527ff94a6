#include "device/discovery.h"

#include "app/fwupdate.h"
#include "bridge/chip_commands.h"
#include "device/transport.h"
#include "forms/ui_services.h"
#include "identify/chip_identify.h"

#include <cstdio>
#include <cstring>

namespace brigant
{

namespace
{

DiskEnumerator *currentEnumerator = nullptr;

bool QualifiesByBus(BusKind bus, int include1394)
{
    switch (bus) {
    case BusKind::Usb:
    case BusKind::Uasp:
        return true;
    case BusKind::Ieee1394:
        return include1394 != 0;
    }
    return false;
}

// Vendor and product identification as the device reported them, blanks
// included, up to the first zero byte.
std::string InquiryName(const std::uint8_t *inquiry)
{
    const char *name = reinterpret_cast<const char *>(inquiry + 8);
    std::size_t length = 0;
    while (length < kInquiryNameLength && name[length] != '\0')
        ++length;
    return std::string(name, length);
}

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

void SetDiskEnumerator(DiskEnumerator *enumerator) { currentEnumerator = enumerator; }
DiskEnumerator *CurrentDiskEnumerator() { return currentEnumerator; }

int HasVendorInquiryMarker(const std::string &path)
{
    std::uint8_t inquiry[kInquiryLength] = {};
    if (!ReadInquiry(path, inquiry, kInquiryLength))
        return 0;
    return std::memcmp(inquiry + 36, "vQ", 2) == 0 || std::memcmp(inquiry + 36, "vS", 2) == 0 ? 1 : 0;
}

int EnumerateDiskInterfaces(std::vector<DiskInterface> &list, int include1394)
{
    list.clear();
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> present;
    if (!enumerator || !enumerator->listDisks(present))
        return 0;
    for (DiskInterface &disk : present) {
        if (!QualifiesByBus(disk.bus, include1394))
            continue;
        std::uint8_t reply[2] = {};
        if (HasVendorInquiryMarker(disk.path) || ProbeVendorCommand(disk.path, reply))
            list.push_back(std::move(disk));
    }
    return static_cast<int>(list.size());
}

void FindDriveLetters(const DiskIdentity &disk, std::string &letters)
{
    letters.clear();
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<MountedVolume> volumes;
    // An unreadable mount table lists nothing, like volumes that cannot be queried.
    if (!enumerator || !enumerator->listMountedVolumes(volumes))
        return;
    auto append = [&](std::uint64_t device) {
        if (device == 0)
            return;
        for (const MountedVolume &v : volumes) {
            if (v.device != device || v.mountPoint == "/")
                continue;
            if (!letters.empty())
                letters += ' ';
            letters += v.mountPoint;
        }
    };
    append(disk.disk);
    for (std::uint64_t partition : disk.partitions)
        append(partition);
}

void FindDriveLetters(const std::string &path, std::string &letters)
{
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> present;
    if (!enumerator || !enumerator->listDisks(present))
        return;
    for (const DiskInterface &disk : present) {
        if (disk.path == path) {
            FindDriveLetters(disk.identity, letters);
            return;
        }
    }
}

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
        std::uint8_t inquiry[kInquiryLength] = {};
        if (ReadInquiry(candidate.path, inquiry, kInquiryLength))
            name = InquiryName(inquiry);

        DeviceEntry &entry = form.devices[static_cast<std::size_t>(listed)];
        entry.path = candidate.path;
        entry.bus = candidate.bus;
        entry.bankCheckDone = 0;

        const int identified = IdentifyChip(candidate.path);
        form.chip.ChipTypeCode = static_cast<std::uint8_t>(identified & 0xFF);
        form.chip.ChipSubRevision = static_cast<std::uint8_t>((identified >> 8) & 0xFF);
        if (form.chip.ChipTypeCode == 0)
            continue; // the next listed disk takes this slot

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
