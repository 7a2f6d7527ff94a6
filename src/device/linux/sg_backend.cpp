#include "device/linux/sg_backend.h"

namespace brigant {

ScsiOutcome SgBackend::execute(const std::string &, const ScsiCommand &)
{
    ScsiOutcome o;
    o.openError = OpenError::Other;
    return o;
}

bool SgBackend::storageDeviceNumber(const std::string &, StorageDeviceNumber &) { return false; }

} // namespace brigant
