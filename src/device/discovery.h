#pragma once
// Finding the disks behind supported bridges and listing them in the main
// window. The platform supplies a DiskEnumerator (libudev on Linux, the
// simulator in tests and demonstrations); the rules of which disks are listed,
// and how, live here.
#include "device/device_entry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brigant
{

class TBrigantFwTool;

// A device number as the kernel gives it: major in the upper 32 bits, minor in the lower.
constexpr std::uint64_t MakeDeviceNumber(std::uint32_t major, std::uint32_t minor)
{
    return (static_cast<std::uint64_t>(major) << 32) | minor;
}

// What a mounted volume is matched against: the whole disk and its partitions.
struct DiskIdentity {
    std::uint64_t disk = 0;                // device number of the whole disk
    std::vector<std::uint64_t> partitions; // device numbers of its partitions, in partition order
};

// A present disk attached through a storage bridge (USB mass storage, UASP or SBP-2).
struct DiskInterface {
    std::string path; // the disk's SCSI generic node
    BusKind bus = BusKind::Usb;
    DiskIdentity identity;
};

struct MountedVolume {
    std::string mountPoint;
    std::uint64_t device = 0; // device number of the mounted block device
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

// Writes the present candidate disks to `list` (replacing its contents) and
// returns their number. A disk qualifies when it is attached over USB or UASP,
// or over 1394 when `include1394` is set, and answers the bridge's inquiry
// marker or the vendor probe.
int EnumerateDiskInterfaces(std::vector<DiskInterface> &list, int include1394);

// 1 when a 40-byte INQUIRY succeeds and its bytes 36-37 are "vQ" or "vS".
int HasVendorInquiryMarker(const std::string &path);

// Fills `letters` with the mount points of the disk's partitions (the disk's
// own filesystem first, then partition by partition), separated by one blank;
// "/" is never listed. Leaves `letters` untouched when the disk is not present.
void FindDriveLetters(const std::string &path, std::string &letters);
void FindDriveLetters(const DiskIdentity &disk, std::string &letters);

// The whole discovery: enumerates, identifies each candidate, fills the
// device table and the device list, selects item 0 and runs UpdateBtnCheck.
void RefreshDeviceList(TBrigantFwTool &form);

constexpr int kInquiryLength = 40;
constexpr int kInquiryNameLength = 24; // vendor and product identification, bytes 8-31

} // namespace brigant
