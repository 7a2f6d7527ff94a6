#pragma once
// One listed disk behind a supported bridge, and how it is attached.
#include <cstdint>
#include <string>

namespace brigant
{

enum class BusKind : std::uint8_t { Usb, Uasp, Ieee1394 };

struct DeviceEntry {
    std::string path; // the disk's SCSI generic node, passed to every command
    BusKind bus = BusKind::Usb;
    std::string driveLetters; // mount points of its partitions, space-separated
    std::int32_t bankCheckDone = 0;
    // The firmware bank a check that was not allowed to repair found damaged
    // while the other one is valid; -1 when none was found (or none checked).
    std::int32_t damagedBank = -1;
    // Another program of ours works on the bridge ("the bridge at ... is
    // busy: ..."): it is listed, and sent nothing.
    std::string busy;
    // Where the bridge sits on its bus (its USB port path), which a reset
    // does not change; empty when the platform does not say.
    std::string location;
    // The bridge's own serial number (its USB iSerial); empty: none known.
    std::string serial;
};

constexpr int kDeviceTableSize = 128;

// "usb", "uasp" or "1394"; false (bus untouched) for anything else.
bool ParseBusKind(const std::string &text, BusKind &bus);

// "USB DISK", "UASP DISK", "1394 DISK".
const char *BusDiskText(BusKind bus);
// "<<USB>> ", "<<UASP>> ", "<<1394>> " (each ends with one blank).
const char *BusListTag(BusKind bus);

} // namespace brigant
