#pragma once
// What one run of the window sets up below the window: the transport back end
// (SG_IO or simulated bridges), the disk enumerator and the source of device
// changes, the program clock, the command trace and the debug sink. Undoes it
// all when destroyed.
#include "app/installed_services.h"
#include "device/enumerator.h"
#include "device/linux/helper_backend.h"
#include "device/linux/sg_backend.h"
#include "gui/access_watch.h"
#include "gui/device_clock.h"
#include "gui/event_loop_clock.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace brigant::sim
{
class Simulation;
class SimDiskEnumerator;
} // namespace brigant::sim

namespace brigant
{
class UdevUsbMonitor;
class UdevDiskEnumerator;
} // namespace brigant

namespace brigant::gui
{

struct GuiOptions {
    std::vector<std::string> simulate; // preset specs; empty: real hardware over SG_IO
    std::string device;                // the one disk to list (its SCSI generic node); empty: every one
    std::string simState;              // directory of the simulated devices' state
    bool trace = false;
    std::string traceFile; // empty: standard error
    bool debug = false;
    bool advanced = false;
    std::string screenshot; // render the window to this PNG and quit
};

class GuiSession
{
  public:
    GuiSession();
    ~GuiSession();
    GuiSession(const GuiSession &) = delete;
    GuiSession &operator=(const GuiSession &) = delete;

    // Installs everything the options ask for; false with the reason in `error`.
    bool start(const GuiOptions &options, std::string &error);
    // Writes the simulated devices' state back to --sim-state (when given).
    bool saveSimState(std::string &error);

    // Where device changes come from: the simulated bus or the udev monitor
    // (nullptr when the monitor could not be opened).
    DeviceChangeSource *deviceChanges() { return changes_; }
    // The monitor's socket, or -1 for sources that must be polled.
    int deviceChangeFd() const;
    bool simulated() const { return simulation_ != nullptr; }
    sim::Simulation *simulation() { return simulation_.get(); }
    AccessWatch &accessWatch() { return watch_; }
    EventLoopClock &clock() { return clock_; }

  private:
    EventLoopClock clock_;
    DeviceClock deviceClock_;
    AccessWatch watch_{nullptr, nullptr};
    std::unique_ptr<sim::Simulation> simulation_;
    std::unique_ptr<sim::SimDiskEnumerator> simDisks_;
    std::unique_ptr<SgBackend> sg_;
    std::unique_ptr<HelperBackend> helper_; // not root: the commands go through the helper
    std::unique_ptr<UdevDiskEnumerator> udevDisks_;
    std::unique_ptr<UdevUsbMonitor> monitor_;
    std::unique_ptr<DiskEnumerator> oneDisk_; // --device: the platform's list cut to that disk
    DeviceChangeSource *changes_ = nullptr;
    std::string simState_;
    struct CloseTraceFile {
        void operator()(std::FILE *file) const
        {
            if (file != stderr)
                std::fclose(file);
        }
    };
    std::unique_ptr<std::FILE, CloseTraceFile> traceFile_;
    InstalledServices services_; // last: undone before anything it points to goes
};

} // namespace brigant::gui
