#include "cli/user_text.h"

#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "update/assisted/embedded_images.h"

#include <cstdint>

namespace brigant::cli
{

const char *BusName(BusKind bus)
{
    switch (bus) {
    case BusKind::Uasp:
        return "UASP";
    case BusKind::Ieee1394:
        return "1394";
    case BusKind::Usb:
        break;
    }
    return "USB";
}

std::string ProductText(const std::string &item)
{
    std::string text = item;
    if (text.rfind("<<", 0) == 0) {
        const std::size_t end = text.find(">>");
        if (end != std::string::npos)
            text.erase(0, end + 2);
    }
    std::string out;
    for (char c : text) {
        if (c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string EmbeddedImageVersion()
{
    std::uint8_t header[32] = {};
    if (LoadUpdateImage(header, 0, sizeof header) == 0)
        return "";
    const std::string caption = UpdateButtonCaption(header); // "Update firmware to version 01.01.01.00"
    return caption.substr(caption.rfind(' ') + 1);
}

OneButtonVerdict DescribeOneButton(const std::string &statusLine, bool offered)
{
    const std::string image = "the built-in image " + EmbeddedImageVersion();
    if (offered)
        return {"offered", "Device 0 runs another version than " + image +
                               ": 'brigant-fw update --embedded' installs it."};
    if (statusLine == "Firmware already updated.")
        return {"current", "Device 0 already runs " + image + "."};
    if (statusLine == "Firmware ID not match!!")
        return {"other identity",
                "Device 0 runs firmware of another identity: " + image + " is not offered."};
    if (statusLine == "Chip not support!!")
        return {"not supported", "The built-in image " + EmbeddedImageVersion() + " is for chip type code " +
                                     std::to_string(kOneButtonChipType) + " bridges; device 0 is not one."};
    if (statusLine == "No device found!!")
        return {"no device", "No disk behind a supported bridge was found."};
    return {"unknown", statusLine};
}

std::string JsonText(const nlohmann::json &document)
{
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace brigant::cli
