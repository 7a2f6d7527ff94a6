#include "gui/gui_session.h"

#include "common/clock.h"
#include "common/debug_log.h"
#include "device/linux/udev_discovery.h"
#include "device/transport.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace brigant::gui
{

namespace
{

constexpr unsigned kScsiGenericMajor = 21;

// Why `path` cannot be the disk --device names, or empty when it can.
std::string DeviceProblem(const std::string &path, sim::Simulation *simulation)
{
    if (simulation) {
        const auto paths = simulation->backend().paths();
        if (std::find(paths.begin(), paths.end(), path) != paths.end())
            return {};
        std::string known;
        for (const auto &p : paths)
            known += (known.empty() ? "" : ", ") + p;
        return "no simulated device " + path + " (the simulated devices are " + known + ")";
    }
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0)
        return path + ": " + std::strerror(errno);
    if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != kScsiGenericMajor)
        return path + ": not a SCSI generic device";
    return {};
}

} // namespace

GuiSession::GuiSession() = default;

GuiSession::~GuiSession() = default;

bool GuiSession::start(const GuiOptions &options, std::string &error)
{
    if (options.trace) {
        traceFile_.reset(options.traceFile.empty() ? stderr : std::fopen(options.traceFile.c_str(), "w"));
        if (!traceFile_) {
            error = "--trace: cannot write " + options.traceFile;
            return false;
        }
    }
    if (options.simulate.empty() && !options.simState.empty()) {
        error = "--sim-state needs --simulate";
        return false;
    }

    if (!options.simulate.empty()) {
        simulation_ = std::make_unique<sim::Simulation>(deviceClock_);
        for (const auto &spec : options.simulate) {
            std::string why;
            if (simulation_->add(spec, why).empty()) {
                error = "--simulate " + spec + ": " + why;
                return false;
            }
        }
        if (!options.simState.empty() && !simulation_->loadState(options.simState, error)) {
            error = "--sim-state: " + error;
            return false;
        }
        simState_ = options.simState;
        simDisks_ = std::make_unique<sim::SimDiskEnumerator>(*simulation_);
        watch_.setBackend(&simulation_->backend());
        watch_.setEnumerator(simDisks_.get());
        changes_ = simDisks_.get();
    } else {
        sg_ = std::make_unique<SgBackend>();
        udevDisks_ = std::make_unique<UdevDiskEnumerator>();
        monitor_ = std::make_unique<UdevUsbMonitor>();
        if (::geteuid() != 0) {
            // Raw SCSI commands need root: the helper, authorised through
            // polkit, sends them; nothing above the seam knows.
            helper_ = std::make_unique<HelperBackend>(DefaultHelperCommand(), *sg_);
            watch_.setBackend(helper_.get());
        } else {
            watch_.setBackend(sg_.get());
        }
        watch_.setEnumerator(udevDisks_.get());
        if (monitor_->ok())
            changes_ = monitor_.get();
    }

    if (!options.device.empty()) {
        if (const std::string problem = DeviceProblem(options.device, simulation_.get()); !problem.empty()) {
            error = "--device: " + problem;
            return false;
        }
        DiskEnumerator *all = simDisks_ ? static_cast<DiskEnumerator *>(simDisks_.get()) : udevDisks_.get();
        oneDisk_ = std::make_unique<OneDiskEnumerator>(*all, options.device);
        watch_.setEnumerator(oneDisk_.get());
    }

    services_.clock(&clock_).backend(&watch_).diskEnumerator(&watch_).commandTrace(traceFile_.get());
    if (options.debug)
        services_.debugSink(stderr);
    return true;
}

bool GuiSession::saveSimState(std::string &error)
{
    if (!simulation_ || simState_.empty())
        return true;
    if (!simulation_->saveState(simState_, error)) {
        error = "--sim-state: " + error;
        return false;
    }
    return true;
}

int GuiSession::deviceChangeFd() const
{
    return monitor_ && changes_ == monitor_.get() ? monitor_->fd() : -1;
}

} // namespace brigant::gui
