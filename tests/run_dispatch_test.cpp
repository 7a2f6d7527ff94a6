#include "app/run_dispatch.h"

#include "recording_ui.h"
#include "wired_window.h"

#include <gtest/gtest.h>

#include <set>

using namespace brigant;
using P = UpdateProcedure;

namespace
{

RunInputs Inputs(unsigned code, std::uint8_t rev = 1, std::int32_t flashKind = 1, int sst = 0,
                 BusKind bus = BusKind::Usb)
{
    RunInputs in;
    in.chip.ChipTypeCode = static_cast<std::uint8_t>(code);
    in.chip.ChipSubRevision = rev;
    in.chip.FlashKind = flashKind;
    in.chip.SstWordMode = sst;
    in.bus = bus;
    return in;
}

} // namespace

// Every code with a known, non-SST flash on USB: the plain row of the Run table.
TEST(RunDispatch, EveryCodeGetsItsProcedure)
{
    const std::set<unsigned> wholeImage = {1, 3, 4, 5, 8, 28, 30};
    const std::set<unsigned> blockwise = {7, 11};
    const std::set<unsigned> assisted = {9, 10, 12, 13, 14, 15, 16, 17, 18, 27}; // 12: probe answers 1
    for (unsigned code = 0; code <= 35; ++code) {
        RunInputs in = Inputs(code);
        in.xdataProbe = 1;
        P want = P::None;
        if (wholeImage.count(code))
            want = P::UpdateWholeImage;
        else if (blockwise.count(code))
            want = P::UpdateBlockwise;
        else if (assisted.count(code))
            want = P::RunAssistedUpdate;
        else if (code == 26)
            want = P::RunConversionUpdate;
        const RunChoice choice = ChooseUpdateProcedure(in);
        EXPECT_EQ(choice.procedure, want) << "code " << code;
        EXPECT_FALSE(choice.refusedTooLarge) << "code " << code;
        EXPECT_TRUE(choice.resetsProgress) << "code " << code;
        EXPECT_EQ(NeedsXdataProbe(in.chip), code == 12) << "code " << code;
        EXPECT_EQ(NeedsSizeCheck(in.chip, false), code == 11) << "code " << code;
        EXPECT_FALSE(NeedsSizeCheck(in.chip, true)) << "code " << code;
    }
}

TEST(RunDispatch, VariantsOfTheTable)
{
    struct Case {
        const char *what;
        RunInputs in;
        P want;
        bool resetsProgress = true;
    };
    auto with = [](RunInputs in, auto change) {
        change(in);
        return in;
    };
    const Case cases[] = {
        {"30 without flash: the disk area", Inputs(30, 1, 0), P::RunDiskFirmwareUpdate, false},
        {"30 without flash, SST word mode too", Inputs(30, 1, 0, 1), P::RunDiskFirmwareUpdate, false},
        {"30 with SST word mode", Inputs(30, 1, 2, 1), P::UpdateBlockwiseSst},
        {"1 with SST word mode", Inputs(1, 1, 2, 1), P::UpdateBlockwiseSst},
        {"28 with SST word mode", Inputs(28, 1, 2, 1), P::UpdateBlockwiseSst},
        {"8 on USB", Inputs(8), P::UpdateWholeImage},
        {"8 on UASP", Inputs(8, 1, 1, 0, BusKind::Uasp), P::UpdateWholeImage},
        {"8 on USB with SST word mode", Inputs(8, 1, 2, 1), P::UpdateBlockwiseSst},
        {"8 on 1394", Inputs(8, 1, 1, 0, BusKind::Ieee1394), P::RunSbp2Update},
        {"8 on 1394 with SST word mode", Inputs(8, 1, 2, 1, BusKind::Ieee1394), P::RunSbp2Update},
        {"12, probe 0, sub-revision 4", with(Inputs(12, 4), [](RunInputs &i) { i.xdataProbe = 0; }),
         P::UpdateBlockwise},
        {"12, probe 0, sub-revision 5", with(Inputs(12, 5), [](RunInputs &i) { i.xdataProbe = 0; }),
         P::RunAssistedUpdate},
        {"12, probe 0, sub-revision 5, SST",
         with(Inputs(12, 5, 2, 1), [](RunInputs &i) { i.xdataProbe = 0; }), P::UpdateBlockwiseSst},
        {"12, probe 1, sub-revision 1", with(Inputs(12, 1), [](RunInputs &i) { i.xdataProbe = 1; }),
         P::RunAssistedUpdate},
        {"12, probe 1, SST", with(Inputs(12, 1, 2, 1), [](RunInputs &i) { i.xdataProbe = 1; }),
         P::UpdateBlockwiseSst},
        {"12, probe 0, sub-revision 4, SST: register-level",
         with(Inputs(12, 4, 2, 1), [](RunInputs &i) { i.xdataProbe = 0; }), P::UpdateBlockwise},
        {"11 with an SST flash", Inputs(11, 1, 2, 0), P::UpdateBlockwiseSst},
        {"11, SST word mode alone does not switch", Inputs(11, 1, 1, 1), P::UpdateBlockwise},
        {"7 with an SST flash stays block-wise", Inputs(7, 1, 2, 1), P::UpdateBlockwise},
        {"11, file too large but erase-only",
         with(Inputs(11),
              [](RunInputs &i) {
                  i.fileFitsFlash = false;
                  i.serviceMode = true;
              }),
         P::UpdateBlockwise},
        {"13 with SST word mode stays assisted", Inputs(13, 1, 2, 1), P::RunAssistedUpdate},
    };
    for (const Case &c : cases) {
        const RunChoice choice = ChooseUpdateProcedure(c.in);
        EXPECT_EQ(choice.procedure, c.want) << c.what;
        EXPECT_EQ(choice.resetsProgress, c.resetsProgress) << c.what;
        EXPECT_FALSE(choice.refusedTooLarge) << c.what;
    }

    RunInputs tooLarge = Inputs(11);
    tooLarge.fileFitsFlash = false;
    const RunChoice refused = ChooseUpdateProcedure(tooLarge);
    EXPECT_TRUE(refused.refusedTooLarge);
    EXPECT_EQ(refused.procedure, P::None);
}

// The handler around the choice: a family this build lacks touches nothing and
// says so; the size refusal leaves Run disabled; other codes only re-enable Run.
TEST(RunDispatch, UpdateBtnClickAroundTheChoice)
{
    test::RecordingUi ui;
    test::WiredWindow form;
    form.devices[0].path = "sim:none"; // no back end: any command sent would fail and show in the boxes
    form.DeviceList.addItem("<<USB>> bridge");
    form.DeviceList.setItemIndex(0);

    // The firmware-assisted family has landed: its first command fails.
    form.chip.ChipTypeCode = 13;
    form.ProgressBar1.setPosition(50);
    form.UpdateBtn.setEnabled(true);
    form.UpdateBtn.click();
    EXPECT_EQ(form.StatusEdit.text(), "Backup NVRAM command fail!");
    EXPECT_EQ(form.runResult, 0);
    EXPECT_TRUE(form.UpdateBtn.enabled());
    EXPECT_EQ(form.ProgressBar1.position(), 0);
    EXPECT_TRUE(ui.boxes.empty());

    form.chip.ChipTypeCode = 2;
    form.UpdateBtn.click();
    EXPECT_EQ(form.StatusEdit.text(), "");
    EXPECT_TRUE(form.UpdateBtn.enabled());

    form.chip.ChipTypeCode = 11;
    form.chip.FlashSizeKb = 512;
    form.FwFilenameEdit.setText("/nonexistent/firmware.bin");
    form.UpdateBtn.click();
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text, kFileTooLargeText);
    EXPECT_EQ(ui.boxes.back().title, "Message");
    EXPECT_FALSE(form.UpdateBtn.enabled());
}
