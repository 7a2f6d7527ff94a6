#pragma once
// Discovery over simulated devices: the present devices of a Simulation as
// disks behind bridges, their mount points as mounted volumes, and the
// back end's arrivals and removals as device changes.
#include "device/enumerator.h"
#include "sim/simulation.h"

#include <deque>

namespace brigant::sim
{

class SimDiskEnumerator final : public DiskEnumerator, public DeviceChangeSource
{
  public:
    // Takes over the back end's device-event listener until destroyed.
    explicit SimDiskEnumerator(Simulation &simulation);
    ~SimDiskEnumerator() override;
    SimDiskEnumerator(const SimDiskEnumerator &) = delete;
    SimDiskEnumerator &operator=(const SimDiskEnumerator &) = delete;

    // Present devices in attach order. A device's disk is 8:(16 n) for the
    // back end's device number n, and its k-th mount point is partition k+1.
    bool listDisks(std::vector<DiskInterface> &disks) override;
    bool listMountedVolumes(std::vector<MountedVolume> &volumes) override;

    // Departures and arrivals on the simulated bus, by "sim-portN".
    std::unique_ptr<BusWatch> openBusWatch() override;

    // Lets due re-attachments happen, then hands over the queued changes.
    int poll(const std::function<void(DeviceChange)> &deliver) override;

  private:
    SimBridge *bridgeAt(const std::string &path) const;
    DiskIdentity identityOf(const std::string &path) const;

    Simulation &simulation_;
    std::deque<DeviceChange> pending_;
};

} // namespace brigant::sim
