// The firmware kept on the disk behind the code-30 bridge: where its area
// lies, programming, erasing and backing it up against the simulated disk,
// and the refusals that keep the user's partitions untouched.
#include "sim/chip_presets.h"
#include "sim/disk_firmware.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim_world.h"
#include "update/diskarea/disk_update.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

class DiskUpdateTest : public ::testing::Test, public test::SimWorld
{
  protected:
    void TearDown() override { fs::remove_all(dir); }

    void addBridge(const std::string &spec)
    {
        std::string error;
        path = simulation.add(spec, error);
        ASSERT_FALSE(path.empty()) << error;
        bridge = simulation.bridges().back();
        window.devices[0].path = path;
        window.DeviceList.addItem("<<USB>> elm-e-disk");
        window.DeviceList.setItemIndex(0);
        window.chip.ChipTypeCode = 30;
        window.chip.FlashKind = 0;
        fs::create_directories(dir);
    }
    std::string writeFile(const Bytes &bytes)
    {
        const fs::path file = dir / "fw.bin";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file.string();
    }
    int press()
    {
        window.UpdateBtn.setEnabled(true);
        window.UpdateBtn.click();
        return window.runResult;
    }
    Bytes disk(std::uint64_t lba, std::uint32_t bytes) const
    {
        SimDisk &d = *bridge->identity().disk;
        Bytes out(bytes);
        EXPECT_TRUE(d.read(lba, bytes / d.sectorSize(), out.data()));
        return out;
    }

    void SetUp() override { services.diskEnumerator(&enumerator); }

    SimDiskEnumerator enumerator{simulation};
    std::string path;
    std::shared_ptr<SimBridge> bridge;
    fs::path dir = fs::temp_directory_path() / ("brigant-disk-" + std::to_string(::getpid()));
};

Bytes Pattern(std::size_t n, unsigned seed)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>((i * 7 + seed) ^ (i >> 9));
    return b;
}

// What a unit of the area holds after programming `file` with area base `base`.
Bytes Programmed(const Bytes &file, std::size_t units, std::uint32_t base)
{
    Bytes image(units * kDiskAreaUnit, 0);
    std::copy(file.begin(), file.end(), image.begin());
    const std::uint8_t marker[6] = {
        0x55, std::uint8_t(base >> 24), std::uint8_t(base >> 16), std::uint8_t(base >> 8), std::uint8_t(base),
        0xAA};
    std::copy(marker, marker + 6, image.begin() + 150);
    return image;
}

} // namespace

TEST(DiskArea, WhereTheAreaLies)
{
    // 976773168 sectors, last LBA 0x3A38602F, no end flag.
    EXPECT_EQ(DiskAreaLba(0x3A38602F, 0, false), 0x3A385F00u);
    // With the end flag the base is the last LBA + 1 and nothing is subtracted.
    EXPECT_EQ(DiskAreaLba(0x3A386030, 0, true), 0x3A385F00u);
    EXPECT_EQ(DiskAreaLba(0x100, 0, true), 0u);
    // More than 2^32 sectors: 64-bit arithmetic on the high half and the base.
    EXPECT_EQ(DiskAreaLba(0x12345, 1, false), 0x100012200ull);

    std::uint8_t id[512] = {};
    EXPECT_EQ(SectorSizeOf(id), 512u);
    id[212] = 0x00, id[213] = 0x60; // word 106 = 0x6000
    id[234] = 0x00, id[235] = 0x08; // words 117-118 = 2048 words
    EXPECT_EQ(SectorSizeOf(id), 4096u);
    id[213] = 0x70; // another word 106: not taken
    EXPECT_EQ(SectorSizeOf(id), 512u);
    id[120] = 0xFF, id[121] = 0xFF, id[122] = 0xFF, id[123] = 0x0F; // 0x0FFFFFFF: the 48-bit words
    id[200] = 0x30, id[201] = 0x60, id[202] = 0x38, id[203] = 0x3A, id[204] = 0x01;
    EXPECT_EQ(CapacityOf(id), 0x13A386030ull);
}

// The large disk of 976773168 sectors: a 70000-byte file goes in as two units
// at LBA 0x3A385F00, each verified, with the marker record; the bridge then
// starts the new firmware. Nothing is held but the two units written.
TEST_F(DiskUpdateTest, LargeDiskTwoUnitsAndTheBridgeStartsThem)
{
    addBridge("elm-e-disk:sectors=976773168");
    PresetSpec spec;
    std::string error;
    ASSERT_TRUE(ParsePresetSpec("elm-e-disk:version=6.7", spec, error));
    PresetFirmwareFile made;
    ASSERT_TRUE(MakePresetFirmwareFile(spec, made, error)) << error;
    Bytes file = made.bytes;
    file.resize(70000, 0x5A);
    window.FwFilenameEdit.setText(writeFile(file));
    EXPECT_EQ(press(), 1);
    EXPECT_EQ(window.StatusEdit.text(), "Programming Success!!");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Please Turn-Off the Power and Turn-On Again!");
    EXPECT_EQ(disk(0x3A385F00, 2 * kDiskAreaUnit), Programmed(file, 2, 0x3A38602F));
    bridge->boot();
    EXPECT_EQ(bridge->identity().chipInfo[6], 6);
    EXPECT_EQ(bridge->identity().chipInfo[7], 7);
}

// 4096-byte sectors and the end flag: 16 sectors per unit, the area where the
// flag puts it.
TEST_F(DiskUpdateTest, LargeSectorsAndTheEndFlag)
{
    addBridge("elm-e-disk:sector=4096,endflag=1,sectors=0x40000");
    const Bytes file = Pattern(kDiskAreaUnit + 1000, 3);
    window.FwFilenameEdit.setText(writeFile(file));
    EXPECT_EQ(press(), 1);
    const std::uint64_t area = (0x40000 & ~0xFFull) - 256; // base = last LBA + 1 = 0x40000
    EXPECT_EQ(disk(area, 2 * kDiskAreaUnit), Programmed(file, 2, 0x40000));
    EXPECT_EQ(disk(area + 16, 4096)[0], file[kDiskAreaUnit]); // the second unit starts 16 sectors on
}

TEST_F(DiskUpdateTest, EraseKeepsTheMarkerAndBackupNeedsItsRead)
{
    addBridge("elm-e-disk:areamarker=1");
    const std::uint64_t area = AreaLba(*bridge->identity().disk, DiskArea{false, true});
    const Bytes before = disk(area, kDiskAreaUnit);
    window.RdCheckBox.setChecked(true);
    window.EraseOnlyCheck.setChecked(true);
    EXPECT_EQ(press(), 1);
    EXPECT_EQ(window.StatusEdit.text(), "Erase all data in HDD success!!");
    Bytes want(kDiskAreaUnit, 0);
    std::copy(before.begin() + 150, before.begin() + 156, want.begin() + 150);
    EXPECT_EQ(disk(area, kDiskAreaUnit), want);
    EXPECT_EQ(before[150], 0x55);

    // A failed read of the area is no backup, and a failed erase write no erase.
    window.EraseOnlyCheck.setChecked(false);
    window.BackupFWCheckBox.setChecked(true);
    window.BackupFileEdit.setText((dir / "b.bak").string());
    FaultRule readFails = Fault(FaultRule::Kind::TransportError);
    readFails.cdbPrefix = {0x85, 0x15};
    readFails.times = 2; // the read of the bridge's own record and that of the area
    simulation.backend().addFault(path, readFails);
    EXPECT_EQ(press(), 0);
    EXPECT_EQ(window.StatusEdit.text(), "Read Back to Backup Error!!");
    EXPECT_FALSE(fs::exists(dir / "b.bak"));
    EXPECT_EQ(press(), 1);
    EXPECT_EQ(window.StatusEdit.text(), "Read flash and backup success!");
    EXPECT_EQ(fs::file_size(dir / "b.bak"), kDiskAreaUnit);

    window.BackupFWCheckBox.setChecked(false);
    window.EraseOnlyCheck.setChecked(true);
    FaultRule writeFails = Fault(FaultRule::Kind::TransportError);
    writeFails.cdbPrefix = {0x85, 0x17};
    writeFails.times = 1;
    simulation.backend().addFault(path, writeFails);
    EXPECT_EQ(press(), 0);
    EXPECT_EQ(window.StatusEdit.text(), "Compare data in HDD fail!!");
}

// The area is checked against the disk before anything is written.
TEST_F(DiskUpdateTest, PartitionsMountsAndTheDiskEndAreNeverWritten)
{
    struct Case {
        const char *spec;
        std::uint32_t fileBytes;
        const char *says;
    };
    const Case cases[] = {
        {"elm-e-disk:sectors=976773168,parts=2048+976771087", 1000,
         "The firmware area at LBA 0x3A385F00 overlaps partition part1 (LBA 2048 to 976773134); nothing was "
         "written."},
        {"elm-e-disk:parts=2048+4096,mount=/media/x", 1000, "is mounted at /media/x; nothing was written."},
        {"elm-e-disk:mount=/media/y", 1000, "cannot be read; nothing was written."},
        {"elm-e-disk:endflag=1", 4 * kDiskAreaUnit,
         "runs past the end of the disk (1048576 sectors); nothing was written."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.spec);
        test::SimWorld world;
        SimDiskEnumerator worldEnumerator{world.simulation};
        world.services.diskEnumerator(&worldEnumerator);
        std::string error;
        const std::string p = world.simulation.add(c.spec, error);
        ASSERT_FALSE(p.empty()) << error;
        SimDisk &d = *world.simulation.bridges().back()->identity().disk;
        const auto held = d.chunksHeld();
        // The area's first two units as the bridge keeps them, before and after.
        const DiskArea where{std::string(c.spec).find("endflag=1") != std::string::npos, false};
        auto areaNow = [&] {
            Bytes b(2 * kDiskAreaUnit);
            EXPECT_TRUE(d.read(AreaLba(d, where), b.size() / d.sectorSize(), b.data()));
            return b;
        };
        const Bytes before = areaNow();
        world.window.devices[0].path = p;
        world.window.DeviceList.addItem("x");
        world.window.DeviceList.setItemIndex(0);
        world.window.chip.ChipTypeCode = 30;
        fs::create_directories(dir);
        world.window.FwFilenameEdit.setText(writeFile(Pattern(c.fileBytes, 1)));
        world.window.UpdateBtn.setEnabled(true);
        world.window.UpdateBtn.click();
        EXPECT_EQ(world.window.runResult, 0);
        EXPECT_NE(world.window.StatusEdit.text().find(c.says), std::string::npos)
            << world.window.StatusEdit.text();
        ASSERT_FALSE(world.ui.boxes.empty());
        EXPECT_EQ(world.ui.boxes.back().title, "Error");
        // Not a single write reached the disk.
        EXPECT_EQ(d.chunksHeld(), held);
        EXPECT_EQ(areaNow(), before);
    }
}

// Every command of a one-unit update failed in turn, by error and by power loss.
TEST_F(DiskUpdateTest, FailingEveryCommandNeverReportsAFalseSuccess)
{
    fs::create_directories(dir);
    const Bytes file = Pattern(5000, 8);
    const std::string name = writeFile(file);
    int successes = 0;
    for (FaultRule::Kind kind : {FaultRule::Kind::TransportError, FaultRule::Kind::PowerLoss}) {
        for (std::uint64_t k = 1; k <= 16; ++k) {
            test::SimWorld world;
            SimDiskEnumerator worldEnumerator{world.simulation};
            world.services.diskEnumerator(&worldEnumerator);
            std::string error;
            const std::string p = world.simulation.add("elm-e-disk", error);
            ASSERT_FALSE(p.empty()) << error;
            FaultRule r = Fault(kind);
            r.nth = k;
            world.simulation.backend().addFault(p, r);
            world.window.devices[0].path = p;
            world.window.DeviceList.addItem("x");
            world.window.DeviceList.setItemIndex(0);
            world.window.chip.ChipTypeCode = 30;
            world.window.FwFilenameEdit.setText(name);
            world.window.UpdateBtn.setEnabled(true);
            world.window.UpdateBtn.click();
            SimDisk &d = *world.simulation.bridges().back()->identity().disk;
            Bytes area(kDiskAreaUnit);
            d.read(AreaLba(d, DiskArea{}), kDiskAreaUnit / d.sectorSize(), area.data());
            const Bytes want = Programmed(file, 1, static_cast<std::uint32_t>(AreaBase(d, DiskArea{})));
            if (world.window.runResult == 1) {
                ++successes;
                EXPECT_EQ(area, want) << "k=" << k;
            }
        }
    }
    // The update sends ten commands: a fault past them changes nothing.
    EXPECT_GE(successes, 6);
}
