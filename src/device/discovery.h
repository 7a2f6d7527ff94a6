#pragma once
// The volumes of a listed disk: the mount points of its partitions as the
// installed disk enumerator reports them.
#include "device/enumerator.h"

#include <string>

namespace brigant
{

// Fills `letters` with the mount points of the disk's partitions (the disk's
// own filesystem first, then partition by partition), separated by one blank;
// "/" is never listed. Leaves `letters` untouched when the disk is not present.
void FindDriveLetters(const std::string &path, std::string &letters);
void FindDriveLetters(const DiskIdentity &disk, std::string &letters);

} // namespace brigant
