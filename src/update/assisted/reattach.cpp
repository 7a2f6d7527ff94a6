// Waiting for a bridge to come back after it was told to reset.
#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "forms/ui_services.h"
#include "identify/candidates.h"
#include "model/fwupdate.h"
#include "update/assisted/buffer_transfer.h"

#include <vector>

namespace brigant
{

int ResetAndWaitReattach(TBrigantFwTool &form, const std::string &path)
{
    ResetChip(path);
    SleepMs(2000);
    std::vector<DiskInterface> found;
    for (int attempt = 0; attempt < 60; ++attempt) {
        EnumerateDiskInterfaces(found, 1);
        Ui().processMessages();
        SleepMs(500);
        if (found.size() == 1)
            break;
    }
    if (found.empty())
        return 0;
    for (std::size_t i = 0; i < found.size() && i < form.devices.size(); ++i) {
        form.devices[i].path = found[i].path;
        form.devices[i].bus = found[i].bus;
    }
    return 1;
}

} // namespace brigant
