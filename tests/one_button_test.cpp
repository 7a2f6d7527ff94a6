// The window's visible face end to end: a simulated code-16 bridge on a
// simulated bus, discovery, identification, the one-button run, the reset
// and the refresh that follows the bridge's return.
#include "app/device_change.h"
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/pass_fail_wnd.h"
#include "app/update_journal.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "forms/headless_ui.h"
#include "model/fwupdate.h"
#include "sim/buffer_firmware.h"
#include "sim/firmware_builder.h"
#include "sim/flash_parts.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"
#include "update/assisted/embedded_images.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;

class OneButtonTest : public ::testing::Test
{
  protected:
    void SetUp() override { services.clock(&clock).backend(&simulation.backend()).ui(&ui); }
    void TearDown() override { form.reset(); }

    // A code-16 bridge whose flash holds firmware with version bytes `version`
    // (identity = the first two), or nothing when empty.
    std::string addQuince(const std::string &version)
    {
        BridgeIdentity id;
        id.vendor = "Velkor";
        id.product = "Quince Bridge";
        id.inquiryMarker = std::array<std::uint8_t, 4>{'v', 'S', '6', 'Q'};
        id.chipInfo = {0xF4, 0xE7, 0x3A, 0x9B, 0x01, 0x00, 0x01, 0x00};
        bridge = std::make_shared<SimBridge>(id, *FindFlashPart("MX25L4006E"), clock);
        if (!version.empty()) {
            FirmwareSpec spec;
            for (int i = 0; i < 4; ++i)
                spec.version[static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(version[static_cast<std::size_t>(i)]);
            const Bytes image = BuildUpdateImage(spec);
            std::copy(image.begin(), image.end(), bridge->flash().contents().begin());
        }
        firmware = BufferFirmware::Attach(*bridge, "S6Q", 0, false);
        SimBridge *raw = bridge.get();
        bridge->setResetListener([this, raw] {
            simulation.backend().detachFor(simulation.backend().pathOf(raw), Simulation::kReattachDelayMs);
        });
        return simulation.backend().attach(bridge);
    }
    void openWindow()
    {
        enumerator = std::make_unique<SimDiskEnumerator>(simulation);
        services.diskEnumerator(enumerator.get());
        ui.addEventSource([this] {
            if (form)
                DeliverDeviceChanges(*form, *enumerator);
        });
        form = std::make_unique<TBrigantFwTool>();
        WireMainWindow(*form);
        ConstructMainWindow(*form, "/nonexistent/FwUpdateTool.ini");
        FormCreate(*form);
    }
    std::string embeddedVersion() const
    {
        std::uint8_t header[32];
        LoadUpdateImage(header, 0, 32);
        return std::string(header + 25, header + 29);
    }

    VirtualClock clock;
    Simulation simulation{clock};
    forms::HeadlessUi ui{clock, nullptr};
    std::unique_ptr<SimDiskEnumerator> enumerator;
    InstalledServices services;
    std::unique_ptr<TBrigantFwTool> form;
    std::shared_ptr<SimBridge> bridge;
    std::shared_ptr<BufferFirmware> firmware;
};

} // namespace

TEST_F(OneButtonTest, OffersTheUpdateAndRunsItToTheEnd)
{
    const std::string current = embeddedVersion();
    addQuince(current.substr(0, 2) + "00");
    openWindow();
    ASSERT_EQ(form->chip.ChipTypeCode, 16);
    EXPECT_TRUE(form->YesBtn.enabled());
    EXPECT_EQ(form->devpnl.caption(), "Click Update firmware button to proceed.");
    EXPECT_EQ(form->YesBtn.caption(), "Update firmware to version 01.01.01.00");
    EXPECT_EQ(form->caption.rfind("SSI_Quince_v", 0), 0u);

    form->YesBtn.click();
    EXPECT_EQ(form->devpnl.caption(), "Update    Pass!!");
    EXPECT_EQ(form->devpnl.fontColour(), forms::kGreen);
    EXPECT_EQ(form->ProgressBar2.position(), 100);
    EXPECT_TRUE(form->ExitBtn.enabled());
    EXPECT_FALSE(form->YesBtn.enabled());
    EXPECT_EQ(form->updateRunning, 0);
    EXPECT_EQ(bridge->resetCount(), 1u);

    // The bridge boots the new image; the next refresh sees it current.
    ui.runTimers(5000);
    form->RefreshBtn.onClick();
    EXPECT_EQ(form->devpnl.caption(), "Firmware already updated.");
    EXPECT_EQ(form->devpnl.fontColour(), forms::kGreen);
    EXPECT_FALSE(form->YesBtn.enabled());
    Bytes image(brigant::kUpdateImageSize);
    LoadUpdateImage(image.data(), 0, 0);
    const auto &flash = bridge->flash().contents();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(OneButtonTest, CurrentOrForeignFirmwareIsNotOffered)
{
    addQuince(embeddedVersion());
    openWindow();
    EXPECT_EQ(form->devpnl.caption(), "Firmware already updated.");
    EXPECT_EQ(form->devpnl.fontColour(), forms::kGreen);
    EXPECT_FALSE(form->YesBtn.enabled());

    // A different identity, even with equal bytes in the last two places.
    const std::string current = embeddedVersion();
    bridge->flash().contents()[25] = static_cast<std::uint8_t>(current[0] == '9' ? '8' : current[0] + 1);
    bridge->boot();
    form->RefreshBtn.onClick();
    EXPECT_EQ(form->devpnl.caption(), "Firmware ID not match!!");
    EXPECT_EQ(form->devpnl.fontColour(), forms::kRed);
    EXPECT_FALSE(form->YesBtn.enabled());
}

TEST_F(OneButtonTest, NoCandidateAtPressTimeFailsWithoutTouchingTheDevice)
{
    const std::string current = embeddedVersion();
    const std::string path = addQuince(current.substr(0, 2) + "00");
    openWindow();
    ASSERT_TRUE(form->YesBtn.enabled());
    const Bytes before = bridge->flash().contents();
    simulation.backend().detachFor(path, 3600000);
    const std::uint64_t commands = simulation.backend().commandCount(path);
    form->updateRunning = 0;
    form->YesBtn.click();
    EXPECT_EQ(form->devpnl.caption(), "Update    Fail!!");
    EXPECT_EQ(form->devpnl.fontColour(), forms::kRed);
    EXPECT_EQ(simulation.backend().commandCount(path), commands);
    EXPECT_EQ(bridge->flash().contents(), before);
}

TEST_F(OneButtonTest, ModeCheckBoxesExcludeEachOtherAndBackupAlwaysRuns)
{
    addQuince("1200");
    openWindow();
    form->RdCheckBox.setChecked(true);
    EXPECT_TRUE(form->RdPanel.visible());
    EXPECT_EQ(form->clientHeight, kClientHeight + form->RdPanel.bounds().height);

    form->EraseOnlyCheck.click();
    EXPECT_TRUE(form->EraseOnlyCheck.checked());
    EXPECT_EQ(form->eraseOnly, 1);
    EXPECT_FALSE(form->FwFilenameEdit.enabled());
    EXPECT_TRUE(form->UpdateBtn.enabled()); // a chip is identified

    form->BackupFWCheckBox.click();
    EXPECT_TRUE(form->BackupFWCheckBox.checked());
    EXPECT_FALSE(form->EraseOnlyCheck.checked());
    EXPECT_EQ(form->eraseOnly, 0);
    EXPECT_TRUE(form->FwFilenameEdit.enabled());
    EXPECT_TRUE(form->UpdateBtn.enabled()); // backup-only needs no file

    form->EraseOnlyCheck.click();
    EXPECT_FALSE(form->BackupFWCheckBox.checked());

    form->NVRAMCheck.setChecked(true);
    EXPECT_EQ(form->includeNvram, 1);
    form->NVRAMCheck.setChecked(false);
    EXPECT_EQ(form->includeNvram, 0);
}

TEST_F(OneButtonTest, CloseRemovesTheExchangeFileFromTheProgramDirectory)
{
    namespace fs = std::filesystem;
    openWindow();
    const fs::path dir = fs::temp_directory_path() / ("brigant-close-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "ExChangeData.tmp") << "x";
    form->programDirectory = dir.string();
    form->ExitBtn.click();
    EXPECT_TRUE(form->closed);
    EXPECT_FALSE(fs::exists(dir / "ExChangeData.tmp"));
    fs::remove_all(dir);
    EXPECT_EQ(form->devpnl.caption(), "No device found!!");
    EXPECT_EQ(form->DeviceList.items(), std::vector<std::string>{"No available device!!!"});
}

// Bytes this process has read from files so far.
std::uint64_t BytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

TEST_F(OneButtonTest, LoadFileReadsTheHeadOnlyAndRefusesFilesLargerThanAnyFlash)
{
    namespace fs = std::filesystem;
    addQuince(embeddedVersion().substr(0, 2) + "00");
    openWindow();
    const fs::path dir = fs::temp_directory_path() / ("brigant-load-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    Bytes image(brigant::kUpdateImageSize);
    LoadUpdateImage(image.data(), 0, 0);
    // Sparse files: the image at their start, zeros up to their size.
    auto file = [&](const char *name, std::uint64_t size) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(image.data()), 64);
        fs::resize_file(path, size);
        return path.string();
    };
    struct Case {
        std::string path;
        const char *status;
        bool accepted;
        bool named; // the file's name stays in the field
    };
    // The largest firmware file is read at its head only, and refused
    // because it is larger than this bridge's flash, as `update` refuses it.
    for (const Case &c :
         {Case{file("flash.bin", 512u << 10), "", true, true},
          Case{file("largest.bin", 16u << 20),
               "FW file refused: the file is 16777216 bytes; the flash holds 524288; Run stays disabled.",
               false, true},
          Case{file("huge.bin", 4ull << 30), "The firmware file size is bigger than the flash size!", false,
               false}}) {
        form->FwFilenameEdit.setText("");
        ui.queueDialogAnswer(c.path);
        const std::uint64_t before = BytesRead();
        form->LoadBtn.click();
        EXPECT_LT(BytesRead() - before, 1u << 20) << c.path;
        EXPECT_EQ(form->StatusEdit.text(), c.status) << c.path;
        EXPECT_EQ(form->FwFilenameEdit.text(), c.named ? c.path : "") << c.path;
        EXPECT_EQ(form->YesBtn.enabled(), c.accepted) << c.path;
        EXPECT_EQ(form->UpdateBtn.enabled(), c.accepted) << c.path;
    }
    fs::remove_all(dir);
}

// A cut update leaves the bridge running half-written firmware whose
// identity bytes no longer match the file (here the file's differ instead): Load refuses it, unless the
// journal holds that update open; then Run and the update button finish it.
TEST_F(OneButtonTest, LoadTakesTheFileOfACutUpdateThatTheJournalHoldsOpen)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("brigant-cut-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const char *state = std::getenv("XDG_STATE_HOME");
    const std::string savedState = state ? state : "";
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
    SetJournalForSimulation(dir.string());
    const std::string path = addQuince(embeddedVersion());
    openWindow();
    Bytes image(brigant::kUpdateImageSize);
    image.resize(LoadUpdateImage(image.data(), 0, 0));
    image[21] = '#'; // the model tag the half-written firmware answers differs
    const std::string file = (dir / "fw.bin").string();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    for (const bool open : {false, true}) {
        if (open) {
            PlannedWrite write;
            write.bridge = BridgeJournalKey(path);
            write.chipCode = form->chip.ChipTypeCode;
            write.firmware = file;
            JournalEntry entry = NewJournalEntry(write, "");
            std::string error;
            ASSERT_TRUE(WriteJournalEntry(entry, error)) << error;
        }
        ui.queueDialogAnswer(file);
        form->LoadBtn.click();
        EXPECT_TRUE(form->UpdateBtn.enabled() || !open);
        EXPECT_EQ(form->YesBtn.enabled(), open);
        EXPECT_EQ(form->lastLoad, open ? LoadResult::Accepted : LoadResult::Mismatch);
        EXPECT_NE(form->StatusEdit.text().find(open ? "did not finish" : "FW file not Match."),
                  std::string::npos)
            << form->StatusEdit.text();
    }
    SetJournalForSimulation("");
    if (savedState.empty())
        ::unsetenv("XDG_STATE_HOME");
    else
        ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
    fs::remove_all(dir);
}

TEST_F(OneButtonTest, FileDialogsOpenAtHomeThenWhereTheLastFileWasChosen)
{
    namespace fs = std::filesystem;
    openWindow();
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const fs::path dir = fs::temp_directory_path() / ("brigant-home-" + std::to_string(::getpid()));
    fs::create_directories(dir / "firmware");
    ::setenv("HOME", dir.c_str(), 1);
    ui.queueDialogAnswer(""); // cancelled
    form->LoadBtn.click();
    EXPECT_EQ(form->OpenDialog1.initialDir, dir.string());
    ui.queueDialogAnswer((dir / "firmware" / "new.bin").string());
    form->LoadBtn.click();
    ui.queueDialogAnswer("");
    form->BackupBtn.click();
    EXPECT_EQ(form->OpenDialog1.initialDir, (dir / "firmware").string());
    ::setenv("HOME", home.c_str(), 1);
    fs::remove_all(dir);
}

TEST(UpdateButtonCaption, DigitsOrNumbers)
{
    std::uint8_t header[32] = {};
    header[25] = '1';
    header[26] = '2';
    header[27] = '0';
    header[28] = '3';
    EXPECT_EQ(UpdateButtonCaption(header), "Update firmware to version 01.02.00.03");
    header[25] = 2;
    header[26] = 10;
    header[27] = 0;
    header[28] = 7;
    EXPECT_EQ(UpdateButtonCaption(header), "Update firmware to version 02.10.00.07");
}

TEST(PassFailForm, HiddenUntilShownThenOneLabelByThePassFlag)
{
    TPassFailForm result;
    EXPECT_FALSE(result.visible);
    EXPECT_EQ(result.caption, "Result");
    EXPECT_EQ(result.width, 316);
    EXPECT_EQ(result.height, 180);
    EXPECT_FALSE(result.borderMinimize || result.borderMaximize || result.borderHelp);
    EXPECT_FALSE(result.FormCanResize(400, 300));

    result.passFlag = 1;
    result.FormShow();
    EXPECT_TRUE(result.visible);
    EXPECT_TRUE(result.passLabel.visible());
    EXPECT_FALSE(result.failLabel.visible());
    EXPECT_EQ(result.passLabel.fontColour(), forms::kGreen);

    result.passFlag = 0;
    result.FormShow();
    EXPECT_FALSE(result.passLabel.visible());
    EXPECT_TRUE(result.failLabel.visible());
    EXPECT_EQ(result.failLabel.fontColour(), forms::kRed);
}
