#pragma once
// Discovery on Linux: libudev lists the SCSI disks behind USB mass-storage,
// UASP and FireWire SBP-2 bridges with their sg nodes, the mount table gives
// the mounted volumes, and a udev monitor reports USB devices coming and going.
#include "device/enumerator.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_device;
struct udev_monitor;

namespace brigant
{

// The mounted filesystems of a mount table in /proc/self/mountinfo format:
// the device number of field 3 and the mount point of field 5, with its
// octal escapes (\040 for a blank, ...) decoded. Malformed lines are skipped.
std::vector<MountedVolume> ParseMountInfo(const std::string &text);

// How a block disk is attached: USB when its USB interface is bound to
// usb-storage, UASP when bound to uas, 1394 when its FireWire unit is bound to
// firewire_sbp2; nothing for a disk that is not an sd disk behind one of
// those (SATA, SAS, NVMe, virtio).
std::optional<BusKind> BridgeBusOfDisk(udev_device *disk);

class UdevDiskEnumerator final : public DiskEnumerator
{
  public:
    // Fills `text` with the mount table; false when it cannot be read.
    using MountInfoReader = std::function<bool(std::string &text)>;

    // Reads /proc/self/mountinfo.
    UdevDiskEnumerator();
    explicit UdevDiskEnumerator(MountInfoReader reader);

    // Disks in udev's order (sorted by sysfs path) that have an sg node and
    // whose bridge bus is known; the path is the sg node.
    bool listDisks(std::vector<DiskInterface> &disks) override;
    bool listMountedVolumes(std::vector<MountedVolume> &volumes) override;
    // udev's removals and additions of USB devices ("usb-PORTPATH") and
    // FireWire nodes and units ("1394-GUID").
    std::unique_ptr<BusWatch> openBusWatch() override;

  private:
    MountInfoReader readMountInfo_;
};

// USB devices ("usb"/"usb_device") added and removed, from udev's netlink
// monitor. An event loop watches fd() and calls poll() when it is readable.
class UdevUsbMonitor final : public DeviceChangeSource
{
  public:
    UdevUsbMonitor();
    ~UdevUsbMonitor() override;
    UdevUsbMonitor(const UdevUsbMonitor &) = delete;
    UdevUsbMonitor &operator=(const UdevUsbMonitor &) = delete;

    bool ok() const { return monitor_ != nullptr; }
    int fd() const;
    // Reads every event waiting on the socket without blocking; "add" is an
    // arrival, "remove" a completed removal, other actions are dropped.
    int poll(const std::function<void(DeviceChange)> &deliver) override;

  private:
    udev *udev_ = nullptr;
    udev_monitor *monitor_ = nullptr;
};

} // namespace brigant
