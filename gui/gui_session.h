#pragma once
// What one run of the window sets up below the window: the run's devices,
// back end, enumerator, trace and clock (see runtime/runtime.h), with the
// window's access watch between them and the program. Undoes it all when
// destroyed.
#include "app/installed_services.h"
#include "gui/access_watch.h"
#include "gui/event_loop_clock.h"
#include "runtime/runtime.h"

#include <string>
#include <vector>

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
    // With screenshot: drive the window to this state first, checking its
    // texts (see gui/smoke.h); smokeFile is the firmware file "confirm" loads.
    std::string smoke;
    std::string smokeFile;
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
    bool saveSimState(std::string &error) { return runtime_.saveSimState(error); }

    // Where device changes come from: the simulated bus or the udev monitor
    // (nullptr when the monitor could not be opened).
    DeviceChangeSource *deviceChanges() { return runtime_.deviceChanges(); }
    // The monitor's socket, or -1 for sources that must be polled.
    int deviceChangeFd() const { return runtime_.deviceChangeFd(); }
    AccessWatch &accessWatch() { return watch_; }
    runtime::Runtime &runtime() { return runtime_; }
    EventLoopClock &clock() { return clock_; }

  private:
    EventLoopClock clock_;
    runtime::Runtime runtime_;
    AccessWatch watch_{nullptr, nullptr};
    InstalledServices services_; // over the runtime's: undone first
};

} // namespace brigant::gui
