#pragma once
// The process-wide services for as long as one holder lives: the program
// clock, the transport back end, the command trace, the disk enumerator, the
// UI services and the debug sink. Each setter installs one service; the
// destructor puts back what was installed before the holder's first setter for
// that service, so holders nest (an inner one may swap a single service).
#include "common/clock.h"
#include "device/enumerator.h"
#include "device/scsi_backend.h"
#include "forms/ui_services.h"

#include <cstdio>

namespace brigant
{

class InstalledServices
{
  public:
    InstalledServices() = default;
    ~InstalledServices();
    InstalledServices(const InstalledServices &) = delete;
    InstalledServices &operator=(const InstalledServices &) = delete;

    // nullptr installs the default each service has without one: the real
    // clock, no back end, no trace, no enumerator, silent UI, silent debug.
    InstalledServices &clock(Clock *clock);
    InstalledServices &backend(ScsiBackend *backend);
    InstalledServices &commandTrace(std::FILE *sink);
    InstalledServices &commandDataTrace(std::FILE *sink);
    InstalledServices &diskEnumerator(DiskEnumerator *enumerator);
    InstalledServices &ui(UiServices *services);
    InstalledServices &debugSink(std::FILE *sink);

  private:
    template <class T> struct Previous {
        bool held = false;
        T *value = nullptr;
        void keep(T *current)
        {
            if (!held)
                value = current;
            held = true;
        }
    };
    Previous<Clock> clock_;
    Previous<ScsiBackend> backend_;
    Previous<std::FILE> trace_;
    Previous<std::FILE> dataTrace_;
    Previous<DiskEnumerator> enumerator_;
    Previous<UiServices> ui_;
    Previous<std::FILE> debug_;
};

} // namespace brigant
