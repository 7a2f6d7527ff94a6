#include "app/one_button.h"

#include "app/device_list.h"
#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "device/discovery.h"
#include "forms/ui_services.h"
#include "model/fwupdate.h"
#include "update/assisted/embedded_images.h"

#include <cstring>

namespace brigant
{

namespace
{
constexpr std::uint8_t kRomDescriptorBoundary = 0xFF;
} // namespace

void ShowOneButtonStatus(TBrigantFwTool &form, forms::Colour colour, const std::string &text)
{
    form.devpnl.setFontColour(colour);
    form.devpnl.setCaption(text);
}

void RefreshStart(TBrigantFwTool &form)
{
    form.devpnl.show();
    form.replugLable.hide();
    form.YesBtn.setEnabled(false);
    if (!form.updateRunning)
        form.ProgressBar2.setPosition(0);
}

void RefreshEnd(TBrigantFwTool &form)
{
    if (form.listedCount <= 0) {
        if (!form.updateRunning)
            ShowOneButtonStatus(form, forms::kRed, "No device found!!");
        return;
    }
    if (form.chip.ChipTypeCode != kOneButtonChipType) {
        ShowOneButtonStatus(form, forms::kRed, "Chip not support!!");
        return;
    }

    std::uint8_t reply[16] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(form.selectedEntry().path, reply, sizeof reply, transferred) || reply[0] != 0xF4 ||
        reply[1] != 0xE7)
        return;
    // Without an update image there is nothing to compare with or to offer.
    std::uint8_t header[32] = {};
    if (LoadUpdateImage(header, 0, sizeof header) == 0)
        return;

    bool mismatch = false;
    bool current = false;
    if (std::memcmp(reply + 12, header + 25, 2) != 0 && !form.updateRunning) {
        ShowOneButtonStatus(form, forms::kRed, "Firmware ID not match!!");
        mismatch = true;
        // A bridge left in its ROM by an interrupted update: the face has no
        // way back, the command line has.
        std::uint8_t descriptor[4] = {};
        if (ReadBufferCmd(form.selectedEntry().path, kReadBufferDescriptor, 0, 0, descriptor, 4,
                          PumpMessages) &&
            descriptor[0] == kRomDescriptorBoundary)
            ShowOneButtonStatus(form, forms::kRed, "The bridge runs from ROM: use brigant-fw recover");
    }
    if (std::memcmp(reply + 12, header + 25, 4) == 0) {
        ShowOneButtonStatus(form, forms::kGreen, "Firmware already updated.");
        current = true;
    }
    if (!mismatch && !current && !form.updateRunning)
        form.YesBtn.setEnabled(true);
}

void RefreshBtnClick(TBrigantFwTool &form)
{
    RefreshStart(form);
    RefreshDeviceList(form);
    RefreshEnd(form);
}

} // namespace brigant
