#include "cli/cli_context.h"

#include "device/discovery.h"
#include "device/transport.h"

#include <cerrno>
#include <iostream>

namespace brigant::cli
{

int IndexOutOfRange(int index, int count)
{
    std::cerr << "error: --index " << index << " is out of range: ";
    if (count <= 0)
        std::cerr << "no device is listed\n";
    else if (count == 1)
        std::cerr << "one device is listed, its index is 0\n";
    else
        std::cerr << count << " devices are listed, valid indexes are 0 to " << count - 1 << "\n";
    return kExitUsage;
}

bool PermissionProblem()
{
    const TransportFailure &f = LastTransportFailure();
    return (f.openFailed && f.openError == OpenError::PermissionDenied) || f.sysErrno == EPERM ||
           f.sysErrno == EACCES;
}

std::vector<std::string> MountPointsOf(const std::string &path)
{
    return brigant::MountPointsOf(path, RootMount::LeftOut).value_or(std::vector<std::string>{});
}

} // namespace brigant::cli
