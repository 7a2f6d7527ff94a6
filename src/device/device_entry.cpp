#include "device/device_entry.h"

namespace brigant
{

bool ParseBusKind(const std::string &text, BusKind &bus)
{
    if (text == "usb")
        bus = BusKind::Usb;
    else if (text == "uasp")
        bus = BusKind::Uasp;
    else if (text == "1394")
        bus = BusKind::Ieee1394;
    else
        return false;
    return true;
}

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
