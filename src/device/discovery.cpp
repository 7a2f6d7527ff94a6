#include "device/discovery.h"

namespace brigant
{

namespace
{

std::string Joined(const std::vector<std::string> &points)
{
    std::string text;
    for (const std::string &point : points)
        text += (text.empty() ? "" : " ") + point;
    return text;
}

} // namespace

std::vector<std::string> MountPointsOf(const DiskIdentity &disk, const std::vector<MountedVolume> &volumes,
                                       RootMount root)
{
    std::vector<std::string> points;
    auto append = [&](std::uint64_t device) {
        if (device == 0)
            return;
        for (const MountedVolume &v : volumes)
            if (v.device == device && (root == RootMount::Counted || v.mountPoint != "/"))
                points.push_back(v.mountPoint);
    };
    append(disk.disk);
    for (std::uint64_t partition : disk.partitions)
        append(partition);
    return points;
}

std::optional<std::vector<std::string>> MountPointsOf(const std::string &path, RootMount root)
{
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> disks;
    std::vector<MountedVolume> volumes;
    if (!enumerator || !enumerator->listDisks(disks) || !enumerator->listMountedVolumes(volumes))
        return std::nullopt;
    for (const DiskInterface &disk : disks)
        if (disk.path == path)
            return MountPointsOf(disk.identity, volumes, root);
    return std::vector<std::string>{};
}

void FindDriveLetters(const DiskIdentity &disk, std::string &letters)
{
    letters.clear();
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<MountedVolume> volumes;
    // An unreadable mount table lists nothing, like volumes that cannot be queried.
    if (!enumerator || !enumerator->listMountedVolumes(volumes))
        return;
    letters = Joined(MountPointsOf(disk, volumes, RootMount::LeftOut));
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
