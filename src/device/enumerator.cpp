#include "device/enumerator.h"

#include <algorithm>

namespace brigant
{

namespace
{
DiskEnumerator *currentEnumerator = nullptr;
} // namespace

void SetDiskEnumerator(DiskEnumerator *enumerator) { currentEnumerator = enumerator; }
DiskEnumerator *CurrentDiskEnumerator() { return currentEnumerator; }

bool OneDiskEnumerator::listDisks(std::vector<DiskInterface> &disks)
{
    if (!all_.listDisks(disks))
        return false;
    // The disk is known by its port from the first time it is seen: a reset
    // that brings it back under another node (sg numbers are not kept) is
    // followed there, and another disk is never taken for it.
    const auto at = std::find_if(disks.begin(), disks.end(),
                                 [this](const DiskInterface &disk) { return disk.path == path_; });
    if (at != disks.end() && location_.empty())
        location_ = at->location;
    if (at == disks.end() && !location_.empty())
        for (const DiskInterface &disk : disks)
            if (disk.location == location_) {
                path_ = disk.path;
                break;
            }
    std::erase_if(disks, [this](const DiskInterface &disk) { return disk.path != path_; });
    return true;
}

} // namespace brigant
