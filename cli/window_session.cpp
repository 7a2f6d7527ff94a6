#include "cli/window_session.h"

#include "app/device_change.h"
#include "app/fwupdate_handlers.h"
#include "common/clock.h"
#include "runtime/runtime.h"

#include <iostream>

namespace brigant::cli
{

WindowSession::WindowSession(CliContext &ctx, std::ostream *out) : ui_(ProgramClock(), out, &std::cerr)
{
    services_.ui(&ui_);
    // The simulated bus reports its own arrivals and removals; real USB
    // devices are followed through udev.
    DeviceChangeSource *source = ctx.changes   ? ctx.changes
                                 : ctx.runtime ? ctx.runtime->deviceChanges()
                                               : nullptr;
    if (source) {
        ui_.addEventSource([this, source] {
            if (form_)
                DeliverDeviceChanges(*form_, *source);
        });
    }
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> probe;
    enumerationFailed_ = !enumerator || !enumerator->listDisks(probe);
    form_ = std::make_unique<TBrigantFwTool>();
    WireMainWindow(*form_);
}

void WindowSession::open()
{
    ConstructMainWindow(*form_);
    FormCreate(*form_);
}

} // namespace brigant::cli
