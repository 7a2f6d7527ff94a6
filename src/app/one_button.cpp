#include "app/one_button.h"

#include "app/device_list.h"
#include "app/update_journal.h"
#include "app/window_texts.h"
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

struct OneButtonLook {
    forms::Colour colour;
    const char *text;
};

OneButtonLook LookOf(OneButtonState state)
{
    switch (state) {
    case OneButtonState::Blank:
        return {forms::kBlue, ""};
    case OneButtonState::NoDevice:
        return {forms::kRed, kNoDeviceText};
    case OneButtonState::NotSupported:
        return {forms::kRed, kChipNotSupportText};
    case OneButtonState::IdMismatch:
        return {forms::kRed, kIdMismatchText};
    case OneButtonState::RunsFromRom:
        return {forms::kRed, kRunsFromRomText};
    case OneButtonState::Current:
        return {forms::kGreen, kAlreadyUpdatedText};
    case OneButtonState::Offered:
        return {forms::kBlue, kOfferText};
    case OneButtonState::Updating:
        return {forms::kBlue, kUpdatingText};
    case OneButtonState::Passed:
        return {forms::kGreen, kPassText};
    case OneButtonState::Failed:
        return {forms::kRed, kFailText};
    }
    return {forms::kBlue, ""};
}

// The line below the progress bar: one line for the hint, four for a
// result, so that a backup's path is read whole.
constexpr int kHintLineHeight = 18;
constexpr int kResultLineHeight = 60; // four lines of the face's font

void ShowFaceLine(TBrigantFwTool &form, const std::string &text)
{
    if (text.empty()) {
        form.faceHint.setVisible(false);
        return;
    }
    forms::Bounds b = form.faceHint.bounds();
    const int height = text == kFaceHintText ? kHintLineHeight : kResultLineHeight;
    if (b.height != height) {
        b.height = height;
        form.faceHint.setBounds(b);
    }
    if (form.faceHint.caption() != text)
        form.faceHint.setCaption(text);
    form.faceHint.setVisible(true);
}

} // namespace

void ShowOneButtonStatus(TBrigantFwTool &form, OneButtonState state)
{
    const OneButtonLook look = LookOf(state);
    form.oneButton = state;
    form.devpnl.setFontColour(look.colour);
    form.devpnl.setCaption(look.text);
    if (state == OneButtonState::Updating)
        form.oneButtonResult.clear();
    const bool hint = state == OneButtonState::NotSupported || state == OneButtonState::IdMismatch;
    ShowFaceLine(form, hint ? kFaceHintText : form.oneButtonResult);
    if (form.oneButtonShown)
        form.oneButtonShown(state);
}

void ShowOneButtonResult(TBrigantFwTool &form, const std::string &text)
{
    form.oneButtonResult = text;
    if (form.oneButton != OneButtonState::NotSupported && form.oneButton != OneButtonState::IdMismatch)
        ShowFaceLine(form, text);
}

void RefreshStart(TBrigantFwTool &form)
{
    form.devpnl.show();
    form.replugLable.hide();
    form.YesBtn.setEnabled(false);
    if (!form.updateRunning) {
        form.ProgressBar2.setPosition(0);
        form.oneButton = OneButtonState::Blank; // nothing decided yet
    }
}

void RefreshEnd(TBrigantFwTool &form)
{
    if (form.listedCount <= 0) {
        if (!form.updateRunning)
            ShowOneButtonStatus(form, OneButtonState::NoDevice);
        return;
    }
    if (const std::string &busy = form.selectedEntry().busy; !busy.empty() && !form.updateRunning) {
        form.YesBtn.setEnabled(false);
        form.devpnl.setCaption(busy);
        return;
    }
    const OneButtonDecision decided =
        DecideOneButton(form.selectedEntry(), form.chip.ChipTypeCode, form.updateRunning != 0);
    switch (decided.state) {
    case OneButtonState::RunsFromRom:
        ShowOneButtonStatus(form, OneButtonState::IdMismatch);
        ShowOneButtonStatus(form, OneButtonState::RunsFromRom);
        break;
    case OneButtonState::Offered:
        form.oneButton = OneButtonState::Offered;
        break;
    case OneButtonState::Blank:
        break;
    default:
        ShowOneButtonStatus(form, decided.state);
        break;
    }
    if (decided.buttonEnabled)
        form.YesBtn.setEnabled(true);
}

OneButtonDecision DecideOneButton(const DeviceEntry &entry, std::uint8_t chipType, bool updateRunning)
{
    OneButtonDecision decided;
    if (chipType != kOneButtonChipType) {
        decided.state = OneButtonState::NotSupported;
        return decided;
    }
    std::uint8_t reply[16] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(entry.path, reply, sizeof reply, transferred) || reply[0] != 0xF4 || reply[1] != 0xE7)
        return decided;
    // Without an update image there is nothing to compare with or to offer.
    std::uint8_t header[32] = {};
    if (LoadUpdateImage(header, 0, sizeof header) == 0)
        return decided;

    if (std::memcmp(reply + 12, header + 25, 2) != 0) {
        if (updateRunning)
            return decided;
        decided.state = OneButtonState::IdMismatch;
        // A bridge left in its ROM by an interrupted update: the face has no
        // way back, the command line has.
        std::uint8_t boundary = 0;
        if (ProbeReadBuffer(entry.path, PumpMessages, &boundary) && boundary == kRomDescriptorBoundary) {
            decided.state = OneButtonState::RunsFromRom;
            decided.buttonEnabled = true; // the way back: the same button recovers it
        }
        return decided;
    }
    // A bridge cut in the middle of this update may report the image's
    // version over a half-written flash: while the journal holds the update
    // open, it is offered again, never called already updated.
    const bool unfinished = [&] {
        const std::optional<JournalEntry> open = OpenJournalEntry(BridgeJournalKey(entry.path));
        return open && !open->builtIn.empty();
    }();
    if (std::memcmp(reply + 12, header + 25, 4) == 0 && !(unfinished && !updateRunning)) {
        decided.state = OneButtonState::Current;
        return decided;
    }
    if (!updateRunning) {
        decided.state = OneButtonState::Offered;
        decided.buttonEnabled = true;
    }
    return decided;
}

void ShowOneButtonWait(TBrigantFwTool &form, const std::string &text) { ShowFaceLine(form, text); }

bool UpdateOffered(const TBrigantFwTool &form)
{
    return form.YesBtn.enabled() && form.oneButton != OneButtonState::RunsFromRom;
}

void RefreshBtnClick(TBrigantFwTool &form)
{
    RefreshStart(form);
    RefreshDeviceList(form);
    RefreshEnd(form);
}

} // namespace brigant
