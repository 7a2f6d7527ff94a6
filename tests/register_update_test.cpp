// The register-level family through the window's Run button, against the
// simulated bridges: what the flash holds afterwards, byte for byte, for the
// edge cases of the whole-image and block-wise procedures, the service
// modes, the SPI programming sequences, and every command failing in turn.
#include "app/run_dispatch.h"
#include "app/selection.h"
#include "app/window_run.h"
#include "device/discovery.h"
#include "sim/chip_presets.h"
#include "sim/flash_parts.h"
#include "sim/presets.h"
#include "update/register/flash_engine.h"

#include "recording_backend.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace brigant
{
namespace
{

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes Random(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto &v : b)
        v = static_cast<std::uint8_t>(gen());
    return b;
}

Bytes Slice(const Bytes &b, std::size_t from, std::size_t to)
{
    return Bytes(b.begin() + from, b.begin() + to);
}

Bytes PresetFile(const std::string &spec)
{
    sim::PresetSpec parsed;
    std::string error;
    EXPECT_TRUE(sim::ParsePresetSpec(spec, parsed, error)) << error;
    sim::PresetFirmwareFile file;
    EXPECT_TRUE(sim::MakePresetFirmwareFile(parsed, file, error)) << error;
    return file.bytes;
}

class Register : public test::SimWorld
{
  public:
    Register()
    {
        dir = fs::temp_directory_path() /
              ("brigant-register-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(dir);
    }
    ~Register() { fs::remove_all(dir); }

    // Adds the bridge, selects it as a user does and shows the hidden Run button.
    void add(const std::string &spec)
    {
        std::string error;
        const std::string path = simulation.add(spec, error);
        ASSERT_FALSE(path.empty()) << error;
        window.devices[0].path = path;
        window.devices[0].bus = simulation.bridges()[0]->identity().bus;
        window.DeviceList.addItem(BusListTag(window.devices[0].bus) + path);
        window.candidateCount = 1;
        window.DeviceList.select(0);
        window.UpdateBtn.show();
        before = flash();
    }
    std::string file(const Bytes &bytes)
    {
        const std::string name = (dir / ("fw" + std::to_string(files++) + ".bin")).string();
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return name;
    }
    int run(const Bytes &image)
    {
        window.FwFilenameEdit.setText(file(image));
        return run();
    }
    int run()
    {
        window.UpdateBtn.setEnabled(true);
        window.UpdateBtn.click();
        return window.runResult;
    }
    sim::SimBridge &bridge() { return *simulation.bridges()[0]; }
    const std::string &path() { return window.devices[0].path; }
    Bytes &flash() { return bridge().flash().contents(); }
    std::size_t steps(const std::string &phase) const
    {
        return static_cast<std::size_t>(std::count_if(
            ui.steps.begin(), ui.steps.end(), [&](const ProgressEvent &e) { return e.phase == phase; }));
    }

    fs::path dir;
    Bytes before;
    int files = 0;
    static inline int counter = 0;
};

class RegisterTest : public ::testing::Test, public Register
{
};

// The image a whole-image run leaves: file bytes, zeros up to `size`, the
// NVRAM block at 0x8000 put back for small images, erased areas FF, and what
// the erase did not touch as it was.
struct WholeCase {
    const char *what;
    const char *spec;
    std::size_t fileLength;
    std::uint32_t chunk;
    std::size_t size;             // what is programmed
    std::size_t erasedTo;         // end of the area erased
    bool nvramKept;               // the 512 bytes at 0x8000 are the old ones
    std::size_t untouchedFrom;    // from here on the flash is as before
    std::size_t programmingSteps; // chunks written
};

TEST_F(RegisterTest, WholeImageLeavesExactlyTheImageAndTheNvramBlock)
{
    const WholeCase cases[] = {
        {"10 bytes, uniform 64 KiB erase", "alder", 10, 8192, 32768, 65536, true, 65536, 4},
        {"10 bytes, boot sectors", "alder:flash=A25L05PU", 10, 8192, 32768, 61440, true, 61440, 4},
        {"40000 bytes, boot sectors", "alder:flash=A25L05PU", 40000, 8192, 40960, 65536, false, 65536, 5},
        {"70000 bytes, erase all", "alder:flash=A25L10PU", 70000, 8192, 73728, 131072, false, 131072, 9},
        {"chunk 256 left by a 1394 run", "alder", 10, 256, 32768, 65536, true, 65536, 128},
        {"protected ST part", "cedar-a3:flash=M25P05-A", 10, 8192, 32768, 65536, true, 65536, 4},
        {"ATMEL part, 32 KiB erase unit", "cedar", 10, 8192, 32768, 32768, true, 32768, 4},
    };
    for (const WholeCase &c : cases) {
        SCOPED_TRACE(c.what);
        Register w;
        w.add(c.spec);
        ASSERT_EQ(w.window.chip.SstWordMode, 0);
        w.window.transfer.TransferChunkSize = c.chunk;
        const Bytes image = Random(c.fileLength, 7);
        ASSERT_EQ(w.run(image), 1) << w.window.StatusEdit.text();
        EXPECT_EQ(w.window.StatusEdit.text(), "Programming Success!!");
        ASSERT_FALSE(w.ui.boxes.empty());
        EXPECT_EQ(w.ui.boxes.back().text, "Please Turn-Off the Power and Turn-On Again !");
        EXPECT_EQ(w.steps("Programming"), c.programmingSteps);

        Bytes want = w.before;
        std::fill(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(c.erasedTo), 0xFF);
        std::fill(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(c.size), 0x00);
        std::copy(image.begin(), image.end(), want.begin());
        if (c.nvramKept)
            std::copy(w.before.begin() + 0x8000, w.before.begin() + 0x8200, want.begin() + 0x8000);
        EXPECT_EQ(w.flash(), want);
        EXPECT_TRUE(std::equal(w.before.begin() + static_cast<std::ptrdiff_t>(c.untouchedFrom),
                               w.before.end(),
                               w.flash().begin() + static_cast<std::ptrdiff_t>(c.untouchedFrom)));
    }
}

// A bridge restarted after the update runs the new firmware.
TEST_F(RegisterTest, RestartRunsWhatTheFlashNowHolds)
{
    add("alder");
    const Bytes image = PresetFile("alder:version=7.9");
    ASSERT_EQ(run(image), 1) << window.StatusEdit.text();
    bridge().restart();
    EXPECT_EQ(bridge().identity().chipInfo[6], 7);
    EXPECT_EQ(bridge().identity().chipInfo[7], 9);
}

TEST_F(RegisterTest, BlockwiseCarriesTheSavedNvramAndTheTail)
{
    add("ginkgo");
    const Bytes image = Random(10000, 3);
    ASSERT_EQ(run(image), 1) << window.StatusEdit.text();
    EXPECT_EQ(window.StatusEdit.text(), "Programming Success!!");
    const std::uint32_t block = sim::FindFlashPart("EN25F40")->erase(0xD8)->sizeBytes;
    Bytes want = before;
    std::fill(want.begin(), want.begin() + block, 0xFF);
    std::copy(before.begin(), before.begin() + 4096, want.begin()); // the saved NVRAM area
    std::fill(want.begin() + 4096, want.begin() + 20480, 0x00); // zeros to the block end, then the 4 KiB tail
    std::copy(image.begin(), image.end(), want.begin() + 4096);
    EXPECT_EQ(flash(), want);
    EXPECT_EQ(steps("Programming"), 1u);
}

// Code 11 with a file that carries its own NVRAM area: the saved area stays,
// except bytes 128-207, which come from the file; every other file byte at its own offset.
TEST_F(RegisterTest, Code11FileNvramBytesJoinTheSavedArea)
{
    add("larch:flash=MX25L4006E");
    ASSERT_EQ(window.chip.FlashSizeKb, 512);
    window.NVRAMCheck.setChecked(false);
    const Bytes image = PresetFile("larch:version=4.2");
    ASSERT_GT(image.size(), 4096u);
    ASSERT_EQ(run(image), 1) << window.StatusEdit.text();
    Bytes want = Slice(before, 0, 4096);
    std::copy(image.begin() + 128, image.begin() + 208, want.begin() + 128);
    EXPECT_EQ(Slice(flash(), 0, 4096), want);
    EXPECT_EQ(Slice(flash(), 4096, image.size()), Slice(image, 4096, image.size()));
}

// Code 11's flash size comes from this flash, not from the device selected before.
TEST_F(RegisterTest, Code11SizeCheckUsesItsOwnFlash)
{
    window.chip.FlashSizeKb = 64; // left by an earlier selection
    add("larch:flash=MX25L4006E");
    ASSERT_EQ(window.chip.FlashSizeKb, 512);
    window.FwFilenameEdit.setText(file(Bytes(512 * 1024 + 1, 0)));
    window.UpdateBtn.setEnabled(true);
    window.UpdateBtn.click();
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text, kFileTooLargeText);
    EXPECT_FALSE(window.UpdateBtn.enabled());

    ui.boxes.clear();
    window.FwFilenameEdit.setText(file(Bytes(512 * 1024, 0)));
    window.UpdateBtn.setEnabled(true);
    window.UpdateBtn.click();
    for (const auto &box : ui.boxes)
        EXPECT_NE(box.text, kFileTooLargeText);
    EXPECT_TRUE(window.UpdateBtn.enabled());
}

TEST_F(RegisterTest, SstVariantProgramsTheFileUnchangedThroughSpi)
{
    add("larch:flash=SST25VF010A");
    ASSERT_EQ(window.chip.FlashKind, 2);
    window.NVRAMCheck.setChecked(false);
    const Bytes image = Random(20000, 5);
    ASSERT_EQ(run(image), 1) << window.StatusEdit.text();
    EXPECT_TRUE(window.NVRAMCheck.checked());
    Bytes want(flash().size(), 0xFF);
    std::fill(want.begin(), want.begin() + 32768, 0x00);
    std::copy(image.begin(), image.end(), want.begin());
    EXPECT_EQ(flash(), want);
    EXPECT_FALSE(bridge().flash().aaiActive());
}

// Code 11 on an SST part that takes auto-address-increment data only word by
// word (JEDEC BF 25 ..): programmed word-wise; a byte-wise part stays byte-wise.
TEST(RegisterSst, Code11PartsProgrammedInTheirOwnWidth)
{
    for (const auto &[spec, wordMode] :
         {std::pair{"larch:flash=SST25VF040B", 1}, {"larch:flash=SST25VF512A", 0}}) {
        SCOPED_TRACE(spec);
        Register r;
        r.add(spec);
        ASSERT_EQ(r.window.chip.FlashKind, 2);
        EXPECT_EQ(r.window.chip.SstWordMode, wordMode);
        const Bytes image = PresetFile("larch:version=4.2");
        ASSERT_EQ(r.run(image), 1) << r.window.StatusEdit.text();
        EXPECT_EQ(Slice(r.flash(), 0, image.size()), image);
    }
}

// Erase only, both boxes, backup with the default name and the NVRAM left out.
TEST_F(RegisterTest, ServiceModes)
{
    const fs::path cwd = fs::current_path();
    struct Case {
        const char *what;
        const char *spec;
        bool erase, backup;
        bool includeNvram;
        std::size_t backupFrom; // 0 / 4096: the backup leaves these out; npos: no backup file
    };
    const Case cases[] = {
        {"erase only", "alder", true, false, false, std::string::npos},
        {"both boxes: erase only", "alder", true, true, false, std::string::npos},
        {"backup, whole image", "alder", false, true, false, 0},
        {"backup, NVRAM left out", "ginkgo", false, true, false, 4096},
        {"backup, NVRAM included", "ginkgo", false, true, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Register w;
        fs::current_path(w.dir);
        w.add(c.spec);
        w.window.EraseOnlyCheck.onClick = nullptr;
        w.window.BackupFWCheckBox.onClick = nullptr;
        w.window.RdCheckBox.setChecked(true);
        w.window.EraseOnlyCheck.setChecked(c.erase);
        w.window.BackupFWCheckBox.setChecked(c.backup);
        w.window.eraseOnly = c.erase ? 1 : 0;
        w.window.NVRAMCheck.setChecked(c.includeNvram);
        EXPECT_EQ(w.run(), 1) << w.window.StatusEdit.text();
        const fs::path backup = w.dir / "oldflash.bak";
        if (c.backupFrom == std::string::npos) {
            EXPECT_FALSE(fs::exists(backup));
            const bool blank = std::all_of(w.flash().begin(), w.flash().begin() + 65536,
                                           [](std::uint8_t b) { return b == 0xFF; });
            EXPECT_TRUE(blank);
            EXPECT_EQ(w.ui.boxes.back().text, "Please Turn-Off the Power and Turn-On Again!");
        } else {
            std::ifstream in(backup, std::ios::binary);
            const Bytes got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(got, Slice(w.before, c.backupFrom, 65536));
            EXPECT_EQ(w.ui.boxes.front().text, "Default backup firmware as OldFalsh.bak!");
            EXPECT_EQ(w.flash(), w.before);
        }
        fs::current_path(cwd);
    }
}

// ---------------------------------------------------------------------------
// Command sequences, against a back end that records and accepts everything.

class EngineCdbTest : public ::testing::Test
{
  public:
    EngineCdbTest()
    {
        services.clock(&clock).backend(&backend);
    }
    std::vector<Bytes> cdbs(std::uint8_t sub) const
    {
        std::vector<Bytes> out;
        for (const auto &c : backend.commands)
            if (c.cdb.size() >= 3 && c.cdb[0] == 0xFF && c.cdb[2] == sub)
                out.push_back(c.cdb);
        return out;
    }
    VirtualClock clock;
    test::RecordingBackend backend;
    test::RecordingUi ui;
    InstalledServices services;
    test::WiredWindow window;
    WindowRunHost host{window};
};

TEST_F(EngineCdbTest, WordProgramSendsTheAddressOnlyOnA16KiBBoundary)
{
    const Bytes data = Random(1024, 1);
    ASSERT_EQ(SpiAaiProgram("p", 0x4200, data.data(), 1024, 512, kAaiWord), 1);
    const auto spi = cdbs(0x20);
    std::vector<Bytes> starts;
    for (const auto &c : spi)
        if (c[5] == 0xAD && c[4] == 1)
            starts.push_back(c);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0], (Bytes{0xFF, 0x04, 0x20, 1, 1, 0xAD, 0, 0, 0, 0, 0, 0}));

    backend.commands.clear();
    ASSERT_EQ(SpiAaiProgram("p", 0x8000, data.data(), 512, 512, kAaiWord), 1);
    for (const auto &c : cdbs(0x20)) {
        if (c[5] == 0xAD && c[4] == 1) {
            EXPECT_EQ(c, (Bytes{0xFF, 0x04, 0x20, 4, 1, 0xAD, 0x00, 0x80, 0x00, 0, 0, 0}));
        }
    }
}

TEST_F(EngineCdbTest, ByteProgramAddressesEverySegmentAndEndsWithWriteDisable)
{
    const Bytes data = Random(8, 2);
    ASSERT_EQ(SpiAaiProgram("p", 0x10100, data.data(), 8, 4, kAaiByte), 1);
    std::vector<Bytes> starts, steps;
    const auto spi = cdbs(0x20);
    for (const auto &c : spi)
        if (c[5] == 0xAF)
            (c[4] == 1 ? starts : steps).push_back(c);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0], (Bytes{0xFF, 0x04, 0x20, 4, 1, 0xAF, 0x01, 0x01, 0x00, 0, 0, 0}));
    EXPECT_EQ(starts[1], (Bytes{0xFF, 0x04, 0x20, 4, 1, 0xAF, 0x01, 0x01, 0x04, 0, 0, 0}));
    ASSERT_EQ(steps.size(), 6u); // bytes 1-3 of each segment, one command each
    EXPECT_EQ(steps[0], (Bytes{0xFF, 0x04, 0x20, 2, 0, 0xAF, data[1], 0, 0, 0, 0, 0}));
    EXPECT_EQ(steps[5], (Bytes{0xFF, 0x04, 0x20, 2, 0, 0xAF, data[7], 0, 0, 0, 0, 0}));
    ASSERT_FALSE(spi.empty());
    EXPECT_EQ(spi.back()[5], 0x04); // the write disable ends the mode
}

TEST_F(EngineCdbTest, ChunkedOperationsFollowTransferChunkSize)
{
    window.transfer.TransferChunkSize = 256;
    ASSERT_EQ(EraseFlashChunked(host, "p", 65536), 1);
    const auto erases = cdbs(0x14);
    ASSERT_EQ(erases.size(), 256u);
    EXPECT_EQ(erases[1], (Bytes{0xFF, 0x04, 0x14, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0}));

    backend.commands.clear();
    Bytes buffer(0);
    EXPECT_EQ(ReadFlashChunked(host, "p", 0, buffer.data(), 0), 0);
    EXPECT_EQ(EraseFlashChunked(host, "p", 0), 0);
    EXPECT_TRUE(cdbs(0x10).empty());
    EXPECT_TRUE(cdbs(0x14).empty());
}

// ---------------------------------------------------------------------------
// Every command failing in turn: never a crash, success only with the image in place.

struct SweepCase {
    const char *spec;
    std::size_t fileLength;
    std::size_t stride; // k steps through the long SPI byte stream by this much
};

TEST(RegisterFaults, EveryCommandFailingInTurn)
{
    const SweepCase cases[] = {{"alder:flash=A25L05PU", 10000, 1}, {"larch:flash=SST25VF512A", 16384, 61}};
    for (const SweepCase &c : cases) {
        SCOPED_TRACE(c.spec);
        const Bytes image = Random(c.fileLength, 11);
        std::uint64_t total = 0;
        {
            Register clean;
            clean.add(c.spec);
            const std::uint64_t before = clean.simulation.backend().commandCount(clean.path());
            ASSERT_EQ(clean.run(image), 1) << clean.window.StatusEdit.text();
            total = clean.simulation.backend().commandCount(clean.path()) - before;
        }
        for (auto kind : {sim::FaultRule::Kind::TransportError, sim::FaultRule::Kind::PowerLoss}) {
            for (std::uint64_t k = 1; k <= total; k += (k < 200 || k + 200 > total) ? 1 : c.stride) {
                Register w;
                w.add(c.spec);
                sim::FaultRule rule = sim::Fault(kind);
                rule.nth = w.simulation.backend().commandCount(w.path()) + k;
                w.simulation.backend().addFault(w.path(), rule);
                const int result = w.run(image);
                if (result == 1) {
                    // A fault during identification can hide the SST part; the
                    // block-wise run then keeps the settings area and puts the
                    // file behind it. Either way the file must be there, verified.
                    const bool atZero = std::equal(image.begin(), image.end(), w.flash().begin());
                    const bool behindSettings =
                        std::equal(image.begin(), image.end(), w.flash().begin() + 4096);
                    EXPECT_TRUE(atZero || behindSettings) << "k=" << k;
                }
            }
        }
    }
}

} // namespace
} // namespace brigant
