// The staging-buffer update of the code-26 bridge against the simulated
// "oak" preset, whose firmware programs and reads its flash through a
// 512-byte area of its memory.
#include "bridge/staging_commands.h"
#include "image/image_stamp.h"
#include "sim/chip_presets.h"
#include "sim/presets.h"
#include "sim_world.h"
#include "update/staging/conversion_update.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

class StagingUpdateTest : public ::testing::Test, public test::SimWorld
{
  protected:
    void SetUp() override
    {
        std::string error;
        path = simulation.add("oak", error);
        ASSERT_FALSE(path.empty()) << error;
        bridge = simulation.bridges().back();
        window.devices[0].path = path;
        window.DeviceList.addItem("<<USB>> oak");
        window.DeviceList.setItemIndex(0);
        window.chip.ChipTypeCode = 26;
        dir = fs::temp_directory_path() / ("brigant-staging-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string writeFile(const Bytes &bytes)
    {
        const fs::path file = dir / "fw.bin";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file.string();
    }
    // Runs the update with `file` loaded; returns what the run came to. The
    // procedure itself, not Run: Run takes only whole 256 KiB images, and the
    // procedure's handling of other lengths is tested here.
    int run(const Bytes &file)
    {
        window.FwFilenameEdit.setText(writeFile(file));
        base = simulation.backend().commandCount(path);
        window.runResult = RunConversionUpdate(RequestFromWindow(window), host, path);
        return window.runResult;
    }
    // What a correct update leaves in the first `n` bytes: the file, zero
    // padded, with both header blocks stamped as an image of 256 KiB.
    static Bytes expected(const Bytes &file, std::size_t n)
    {
        Bytes image(std::max<std::size_t>(file.size(), kStampedImageSize), 0);
        std::copy(file.begin(), file.end(), image.begin());
        StampImageHeader(image);
        image.resize(n);
        return image;
    }
    Bytes flash(std::size_t n) const
    {
        const auto &c = bridge->flash().contents();
        return Bytes(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(n));
    }

    std::string path;
    std::shared_ptr<SimBridge> bridge;
    fs::path dir;
    std::uint64_t base = 0;
};

Bytes Pattern(std::size_t n, unsigned seed)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>((i * 31 + seed) ^ (i >> 8));
    return b;
}

} // namespace

// A maker's 256 KiB file: programmed, verified, and the bridge then starts
// the firmware it holds.
TEST_F(StagingUpdateTest, FileOfTheBridgeIsProgrammedAndBoots)
{
    PresetSpec spec;
    std::string error;
    ASSERT_TRUE(ParsePresetSpec("oak:version=7.9", spec, error)) << error;
    PresetFirmwareFile file;
    ASSERT_TRUE(MakePresetFirmwareFile(spec, file, error)) << error;
    ASSERT_EQ(file.bytes.size(), kStampedImageSize);

    EXPECT_EQ(run(file.bytes), 1);
    EXPECT_EQ(window.StatusEdit.text(), "Programming Success!!");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Please Turn-Off the Power and Turn-On Again!");
    EXPECT_EQ(flash(kStampedImageSize), expected(file.bytes, kStampedImageSize));
    // 512 loads, 1024 pages, 512 fetches and reads, one erase: one attempt.
    EXPECT_EQ(simulation.backend().commandCount(path) - base, 1u + 512 * 3 + 512 * 2);
    // One dot per chunk, each a progress step.
    EXPECT_EQ(ui.steps.size(), 1024u);
    bridge->boot();
    EXPECT_EQ(bridge->identity().chipInfo[6], 7);
    EXPECT_EQ(bridge->identity().chipInfo[7], 9);
}

// A file of 1300 bytes: 1536 bytes (six pages) are programmed and compared,
// the last chunk padded with zeros, and the header block at 0x200 stamped.
TEST_F(StagingUpdateTest, ShortFileIsPaddedAndComparedToThePage)
{
    const Bytes file = Pattern(1300, 3);
    EXPECT_EQ(run(file), 1);
    EXPECT_EQ(flash(1536), expected(file, 1536));
    EXPECT_EQ(bridge->flash().contents()[1536], 0xFF);
    EXPECT_EQ(simulation.backend().commandCount(path) - base, 1u + 3 * 3 + 3 * 2);
}

// Commands of one attempt with a 2048-byte file: the erase (1), four chunks
// of load and two pages (2-13), four fetches and reads (14-21).
TEST_F(StagingUpdateTest, ReadBackFaultsAndTheAttempts)
{
    const Bytes file = Pattern(2048, 9);
    struct Case {
        const char *what;
        std::uint64_t nth;
        std::uint32_t byte;
        int times;
        int result;
        std::uint64_t commands;
        const char *status;
    };
    const Case cases[] = {
        {"a difference inside the header block at 0x200 does not fail", 17, 5, 1, 1, 21,
         "Programming Success!!"},
        {"a difference in the code fails one attempt", 15, 0, 1, 1, 42, "Programming Success!!"},
        {"three bad read-backs: three attempts, no box", 15, 0, -1, 0, 63, "Data compare fail !!"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ui.boxes.clear();
        base = simulation.backend().commandCount(path);
        FaultRule r = Fault(FaultRule::Kind::CorruptByte, c.byte);
        r.cdbPrefix = {0xB5};
        r.nth = c.times == 1 ? base + c.nth : 0;
        r.times = c.times == 1 ? 1 : 1000;
        simulation.backend().addFault(path, r);
        EXPECT_EQ(run(file), c.result);
        EXPECT_EQ(window.StatusEdit.text(), c.status);
        EXPECT_EQ(simulation.backend().commandCount(path) - base, c.commands);
        EXPECT_EQ(ui.boxes.size(), c.result ? 1u : 0u);
    }
}

// The firmware answers the erase at once; a page sent before the flash has
// finished is lost, so the update waits for the erase to settle.
TEST_F(StagingUpdateTest, ErasingFlashLosesPagesProgrammedTooEarly)
{
    const Bytes page = Pattern(512, 1);
    ASSERT_EQ(EraseFlashChip(path), 1);
    ASSERT_EQ(WriteStagingBuffer(path, page.data()), 1);
    ASSERT_EQ(ProgramFlashPage(path, 0, kStagingArea), 1);
    EXPECT_EQ(flash(256), Bytes(256, 0xFF));
}

TEST_F(StagingUpdateTest, ServiceModes)
{
    const Bytes before = flash(kConversionBackupLength);
    window.RdCheckBox.setChecked(true);
    window.BackupFWCheckBox.setChecked(true);
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    window.UpdateBtn.setEnabled(true);
    window.UpdateBtn.click();
    fs::current_path(cwd);
    EXPECT_EQ(window.runResult, 1);
    EXPECT_EQ(window.StatusEdit.text(), "Read flash and backup success!");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Default backup firmware as OldFalsh.bak!");
    std::ifstream in(dir / "oldFlash.bak", std::ios::binary);
    const Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, before);

    // A second backup never writes over the first: it takes the next name.
    std::ofstream(dir / "oldFlash.bak", std::ios::binary) << "an older backup";
    fs::current_path(dir);
    window.UpdateBtn.setEnabled(true);
    window.UpdateBtn.click();
    fs::current_path(cwd);
    EXPECT_EQ(window.runResult, 1);
    std::ifstream older(dir / "oldFlash.bak", std::ios::binary),
        second(dir / "oldFlash-2.bak", std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(older)), std::istreambuf_iterator<char>()),
              "an older backup");
    EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(second)), std::istreambuf_iterator<char>()), before);

    window.BackupFWCheckBox.setChecked(false);
    window.EraseOnlyCheck.setChecked(true);
    ui.boxes.clear();
    window.UpdateBtn.setEnabled(true);
    window.UpdateBtn.click();
    EXPECT_EQ(window.runResult, 1);
    EXPECT_EQ(window.StatusEdit.text(), "Erase flash command success!");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Please Turn-Off the Power and Turn-On Again!");
    clock.sleepMs(kConversionEraseSettleMs);
    EXPECT_EQ(flash(kConversionBackupLength), Bytes(kConversionBackupLength, 0xFF));
}

// Every command of a small update failed in turn, by error and by power loss:
// success is reported only with the image in the flash.
TEST_F(StagingUpdateTest, FailingEveryCommandNeverReportsAFalseSuccess)
{
    const Bytes file = Pattern(2048, 5);
    const Bytes want = expected(file, 2048);
    int runs = 0, successes = 0;
    for (FaultRule::Kind kind : {FaultRule::Kind::TransportError, FaultRule::Kind::PowerLoss}) {
        for (std::uint64_t k = 1; k <= 64; ++k) {
            test::SimWorld world;
            std::string error;
            const std::string p = world.simulation.add("oak", error);
            ASSERT_FALSE(p.empty()) << error;
            world.window.devices[0].path = p;
            world.window.DeviceList.addItem("<<USB>> oak");
            world.window.DeviceList.setItemIndex(0);
            world.window.chip.ChipTypeCode = 26;
            FaultRule r = Fault(kind);
            r.nth = k;
            world.simulation.backend().addFault(p, r);
            world.window.FwFilenameEdit.setText(writeFile(file));
            world.window.runResult = RunConversionUpdate(RequestFromWindow(world.window), world.host, p);
            const auto &c = world.simulation.bridges().back()->flash().contents();
            const bool holds = std::equal(want.begin(), want.end(), c.begin());
            ++runs;
            if (world.window.runResult == 1) {
                ++successes;
                EXPECT_TRUE(holds) << "k=" << k;
                EXPECT_EQ(world.window.StatusEdit.text(), "Programming Success!!");
            } else {
                EXPECT_NE(world.window.StatusEdit.text(), "Programming Success!!") << "k=" << k;
            }
        }
    }
    EXPECT_EQ(runs, 128);
    // A single transport error is retried; a power loss is not survivable.
    EXPECT_GE(successes, 60);
}
