#pragma once
// The seam to the platform's list of disks: which disks sit behind storage
// bridges, which filesystems are mounted, and USB arrivals and removals.
// libudev supplies them on Linux, the simulator in tests and demonstrations.
#include "device/device_entry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brigant
{

// A device number as the kernel gives it: major in the upper 32 bits, minor in the lower.
constexpr std::uint64_t MakeDeviceNumber(std::uint32_t major, std::uint32_t minor)
{
    return (static_cast<std::uint64_t>(major) << 32) | minor;
}

// Where a partition lies on its disk, in 512-byte units as the kernel gives
// them (sysfs "start" and "size"), whatever the disk's logical sector size.
struct PartitionExtent {
    std::string name; // e.g. "sdb1"
    std::uint64_t start = 0;
    std::uint64_t sectors = 0;
};

// What a mounted volume is matched against: the whole disk and its partitions.
struct DiskIdentity {
    std::uint64_t disk = 0;                // device number of the whole disk
    std::vector<std::uint64_t> partitions; // device numbers of its partitions, in partition order
    // Every partition's extent, when all of them could be read.
    std::vector<PartitionExtent> extents;
    bool extentsKnown = false;
};

// A present disk attached through a storage bridge (USB mass storage, UASP or SBP-2).
struct DiskInterface {
    std::string path; // the disk's SCSI generic node
    BusKind bus = BusKind::Usb;
    DiskIdentity identity;
    // Where the bridge sits on its bus (the USB port path, the 1394 unit),
    // which stays the same when the bridge resets and its sg node changes;
    // empty when the platform does not say.
    std::string location;
    // The bridge's own serial number (the USB iSerial, the 1394 GUID); empty
    // when it has none or the platform does not say.
    std::string serial;
    // Filled by discovery, not the enumerator: who holds the bridge when
    // another program of ours works on it (nothing was sent to it then).
    std::string busy;
    // The USB vendor and product IDs ("174c:55aa"); empty when not known.
    std::string usbId;
    // The largest transfer the disk's queue takes (max_hw_sectors_kb) and the
    // one in force (max_sectors_kb), in KiB; 0 when not known.
    std::uint32_t maxHwSectorsKb = 0;
    std::uint32_t maxSectorsKb = 0;
    // The usb-storage quirk flags in force for its USB IDs ("u": not uas);
    // empty: none.
    std::string quirks;
};

struct MountedVolume {
    std::string mountPoint;
    std::uint64_t device = 0; // device number of the mounted block device
};

// A bridge leaving or reaching its bus, at a location as DiskInterface gives it.
struct BusEvent {
    std::string location;
    bool arrived = false;
};

// Bridges leaving and reaching the bus from the moment the watch is opened.
// Each watch sees every event, whoever else watches or polls device changes.
class BusWatch
{
  public:
    virtual ~BusWatch() = default;
    // Appends the events since the last call, in order.
    virtual void poll(std::vector<BusEvent> &events) = 0;
};

class DiskEnumerator
{
  public:
    virtual ~DiskEnumerator() = default;
    // The present disks behind storage bridges, in a stable order; internal
    // disks are never among them. False when the service is unavailable.
    virtual bool listDisks(std::vector<DiskInterface> &disks) = 0;
    // Every mounted filesystem; false when the mount table cannot be read.
    virtual bool listMountedVolumes(std::vector<MountedVolume> &volumes) = 0;
    // A watch on the bus these disks hang on; null when the platform has none.
    virtual std::unique_ptr<BusWatch> openBusWatch() { return nullptr; }
};

// Another enumerator's disks with every disk but the one at `path` left out:
// whatever then finds, identifies and writes bridges works on that disk only.
// The disk is followed to its new node when a reset brings it back on the
// same port.
class OneDiskEnumerator final : public DiskEnumerator
{
  public:
    OneDiskEnumerator(DiskEnumerator &all, std::string path) : all_(all), path_(std::move(path)) {}
    DiskEnumerator &all() const { return all_; }
    bool listDisks(std::vector<DiskInterface> &disks) override;
    bool listMountedVolumes(std::vector<MountedVolume> &volumes) override
    {
        return all_.listMountedVolumes(volumes);
    }
    std::unique_ptr<BusWatch> openBusWatch() override { return all_.openBusWatch(); }

  private:
    DiskEnumerator &all_;
    std::string path_;
    std::string location_; // the port path of the disk, once seen
};

// The process-wide enumerator (set once at start; tests may swap it). With
// none installed, enumeration is unavailable and no disk is found.
void SetDiskEnumerator(DiskEnumerator *enumerator);
DiskEnumerator *CurrentDiskEnumerator();

// USB device arrivals and removals, as the window's device-change handler takes them.
enum class DeviceChange : std::uint8_t { Arrival, RemoveComplete };

class DeviceChangeSource
{
  public:
    virtual ~DeviceChangeSource() = default;
    // Hands every change that happened since the last call to `deliver`, in
    // order, and returns how many there were.
    virtual int poll(const std::function<void(DeviceChange)> &deliver) = 0;
};

} // namespace brigant
