#pragma once
// The volumes of a listed disk: the mount points of its partitions as the
// installed disk enumerator reports them.
#include "device/enumerator.h"

#include <optional>
#include <string>
#include <vector>

namespace brigant
{

// Whether a filesystem mounted at "/" counts. Lists of disks never show it;
// the check before a write that resets the bridge must still see it.
enum class RootMount : std::uint8_t { LeftOut, Counted };

// The mount points of the filesystems on `disk`: the disk's own filesystem
// first, then partition by partition, each in the order of `volumes`.
std::vector<std::string> MountPointsOf(const DiskIdentity &disk, const std::vector<MountedVolume> &volumes,
                                       RootMount root);
// The same for the listed disk at `path` (none when it is not listed), from
// the installed disk enumerator; nothing when the disks or the mount table
// cannot be read.
std::optional<std::vector<std::string>> MountPointsOf(const std::string &path, RootMount root);

// Fills `letters` with the disk's mount points separated by one blank; "/" is
// never listed. Leaves `letters` untouched when the disk is not present.
void FindDriveLetters(const std::string &path, std::string &letters);
void FindDriveLetters(const DiskIdentity &disk, std::string &letters);

} // namespace brigant
