#pragma once
// A simulated world on virtual time, as most tests of the window need it: a
// simulation behind the transport on a virtual clock, UI services that record
// message boxes, a window with every handler wired, and the program-wide
// values at their start values. The simulated bus becomes the platform's list
// of disks on request. Everything installed is undone when the world goes.
#include "app/installed_services.h"
#include "common/clock.h"
#include "flash/program_values.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include "recording_ui.h"
#include "wired_window.h"

#include <memory>

namespace brigant::test
{

class SimWorld
{
  public:
    SimWorld()
    {
        services.clock(&clock).backend(&simulation.backend());
        ResetProgramValues();
    }

    // Discovery finds the simulated bridges from now on.
    void listSimulatedDisks()
    {
        disks = std::make_unique<sim::SimDiskEnumerator>(simulation);
        services.diskEnumerator(disks.get());
    }

    VirtualClock clock;
    sim::Simulation simulation{clock};
    RecordingUi ui;
    std::unique_ptr<sim::SimDiskEnumerator> disks;
    InstalledServices services;
    WiredWindow window;
};

} // namespace brigant::test
