#include "cli/cli_context.h"

#include "device/enumerator.h"
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
    std::vector<std::string> points;
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> disks;
    std::vector<MountedVolume> volumes;
    if (!enumerator || !enumerator->listDisks(disks) || !enumerator->listMountedVolumes(volumes))
        return points;
    for (const DiskInterface &disk : disks) {
        if (disk.path != path)
            continue;
        auto append = [&](std::uint64_t device) {
            for (const MountedVolume &v : volumes)
                if (device != 0 && v.device == device && v.mountPoint != "/")
                    points.push_back(v.mountPoint);
        };
        append(disk.identity.disk);
        for (std::uint64_t partition : disk.identity.partitions)
            append(partition);
        break;
    }
    return points;
}

} // namespace brigant::cli
