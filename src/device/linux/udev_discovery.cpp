#include "device/linux/udev_discovery.h"

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <sstream>
#include <strings.h>
#include <sys/sysmacros.h>

namespace brigant
{

namespace
{

struct UdevDeleter {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

bool Equals(const char *a, const char *b) { return a && b && std::strcmp(a, b) == 0; }

std::uint64_t DeviceNumberOf(udev_device *device)
{
    const dev_t number = udev_device_get_devnum(device);
    return MakeDeviceNumber(::major(number), ::minor(number));
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }
bool IsDecimal(const std::string &s)
{
    return !s.empty() && s.size() <= 9 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Decodes the \ooo escapes the kernel writes for blanks, tabs, newlines and backslashes.
std::string DecodeMountField(const std::string &field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) && IsOctal(field[i + 2]) &&
            IsOctal(field[i + 3])) {
            out += static_cast<char>(
                ((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 | (field[i + 3] - '0')) & 0xFF);
            i += 3;
            continue;
        }
        out += field[i];
    }
    return out;
}

bool ReadProcMountInfo(std::string &text)
{
    std::ifstream in("/proc/self/mountinfo");
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

// Calls `visit` for every device of `subsystem`, in udev's order.
template <typename Visit> bool ForEachDevice(udev *u, const char *subsystem, Visit visit)
{
    EnumeratePtr enumerate(udev_enumerate_new(u));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), subsystem) < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return false;
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        DevicePtr device(udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)));
        if (device)
            visit(device.get());
    }
    return true;
}

} // namespace

std::vector<MountedVolume> ParseMountInfo(const std::string &text)
{
    std::vector<MountedVolume> volumes;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        if (!(fields >> id >> parent >> device >> root >> mountPoint))
            continue;
        const auto colon = device.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string majorText = device.substr(0, colon);
        const std::string minorText = device.substr(colon + 1);
        if (!IsDecimal(majorText) || !IsDecimal(minorText))
            continue;
        MountedVolume volume;
        volume.device = MakeDeviceNumber(static_cast<std::uint32_t>(std::stoul(majorText)),
                                         static_cast<std::uint32_t>(std::stoul(minorText)));
        volume.mountPoint = DecodeMountField(mountPoint);
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

std::optional<BusKind> BridgeBusOfDisk(udev_device *disk)
{
    if (!Equals(udev_device_get_subsystem(disk), "block") || !Equals(udev_device_get_devtype(disk), "disk"))
        return std::nullopt;
    // SCSI disks only: NVMe, virtio and the like have no SCSI device above them.
    udev_device *scsi = udev_device_get_parent_with_subsystem_devtype(disk, "scsi", "scsi_device");
    if (!scsi || !Equals(udev_device_get_driver(scsi), "sd"))
        return std::nullopt;
    if (udev_device *interface =
            udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_interface")) {
        const char *driver = udev_device_get_driver(interface);
        if (Equals(driver, "usb-storage"))
            return BusKind::Usb;
        if (Equals(driver, "uas"))
            return BusKind::Uasp;
        return std::nullopt;
    }
    if (udev_device *unit = udev_device_get_parent_with_subsystem_devtype(disk, "firewire", nullptr))
        if (Equals(udev_device_get_driver(unit), "firewire_sbp2"))
            return BusKind::Ieee1394;
    return std::nullopt;
}

// The USB port path of the bridge ("2-1.4"), or the 1394 unit's GUID: both
// stay the same when the bridge resets and comes back under a new sg node.
// The GUID of a FireWire node, or of the node a unit belongs to.
static const char *FirewireGuidOf(udev_device *device)
{
    if (const char *guid = udev_device_get_sysattr_value(device, "guid"))
        return guid;
    udev_device *parent = udev_device_get_parent(device);
    return parent && Equals(udev_device_get_subsystem(parent), "firewire")
               ? udev_device_get_sysattr_value(parent, "guid")
               : nullptr;
}

static std::string BridgeLocationOf(udev_device *disk)
{
    if (udev_device *usb = udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_device")) {
        const char *name = udev_device_get_sysname(usb);
        return name ? std::string("usb-") + name : std::string();
    }
    if (udev_device *unit = udev_device_get_parent_with_subsystem_devtype(disk, "firewire", nullptr)) {
        const char *guid = FirewireGuidOf(unit);
        return guid ? std::string("1394-") + guid : std::string();
    }
    return {};
}

static std::string BridgeSerialOf(udev_device *disk)
{
    if (udev_device *usb = udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_device")) {
        const char *serial = udev_device_get_sysattr_value(usb, "serial");
        return serial ? serial : "";
    }
    if (udev_device *unit = udev_device_get_parent_with_subsystem_devtype(disk, "firewire", nullptr)) {
        const char *guid = FirewireGuidOf(unit);
        return guid ? guid : "";
    }
    return {};
}

static std::string UsbIdOf(udev_device *disk)
{
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_device");
    const char *vendor = usb ? udev_device_get_sysattr_value(usb, "idVendor") : nullptr;
    const char *product = usb ? udev_device_get_sysattr_value(usb, "idProduct") : nullptr;
    return vendor && product ? std::string(vendor) + ":" + product : std::string();
}

// The usb-storage quirk flags the module holds for `usbId` ("u"), from its
// parameter "VID:PID:FLAGS,VID:PID:FLAGS"; empty: none.
static std::string QuirksFor(const std::string &quirks, const std::string &usbId)
{
    std::istringstream items(quirks);
    std::string item;
    while (std::getline(items, item, ',')) {
        while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back())))
            item.pop_back();
        const std::size_t last = item.rfind(':');
        if (last != std::string::npos && !usbId.empty() &&
            strcasecmp(item.substr(0, last).c_str(), usbId.c_str()) == 0)
            return item.substr(last + 1);
    }
    return {};
}

static std::string UsbStorageQuirks()
{
    std::ifstream in("/sys/module/usb_storage/parameters/quirks");
    std::string text;
    std::getline(in, text);
    return text;
}

static std::uint32_t SysattrNumber(udev_device *device, const char *name)
{
    const char *text = udev_device_get_sysattr_value(device, name);
    return text ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

UdevDiskEnumerator::UdevDiskEnumerator() : readMountInfo_(ReadProcMountInfo) {}

namespace
{

// A partition of a disk, as the block subsystem lists it.
struct Partition {
    unsigned long number;
    std::uint64_t device;
    PartitionExtent extent;
    bool extentRead;
};
using PartitionsByDisk = std::map<std::string, std::vector<Partition>>; // by the disk's sysfs path

void AddPartition(PartitionsByDisk &partitions, udev_device *device)
{
    udev_device *parent = udev_device_get_parent(device);
    const char *number = udev_device_get_sysattr_value(device, "partition");
    const char *start = udev_device_get_sysattr_value(device, "start");
    const char *size = udev_device_get_sysattr_value(device, "size");
    const char *name = udev_device_get_sysname(device);
    if (parent && number)
        partitions[udev_device_get_syspath(parent)].push_back(
            {std::strtoul(number, nullptr, 10), DeviceNumberOf(device),
             PartitionExtent{name ? name : "", start ? std::strtoull(start, nullptr, 10) : 0,
                             size ? std::strtoull(size, nullptr, 10) : 0},
             start != nullptr && size != nullptr});
}

// The disk of a bridge, reached through the sg node `sgPath`.
DiskInterface DiskOf(udev_device *device, BusKind bus, const std::string &sgPath, const std::string &quirks)
{
    DiskInterface disk;
    disk.path = sgPath;
    disk.bus = bus;
    disk.identity.disk = DeviceNumberOf(device);
    disk.location = BridgeLocationOf(device);
    disk.serial = BridgeSerialOf(device);
    disk.usbId = UsbIdOf(device);
    disk.maxHwSectorsKb = SysattrNumber(device, "queue/max_hw_sectors_kb");
    disk.maxSectorsKb = SysattrNumber(device, "queue/max_sectors_kb");
    disk.quirks = QuirksFor(quirks, disk.usbId);
    return disk;
}

// The disk's partitions, in their numbers' order.
void AttachPartitions(DiskIdentity &identity, PartitionsByDisk &partitions, const std::string &diskSysPath)
{
    identity.extentsKnown = true;
    auto it = partitions.find(diskSysPath);
    if (it == partitions.end())
        return;
    std::stable_sort(it->second.begin(), it->second.end(),
                     [](const Partition &a, const Partition &b) { return a.number < b.number; });
    for (const Partition &p : it->second) {
        identity.partitions.push_back(p.device);
        identity.extents.push_back(p.extent);
        identity.extentsKnown = identity.extentsKnown && p.extentRead;
    }
}

} // namespace

UdevDiskEnumerator::UdevDiskEnumerator(MountInfoReader reader) : readMountInfo_(std::move(reader)) {}

bool UdevDiskEnumerator::listDisks(std::vector<DiskInterface> &disks)
{
    disks.clear();
    UdevPtr u(udev_new());
    if (!u)
        return false;

    const std::string quirks = UsbStorageQuirks();
    // The sg node of each SCSI device, by the SCSI device's sysfs path.
    std::map<std::string, std::string> sgNodes;
    const bool sgListed = ForEachDevice(u.get(), "scsi_generic", [&](udev_device *sg) {
        udev_device *scsi = udev_device_get_parent_with_subsystem_devtype(sg, "scsi", "scsi_device");
        const char *node = udev_device_get_devnode(sg);
        if (scsi && node)
            sgNodes.emplace(udev_device_get_syspath(scsi), node);
    });
    if (!sgListed)
        return false;

    PartitionsByDisk partitions; // by the disk's sysfs path
    std::vector<std::string> diskSysPaths;
    const bool blockListed = ForEachDevice(u.get(), "block", [&](udev_device *device) {
        if (Equals(udev_device_get_devtype(device), "partition")) {
            AddPartition(partitions, device);
            return;
        }
        const std::optional<BusKind> bus = BridgeBusOfDisk(device);
        if (!bus)
            return;
        udev_device *scsi = udev_device_get_parent_with_subsystem_devtype(device, "scsi", "scsi_device");
        const auto sg = sgNodes.find(udev_device_get_syspath(scsi));
        if (sg == sgNodes.end())
            return;
        disks.push_back(DiskOf(device, *bus, sg->second, quirks));
        diskSysPaths.push_back(udev_device_get_syspath(device));
    });
    if (!blockListed) {
        disks.clear();
        return false;
    }

    for (std::size_t i = 0; i < disks.size(); ++i)
        AttachPartitions(disks[i].identity, partitions, diskSysPaths[i]);
    return true;
}

bool UdevDiskEnumerator::listMountedVolumes(std::vector<MountedVolume> &volumes)
{
    volumes.clear();
    std::string text;
    if (!readMountInfo_ || !readMountInfo_(text))
        return false;
    volumes = ParseMountInfo(text);
    return true;
}

namespace
{

// The next event waiting on the monitor's socket, without blocking; null when none is.
DevicePtr ReceiveWaiting(udev_monitor *monitor)
{
    for (;;) {
        pollfd p{};
        p.fd = udev_monitor_get_fd(monitor);
        p.events = POLLIN;
        const int ready = ::poll(&p, 1, 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || !(p.revents & POLLIN))
            return nullptr;
        return DevicePtr(udev_monitor_receive_device(monitor));
    }
}

// A monitor of its own: the window's device-change monitor keeps its events.
class UdevBusWatch final : public BusWatch
{
  public:
    UdevBusWatch() : udev_(udev_new())
    {
        if (!udev_)
            return;
        monitor_ = udev_monitor_new_from_netlink(udev_.get(), "udev");
        if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "firewire", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0) {
            if (monitor_)
                udev_monitor_unref(monitor_);
            monitor_ = nullptr;
            return;
        }
        // A removed FireWire device can no longer be asked for its GUID: the
        // ones present now are remembered by their sysfs path.
        ForEachDevice(udev_.get(), "firewire", [this](udev_device *d) { remember(d); });
    }
    ~UdevBusWatch() override
    {
        if (monitor_)
            udev_monitor_unref(monitor_);
    }
    UdevBusWatch(const UdevBusWatch &) = delete;
    UdevBusWatch &operator=(const UdevBusWatch &) = delete;
    bool ok() const { return monitor_ != nullptr; }

    void poll(std::vector<BusEvent> &events) override
    {
        while (DevicePtr device = ReceiveWaiting(monitor_)) {
            const char *action = udev_device_get_action(device.get());
            const bool added = Equals(action, "add");
            if (!added && !Equals(action, "remove"))
                continue;
            std::string location;
            if (Equals(udev_device_get_subsystem(device.get()), "usb")) {
                const char *name = udev_device_get_sysname(device.get());
                location = name ? std::string("usb-") + name : std::string();
            } else {
                if (added)
                    remember(device.get());
                const char *path = udev_device_get_syspath(device.get());
                const auto it = guids_.find(path ? path : "");
                if (it != guids_.end())
                    location = "1394-" + it->second;
            }
            if (!location.empty())
                events.push_back({location, added});
        }
    }

  private:
    void remember(udev_device *device)
    {
        const char *path = udev_device_get_syspath(device);
        if (const char *guid = FirewireGuidOf(device); guid && path)
            guids_[path] = guid;
    }

    UdevPtr udev_;
    udev_monitor *monitor_ = nullptr;
    std::map<std::string, std::string> guids_;
};

} // namespace

std::unique_ptr<BusWatch> UdevDiskEnumerator::openBusWatch()
{
    auto watch = std::make_unique<UdevBusWatch>();
    if (!watch->ok())
        return nullptr;
    return watch;
}

UdevUsbMonitor::UdevUsbMonitor()
{
    udev_ = udev_new();
    if (!udev_)
        return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_)
        return;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
}

UdevUsbMonitor::~UdevUsbMonitor()
{
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

int UdevUsbMonitor::fd() const { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

int UdevUsbMonitor::poll(const std::function<void(DeviceChange)> &deliver)
{
    if (!monitor_)
        return 0;
    int delivered = 0;
    while (DevicePtr device = ReceiveWaiting(monitor_)) {
        const char *action = udev_device_get_action(device.get());
        std::optional<DeviceChange> change;
        if (Equals(action, "add"))
            change = DeviceChange::Arrival;
        else if (Equals(action, "remove"))
            change = DeviceChange::RemoveComplete;
        if (!change)
            continue;
        ++delivered;
        if (deliver)
            deliver(*change);
    }
    return delivered;
}

} // namespace brigant
