#include "device/discovery.h"

namespace brigant
{

void FindDriveLetters(const DiskIdentity &disk, std::string &letters)
{
    letters.clear();
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<MountedVolume> volumes;
    // An unreadable mount table lists nothing, like volumes that cannot be queried.
    if (!enumerator || !enumerator->listMountedVolumes(volumes))
        return;
    auto append = [&](std::uint64_t device) {
        if (device == 0)
            return;
        for (const MountedVolume &v : volumes) {
            if (v.device != device || v.mountPoint == "/")
                continue;
            if (!letters.empty())
                letters += ' ';
            letters += v.mountPoint;
        }
    };
    append(disk.disk);
    for (std::uint64_t partition : disk.partitions)
        append(partition);
}

void FindDriveLetters(const std::string &path, std::string &letters)
{
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> present;
    if (!enumerator || !enumerator->listDisks(present))
        return;
    for (const DiskInterface &disk : present) {
        if (disk.path == path) {
            FindDriveLetters(disk.identity, letters);
            return;
        }
    }
}

} // namespace brigant
