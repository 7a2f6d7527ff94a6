// Chunked flash transfer against the simulated bridge: the
// WriteBlock24 / ReadBlock24 commands sent and what they did to the flash.
#include "flash/chunked_transfer.h"

#include "identify/flash_identify.h"
#include "model/fwupdate.h"
#include "sim_flash_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace brigant;
using namespace brigant::test;

namespace
{

struct Chunk {
    std::uint32_t address, length;
    std::uint8_t mode;
    bool operator==(const Chunk &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Chunk &c)
{
    return os << "{0x" << std::hex << c.address << ", 0x" << c.length << ", 0x" << int(c.mode) << std::dec
              << "}";
}

class ChunkedTransferTest : public SimFlashTest
{
  protected:
    // A bridge with `part`, the window's identity and the geometry of `kind`.
    void setUpChip(const std::string &part, std::int32_t kind, std::uint8_t code = 13)
    {
        attach(part);
        window.chip.FlashKind = kind;
        window.chip.ChipTypeCode = code;
        SetFlashGeometry(window.transfer, kind);
    }
    std::vector<Chunk> writeChunks() const
    {
        std::vector<Chunk> out;
        for (const auto &w : writes())
            out.push_back({w.address, w.length, w.mode});
        return out;
    }
    std::vector<Chunk> readChunks() const
    {
        std::vector<Chunk> out;
        for (const auto &r : reads())
            out.push_back({r.address, r.length, r.mode});
        return out;
    }
    Bytes flashRange(std::uint32_t at, std::uint32_t n)
    {
        return Bytes(flash().begin() + at, flash().begin() + at + n);
    }
    // Programmed (not erased) flash: an erase is needed before new data sticks.
    void fillFlash(std::uint32_t at, std::uint32_t n, std::uint8_t value)
    {
        std::fill_n(flash().begin() + at, n, value);
    }
};

} // namespace

// --- the erase-as-you-go rule alone ---------------------------------------------

TEST(EraseAsYouGo, NextEraseFlagPerMode)
{
    TransferState x;
    x.FlashSectorSize = 0x1000;
    x.FlashBlockSize = 0x10000;
    // Sector modes: the first chunk of each sector carries the erase.
    EXPECT_EQ(NextEraseFlag(x, 0, 1), 1);
    EXPECT_EQ(x.NextSectorIndex, 1u);
    EXPECT_EQ(NextEraseFlag(x, 0x800, 1), 0);
    EXPECT_EQ(NextEraseFlag(x, 0x1000, 4), 4);
    EXPECT_EQ(x.NextSectorIndex, 2u);
    // Block modes count separately.
    EXPECT_EQ(NextEraseFlag(x, 0, 5), 5);
    EXPECT_EQ(NextEraseFlag(x, 0x8000, 2), 0);
    EXPECT_EQ(NextEraseFlag(x, 0x10000, 2), 2);
    EXPECT_EQ(x.NextBlockIndex, 2u);
    EXPECT_EQ(x.NextSectorIndex, 2u);
    // Whole chip: only at address 0.
    for (std::uint8_t m : {3, 6, 7}) {
        EXPECT_EQ(NextEraseFlag(x, 0, m), m);
        EXPECT_EQ(NextEraseFlag(x, 0x1000, m), 0);
    }
    // Bit 7 of the mode is ignored for the choice; only bits 0-2 come back.
    EXPECT_EQ(NextEraseFlag(x, 0x2000, 0x81), 1);
    EXPECT_EQ(x.NextSectorIndex, 3u);
    EXPECT_EQ(NextEraseFlag(x, 0, 0x83), 3);
    // No erase.
    for (std::uint8_t m : {0, 8, 0x80, 0x7F})
        EXPECT_EQ(NextEraseFlag(x, 0, m), 0) << int(m);
}

TEST(EraseAsYouGo, ClipAtEraseBoundarySwitchesOnTheModeItself)
{
    TransferState x;
    x.FlashSectorSize = 0x1000;
    x.FlashBlockSize = 0x10000;
    x.NextSectorIndex = 1;
    x.NextBlockIndex = 1;
    EXPECT_EQ(ClipAtEraseBoundary(x, 0, 0x2000, 1), 0x1000u);
    EXPECT_EQ(ClipAtEraseBoundary(x, 0x800, 0x2000, 4), 0x800u);
    EXPECT_EQ(ClipAtEraseBoundary(x, 0, 0x800, 1), 0x800u);
    EXPECT_EQ(ClipAtEraseBoundary(x, 0xF000, 0x2000, 2), 0x1000u);
    EXPECT_EQ(ClipAtEraseBoundary(x, 0xE000, 0x2000, 5), 0x2000u); // ends exactly at the boundary
    EXPECT_EQ(ClipAtEraseBoundary(x, 0, 0x20000, 0x81), 0x20000u); // not 1: no clip
    EXPECT_EQ(ClipAtEraseBoundary(x, 0, 0x20000, 3), 0x20000u);
    EXPECT_EQ(ClipAtEraseBoundary(x, 0, 0x20000, 0), 0x20000u);
}

TEST(TransferValues, StartValues)
{
    const TransferState x;
    EXPECT_EQ(x.TransferChunkSize, 8192u);
    EXPECT_EQ(x.DefaultBackupSize, 65536);
    EXPECT_EQ(x.NextBlockIndex, 0u);
    EXPECT_EQ(x.NextSectorIndex, 0u);
}

// --- transfer vectors, on the simulator --------------------------------------------

TEST_F(ChunkedTransferTest, SectorModeSendsThreeSectorChunksEachErasing)
{
    setUpChip("W25X40", 6); // sector 0x1000
    ASSERT_EQ(window.transfer.FlashSectorSize, 4096u);
    fillFlash(0, 0x4000, 0x00);
    const Bytes data = Pattern(0x3000);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x3000, 1), 1);
    EXPECT_EQ(writeChunks(), (std::vector<Chunk>{{0, 0x1000, 1}, {0x1000, 0x1000, 1}, {0x2000, 0x1000, 1}}));
    EXPECT_EQ(flashRange(0, 0x3000), data);
    EXPECT_EQ(flashRange(0x3000, 0x1000), Bytes(0x1000, 0x00)); // the next sector was not touched
    EXPECT_EQ(window.transfer.NextSectorIndex, 3u);
    EXPECT_EQ(window.StatusEdit.text(), "...");
    EXPECT_EQ(ui.processed, 3);
}

TEST_F(ChunkedTransferTest, BlockModeErasesOncePerBlockAndClipsAtItsEnd)
{
    setUpChip("W25X40", 6); // block 0x10000
    fillFlash(0, 0x20000, 0x00);
    const Bytes data = Pattern(0x12000, 2);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x12000, 2), 1);
    EXPECT_EQ(writeChunks(), (std::vector<Chunk>{{0x0000, 0x1000, 2},
                                                 {0x1000, 0x2000, 0},
                                                 {0x3000, 0x2000, 0},
                                                 {0x5000, 0x2000, 0},
                                                 {0x7000, 0x2000, 0},
                                                 {0x9000, 0x2000, 0},
                                                 {0xB000, 0x2000, 0},
                                                 {0xD000, 0x2000, 0},
                                                 {0xF000, 0x1000, 0},
                                                 {0x10000, 0x2000, 2}}));
    EXPECT_EQ(flashRange(0, 0x12000), data);
    EXPECT_EQ(flashRange(0x12000, 0xE000), Bytes(0xE000, 0xFF)); // rest of the erased block
    EXPECT_EQ(window.transfer.NextBlockIndex, 2u);
    // Each chunk's data is its own slice of the source.
    for (const auto &w : writes())
        EXPECT_EQ(w.data, Bytes(data.begin() + w.address, data.begin() + w.address + w.length));
}

TEST_F(ChunkedTransferTest, MxicFirstChunkCarries0x82)
{
    setUpChip("MX25L4006E", 5);
    fillFlash(0, 0x20000, 0x00);
    const Bytes data = Pattern(0x11000, 3);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x11000, 2), 1);
    const auto chunks = writeChunks();
    ASSERT_EQ(chunks.size(), 10u);
    EXPECT_EQ(chunks.front(), (Chunk{0, 0x1000, 0x82}));
    EXPECT_EQ(chunks.back(), (Chunk{0x10000, 0x1000, 2})); // 0x80 only at address 0
    EXPECT_EQ(flashRange(0, 0x11000), data);
    EXPECT_EQ(flashRange(0x11000, 0xF000), Bytes(0xF000, 0xFF));
}

TEST_F(ChunkedTransferTest, MxicFirstChunkIsNeverSplitAlsoForCodes15To18)
{
    for (std::uint8_t code : {15, 16, 17, 18}) {
        SCOPED_TRACE(int(code));
        recorder.commands.clear();
        window.transfer = TransferState{};
        setUpChip("MX25L4006E", 5, code);
        fillFlash(0, 0x20000, 0x00);
        const Bytes data = Pattern(0x11000, code);
        ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x11000, 2), 1);
        const auto chunks = writeChunks();
        ASSERT_EQ(chunks.size(), 11u);
        EXPECT_EQ(chunks[0], (Chunk{0, 0x1000, 0x82}));     // erase and data in one
        EXPECT_EQ(chunks[9], (Chunk{0x10000, 0, 2}));       // separate erase
        EXPECT_EQ(chunks[10], (Chunk{0x10000, 0x1000, 0})); // then the data
        EXPECT_TRUE(writes()[9].data.empty());
        EXPECT_EQ(flashRange(0, 0x11000), data);
        EXPECT_EQ(flashRange(0x11000, 0xF000), Bytes(0xF000, 0xFF));
    }
}

TEST_F(ChunkedTransferTest, Codes15To18SendEachEraseSeparately)
{
    setUpChip("W25X40", 6, 17);
    fillFlash(0, 0x4000, 0x00);
    const Bytes data = Pattern(0x3000, 4);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x3000, 1), 1);
    EXPECT_EQ(writeChunks(), (std::vector<Chunk>{{0, 0, 1},
                                                 {0, 0x1000, 0},
                                                 {0x1000, 0, 1},
                                                 {0x1000, 0x1000, 0},
                                                 {0x2000, 0, 1},
                                                 {0x2000, 0x1000, 0}}));
    EXPECT_EQ(flashRange(0, 0x3000), data);
    EXPECT_EQ(window.StatusEdit.text(), "..."); // one dot per chunk, not per command
}

TEST_F(ChunkedTransferTest, WholeChipModeErasesBeforeTheChunkAtZeroOnly)
{
    setUpChip("W25X40", 6, 16);
    fillFlash(0, 0x80000, 0x00);
    const Bytes data = Pattern(0x6000, 5);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x6000, 3), 1);
    EXPECT_EQ(writeChunks(),
              (std::vector<Chunk>{
                  {0, 0, 3}, {0, 0x1000, 0}, {0x1000, 0x2000, 0}, {0x3000, 0x2000, 0}, {0x5000, 0x1000, 0}}));
    EXPECT_EQ(flashRange(0, 0x6000), data);
    EXPECT_EQ(flashRange(0x6000, 0x7A000), Bytes(0x7A000, 0xFF));
}

// The bridge erases the block of its own part, not the one the tool assumes:
// a tool whose window.transfer.FlashBlockSize is smaller than the part's erases what it just
// wrote, and the data is lost.
TEST_F(ChunkedTransferTest, ABlockSizeThatDisagreesWithThePartLosesData)
{
    setUpChip("W25X40", 6); // 64 KiB blocks, as the table gives WINBOND
    const Bytes data = Pattern(0x10000, 9);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x10000, 2), 1);
    EXPECT_EQ(flashRange(0, 0x10000), data);

    setUpChip("W25X40", 6);
    window.transfer.FlashBlockSize = 0x8000; // wrong for this part
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x10000, 2), 1);
    EXPECT_EQ(flashRange(0, 0x8000), Bytes(0x8000, 0xFF)) << "the second block erase took the first half";
    EXPECT_NE(flashRange(0, 0x10000), data);
}

TEST_F(ChunkedTransferTest, WritePadsToAMultipleOf512WithZeros)
{
    setUpChip("W25X40", 6);
    const Bytes data = Pattern(1000, 6);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0x2000, data.data(), 1000, 0), 1);
    const auto w = writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].address, 0x2000u);
    EXPECT_EQ(w[0].length, 1024u);
    EXPECT_EQ(w[0].mode, 0);
    Bytes expected = data;
    expected.resize(1024, 0x00);
    EXPECT_EQ(w[0].data, expected);
    EXPECT_EQ(flashRange(0x2000, 1024), expected);
    EXPECT_EQ(flash()[0x2000 + 1024], 0xFF);
}

TEST_F(ChunkedTransferTest, ReadFetchesThePaddedLengthButCopiesOnlyTheRequestedBytes)
{
    setUpChip("W25X40", 6);
    const Bytes stored = Pattern(0x1000, 7);
    std::copy(stored.begin(), stored.end(), flash().begin() + 0x3000);
    Bytes dest(1200, 0xEE);
    ASSERT_EQ(ReadFlashRange(host, path, 0x3000, dest.data(), 1000), 1);
    EXPECT_EQ(readChunks(), (std::vector<Chunk>{{0x3000, 1024, 0x10}}));
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 1000), Bytes(stored.begin(), stored.begin() + 1000));
    EXPECT_EQ(Bytes(dest.begin() + 1000, dest.end()), Bytes(200, 0xEE));
}

TEST_F(ChunkedTransferTest, ReadShowsItsStatusAndWaitsForTheFlashBeforeEachChunk)
{
    setUpChip("W25X40", 6);
    const Bytes stored = Pattern(0x5000, 8);
    std::copy(stored.begin(), stored.end(), flash().begin() + 0x1000);
    window.StatusEdit.setText("old");
    std::vector<std::string> seen;
    window.StatusEdit.addObserver([&](forms::Control &) { seen.push_back(window.StatusEdit.text()); });
    Bytes dest(0x5000);
    ASSERT_EQ(ReadFlashRange(host, path, 0x1000, dest.data(), 0x5000), 1);
    EXPECT_EQ(dest, stored);
    EXPECT_EQ(readChunks(),
              (std::vector<Chunk>{{0x1000, 0x2000, 0x10}, {0x3000, 0x2000, 0x10}, {0x5000, 0x1000, 0x10}}));
    EXPECT_EQ(seen, (std::vector<std::string>{"ReadFlash...", "ReadFlash....", "ReadFlash.....",
                                              "ReadFlash......"}));
    EXPECT_EQ(ui.processed, 4);
    // One progress step per dot, counting the padded bytes read.
    ASSERT_EQ(ui.steps.size(), 3u);
    for (std::size_t i = 0; i < ui.steps.size(); ++i) {
        EXPECT_EQ(ui.steps[i].phase, "ReadFlash");
        EXPECT_EQ(ui.steps[i].total, 0x5000u);
    }
    EXPECT_EQ(ui.steps[0].done, 0x2000u);
    EXPECT_EQ(ui.steps[2].done, 0x5000u);
    // Every ReadBlock24 follows a flash status read (WaitFlashReady).
    for (std::size_t i = 0; i < recorder.commands.size(); ++i)
        if (IsReadBlock24(recorder.commands[i])) {
            ASSERT_GT(i, 0u);
            EXPECT_TRUE(IsFlashStatusRead(recorder.commands[i - 1]));
        }
}

TEST_F(ChunkedTransferTest, WriteWaitsForTheFlashBeforeEachChunk)
{
    setUpChip("W25X40", 6, 15);
    const Bytes data = Pattern(0x2000, 9);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x2000, 1), 1);
    int waits = 0;
    for (std::size_t i = 0; i < recorder.commands.size(); ++i) {
        if (IsFlashStatusRead(recorder.commands[i]) && i + 1 < recorder.commands.size() &&
            IsWriteBlock24(recorder.commands[i + 1]))
            ++waits;
    }
    EXPECT_EQ(waits, 2); // before each chunk (and its separate erase), not between erase and data
    EXPECT_EQ(writes().size(), 4u);
}

TEST_F(ChunkedTransferTest, ChunkSizeFollowsTransferChunkSize)
{
    setUpChip("W25X40", 6);
    window.transfer.TransferChunkSize = 256;
    const Bytes data = Pattern(0x400, 10);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0x8000, data.data(), 0x400, 0), 1);
    EXPECT_EQ(writeChunks(),
              (std::vector<Chunk>{{0x8000, 256, 0}, {0x8100, 256, 0}, {0x8200, 256, 0}, {0x8300, 256, 0}}));
    Bytes back(0x400);
    ASSERT_EQ(ReadFlashRange(host, path, 0x8000, back.data(), 0x400), 1);
    EXPECT_EQ(back, data);
    EXPECT_EQ(reads().size(), 4u);
}

TEST_F(ChunkedTransferTest, FailedReadStopsAndLeavesZerosWhereNothingArrived)
{
    setUpChip("W25X40", 6);
    const Bytes stored = Pattern(0x6000, 11);
    std::copy(stored.begin(), stored.end(), flash().begin());
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::CheckCondition);
    r.key = 0x04;
    r.cdbPrefix = {0xDF, 0x10, 0x00, 0x20, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x20, 0x00, 0xFA}; // the chunk at 0x2000
    fault(r);
    Bytes dest(0x6000, 0xEE);
    EXPECT_EQ(ReadFlashRange(host, path, 0, dest.data(), 0x6000), 0);
    EXPECT_EQ(reads().size(), 2u);
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 0x2000), Bytes(stored.begin(), stored.begin() + 0x2000));
    EXPECT_EQ(Bytes(dest.begin() + 0x2000, dest.end()), Bytes(0x4000, 0x00));
    EXPECT_EQ(window.StatusEdit.text(), "ReadFlash....");
}

TEST_F(ChunkedTransferTest, FailedWriteStopsAtOnceKeepingWhatWasWritten)
{
    setUpChip("W25X40", 6);
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = {0xDF, 0x01, 0x00, 0x10, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x10, 0x00, 0xFB}; // the chunk at 0x1000
    fault(r);
    const Bytes data = Pattern(0x3000, 12);
    EXPECT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x3000, 1), 0);
    EXPECT_EQ(writeChunks(), (std::vector<Chunk>{{0, 0x1000, 1}, {0x1000, 0x1000, 1}}));
    EXPECT_EQ(flashRange(0, 0x1000), Bytes(data.begin(), data.begin() + 0x1000));
    EXPECT_EQ(flashRange(0x1000, 0x2000), Bytes(0x2000, 0xFF));
    EXPECT_EQ(window.StatusEdit.text(), ".");
}

TEST_F(ChunkedTransferTest, FailedSeparateEraseStopsBeforeTheData)
{
    setUpChip("W25X40", 6, 18);
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = {0xDF, 0x01, 0x00, 0x00, 0x00}; // length 0: the erase
    fault(r);
    const Bytes data = Pattern(0x1000, 13);
    EXPECT_EQ(WriteFlashRange(host, window.chip, path, 0, data.data(), 0x1000, 1), 0);
    EXPECT_EQ(writeChunks(), (std::vector<Chunk>{{0, 0, 1}}));
}

TEST_F(ChunkedTransferTest, CallersSetTheCountersForAPassThatStartsLater)
{
    // Bank recovery writes bank 1 with the counters at 0x10000 / size.
    setUpChip("W25X40", 6);
    fillFlash(0x10000, 0x10000, 0x00);
    window.transfer.NextSectorIndex = 0x10000 / window.transfer.FlashSectorSize;
    const Bytes data = Pattern(0x2000, 14);
    ASSERT_EQ(WriteFlashRange(host, window.chip, path, 0x10000, data.data(), 0x2000, 1), 1);
    EXPECT_EQ(writeChunks(), (std::vector<Chunk>{{0x10000, 0x1000, 1}, {0x11000, 0x1000, 1}}));
    EXPECT_EQ(flashRange(0x10000, 0x2000), data);
}

TEST_F(ChunkedTransferTest, CountersLaggingBehindTheAddressSendNothing)
{
    // Without the counters set, the clip's unsigned arithmetic wraps (boundary
    // 0x1000 below address 0x10000) and would ask for a chunk far beyond the
    // buffer: the loop stops instead of sending it.
    setUpChip("W25X40", 6);
    const Bytes data = Pattern(0x2000, 15);
    EXPECT_EQ(WriteFlashRange(host, window.chip, path, 0x10000, data.data(), 0x2000, 1), 0);
    EXPECT_TRUE(writes().empty());
}
