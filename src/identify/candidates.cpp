#include "identify/candidates.h"

#include "bridge/chip_commands.h"
#include "device/bridge_lock.h"
#include "device/transport.h"

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

std::vector<UnaskedDisk> &Unasked()
{
    static std::vector<UnaskedDisk> unasked;
    return unasked;
}

} // namespace

const std::vector<UnaskedDisk> &UnaskedDisks() { return Unasked(); }

void NoteUnaskedDisk(const std::string &path, const std::string &error)
{
    for (const UnaskedDisk &disk : Unasked())
        if (disk.path == path)
            return;
    Unasked().push_back({path, error});
}

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

int EnumerateDiskInterfaces(std::vector<DiskInterface> &list, int include1394,
                            const std::function<bool(const DiskInterface &)> &wanted)
{
    list.clear();
    Unasked().clear();
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> present;
    if (!enumerator || !enumerator->listDisks(present))
        return 0;
    for (DiskInterface &disk : present) {
        if (!QualifiesByBus(disk.bus, include1394) || (wanted && !wanted(disk)))
            continue;
        // A bridge another program of ours works on is listed as busy and
        // asked nothing: a question in the middle of its update could spoil it.
        if (const std::optional<BusyBridge> busy = BridgeBusy(disk.path)) {
            disk.busy = BusyText(*busy);
            list.push_back(std::move(disk));
            continue;
        }
        std::uint8_t reply[2] = {};
        std::uint8_t inquiry[kInquiryLength] = {};
        const bool answered = ReadInquiry(disk.path, inquiry, kInquiryLength) != 0;
        std::string inquiryFailure;
        if (!answered)
            inquiryFailure = LastTransportFailureCause();
        const bool marked =
            answered && (std::memcmp(inquiry + 36, "vQ", 2) == 0 || std::memcmp(inquiry + 36, "vS", 2) == 0);
        if (marked || ProbeVendorCommand(disk.path, reply))
            list.push_back(std::move(disk));
        else if (!answered)
            NoteUnaskedDisk(disk.path, "INQUIRY failed (" + inquiryFailure + ")");
        else if (LastTransportFailure().openFailed || LastTransportFailure().sysErrno != 0)
            // A disk that refuses the probe is no bridge of ours; one whose
            // probe never came back may be.
            NoteUnaskedDisk(disk.path, "vendor probe failed (" + LastTransportFailureCause() + ")");
    }
    return static_cast<int>(list.size());
}

} // namespace brigant
