#include "app/installed_services.h"

#include "common/debug_log.h"
#include "device/transport.h"

namespace brigant
{

InstalledServices::~InstalledServices()
{
    if (debug_.held)
        SetDebugSink(debug_.value);
    if (ui_.held)
        SetUiServices(ui_.value);
    if (enumerator_.held)
        SetDiskEnumerator(enumerator_.value);
    if (trace_.held)
        SetCommandTrace(trace_.value);
    if (dataTrace_.held)
        SetCommandDataTrace(dataTrace_.value);
    if (backend_.held)
        SetTransportBackend(backend_.value);
    if (clock_.held)
        SetProgramClock(clock_.value);
}

InstalledServices &InstalledServices::clock(Clock *clock)
{
    clock_.keep(&ProgramClock());
    SetProgramClock(clock);
    return *this;
}

InstalledServices &InstalledServices::backend(ScsiBackend *backend)
{
    backend_.keep(TransportBackend());
    SetTransportBackend(backend);
    return *this;
}

InstalledServices &InstalledServices::commandTrace(std::FILE *sink)
{
    trace_.keep(CommandTraceSink());
    SetCommandTrace(sink);
    return *this;
}

InstalledServices &InstalledServices::commandDataTrace(std::FILE *sink)
{
    dataTrace_.keep(CommandDataTraceSink());
    SetCommandDataTrace(sink);
    return *this;
}

InstalledServices &InstalledServices::diskEnumerator(DiskEnumerator *enumerator)
{
    enumerator_.keep(CurrentDiskEnumerator());
    SetDiskEnumerator(enumerator);
    return *this;
}

InstalledServices &InstalledServices::ui(UiServices *services)
{
    ui_.keep(&Ui());
    SetUiServices(services);
    return *this;
}

InstalledServices &InstalledServices::debugSink(std::FILE *sink)
{
    debug_.keep(DebugSink());
    SetDebugSink(sink);
    return *this;
}

} // namespace brigant
