// The simulated bridge, driven through the real transport and bridge commands.
#include "app/installed_services.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "common/hex.h"
#include "device/transport.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;

class SimBridgeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        services.clock(&clock).backend(&simulation.backend());
        path = add("generic");
    }
    std::string add(const std::string &spec)
    {
        std::string error;
        std::string p = simulation.add(spec, error);
        EXPECT_FALSE(p.empty()) << error;
        return p;
    }
    SimBridge &bridge(std::size_t i = 0) { return *simulation.bridges()[i]; }
    Bytes readFlash(std::uint32_t address, std::uint32_t length)
    {
        Bytes out(length);
        EXPECT_EQ(ReadFlash(path, address, out.data(), length), 1);
        return out;
    }
    Bytes senseOf(const std::uint8_t *cdb, int cdbLength, std::uint32_t length = 4)
    {
        Bytes buf(length), sense(18);
        std::uint32_t count = 0;
        EXPECT_EQ(SendScsiInSense(path, cdb, cdbLength, buf.data(), length, count, sense.data(), 18), 0);
        return sense;
    }

    VirtualClock clock;
    Simulation simulation{clock};
    InstalledServices services;
    std::string path;
};

} // namespace

TEST_F(SimBridgeTest, AnswersIdentificationCommands)
{
    std::uint8_t info[16];
    std::uint32_t count = 0;
    ASSERT_EQ(ReadChipInfo(path, info, 16, count), 1);
    EXPECT_EQ(count, 16u);
    EXPECT_EQ(info[0], 0xF4);
    EXPECT_EQ(info[1], 0xE7);
    EXPECT_EQ(std::string(info + 8, info + 11), "GEN");

    std::uint8_t inquiry[40] = {};
    ASSERT_EQ(ReadInquiry(path, inquiry, 40), 1);
    EXPECT_EQ(std::string(inquiry + 8, inquiry + 14), "Velkor");

    std::uint8_t probe[2];
    EXPECT_EQ(ProbeVendorCommand(path, probe), 1);

    // A bridge that delivers 12 bytes of chip information.
    const std::string short12 = add("generic:chipinfo=12,version=2.7");
    std::uint8_t info12[16];
    std::memset(info12, 0xEE, sizeof info12);
    ASSERT_EQ(ReadChipInfo(short12, info12, 16, count), 1);
    EXPECT_EQ(count, 12u);
    EXPECT_EQ(info12[6], 2);
    EXPECT_EQ(info12[7], 7);
    EXPECT_EQ(info12[12], 0); // the aligned buffer's zeros
}

TEST_F(SimBridgeTest, RejectsWhatItDoesNotKnow)
{
    const std::uint8_t unknown[12] = {0xFF, 0x04, 0x77};
    EXPECT_EQ(senseOf(unknown, 12), (Bytes{0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0}));

    const std::string disk = add("plain-disk");
    std::uint8_t reply[2];
    EXPECT_EQ(ProbeVendorCommand(disk, reply), 0);
    std::uint8_t info[16];
    std::uint32_t count;
    EXPECT_EQ(ReadChipInfo(disk, info, 16, count), 0);
    std::uint8_t inquiry[36];
    EXPECT_EQ(ReadInquiry(disk, inquiry, 36), 1);
}

TEST_F(SimBridgeTest, EraseIsReallyBusyAndTheHostMustWait)
{
    ASSERT_EQ(EraseFlashAll(path), 1);
    std::uint8_t status = 0;
    ASSERT_EQ(ReadFlashStatus(path, &status), 1);
    EXPECT_EQ(status & 0x01, 1);
    const std::uint64_t start = clock.nowMs();
    EXPECT_EQ(WaitFlashReady(path), 1);
    EXPECT_GT(clock.nowMs(), start); // the part's erase time passed on the virtual clock
    EXPECT_EQ(readFlash(0, 64), Bytes(64, 0xFF));

    // Programming can only clear bits.
    const Bytes a(32, 0x0F), b(32, 0xF0);
    ASSERT_EQ(WriteFlash(path, 0x100, a.data(), 32), 1);
    ASSERT_EQ(WriteFlash(path, 0x100, b.data(), 32), 1);
    EXPECT_EQ(readFlash(0x100, 32), Bytes(32, 0x00));
}

TEST_F(SimBridgeTest, WritingWithoutWaitingForTheEraseLosesData)
{
    ASSERT_EQ(EraseFlashBlock(path, 0), 1);
    const Bytes data(512, 0x5A);
    ASSERT_EQ(WriteFlash(path, 0, data.data(), 512), 1); // while the erase still runs
    WaitFlashReady(path);
    EXPECT_NE(readFlash(0, 512), data);
}

TEST_F(SimBridgeTest, FirmwareMediatedWritesEraseAsTheModeAsks)
{
    const Bytes first(4096, 0x00);
    ASSERT_EQ(WriteBlock24(path, 0x0000, first.data(), 4096, 3), 1); // whole chip, then write
    ASSERT_EQ(WriteBlock24(path, 0x1000, first.data(), 4096, 0), 1);
    Bytes out(0x2000);
    ASSERT_EQ(ReadBlock24(path, 0, out.data(), 0x2000), 1);
    EXPECT_EQ(out, Bytes(0x2000, 0x00));

    // Mode 1: the sector holding the chunk is erased first, the rest of it too.
    const Bytes half(2048, 0xA5);
    ASSERT_EQ(WriteBlock24(path, 0x1000, half.data(), 2048, 1), 1);
    ASSERT_EQ(ReadBlock24(path, 0x1000, out.data(), 4096), 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 2048), half);
    EXPECT_EQ(Bytes(out.begin() + 2048, out.begin() + 4096), Bytes(2048, 0xFF));
    // The sector before is untouched.
    ASSERT_EQ(ReadBlock24(path, 0, out.data(), 4096), 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4096), Bytes(4096, 0x00));

    // Mode 0 programs over what is there: bits only clear.
    const Bytes mask(2048, 0x0F);
    ASSERT_EQ(WriteBlock24(path, 0x1000, mask.data(), 2048, 0), 1);
    ASSERT_EQ(ReadBlock24(path, 0x1000, out.data(), 2048), 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 2048), Bytes(2048, 0x05));
}

TEST_F(SimBridgeTest, RawSpiChannelReachesTheFlash)
{
    std::uint8_t id[4] = {};
    ASSERT_EQ(SpiQuery(path, 0x9F, id, 3), 1);
    const auto &jedec = bridge().flash().part();
    (void)jedec;
    EXPECT_EQ(id[0], 0xC2); // the default part's maker

    // 0x90 clocks three address bytes before the maker byte.
    std::uint8_t rems[4] = {};
    ASSERT_EQ(SpiQuery(path, 0x90, rems, 4), 1);
    EXPECT_EQ(rems[3], 0xC2);

    // Write enable through the raw channel shows in the status register.
    ASSERT_EQ(WriteEnable(path), 1);
    EXPECT_EQ(WaitStatusSet(path, 2), 1);
    ASSERT_EQ(SpiWriteData(path, Bytes{0x04}.data(), 1), 1); // write disable, clocked as data
    std::uint8_t status = 0xFF;
    ASSERT_EQ(ReadFlashStatus(path, &status), 1);
    EXPECT_EQ(status & 0x02, 0);
}

TEST_F(SimBridgeTest, ResetLeavesTheBusAndComesBack)
{
    std::vector<std::pair<std::string, bool>> events;
    simulation.backend().setDeviceEventListener(
        [&](const std::string &p, bool arrived) { events.emplace_back(p, arrived); });
    ASSERT_EQ(ResetChip(path), 1);
    EXPECT_EQ(bridge().resetCount(), 1u);
    std::uint8_t info[16];
    std::uint32_t count;
    EXPECT_EQ(ReadChipInfo(path, info, 16, count), 0);
    EXPECT_EQ(LastTransportFailure().openError, OpenError::NotFound);
    clock.advance(Simulation::kReattachDelayMs);
    EXPECT_EQ(ReadChipInfo(path, info, 16, count), 1);
    EXPECT_EQ(events, (std::vector<std::pair<std::string, bool>>{{path, false}, {path, true}}));

    // A re-enumerating bus gives the device a new node; --device's view of
    // the bus follows it there by its port.
    simulation.backend().setRenumberOnReattach(true);
    SimDiskEnumerator disks(simulation);
    OneDiskEnumerator one(disks, path);
    std::vector<DiskInterface> listed;
    ASSERT_TRUE(one.listDisks(listed));
    ASSERT_EQ(listed.size(), 1u);
    ResetChip(path);
    clock.advance(Simulation::kReattachDelayMs);
    simulation.backend().poll();
    ASSERT_EQ(simulation.backend().paths().size(), 1u);
    EXPECT_NE(simulation.backend().paths()[0], path);
    ASSERT_TRUE(one.listDisks(listed));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, simulation.backend().paths()[0]);
}

TEST_F(SimBridgeTest, InjectedFaults)
{
    auto &backend = simulation.backend();
    std::uint8_t info[16];
    std::uint32_t count = 0;
    const std::uint8_t chipInfo[12] = {0xE0, 0xF4, 0xE7};
    std::uint8_t sense[18];

    const ScopedSensePolicy once(SensePolicy::SendOnce); // each fault reaches the caller
    backend.addFault(path, NotReadyFault(2, {0xE0}));
    EXPECT_EQ(SendScsiInSense(path, chipInfo, 12, info, 16, count, sense, 18), 0);
    EXPECT_TRUE(IsBecomingReady(sense, 18));
    EXPECT_EQ(SendScsiInSense(path, chipInfo, 12, info, 16, count, sense, 18), 0);
    EXPECT_EQ(SendScsiInSense(path, chipInfo, 12, info, 16, count, sense, 18), 1);

    FaultRule shortData = Fault(FaultRule::Kind::ShortData);
    shortData.value = 5;
    backend.addFault(path, shortData);
    std::memset(info, 0, sizeof info);
    ASSERT_EQ(ReadChipInfo(path, info, 16, count), 1);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(info[5], 0);

    FaultRule corrupt = Fault(FaultRule::Kind::CorruptByte);
    corrupt.value = 0;
    backend.addFault(path, corrupt);
    ASSERT_EQ(ReadChipInfo(path, info, 16, count), 1);
    EXPECT_EQ(info[0], static_cast<std::uint8_t>(~0xF4));

    FaultRule transport = Fault(FaultRule::Kind::TransportError);
    transport.nth = backend.commandCount(path) + 1;
    backend.addFault(path, transport);
    EXPECT_EQ(ReadChipInfo(path, info, 16, count), 0);
    EXPECT_EQ(ReadChipInfo(path, info, 16, count), 1);

    backend.setHeldElsewhere(path, true);
    EXPECT_EQ(ReadChipInfo(path, info, 16, count), 1); // shares the device
    EXPECT_EQ(WriteFlash(path, 0, info, 16), 0);       // needs it alone
    EXPECT_EQ(LastTransportFailure().openError, OpenError::Busy);
    backend.setHeldElsewhere(path, false);
}

TEST_F(SimBridgeTest, PowerLossKeepsTheStateOfThatMoment)
{
    const Bytes data(256, 0x00);
    ASSERT_EQ(WriteBlock24(path, 0, data.data(), 256, 1), 1);
    FaultRule loss = Fault(FaultRule::Kind::PowerLoss);
    loss.nth = simulation.backend().commandCount(path) + 2;
    simulation.backend().addFault(path, loss);
    ASSERT_EQ(WriteBlock24(path, 0x1000, data.data(), 256, 1), 1);
    EXPECT_EQ(WriteBlock24(path, 0x2000, data.data(), 256, 1), 0);
    clock.advance(60000);
    std::uint8_t info[16];
    std::uint32_t count;
    EXPECT_EQ(ReadChipInfo(path, info, 16, count), 0);
    const auto &flash = bridge().flash().contents();
    EXPECT_EQ(flash[0x1000], 0x00);
    EXPECT_EQ(flash[0x2000], 0xFF);
}

TEST_F(SimBridgeTest, StateSurvivesInADirectory)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("brigant-sim-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    const Bytes data(16, 0x42);
    ASSERT_EQ(WriteBlock24(path, 0x40, data.data(), 16, 0), 1);
    bridge().xdata()[0xFDB0] = 0xB4;
    std::string error;
    ASSERT_TRUE(simulation.saveState(dir.string(), error)) << error;
    EXPECT_EQ(fs::file_size(dir / "flash.bin"), bridge().flash().contents().size());

    VirtualClock otherClock;
    Simulation again(otherClock);
    ASSERT_FALSE(again.add("generic", error).empty());
    ASSERT_TRUE(again.loadState(dir.string(), error)) << error;
    EXPECT_EQ(again.bridges()[0]->flash().contents()[0x40], 0x42);
    EXPECT_EQ(again.bridges()[0]->xdata()[0xFDB0], 0xB4);

    // A flash file of the wrong size is refused, not truncated or padded.
    fs::resize_file(dir / "flash.bin", 1000);
    EXPECT_FALSE(again.loadState(dir.string(), error));
    EXPECT_NE(error.find("1000"), std::string::npos);
    fs::remove_all(dir);
}

TEST(SimPresets, SpecsAndOptions)
{
    PresetSpec spec;
    std::string error;
    ASSERT_TRUE(ParsePresetSpec("generic:flash=W25X40,version=3.4", spec, error));
    EXPECT_EQ(spec.name, "generic");
    EXPECT_EQ(spec.options.at("flash"), "W25X40");
    EXPECT_FALSE(ParsePresetSpec("generic:flash", spec, error));
    EXPECT_FALSE(ParsePresetSpec(":x=1", spec, error));

    VirtualClock clock;
    for (const char *bad : {"nosuch", "generic:flash=NOPE", "generic:colour=red", "generic:version=1",
                            "generic:vid=XYZ", "generic:bus=scsi", "generic:tag=AB"}) {
        ASSERT_TRUE(ParsePresetSpec(bad, spec, error));
        EXPECT_EQ(MakePresetDevice(spec, clock, error), nullptr) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_NE(PresetHelp().find("generic"), std::string::npos);
}

// A command without data reaches the device with no direction, whichever way
// the caller put it, and the bridge takes it on the command alone.
TEST_F(SimBridgeTest, CommandsWithoutDataHaveNoDirection)
{
    struct Seen final : SimDevice {
        std::vector<WireDirection> directions;
        SimReply execute(const std::uint8_t *, int, WireDirection direction, std::uint8_t *,
                         std::uint32_t length) override
        {
            directions.push_back(direction);
            return Good(length);
        }
    };
    auto seen = std::make_shared<Seen>();
    const std::string seenPath = simulation.backend().attach(seen);
    const std::uint8_t cdb[12] = {0xFF, 0x04, 0x13};
    std::uint8_t byte = 0;
    auto run = [&](const std::string &where, const std::uint8_t *command, DataDirection direction,
                   std::uint32_t length) {
        ScsiCommand cmd;
        cmd.cdb = command;
        cmd.cdbLength = 12;
        cmd.direction = direction;
        cmd.data = length ? &byte : nullptr;
        cmd.length = length;
        return simulation.backend().execute(where, cmd);
    };
    for (DataDirection direction : {DataDirection::In, DataDirection::Out})
        run(seenPath, cdb, direction, 0);
    run(seenPath, cdb, DataDirection::In, 1);
    run(seenPath, cdb, DataDirection::Out, 1);
    EXPECT_EQ(seen->directions, (std::vector<WireDirection>{WireDirection::None, WireDirection::None,
                                                            WireDirection::In, WireDirection::Out}));

    // Commands the bridge takes without data, and ones that move data only one way.
    struct Case {
        std::uint8_t cdb[12];
        std::uint32_t length;
        bool inOk, outOk;
    };
    const Case cases[] = {
        {{0xFF, 0x04, 0x13}, 0, true, true},                             // erase the whole flash
        {{0xFF, 0x04, 0x14}, 0, true, true},                             // erase a block
        {{0xFF, 0x04, 0x25}, 0, true, true},                             // prepare for an update
        {{0xDF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}, 0, true, true},     // flash write, no data
        {{0xDF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE}, 0, true, true},     // data space write, no data
        {{0xFF, 0x04, 0x10}, 1, true, false},                            // flash read
        {{0xFF, 0x04, 0x11}, 1, false, true},                            // flash write
        {{0xDF, 0, 0, 0, 1, 0, 0xA0, 0, 0, 0, 0, 0xFE}, 1, false, true}, // data space write
    };
    for (const Case &c : cases) {
        for (DataDirection direction : {DataDirection::In, DataDirection::Out}) {
            clock.advance(60000); // past any erase
            const ScsiOutcome o = run(path, c.cdb, direction, c.length);
            const bool ok = direction == DataDirection::In ? c.inOk : c.outOk;
            EXPECT_EQ(o.scsiStatus, ok ? 0 : 2)
                << HexBytes(c.cdb, 12) << (direction == DataDirection::In ? " in" : " out");
        }
    }
}

namespace
{

// DF .. FB programs every flash part of the table (SST parts with
// auto-address increment, protected parts after lifting the protection), and
// erases with the part's own geometry.
TEST(SimBlockWrite, ProgramsEveryPartWithItsOwnEraseSizes)
{
    for (const brigant::sim::FlashPart &part : brigant::sim::FlashParts()) {
        SCOPED_TRACE(part.name);
        brigant::VirtualClock clock;
        brigant::sim::SimBridge bridge(brigant::sim::BridgeIdentity{}, part, clock);
        std::vector<std::uint8_t> data(512);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i * 13 + 1);
        std::fill(bridge.flash().contents().begin(), bridge.flash().contents().begin() + 0x2000, 0x00);
        const std::uint8_t cdb[12] = {0xDF, 0x01, 0x00, 0x02, 0x00, 0, 0, 0, 0x00, 0x10, 0x00, 0xFB};
        const auto reply = bridge.execute(cdb, 12, brigant::sim::WireDirection::Out, data.data(), 512);
        EXPECT_EQ(reply.status, 0);
        const auto &flash = bridge.flash().contents();
        EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x1000));
        // The part's sector (its smallest erase) was erased, not more.
        std::uint32_t sector = part.sizeBytes;
        for (const auto &op : part.erases)
            if (op.sizeBytes && op.sizeBytes < sector)
                sector = op.sizeBytes;
        if (sector <= 0x1000) {
            EXPECT_EQ(flash[0x0FFF], 0x00);
            EXPECT_EQ(flash[0x1000 + sector - 1], 0xFF);
        }
    }
}

} // namespace
