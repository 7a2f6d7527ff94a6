#include "app/installed_services.h"
#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "recording_backend.h"

#include <gtest/gtest.h>

using namespace brigant;
using brigant::test::RecordedCommand;
using brigant::test::RecordingBackend;
using brigant::test::Reply;
using brigant::test::ScriptedReply;

namespace
{

using Bytes = std::vector<std::uint8_t>;

class BridgeCommandTest : public ::testing::Test
{
  protected:
    void SetUp() override { services.backend(&backend).clock(&clock); }
    const RecordedCommand &last() const { return backend.commands.back(); }

    RecordingBackend backend;
    VirtualClock clock;
    InstalledServices services;
    const std::string path = "/dev/sg1";
};

} // namespace

TEST_F(BridgeCommandTest, ChipAccessCdbs)
{
    std::vector<std::uint8_t> storage(0x20000);
    std::uint8_t *buf = storage.data();
    std::uint32_t count = 0;

    ReadXdata(path, buf, 0xFDB0, 4);
    EXPECT_EQ(last().cdb, (Bytes{0xDF, 0x10, 0x00, 0x00, 0x04, 0x00, 0xFD, 0xB0, 0x00, 0x00, 0x00, 0xFD}));
    EXPECT_EQ(last().direction, DataDirection::In);
    EXPECT_EQ(last().length, 4u);

    ReadBlock24(path, 4096, buf, 1024);
    EXPECT_EQ(last().cdb, (Bytes{0xDF, 0x10, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0xFA}));

    WriteBlock24(path, 0x123456, buf, 0x10203, 0x93);
    EXPECT_EQ(last().cdb, (Bytes{0xDF, 0x83, 0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0xFB}));
    EXPECT_EQ(last().direction, DataDirection::Out);

    WriteXdata(path, buf, 0x7038, 2);
    EXPECT_EQ(last().cdb, (Bytes{0xDF, 0x00, 0x00, 0x00, 0x02, 0x00, 0x70, 0x38, 0x00, 0x00, 0x00, 0xFE}));
    EXPECT_EQ(last().direction, DataDirection::Out);

    WriteBlock16(path, 0x010200, buf, 0x0100, true);
    EXPECT_EQ(last().cdb, (Bytes{0xDF, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0xFB}));

    ReadInquiry(path, buf, 40);
    EXPECT_EQ(last().cdb, (Bytes{0x12, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0}));

    ReadChipInfo(path, buf, 16, count);
    EXPECT_EQ(last().cdb, (Bytes{0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ReadChipInfoFE(path, buf, 16, count);
    EXPECT_EQ(last().cdb[0], 0xFE);

    ReadChipSignature(path, buf, 40);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x30, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().length, 40u);

    ResetChip(path);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x26, 'V', 'K', 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().direction, DataDirection::In);
    EXPECT_FALSE(last().hadBuffer);

    PrepareFlashUpdate(path);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().direction, DataDirection::Out);

    FlashProbeMode(path);
    EXPECT_EQ(last().cdb, (Bytes{0xDF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFC}));

    ReadStagingBuffer(path, buf);
    EXPECT_EQ(last().cdb, (Bytes{0xB5, 0, 0, 0, 0, 0x64, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(last().length, 512u);
}

TEST_F(BridgeCommandTest, FirmwareInfoEntryPointsReadTheirByteAndZeroOnFailure)
{
    Bytes reply(32, 0);
    reply[8] = 0xAB;
    reply[19] = 0x01;
    backend.script = [&](const auto &) { return Reply().data(reply); };
    EXPECT_EQ(ReadFirmwareInfoLevel(path, 20), 0xAB);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0xA0, 20, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ReadFirmwareInfoReleaseFlag(path, 20), 0x01);
    backend.script = [&](const auto &) { return Reply().status(2).data(reply); };
    EXPECT_EQ(ReadFirmwareInfoLevel(path, 20), 0);
    EXPECT_EQ(ReadFirmwareInfoReleaseFlag(path, 20), 0);
}

TEST_F(BridgeCommandTest, ShortSignatureLengthStopsTheProgram)
{
    std::uint8_t buf[8];
    EXPECT_DEATH(ReadChipSignature(path, buf, 7), "length >= 0x08");
}

TEST_F(BridgeCommandTest, FlashAccessCdbs)
{
    std::uint8_t buf[0x102] = {}; // SpiWriteData below sends 0x102 bytes
    ReadFlashIdBytes4(path, buf, 0xAB, true);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x15, 0x04, 0xAB, 0x03, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().length, 4u);
    ReadFlashIdBytes3(path, buf, 0x15, false);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x15, 0x03, 0x15, 0x00, 0, 0, 0, 0, 0, 0}));

    FlashOpcodeRecord rec;
    rec.chipErase = 0xC7;
    rec.blockErase = 0xD8;
    rec.pageProgram = 0x02;
    rec.flashKind = 0x55; // never sent
    rec.sectorErase = 0x20;
    SetFlashParams16(path, rec, 32);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x00, 0x20, 0, 0, 0}));
    SetFlashParams8(path, rec, 32);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x08, 0x00, 0, 0, 0}));

    ReadFlash(path, 0x012345, buf, 16);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x10, 0x01, 0x23, 0x45, 0, 0, 0, 0, 0, 0}));
    WriteFlash(path, 0x0A0B0C, buf, 16);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x11, 0x0A, 0x0B, 0x0C, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().direction, DataDirection::Out);
    EraseFlashBlock(path, 0x18000);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x14, 0x01, 0x80, 0x00, 0, 0, 0, 0, 0, 0}));
    EraseFlashAll(path);
    EXPECT_EQ(last().timeoutSec, 100u);
    ReadFlashStatus(path, buf);
    EXPECT_EQ(last().length, 2u);
    ReadFlashType(path, buf);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x23, 0x04, 0, 0, 0, 0, 0, 0, 0, 0}));

    WriteEnable(path);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x20, 0x01, 0x00, 0x06, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().direction, DataDirection::Out);
    WriteStatusZero(path);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x20, 0x02, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().dataOut, (Bytes{0x01, 0x00}));
    SpiWriteData(path, buf, 0x0102);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x22, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0}));
    SpiReadDataUnsized(path, buf, 4);
    EXPECT_EQ(last().cdb, (Bytes{0xFF, 0x04, 0x21, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(last().length, 4u);
}

TEST_F(BridgeCommandTest, SpiQueryOpensAHeldTransactionThenReads)
{
    std::uint8_t buf[4];
    backend.script = [](const auto &) { return Reply().data({0xEF, 0x40, 0x13, 0x00}); };
    ASSERT_EQ(SpiQuery(path, 0x9F, buf, 4), 1);
    ASSERT_EQ(backend.commands.size(), 2u);
    EXPECT_EQ(backend.commands[0].cdb, (Bytes{0xFF, 0x04, 0x20, 0x01, 0x01, 0x9F, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(backend.commands[0].direction, DataDirection::In);
    EXPECT_FALSE(backend.commands[0].hadBuffer);
    EXPECT_EQ(backend.commands[1].cdb, (Bytes{0xFF, 0x04, 0x21, 0, 0, 0, 0, 0x00, 0x04, 0, 0, 0}));

    // A failed first command is not followed by its data command.
    backend.commands.clear();
    backend.script = [](const auto &) { return Reply().status(2); };
    EXPECT_EQ(SpiQuery(path, 0x9F, buf, 4), 0);
    EXPECT_EQ(backend.commands.size(), 1u);

    // A data command that moved fewer bytes than asked failed: the rest is not the device's.
    backend.script = [](const auto &) { return Reply().data({0xEF, 0x40}); };
    EXPECT_EQ(SpiQuery(path, 0x9F, buf, 4), 0);
}

TEST_F(BridgeCommandTest, ProbeReadBufferRepeatsWhileBecomingReady)
{
    Bytes notReady(18, 0);
    notReady[0] = 0x70;
    notReady[2] = 0x02;
    notReady[12] = 0x04;
    notReady[13] = 0x01;
    int answered = 0;
    backend.script = [&](const auto &) {
        return ++answered <= 5 ? Reply().status(2).withSense(notReady) : ScriptedReply{};
    };
    // The caller's message pump runs after every send; the bridge layer has none of its own.
    int pumped = 0;
    const MessagePump pump = [&] { ++pumped; };
    EXPECT_EQ(ProbeReadBuffer(path, pump), 1);
    EXPECT_EQ(backend.commands.size(), 6u);
    EXPECT_EQ(pumped, 6);
    EXPECT_EQ(backend.commands[0].cdb, (Bytes{0x3C, 0x03, 0, 0, 0, 0, 0, 0, 0x04, 0}));

    // A bridge that never becomes ready gets the first send and 30 more.
    backend.commands.clear();
    backend.script = [&](const auto &) { return Reply().status(2).withSense(notReady); };
    EXPECT_EQ(ProbeReadBuffer(path, pump), 0);
    EXPECT_EQ(backend.commands.size(), 31u);

    // Any other rejection ends at once; descriptor-format sense counts too.
    backend.commands.clear();
    backend.script = [&](const auto &) { return Reply().status(2).withSense({0x72, 0x05, 0x20, 0x00}); };
    EXPECT_EQ(ProbeReadBuffer(path, pump), 0);
    EXPECT_EQ(backend.commands.size(), 1u);
    EXPECT_TRUE(IsBecomingReady(Bytes{0x72, 0x02, 0x04, 0x01}.data(), 4));
}

namespace
{

// A status register that reads busy (bit 0 and the write-enable latch set)
// until `readyAfter` re-reads have happened.
void ScriptStatus(RecordingBackend &backend, int readyAfter, std::uint8_t busy = 0x03,
                  std::uint8_t ready = 0x00)
{
    backend.script = [readyAfter, busy, ready, reads = -1](const auto &) mutable {
        ++reads;
        return Reply().data({reads >= readyAfter ? ready : busy, 0});
    };
}

} // namespace

TEST_F(BridgeCommandTest, WaitFlashReadyCountsRereads)
{
    ScriptStatus(backend, 0);
    EXPECT_EQ(WaitFlashReady(path), 1);
    EXPECT_EQ(backend.commands.size(), 1u);
    EXPECT_EQ(clock.nowMs(), 0u);

    ScriptStatus(backend, 500);
    backend.commands.clear();
    EXPECT_EQ(WaitFlashReady(path), 1);
    EXPECT_EQ(backend.commands.size(), 501u);

    ScriptStatus(backend, 501);
    EXPECT_EQ(WaitFlashReady(path), 0);

    // Stuck busy: the first read and 502 re-reads, 10 ms apart.
    ScriptStatus(backend, 1 << 30);
    backend.commands.clear();
    const std::uint64_t start = clock.nowMs();
    EXPECT_EQ(WaitFlashReady(path), 0);
    EXPECT_EQ(clock.nowMs() - start, 5020u);
    EXPECT_EQ(backend.commands.size(), 503u);
}

TEST_F(BridgeCommandTest, StatusPollsForLatchAndProtectBits)
{
    // Waiting for the write-enable latch (mask 2).
    ScriptStatus(backend, 300, 0x00, 0x02);
    EXPECT_EQ(WaitStatusSet(path, 2), 1);
    ScriptStatus(backend, 301, 0x00, 0x02);
    EXPECT_EQ(WaitStatusSet(path, 2), 0);
    ScriptStatus(backend, 1 << 30, 0x00, 0x02);
    backend.commands.clear();
    const std::uint64_t start = clock.nowMs();
    EXPECT_EQ(WaitStatusSet(path, 2), 0);
    EXPECT_EQ(clock.nowMs() - start, 3020u);
    EXPECT_EQ(backend.commands.size(), 303u);

    // Waiting for bits 1 and 2 to clear; bit 0 alone does not hold it up.
    ScriptStatus(backend, 3, 0x04, 0x01);
    backend.commands.clear();
    EXPECT_EQ(WaitStatusClear(path), 1);
    EXPECT_EQ(backend.commands.size(), 4u);

    // A failed status read counts as ready: the transport leaves zeros.
    backend.script = [](const auto &) { return Reply().status(2); };
    EXPECT_EQ(WaitFlashReady(path), 1);
}
