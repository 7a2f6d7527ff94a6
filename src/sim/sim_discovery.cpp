#include "sim/sim_discovery.h"

#include <algorithm>
#include <cstdio>

namespace brigant::sim
{

namespace
{
constexpr std::uint32_t kSimDiskMajor = 8;
constexpr std::uint32_t kMinorsPerDisk = 16;

std::string PortLocation(std::uint32_t port) { return "sim-port" + std::to_string(port); }

class SimBusWatch final : public BusWatch
{
  public:
    explicit SimBusWatch(SimBackend &backend)
        : backend_(backend), id_(backend.addBusObserver([this](std::uint32_t port, bool arrived) {
              events_.push_back({PortLocation(port), arrived});
          }))
    {
    }
    ~SimBusWatch() override { backend_.removeBusObserver(id_); }
    SimBusWatch(const SimBusWatch &) = delete;
    SimBusWatch &operator=(const SimBusWatch &) = delete;

    void poll(std::vector<BusEvent> &events) override
    {
        backend_.poll();
        events.insert(events.end(), events_.begin(), events_.end());
        events_.clear();
    }

  private:
    SimBackend &backend_;
    std::vector<BusEvent> events_;
    int id_;
};

} // namespace

std::unique_ptr<BusWatch> SimDiskEnumerator::openBusWatch()
{
    return std::make_unique<SimBusWatch>(simulation_.backend());
}

SimDiskEnumerator::SimDiskEnumerator(Simulation &simulation) : simulation_(simulation)
{
    simulation_.backend().setDeviceEventListener([this](const std::string &, bool arrived) {
        pending_.push_back(arrived ? DeviceChange::Arrival : DeviceChange::RemoveComplete);
    });
}

SimDiskEnumerator::~SimDiskEnumerator() { simulation_.backend().setDeviceEventListener({}); }

SimBridge *SimDiskEnumerator::bridgeAt(const std::string &path) const
{
    const auto device = simulation_.backend().device(path);
    for (const auto &bridge : simulation_.bridges())
        if (bridge.get() == device.get())
            return bridge.get();
    return nullptr;
}

DiskIdentity SimDiskEnumerator::identityOf(const std::string &path) const
{
    DiskIdentity identity;
    const auto port = simulation_.backend().portNumber(path);
    if (!port)
        return identity;
    const std::uint32_t first = *port * kMinorsPerDisk;
    identity.disk = MakeDeviceNumber(kSimDiskMajor, first);
    if (SimBridge *bridge = bridgeAt(path)) {
        const BridgeIdentity &id = bridge->identity();
        const auto partitions = static_cast<std::uint32_t>(std::min<std::size_t>(
            std::max(id.mountPoints.size(), id.partitionExtents.size()), kMinorsPerDisk - 1));
        // A partition that is only mounted has no extent the kernel would give.
        identity.extentsKnown = partitions <= id.partitionExtents.size();
        for (std::uint32_t k = 1; k <= partitions; ++k) {
            identity.partitions.push_back(MakeDeviceNumber(kSimDiskMajor, first + k));
            if (k <= id.partitionExtents.size())
                identity.extents.push_back({"part" + std::to_string(k), id.partitionExtents[k - 1].first,
                                            id.partitionExtents[k - 1].second});
        }
    }
    return identity;
}

bool SimDiskEnumerator::listDisks(std::vector<DiskInterface> &disks)
{
    // A device whose time away is over is on the bus again, whether or not
    // anyone has looked at the change events yet.
    simulation_.backend().poll();
    disks.clear();
    for (const std::string &path : simulation_.backend().paths()) {
        DiskInterface disk;
        disk.path = path;
        if (SimBridge *bridge = bridgeAt(path)) {
            disk.bus = bridge->identity().bus;
            disk.serial = bridge->identity().serial;
            char id[16];
            std::snprintf(id, sizeof id, "%04x:%04x", bridge->identity().usbVendorId,
                          bridge->identity().usbProductId);
            if (disk.bus != BusKind::Ieee1394)
                disk.usbId = id;
            disk.maxHwSectorsKb = disk.maxSectorsKb = bridge->identity().maxTransferKb;
            disk.quirks = bridge->identity().quirks;
        }
        disk.identity = identityOf(path);
        // The slot of a device is its port: it keeps it across resets.
        if (const auto port = simulation_.backend().portNumber(path))
            disk.location = PortLocation(*port);
        disks.push_back(std::move(disk));
    }
    return true;
}

bool SimDiskEnumerator::listMountedVolumes(std::vector<MountedVolume> &volumes)
{
    volumes.clear();
    for (const std::string &path : simulation_.backend().paths()) {
        SimBridge *bridge = bridgeAt(path);
        if (!bridge)
            continue;
        const DiskIdentity identity = identityOf(path);
        const auto &mounts = bridge->identity().mountPoints;
        // Partition k is mounted at the k-th mount point; the others are not mounted.
        for (std::size_t k = 0; k < identity.partitions.size() && k < mounts.size(); ++k)
            volumes.push_back({mounts[k], identity.partitions[k]});
    }
    return true;
}

int SimDiskEnumerator::poll(const std::function<void(DeviceChange)> &deliver)
{
    simulation_.backend().poll();
    int delivered = 0;
    while (!pending_.empty()) {
        const DeviceChange change = pending_.front();
        pending_.pop_front();
        ++delivered;
        if (deliver)
            deliver(change);
    }
    return delivered;
}

} // namespace brigant::sim
