#include "identify/candidates.h"

#include "bridge/chip_commands.h"
#include "device/bridge_lock.h"

#include <cstring>

namespace brigant
{

namespace
{

bool QualifiesByBus(BusKind bus, int include1394)
{
    switch (bus) {
    case BusKind::Usb:
    case BusKind::Uasp:
        return true;
    case BusKind::Ieee1394:
        return include1394 != 0;
    }
    return false;
}

} // namespace

std::string InquiryName(const std::uint8_t *inquiry)
{
    const char *name = reinterpret_cast<const char *>(inquiry + 8);
    std::size_t length = 0;
    while (length < kInquiryNameLength && name[length] != '\0')
        ++length;
    return std::string(name, length);
}

int HasVendorInquiryMarker(const std::string &path)
{
    std::uint8_t inquiry[kInquiryLength] = {};
    if (!ReadInquiry(path, inquiry, kInquiryLength))
        return 0;
    return std::memcmp(inquiry + 36, "vQ", 2) == 0 || std::memcmp(inquiry + 36, "vS", 2) == 0 ? 1 : 0;
}

int EnumerateDiskInterfaces(std::vector<DiskInterface> &list, int include1394)
{
    list.clear();
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> present;
    if (!enumerator || !enumerator->listDisks(present))
        return 0;
    for (DiskInterface &disk : present) {
        if (!QualifiesByBus(disk.bus, include1394))
            continue;
        // A bridge another program of ours works on is listed as busy and
        // asked nothing: a question in the middle of its update could spoil it.
        if (const std::optional<BusyBridge> busy = BridgeBusy(disk.path)) {
            disk.busy = BusyText(*busy);
            list.push_back(std::move(disk));
            continue;
        }
        std::uint8_t reply[2] = {};
        if (HasVendorInquiryMarker(disk.path) || ProbeVendorCommand(disk.path, reply))
            list.push_back(std::move(disk));
    }
    return static_cast<int>(list.size());
}

} // namespace brigant
