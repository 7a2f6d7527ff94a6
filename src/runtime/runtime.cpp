#include "runtime/runtime.h"

#include "device/bridge_lock.h"
#include "device/linux/helper_backend.h"
#include "device/linux/sg_backend.h"
#include "device/linux/udev_discovery.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <unistd.h>

namespace brigant::runtime
{

namespace
{

StartFailure Usage(std::string text) { return {StartFailure::Kind::Usage, std::move(text)}; }

} // namespace

std::string DeviceProblem(const std::string &path, sim::Simulation *simulation)
{
    if (!simulation)
        return ScsiGenericNodeProblem(path);
    const auto present = simulation->backend().paths();
    if (std::find(present.begin(), present.end(), path) != present.end())
        return {};
    std::string text = "cannot open " + path + ": no such simulated device (present:";
    for (const std::string &p : present)
        text += " " + p;
    return text + ")";
}

Runtime::Runtime() = default;

Runtime::~Runtime() = default;

std::optional<StartFailure> Runtime::start(const RuntimeOptions &options)
{
    if (!options.simState.empty()) {
        if (options.simulate.empty())
            return Usage("--sim-state needs --simulate");
        std::error_code ec;
        namespace fs = std::filesystem;
        if (fs::exists(options.simState, ec) && !fs::is_directory(options.simState, ec))
            return Usage("--sim-state " + options.simState + ": not a directory");
        // A new state folder is made, but only in a folder that exists: a
        // mistyped path is not turned into a tree of folders.
        fs::path folder = fs::path(options.simState).lexically_normal();
        if (!folder.has_filename()) // "DIR/"
            folder = folder.parent_path();
        const fs::path parent = folder.parent_path();
        if (!fs::exists(options.simState, ec) && !parent.empty() && !fs::is_directory(parent, ec))
            return Usage("--sim-state " + options.simState + ": the folder " + parent.string() +
                         " does not exist");
    }
    if (options.trace) {
        traceFile_.reset(options.traceFile.empty() ? stderr : std::fopen(options.traceFile.c_str(), "w"));
        if (!traceFile_)
            return Usage("--trace " + options.traceFile + ": cannot write: " + std::strerror(errno));
        services_.commandTrace(traceFile_.get());
    }
    if (!options.traceDataFile.empty()) {
        traceDataFile_.reset(std::fopen(options.traceDataFile.c_str(), "w"));
        if (!traceDataFile_)
            return Usage("--trace-data " + options.traceDataFile + ": cannot write: " + std::strerror(errno));
        services_.commandDataTrace(traceDataFile_.get());
    }
    if (options.debug)
        services_.debugSink(stderr);
    if (options.programClock)
        services_.clock(options.programClock);

    if (auto failure = options.simulate.empty() ? startRealDevices(options) : startSimulation(options))
        return failure;

    if (!options.device.empty()) {
        if (std::string problem = DeviceProblem(options.device, simulation_.get()); !problem.empty())
            return StartFailure{StartFailure::Kind::NoDevice, std::move(problem)};
        // Whatever finds, identifies and writes bridges then sees that disk alone.
        oneDisk_ = std::make_unique<OneDiskEnumerator>(*enumerator_, options.device);
        enumerator_ = oneDisk_.get();
    }
    services_.backend(backend_).diskEnumerator(enumerator_);
    configureLocks(options);
    return std::nullopt;
}

void Runtime::configureLocks(const RuntimeOptions &options)
{
    LockHolder me;
    me.pid = static_cast<long>(::getpid());
    me.program = options.program;
    me.verb = options.verb;
    me.since = std::time(nullptr);
    // Simulated bridges are shared only through a state folder: their locks
    // are the folder's, one per port. Without one they are this run's alone.
    std::string scope;
    if (simulation_) {
        std::error_code ec;
        if (options.simState.empty()) {
            ProcessBridgeLocks().configure({}, me);
            return;
        }
        scope =
            "sim-" +
            std::filesystem::weakly_canonical(std::filesystem::absolute(options.simState, ec), ec).string() +
            "-";
    }
    ProcessBridgeLocks().configure(DefaultLockDirectory(), me, scope);
}

std::optional<StartFailure> Runtime::startSimulation(const RuntimeOptions &options)
{
    // BRIGANT_SIM_PACE=N: the simulated waits also pass in real time, N times
    // faster (benchmarks of wall-clock time).
    const char *pace = std::getenv("BRIGANT_SIM_PACE");
    if (options.simulatedTime == SimulatedTime::RealPlusWaits) {
        simulationClock_ = &deviceClock_;
    } else if (pace && *pace && !options.programClock) {
        char *end = nullptr;
        const unsigned long n = std::strtoul(pace, &end, 10);
        if (*end != '\0' || n == 0 || n > 1000000)
            return Usage(std::string("BRIGANT_SIM_PACE=") + pace + ": give a whole number from 1 to 1000000");
        pacedClock_ = std::make_unique<PacedClock>(static_cast<std::uint32_t>(n));
        simulationClock_ = pacedClock_.get();
        services_.clock(pacedClock_.get());
    } else if (!options.programClock) {
        services_.clock(&virtualClock_); // waits cost nothing, and are still counted
    }
    simulation_ = std::make_unique<sim::Simulation>(*simulationClock_);
    simulation_->setFirstIndex(options.simFirstIndex);
    for (const auto &spec : options.simulate) {
        std::string error;
        std::string path = simulation_->add(spec, error);
        if (path.empty())
            return Usage("--simulate " + spec + ": " + error);
        simulatedPaths_.push_back(std::move(path));
    }
    if (!options.simState.empty()) {
        std::string error;
        if (!simulation_->loadState(options.simState, error))
            return Usage("--sim-state: " + error);
    }
    simState_ = options.simState;
    backend_ = &simulation_->backend();
    if (options.helper == HelperUse::Always) {
        // The installed helper only speaks to /dev: simulated bridges answer
        // a helper that relays to them (the test helper).
        if (options.helperCommand.empty())
            return Usage("--helper with --simulate needs the test helper: --helper=PROGRAM");
        helper_ = std::make_unique<HelperBackend>(options.helperCommand, &simulation_->backend());
        backend_ = helper_.get();
    }
    simDisks_ = std::make_unique<sim::SimDiskEnumerator>(*simulation_);
    enumerator_ = simDisks_.get();
    return std::nullopt;
}

std::optional<StartFailure> Runtime::startRealDevices(const RuntimeOptions &options)
{
    sg_ = std::make_unique<SgBackend>();
    backend_ = sg_.get();
    // Raw SCSI commands need root: without it the helper, authorised through
    // polkit, sends them; nothing above the seam knows.
    if (options.helper == HelperUse::Always ||
        (options.helper == HelperUse::UnlessRoot && ::geteuid() != 0)) {
        helper_ = std::make_unique<HelperBackend>(options.helperCommand.empty() ? DefaultHelperCommand()
                                                                                : options.helperCommand);
        backend_ = helper_.get();
    }
    udevDisks_ = std::make_unique<UdevDiskEnumerator>();
    enumerator_ = udevDisks_.get();
    return std::nullopt;
}

bool Runtime::reloadSimState(std::string &error)
{
    if (!simulation_ || simState_.empty())
        return true;
    if (!simulation_->loadState(simState_, error)) {
        error = "--sim-state: " + error;
        return false;
    }
    return true;
}

bool Runtime::saveSimState(std::string &error)
{
    if (!simulation_ || simState_.empty())
        return true;
    // A device that lost its power received nothing since: what it holds
    // now is its state of that moment.
    if (!simulation_->saveState(simState_, error)) {
        error = "--sim-state: " + error;
        return false;
    }
    return true;
}

DeviceChangeSource *Runtime::deviceChanges()
{
    if (simDisks_)
        return simDisks_.get();
    if (!monitorTried_ && udevDisks_) {
        monitorTried_ = true;
        auto monitor = std::make_unique<UdevUsbMonitor>();
        if (monitor->ok())
            monitor_ = std::move(monitor);
    }
    return monitor_.get();
}

int Runtime::deviceChangeFd() const { return monitor_ ? monitor_->fd() : -1; }

std::string Runtime::helperProblemText() const { return helper_ ? DescribeHelperProblem(*helper_) : ""; }

} // namespace brigant::runtime
