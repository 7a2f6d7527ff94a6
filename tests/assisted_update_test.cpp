// The firmware-assisted update (Parts 7.1, 7.2) run through the window's Run
// button on simulated bridges: the flash is checked byte for byte.
#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/status_texts.h"
#include "device/scsi_backend.h"
#include "image/checksums.h"
#include "sim/chip_presets.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim_world.h"
#include "update/assisted/assisted_update.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

struct Sent {
    std::vector<std::uint8_t> cdb;
    std::uint32_t length = 0;
};

// Passes every command on to the simulation and keeps its CDB.
class Tap final : public ScsiBackend
{
  public:
    explicit Tap(ScsiBackend &inner) : inner_(inner) {}
    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override
    {
        sent.push_back({std::vector<std::uint8_t>(cmd.cdb, cmd.cdb + cmd.cdbLength), cmd.length});
        return inner_.execute(path, cmd);
    }
    std::vector<Sent> sent;

  private:
    ScsiBackend &inner_;
};

class AssistedUpdate : public ::testing::Test, public test::SimWorld
{
  public:
    AssistedUpdate()
    {
        dir = fs::temp_directory_path() / ("brigant-assisted-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    ~AssistedUpdate() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // A preset bridge, found and selected as the window does it.
    void addBridge(const std::string &spec)
    {
        std::string error;
        path = simulation.add(spec, error);
        ASSERT_FALSE(path.empty()) << error;
        bridge = simulation.bridges().back();
        enumerator = std::make_unique<SimDiskEnumerator>(simulation);
        services.diskEnumerator(enumerator.get());
        RefreshBtnClick(window);
        ASSERT_EQ(window.listedCount, 1);
        window.DeviceList.select(0);
        path = window.selectedEntry().path;
    }
    Bytes &flash() { return bridge->flash().contents(); }
    std::string writeFile(const std::string &name, const Bytes &bytes)
    {
        const std::string file = (dir / name).string();
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    Bytes presetFile(const std::string &spec)
    {
        PresetSpec parsed;
        std::string error;
        EXPECT_TRUE(ParsePresetSpec(spec, parsed, error)) << error;
        PresetFirmwareFile file;
        EXPECT_TRUE(MakePresetFirmwareFile(parsed, file, error)) << error;
        return file.bytes;
    }
    // A pattern for an NVRAM area the device holds.
    void fillNvram(std::uint32_t at, std::uint32_t size = 4096)
    {
        for (std::uint32_t i = 0; i < size; ++i)
            flash()[at + i] = static_cast<std::uint8_t>(0xA5 ^ i * 7);
    }
    Bytes slice(const Bytes &b, std::size_t at, std::size_t n) const
    {
        return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
                     b.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    // Load File and Run, as a user would.
    int run(const std::string &file, bool includeNvram = false)
    {
        // A bridge that reset itself after an earlier run is back by now.
        clock.sleepMs(Simulation::kReattachDelayMs + 100);
        simulation.backend().poll();
        window.FwFilenameEdit.setText(file);
        window.NVRAMCheck.setChecked(includeNvram);
        window.UpdateBtn.setEnabled(true);
        window.UpdateBtn.click();
        return window.runResult;
    }
    int service(bool erase, bool includeNvram = false, const std::string &backupFile = {})
    {
        window.RdCheckBox.setChecked(true);
        window.BackupFileEdit.setText(backupFile);
        if (erase)
            window.EraseOnlyCheck.setChecked(true);
        else
            window.BackupFWCheckBox.setChecked(true);
        window.NVRAMCheck.setChecked(includeNvram);
        window.UpdateBtn.setEnabled(true);
        window.UpdateBtn.click();
        return window.runResult;
    }
    // The image code 13 / 27 writes: the file with its checksum at the end of the code area.
    static Bytes WithChecksum(Bytes image, std::uint32_t end)
    {
        // An independent computation: CRC-16/XMODEM over groups of four bytes taken last byte first.
        std::uint16_t crc = 0;
        for (std::uint32_t g = 0; g + 4 <= end - 4; g += 4) {
            for (int k = 3; k >= 0; --k) {
                crc ^= static_cast<std::uint16_t>(image[g + static_cast<std::uint32_t>(k)] << 8);
                for (int bit = 0; bit < 8; ++bit)
                    crc = static_cast<std::uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
            }
        }
        image[end - 2] = static_cast<std::uint8_t>(crc >> 8);
        image[end - 1] = static_cast<std::uint8_t>(crc);
        return image;
    }

    fs::path dir;
    std::string path;
    std::shared_ptr<SimBridge> bridge;
    std::unique_ptr<SimDiskEnumerator> enumerator;
};

Bytes Pattern(std::size_t size, std::uint32_t seed)
{
    Bytes b(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto &v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

TEST_F(AssistedUpdate, Code13OnePassOn64KiBKeepsNvramAndStoresTheChecksum)
{
    addBridge("nutmeg:flash=PM25LV512");
    ASSERT_EQ(window.chip.ChipTypeCode, 13);
    ASSERT_EQ(window.chip.FlashSizeKb, 64);
    fillNvram(0xC000);
    const Bytes nvram = slice(flash(), 0xC000, 4096);
    const Bytes file = presetFile("nutmeg:ext=2.3.4.5");
    ASSERT_EQ(file.size(), 0x10000u);
    EXPECT_EQ(run(writeFile("n.bin", file)), 1);
    EXPECT_EQ(window.StatusEdit.text(), StatusText(StatusCode::ProgrammingSuccess));

    Bytes expected = WithChecksum(file, 0xC000);
    std::copy(nvram.begin(), nvram.end(), expected.begin() + 0xC000);
    EXPECT_EQ(flash(), expected);
    // The checksum agrees with the program's own and with what the file carried.
    const std::uint16_t crc = ImageCrc16(expected.data(), 0xC000 - 4, 0);
    EXPECT_EQ(expected[0xBFFE], crc >> 8);
    EXPECT_EQ(expected[0xBFFF], crc & 0xFF);
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text, NoticeText(Notice::PowerCycle));
    // The bridge restarted from the new firmware.
    EXPECT_EQ(bridge->resetCount(), 1u);
    EXPECT_EQ(bridge->identity().chipInfo[12], 2);
}

TEST_F(AssistedUpdate, Code13TwoPassesWriteTheFirstHalfAgainOrTheSecondHalf)
{
    addBridge("nutmeg");
    ASSERT_EQ(window.chip.FlashSizeKb, 512);
    fillNvram(0xC000);
    const Bytes nvram = slice(flash(), 0xC000, 4096);
    const Bytes before = flash();

    // 64 KiB file: the same first 64 KiB at 0x10000 again.
    const Bytes small = Pattern(0x10000, 3);
    EXPECT_EQ(run(writeFile("small.bin", small)), 1);
    Bytes half = WithChecksum(small, 0xC000);
    std::copy(nvram.begin(), nvram.end(), half.begin() + 0xC000);
    EXPECT_EQ(slice(flash(), 0, 0x10000), half);
    EXPECT_EQ(slice(flash(), 0x10000, 0x10000), half);
    EXPECT_EQ(slice(flash(), 0x20000, 0x60000), slice(before, 0x20000, 0x60000));

    // 128 KiB file: its second half at 0x10000, no checksum stored.
    const Bytes big = Pattern(0x20000, 4);
    EXPECT_EQ(run(writeFile("big.bin", big)), 1);
    Bytes first = slice(big, 0, 0x10000);
    std::copy(nvram.begin(), nvram.end(), first.begin() + 0xC000);
    EXPECT_EQ(slice(flash(), 0, 0x10000), first);
    EXPECT_EQ(slice(flash(), 0x10000, 0x10000), slice(big, 0x10000, 0x10000));
}

TEST_F(AssistedUpdate, IncludeNvramTakesTheFilesArea)
{
    addBridge("nutmeg:flash=PM25LV512");
    fillNvram(0xC000);
    const Bytes file = Pattern(0x10000, 5);
    EXPECT_EQ(run(writeFile("n.bin", file), true), 1);
    EXPECT_EQ(flash(), WithChecksum(file, 0xC000));
}

TEST_F(AssistedUpdate, Code27KeepsItsNvramAt0x8000)
{
    addBridge("aspen");
    ASSERT_EQ(window.chip.ChipTypeCode, 27);
    fillNvram(0x8000);
    const Bytes nvram = slice(flash(), 0x8000, 4096);
    const Bytes file = Pattern(0x10000, 6);
    EXPECT_EQ(run(writeFile("a.bin", file)), 1);
    Bytes expected = WithChecksum(file, 0x8000);
    std::copy(nvram.begin(), nvram.end(), expected.begin() + 0x8000);
    EXPECT_EQ(slice(flash(), 0, 0x10000), expected);
    EXPECT_EQ(slice(flash(), 0x10000, 0x10000), expected);
}

TEST_F(AssistedUpdate, Code9KeepsItsNvramAt0AndBacksUp61440Bytes)
{
    addBridge("juniper");
    ASSERT_EQ(window.chip.ChipTypeCode, 9);
    fillNvram(0);
    const Bytes nvram = slice(flash(), 0, 4096);
    const Bytes file = presetFile("juniper:nvram=1,ext=3.1.0.0");
    EXPECT_EQ(run(writeFile("j.bin", file)), 1);
    Bytes expected = file;
    std::copy(nvram.begin(), nvram.end(), expected.begin());
    EXPECT_EQ(slice(flash(), 0, file.size()), expected);

    const std::string backup = (dir / "backup.bin").string();
    EXPECT_EQ(service(false, false, backup), 1);
    EXPECT_EQ(fs::file_size(backup), 61440u);
    std::ifstream in(backup, std::ios::binary);
    Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, slice(flash(), 4096, 61440));
}

TEST_F(AssistedUpdate, RetriesWithSectorThenWholeChipErase)
{
    addBridge("nutmeg:flash=PM25LV512");
    Tap tap(simulation.backend());
    services.backend(&tap);
    const Bytes file = Pattern(0x10000, 7);
    // Fail one write of each of the first two attempts.
    std::vector<std::uint8_t> modes;
    simulation.backend().addFault(path, [] {
        FaultRule r = Fault(FaultRule::Kind::TransportError);
        r.cdbPrefix = {0xDF, 0x02};
        r.times = 1;
        return r;
    }());
    simulation.backend().addFault(path, [] {
        FaultRule r = Fault(FaultRule::Kind::TransportError);
        r.cdbPrefix = {0xDF, 0x01};
        r.times = 1;
        return r;
    }());
    EXPECT_EQ(run(writeFile("n.bin", file), true), 1);
    for (const Sent &s : tap.sent)
        if (s.cdb.size() == 12 && s.cdb[0] == 0xDF && s.cdb[11] == 0xFB && s.cdb[1] != 0 &&
            (modes.empty() || modes.back() != s.cdb[1]))
            modes.push_back(s.cdb[1]);
    EXPECT_EQ(modes, (std::vector<std::uint8_t>{2, 1, 3}));
    EXPECT_EQ(flash(), WithChecksum(file, 0xC000));
}

// The buffer path of the codes 15 to 18 through Run: a bridge with a blank
// flash runs from its ROM, so the manufacturing firmware is downloaded first
// (once: it then runs from RAM and programs the rest); a bridge running its
// firmware is programmed without the download. Either way the bridge then
// starts the file's firmware.
class BufferPathUpdate : public AssistedUpdate, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(BufferPathUpdate, ProgramsAndTheBridgeStartsTheFile)
{
    addBridge(GetParam());
    ASSERT_TRUE(window.ReadWriteBufferChk.checked());
    const Bytes file = presetFile("quince:exttext=1120");
    EXPECT_EQ(run(writeFile("q.bin", file)), 1) << window.StatusEdit.text();
    EXPECT_EQ(window.StatusEdit.text(), "Programming Success!!");
    bridge->boot();
    EXPECT_EQ(Bytes(bridge->identity().chipInfo.begin() + 12, bridge->identity().chipInfo.begin() + 16),
              (Bytes{'1', '1', '2', '0'}));
}

INSTANTIATE_TEST_SUITE_P(FromRomAndRunning, BufferPathUpdate,
                         ::testing::Values("quince:blank=1", "quince:version=3.0,ext=31.25.1.5"));

TEST_F(AssistedUpdate, EraseOnlyKeepsTheNvram)
{
    addBridge("nutmeg");
    fillNvram(0xC000);
    const Bytes nvram = slice(flash(), 0xC000, 4096);
    EXPECT_EQ(service(true), 1);
    Bytes expected(0x20000, 0xFF);
    std::copy(nvram.begin(), nvram.end(), expected.begin() + 0xC000);
    EXPECT_EQ(slice(flash(), 0, 0x20000), expected);
    EXPECT_EQ(ui.boxes.back().text, NoticeText(Notice::AutoReset));
}

// 1394 ---------------------------------------------------------------------

class Sbp2Update : public AssistedUpdate
{
  protected:
    std::vector<Sent> writes(const Tap &tap) const
    {
        std::vector<Sent> out;
        for (const Sent &s : tap.sent)
            if (s.cdb.size() == 12 && s.cdb[0] == 0xDF && s.cdb[11] == 0xFB)
                out.push_back(s);
        return out;
    }
    static std::uint32_t AddressOf(const Sent &s)
    {
        return static_cast<std::uint32_t>(s.cdb[8] << 16 | s.cdb[9] << 8 | s.cdb[10]);
    }
};

TEST_F(Sbp2Update, A20KiBFileIs128FlaggedOnceWritesWithTheNvramUntouched)
{
    addBridge("hazel-1394");
    ASSERT_EQ(window.chip.ChipTypeCode, 8);
    fillNvram(0x8000, 1024);
    const Bytes nvramArea = slice(flash(), 0x8000, 0x8000);
    Tap tap(simulation.backend());
    services.backend(&tap);
    const Bytes file = Pattern(20 * 1024, 8);
    EXPECT_EQ(run(writeFile("h.bin", file)), 1);
    const auto w = writes(tap);
    ASSERT_EQ(w.size(), 128u);
    for (const Sent &s : w) {
        EXPECT_EQ(s.length, 256u);
        EXPECT_EQ(s.cdb[1], AddressOf(s) == 0 ? 1 : 0) << AddressOf(s);
    }
    Bytes expected = file;
    expected.resize(0x8000, 0);
    EXPECT_EQ(slice(flash(), 0, 0x8000), expected);
    EXPECT_EQ(slice(flash(), 0x8000, 0x8000), nvramArea);
}

TEST_F(Sbp2Update, A40KiBFileFlagsTheChunksAt0And0x8000)
{
    addBridge("hazel-1394");
    Tap tap(simulation.backend());
    services.backend(&tap);
    const Bytes file = Pattern(40 * 1024, 9);
    EXPECT_EQ(run(writeFile("h.bin", file)), 1);
    std::vector<std::uint32_t> flagged;
    for (const Sent &s : writes(tap))
        if (s.cdb[1] & 1)
            flagged.push_back(AddressOf(s));
    EXPECT_EQ(flagged, (std::vector<std::uint32_t>{0, 0x8000}));
    EXPECT_EQ(slice(flash(), 0, file.size()), file);
}

TEST_F(Sbp2Update, EraseOnlyLeaves64KiBBlankButTheNvram)
{
    addBridge("hazel-1394");
    fillNvram(0x8000, 1024);
    const Bytes nvram = slice(flash(), 0x8000, 1024);
    EXPECT_EQ(service(true), 1);
    Bytes expected(0x10000, 0xFF);
    std::copy(nvram.begin(), nvram.end(), expected.begin() + 0x8000);
    EXPECT_EQ(slice(flash(), 0, 0x10000), expected);
}

// Faults --------------------------------------------------------------------

// Fails command k of a run for every k (kinds error and powerloss): the run
// never reports success unless the flash holds the new image with the NVRAM kept.
struct SweepCase {
    const char *preset;
    std::uint32_t fileSize;
    std::uint32_t nvramAt, nvramSize, checked;
};

class FaultSweep : public ::testing::TestWithParam<SweepCase>
{
};

TEST_P(FaultSweep, SuccessOnlyWithTheNewImage)
{
    const SweepCase c = GetParam();
    const Bytes file = Pattern(c.fileSize, 11);
    std::uint64_t commands = 0;
    {
        // A clean run counts the commands.
        struct Clean : AssistedUpdate {
            void TestBody() override {}
        } world;
        world.addBridge(c.preset);
        const std::uint64_t before = world.simulation.backend().commandCount(world.path);
        EXPECT_EQ(world.run(world.writeFile("f.bin", file)), 1);
        commands = world.simulation.backend().commandCount(world.path) - before;
    }
    ASSERT_GT(commands, 10u);
    for (auto kind : {FaultRule::Kind::TransportError, FaultRule::Kind::PowerLoss}) {
        for (std::uint64_t k = 1; k <= commands; ++k) {
            struct World : AssistedUpdate {
                void TestBody() override {}
            } world;
            world.addBridge(c.preset);
            world.fillNvram(c.nvramAt, c.nvramSize);
            const Bytes nvram = world.slice(world.flash(), c.nvramAt, c.nvramSize);
            FaultRule rule = Fault(kind);
            rule.nth = world.simulation.backend().commandCount(world.path) + k;
            world.simulation.backend().addFault(world.path, rule);
            const std::string name = world.writeFile("f.bin", file);
            const int result = world.run(name);
            if (result != 1)
                continue;
            SCOPED_TRACE(std::string(kind == FaultRule::Kind::PowerLoss ? "powerloss" : "error") + "@" +
                         std::to_string(k));
            Bytes got = world.slice(world.flash(), 0, c.checked);
            EXPECT_EQ(world.slice(got, c.nvramAt, c.nvramSize), nvram);
            for (std::uint32_t i = 0; i < c.fileSize && i < c.checked; ++i) {
                if (i >= c.nvramAt && i < c.nvramAt + c.nvramSize)
                    continue;
                if (i >= 0xBFFC && i < 0xC000 && c.nvramAt == 0xC000)
                    continue; // the checksum
                ASSERT_EQ(got[i], file[i]) << "at " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultSweep,
                         ::testing::Values(SweepCase{"nutmeg:flash=PM25LV512", 0x10000, 0xC000, 4096,
                                                     0x10000},
                                           SweepCase{"hazel-1394", 20 * 1024, 0x8000, 1024, 0x8400}));

} // namespace
