#pragma once
// What a front end sets up below itself for one run: the command trace and
// the debug sink, the simulated bridges or the real devices, the back end that
// carries the commands (in process over SG_IO, or through the privileged
// helper), the disk enumerator (cut to the one disk --device names), the
// source of device changes and the program clock. The front ends differ only
// in the options they give. Undoes it all when destroyed.
#include "app/installed_services.h"
#include "common/clock.h"
#include "device/enumerator.h"
#include "device/scsi_backend.h"
#include "runtime/device_clock.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brigant
{
class HelperBackend;
class SgBackend;
class UdevDiskEnumerator;
class UdevUsbMonitor;
} // namespace brigant

namespace brigant::sim
{
class Simulation;
class SimDiskEnumerator;
} // namespace brigant::sim

namespace brigant::runtime
{

// Which commands go through brigant-fw-helper.
enum class HelperUse : std::uint8_t {
    Never,
    Always,     // with simulated bridges, helperCommand must name a helper that relays to them
    UnlessRoot, // the real devices' commands when the process is not root
};

// How time passes for the simulated bridges.
enum class SimulatedTime : std::uint8_t {
    Virtual,       // only waits advance it; it is the program clock too, unless one is given
    RealPlusWaits, // real time, plus every wait the bridges' own firmware makes (at no cost)
};

struct RuntimeOptions {
    std::vector<std::string> simulate; // preset specs; empty: the real devices
    std::string simState;              // directory of the simulated devices' state
    std::size_t simFirstIndex = 0;     // the simulated devices are devices N, N+1, ... of a larger set
    std::string device;                // the one disk to work on (its sg node); empty: every one
    bool trace = false;
    std::string traceFile;     // empty: standard error
    std::string traceDataFile; // --trace-data: the commands with their data, as JSON Lines
    bool debug = false;
    HelperUse helper = HelperUse::Never;
    std::vector<std::string> helperCommand; // empty: the installed helper through pkexec
    SimulatedTime simulatedTime = SimulatedTime::Virtual;
    Clock *programClock = nullptr; // installed when given
    // Who this program is to the others, in the bridge locks it takes.
    std::string program;
    std::string verb;
};

struct StartFailure {
    enum class Kind : std::uint8_t {
        Usage,    // the options contradict each other, or name what cannot be used
        NoDevice, // the device --device names is not there, or is not an sg node
    };
    Kind kind = Kind::Usage;
    std::string text; // one line, without a prefix
};

class Runtime
{
  public:
    Runtime();
    ~Runtime();
    Runtime(const Runtime &) = delete;
    Runtime &operator=(const Runtime &) = delete;

    // Sets up and installs everything `options` ask for, or says why not.
    std::optional<StartFailure> start(const RuntimeOptions &options);
    // Writes the simulated devices' state back to the state directory (when one was given).
    bool saveSimState(std::string &error);

    // What start installed.
    ScsiBackend *backend() { return backend_; }
    DiskEnumerator *diskEnumerator() { return enumerator_; }
    // Where device changes come from: the simulated bus, or a udev monitor
    // opened on the first call (nullptr when it cannot be opened).
    DeviceChangeSource *deviceChanges();
    // The udev monitor's socket, or -1 for sources that must be polled.
    int deviceChangeFd() const;

    sim::Simulation *simulation() { return simulation_.get(); }
    // The simulated devices' paths, in the order of the options.
    const std::vector<std::string> &simulatedPaths() const { return simulatedPaths_; }
    // The clock the simulated bridges run on.
    const Clock &simulationClock() const { return *simulationClock_; }
    bool throughHelper() const { return helper_ != nullptr; }
    // Why the helper could not carry the commands, with what to do next;
    // empty when there is no helper or it had no problem.
    std::string helperProblemText() const;

  private:
    std::optional<StartFailure> startSimulation(const RuntimeOptions &options);
    std::optional<StartFailure> startRealDevices(const RuntimeOptions &options);
    void configureLocks(const RuntimeOptions &options);

  public:
    // Reads the simulated devices' state folder again (after waiting for
    // another program that changed it); true when there is none.
    bool reloadSimState(std::string &error);

  private:
    VirtualClock virtualClock_;
    std::unique_ptr<PacedClock> pacedClock_;
    DeviceClock deviceClock_;
    Clock *simulationClock_ = &virtualClock_;
    std::unique_ptr<sim::Simulation> simulation_;
    std::unique_ptr<sim::SimDiskEnumerator> simDisks_;
    std::vector<std::string> simulatedPaths_;
    std::string simState_;
    std::unique_ptr<SgBackend> sg_;
    std::unique_ptr<UdevDiskEnumerator> udevDisks_;
    std::unique_ptr<UdevUsbMonitor> monitor_;
    bool monitorTried_ = false;
    std::unique_ptr<HelperBackend> helper_;
    std::unique_ptr<OneDiskEnumerator> oneDisk_; // --device: the list cut to that disk
    ScsiBackend *backend_ = nullptr;
    DiskEnumerator *enumerator_ = nullptr;
    struct CloseTraceFile {
        void operator()(std::FILE *file) const
        {
            if (file != stderr)
                std::fclose(file);
        }
    };
    std::unique_ptr<std::FILE, CloseTraceFile> traceFile_;
    std::unique_ptr<std::FILE, CloseTraceFile> traceDataFile_;
    InstalledServices services_; // last: undone before anything it points to goes
};

// Why `path` cannot be the disk --device names, or empty when it can: one of
// the simulated devices when there are some, else an sg node.
std::string DeviceProblem(const std::string &path, sim::Simulation *simulation);

} // namespace brigant::runtime
