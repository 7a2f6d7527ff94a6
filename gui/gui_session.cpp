#include "gui/gui_session.h"

#include "common/clock.h"
#include "common/debug_log.h"
#include "device/linux/udev_discovery.h"
#include "device/transport.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

namespace brigant::gui
{

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
        watch_.setBackend(sg_.get());
        watch_.setEnumerator(udevDisks_.get());
        if (monitor_->ok())
            changes_ = monitor_.get();
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
