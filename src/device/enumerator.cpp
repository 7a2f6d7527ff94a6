#include "device/enumerator.h"

namespace brigant
{

namespace
{
DiskEnumerator *currentEnumerator = nullptr;
} // namespace

void SetDiskEnumerator(DiskEnumerator *enumerator) { currentEnumerator = enumerator; }
DiskEnumerator *CurrentDiskEnumerator() { return currentEnumerator; }

} // namespace brigant
