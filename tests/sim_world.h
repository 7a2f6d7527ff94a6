#pragma once
// A simulated world on virtual time, as most tests of the window need it: a
// simulation behind the transport on a virtual clock, UI services that record
// message boxes, a window with every handler wired, and the program-wide
// values at their start values. Everything installed is undone when the world
// goes; a test that needs discovery installs its disk enumerator on `services`.
#include "app/installed_services.h"
#include "app/window_run.h"
#include "common/clock.h"
#include "sim/simulation.h"

#include "recording_ui.h"
#include "wired_window.h"

namespace brigant::test
{

class SimWorld
{
  public:
    SimWorld() { services.clock(&clock).backend(&simulation.backend()); }

    VirtualClock clock;
    sim::Simulation simulation{clock};
    RecordingUi ui;
    InstalledServices services;
    WiredWindow window;
    // The window as the host of the procedures a test calls directly.
    WindowRunHost host{window};
};

} // namespace brigant::test
