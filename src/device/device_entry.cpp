#include "device/device_entry.h"

namespace brigant
{

const char *BusDiskText(BusKind bus)
{
    switch (bus) {
    case BusKind::Ieee1394:
        return "1394 DISK";
    case BusKind::Uasp:
        return "UASP DISK";
    case BusKind::Usb:
        break;
    }
    return "USB DISK";
}

const char *BusListTag(BusKind bus)
{
    switch (bus) {
    case BusKind::Ieee1394:
        return "<<1394>> ";
    case BusKind::Uasp:
        return "<<UASP>> ";
    case BusKind::Usb:
        break;
    }
    return "<<USB>> ";
}

} // namespace brigant
