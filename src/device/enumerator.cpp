#include "device/enumerator.h"

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
    std::erase_if(disks, [this](const DiskInterface &disk) { return disk.path != path_; });
    return true;
}

} // namespace brigant
