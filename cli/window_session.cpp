#include "cli/window_session.h"

#include "app/device_change.h"
#include "app/fwupdate_handlers.h"
#include "common/clock.h"
#include "device/linux/udev_discovery.h"

#include <iostream>

namespace brigant::cli
{

WindowSession::WindowSession(CliContext &ctx, std::ostream &out) : ui_(ProgramClock(), &out, &std::cerr)
{
    services_.ui(&ui_);
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    // The simulated bus reports its own arrivals and removals; real USB
    // devices are followed through udev.
    DiskEnumerator *bus = enumerator;
    if (auto *one = dynamic_cast<OneDiskEnumerator *>(enumerator))
        bus = &one->all();
    DeviceChangeSource *source = ctx.simulation ? dynamic_cast<DeviceChangeSource *>(bus) : nullptr;
    if (!ctx.simulation) {
        auto monitor = std::make_unique<UdevUsbMonitor>();
        if (monitor->ok()) {
            source = monitor.get();
            monitor_ = std::move(monitor);
        }
    }
    if (source) {
        ui_.addEventSource([this, source] {
            if (form_)
                DeliverDeviceChanges(*form_, *source);
        });
    }
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
