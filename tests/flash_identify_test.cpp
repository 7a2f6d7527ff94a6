// Flash identification against simulated flash parts, through the
// real transport and bridge commands.
#include "identify/flash_identify.h"

#include "sim/flash_parts.h"
#include "sim_flash_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

using namespace brigant;
using namespace brigant::test;

namespace
{

class FlashIdentifyTest : public SimFlashTest
{
};

const Bytes kSpiIn9F = Ff04({0xFF, 0x04, 0x20, 0x01, 0x01, 0x9F});
const Bytes kSpiRead4 = Ff04({0xFF, 0x04, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04});
const Bytes kSpiReadUnsized = Ff04({0xFF, 0x04, 0x21});

Bytes SpiIn(std::uint8_t opcode) { return Ff04({0xFF, 0x04, 0x20, 0x01, 0x01, opcode}); }
Bytes SpiRead(std::uint8_t n) { return Ff04({0xFF, 0x04, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, n}); }
Bytes IdBytes(std::uint8_t count, std::uint8_t opcode, bool dummy)
{
    return Ff04({0xFF, 0x04, 0x15, count, opcode, static_cast<std::uint8_t>(dummy ? 3 : 0)});
}

FlashOpcodeRecord Garbage()
{
    FlashOpcodeRecord r;
    r.chipErase = 0x11;
    r.blockErase = 0x22;
    r.pageProgram = 0x33;
    r.flashKind = 0; // size probes run the JEDEC probe for kind 0
    r.sectorErase = 0x44;
    r.sizeKb = 777;
    return r;
}

void ExpectOpcodes(const FlashOpcodeRecord &r, std::uint8_t chip, std::uint8_t block, std::uint8_t program,
                   std::uint32_t sector)
{
    EXPECT_EQ(r.chipErase, chip);
    EXPECT_EQ(r.blockErase, block);
    EXPECT_EQ(r.pageProgram, program);
    EXPECT_EQ(r.sectorErase, sector);
}

} // namespace

// --- tables and program-wide geometry -------------------------------------

TEST(FlashMakerTable, ThirteenNamesInTwentyCharacterSlots)
{
    const char *names[] = {"Unknown", "PMC", "SST",  "ST/EON/MXIC", "ATMEL",      "MXIC",      "WINBOND",
                           "AMIC",    "EON", "ESMT", "SANYO",       "GIGADEVICE", "VPOWERWINS"};
    static_assert(sizeof FlashMakerTable[0].name == 20 && std::size(FlashMakerTable) == 13);
    for (int k = 0; k < 13; ++k) {
        EXPECT_STREQ(FlashMakerTable[k].name, names[k]);
        EXPECT_STREQ(FlashMakerName(k), names[k]);
    }
    EXPECT_EQ(FlashMakerName(13), nullptr);
    EXPECT_EQ(FlashMakerName(-1), nullptr);
}

TEST(FlashGeometry, StartValuesAndEachKindsSizes)
{
    TransferState x;
    EXPECT_EQ(x.FlashBlockSize, 0x8000u);
    EXPECT_EQ(x.FlashSectorSize, 0x1000u);
    const std::uint32_t block[13] = {0x8000,  0x8000,  0x8000,  0x10000, 0x10000, 0x10000, 0x10000,
                                     0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000};
    const std::uint32_t sector[13] = {0x1000, 0x1000, 0x1000, 0x8000, 0x8000, 0x1000, 0x1000,
                                      0x1000, 0x8000, 0x1000, 0x1000, 0x1000, 0x1000};
    for (int k = 0; k < 13; ++k) {
        x.FlashBlockSize = 1;
        x.FlashSectorSize = 2;
        SetFlashGeometry(x, k);
        EXPECT_EQ(x.FlashBlockSize, block[k]) << "kind " << k;
        EXPECT_EQ(x.FlashSectorSize, sector[k]) << "kind " << k;
    }
}

TEST(FlashGeometry, KindsOutsideTheTableChangeNothing)
{
    TransferState x;
    SetFlashGeometry(x, 3); // 0x10000 / 0x8000
    for (int k : {13, 14, 255, -1, 1000}) {
        SetFlashGeometry(x, k);
        EXPECT_EQ(x.FlashBlockSize, 0x10000u);
        EXPECT_EQ(x.FlashSectorSize, 0x8000u);
    }
    EXPECT_FALSE(IsTableFlashKind(13));
    EXPECT_TRUE(IsTableFlashKind(0));
    EXPECT_TRUE(IsTableFlashKind(12));
}

// --- identification edge cases ---------------------------------------------------

TEST_F(FlashIdentifyTest, WinbondEF4018Is16MiBUnderProbeAAnd64KiBUnderProbeB)
{
    attach("W25Q128FV");
    FlashOpcodeRecord a;
    ASSERT_EQ(ProbeFlashVendorSpi(path, a), 1);
    EXPECT_EQ(a.flashKind, 6);
    EXPECT_STREQ(FlashMakerTable[a.flashKind].name, "WINBOND");
    ASSERT_EQ(ProbeFlashSizeSpi(path, a), 1);
    EXPECT_EQ(a.sizeKb, 16384u);

    FlashOpcodeRecord b;
    ASSERT_EQ(ProbeFlashVendorId(path, b), 1);
    EXPECT_EQ(b.flashKind, 6);
    std::uint8_t id[4] = {};
    ASSERT_EQ(ProbeFlashSizeId(path, b, id), 1);
    EXPECT_EQ(b.sizeKb, 64u);
    EXPECT_EQ(Bytes(id, id + 4), (Bytes{0xEF, 0x40, 0x18, 0xFF}));
}

TEST_F(FlashIdentifyTest, SstBF2541BecomesSstOnlyThroughThe90Step)
{
    attach("SST25VF016B");
    FlashOpcodeRecord r = Garbage();
    ASSERT_EQ(ProbeFlashVendorSpi(path, r), 1);
    EXPECT_EQ(r.flashKind, 2);
    ExpectOpcodes(r, 0x60, 0x52, 0xAF, 0x20);
    EXPECT_EQ(r.sizeKb, 777u); // the JEDEC probe leaves the size alone
    // 9F (no case for 0xBF), then 90 answered BF in id3; nothing more.
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{kSpiIn9F, kSpiRead4, SpiIn(0x90), kSpiRead4}));

    ASSERT_EQ(ProbeFlashSizeSpi(path, r), 1);
    EXPECT_EQ(r.sizeKb, 2048u);

    FlashOpcodeRecord b;
    ASSERT_EQ(ProbeFlashVendorId(path, b), 1);
    EXPECT_EQ(b.flashKind, 2);
    ExpectOpcodes(b, 0x60, 0x52, 0xAF, 0x20);
    ASSERT_EQ(ProbeFlashSizeId(path, b, nullptr), 1);
    EXPECT_EQ(b.sizeKb, 2048u);
}

TEST_F(FlashIdentifyTest, Sst90StepFailingLeavesPendingAndNoLaterStepMatches)
{
    attach("SST25VF016B");
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = SpiIn(0x90);
    fault(r);
    FlashOpcodeRecord rec;
    EXPECT_EQ(ProbeFlashVendorSpi(path, rec), 0);
    EXPECT_EQ(rec.flashKind, 0);
    ExpectOpcodes(rec, 0xC7, 0xD8, 0x02, 0x20);
    // Every later step ran: AB, 15 over SPI, then 15 and AB over ReadFlashIdBytes.
    EXPECT_EQ(cdbs(),
              (std::vector<Bytes>{kSpiIn9F, kSpiRead4, SpiIn(0x90), SpiIn(0xAB), kSpiRead4, SpiIn(0x15),
                                  kSpiRead4, IdBytes(3, 0x15, false), IdBytes(3, 0xAB, true)}));
}

TEST_F(FlashIdentifyTest, Atmel1F44Is512KiBUnderProbeAAnd64KiBUnderProbeB)
{
    attach("AT25DF041A");
    FlashOpcodeRecord a;
    ASSERT_EQ(ProbeFlashSizeSpi(path, a), 1); // kind 0: the JEDEC probe runs first
    EXPECT_EQ(a.flashKind, 4);
    EXPECT_EQ(a.sizeKb, 512u);
    ExpectOpcodes(a, 0xC7, 0xD8, 0x02, 0x20); // matched in step 1: start opcodes

    FlashOpcodeRecord b;
    std::uint8_t id[4] = {};
    ASSERT_EQ(ProbeFlashSizeId(path, b, id), 1);
    EXPECT_EQ(b.flashKind, 4);
    EXPECT_EQ(b.sizeKb, 64u);
    EXPECT_EQ(Bytes(id, id + 4), (Bytes{0x1F, 0x44, 0x01, 0x00}));

    EXPECT_EQ(ProbeAtmelFlash(path), 0); // 1F, but neither 65 nor 66
    EXPECT_EQ(ProbeAmicFlash(path), -1);
}

TEST_F(FlashIdentifyTest, Amic7F372022IsNoAmicTypeButKind7ForProbeA)
{
    attach("A25L20PT");
    EXPECT_EQ(ProbeAmicFlash(path), -1);
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{kSpiIn9F, kSpiReadUnsized}));
    EXPECT_EQ(recorder.commands[1].length, 4u);

    FlashOpcodeRecord r;
    ASSERT_EQ(ProbeFlashVendorSpi(path, r), 1);
    EXPECT_EQ(r.flashKind, 7);
    ASSERT_EQ(ProbeFlashSizeSpi(path, r), 1);
    EXPECT_EQ(r.sizeKb, 256u); // 7F 37, id3 0x22
    EXPECT_EQ(ProbeAtmelFlash(path), -1);
}

TEST_F(FlashIdentifyTest, Amic7F372020IsAmicType4)
{
    attach("A25L05PT");
    EXPECT_EQ(ProbeAmicFlash(path), 4);
    FlashOpcodeRecord r;
    ASSERT_EQ(ProbeFlashSizeSpi(path, r), 1);
    EXPECT_EQ(r.flashKind, 7);
    EXPECT_EQ(r.sizeKb, 64u);
}

TEST_F(FlashIdentifyTest, FirstQueryFailingAnswers1WithKind0AndStartOpcodes)
{
    attach("W25Q128FV");
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = kSpiIn9F;
    fault(r);
    FlashOpcodeRecord a = Garbage();
    a.flashKind = 9;
    EXPECT_EQ(ProbeFlashVendorSpi(path, a), 1);
    EXPECT_EQ(a.flashKind, 0);
    ExpectOpcodes(a, 0xC7, 0xD8, 0x02, 0x20);
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{kSpiIn9F})); // no later step, no data command

    recorder.commands.clear();
    sim::FaultRule c;
    c.kind = sim::FaultRule::Kind::CheckCondition;
    c.key = 0x05;
    c.asc = 0x20;
    c.cdbPrefix = IdBytes(4, 0x9F, false);
    fault(c);
    FlashOpcodeRecord b = Garbage();
    EXPECT_EQ(ProbeFlashVendorId(path, b), 1);
    EXPECT_EQ(b.flashKind, 0);
    ExpectOpcodes(b, 0xC7, 0xD8, 0x02, 0x20);
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{IdBytes(4, 0x9F, false)}));
}

TEST_F(FlashIdentifyTest, UnansweredSizeQueryIs64KiB)
{
    attach("W25Q128FV");
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = kSpiIn9F;
    fault(r);
    FlashOpcodeRecord rec;
    rec.flashKind = 6; // as ReadFlashType would have said: no JEDEC probe
    ASSERT_EQ(ProbeFlashSizeSpi(path, rec), 1);
    EXPECT_EQ(rec.sizeKb, 64u);
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{kSpiIn9F}));
}

// --- probe sequences -----------------------------------------------------------

TEST_F(FlashIdentifyTest, ProbeBSendsItsStepsOverReadFlashIdBytes)
{
    attach("M25P05"); // no 9F, no 90; 0xAB gives the signature 05
    FlashOpcodeRecord r;
    ASSERT_EQ(ProbeFlashVendorId(path, r), 1);
    EXPECT_EQ(r.flashKind, 3);
    EXPECT_EQ(cdbs(),
              (std::vector<Bytes>{IdBytes(4, 0x9F, false), IdBytes(4, 0x90, false), IdBytes(4, 0xAB, true)}));
}

TEST_F(FlashIdentifyTest, ProbeBRunsEveryStepForAnUnknownPartAndAnswers0)
{
    attach("LE25FW203A");
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::CorruptByte, 0); // 62 -> 9D: matches no case
    r.cdbPrefix = IdBytes(4, 0x9F, false);
    fault(r);
    FlashOpcodeRecord rec;
    EXPECT_EQ(ProbeFlashVendorId(path, rec), 0);
    EXPECT_EQ(rec.flashKind, 0);
    EXPECT_EQ(cdbs(),
              (std::vector<Bytes>{IdBytes(4, 0x9F, false), IdBytes(4, 0x90, false), IdBytes(4, 0xAB, true),
                                  IdBytes(4, 0x15, false), IdBytes(4, 0xAB, true)}));
}

TEST_F(FlashIdentifyTest, ProbeAReachesTheAtmel15StepsForOldAtmelParts)
{
    attach("AT25F512"); // answers only 0x15: 1F 65
    FlashOpcodeRecord r;
    ASSERT_EQ(ProbeFlashVendorSpi(path, r), 1);
    EXPECT_EQ(r.flashKind, 4);
    ExpectOpcodes(r, 0x62, 0x52, 0x02, 0x20);
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{kSpiIn9F, kSpiRead4, SpiIn(0x90), kSpiRead4, SpiIn(0xAB), kSpiRead4,
                                          SpiIn(0x15), kSpiRead4}));
    EXPECT_EQ(ProbeAtmelFlash(path), -1); // no 9F answer
}

TEST_F(FlashIdentifyTest, ProbeAStep5AnswersWhenTheSpi15QueryFails)
{
    attach("AT25F512");
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = SpiIn(0x15);
    fault(r);
    FlashOpcodeRecord rec;
    ASSERT_EQ(ProbeFlashVendorSpi(path, rec), 1);
    EXPECT_EQ(rec.flashKind, 4);
    ExpectOpcodes(rec, 0x62, 0x52, 0x02, 0x20);
    EXPECT_EQ(cdbs().back(), IdBytes(3, 0x15, false));
    EXPECT_EQ(recorder.commands.back().length, 3u);
}

TEST_F(FlashIdentifyTest, SanyoAndGigadeviceSetTheirOwnOpcodes)
{
    attach("LE25FW203A");
    FlashOpcodeRecord s;
    ASSERT_EQ(ProbeFlashVendorSpi(path, s), 1);
    EXPECT_EQ(s.flashKind, 10);
    ExpectOpcodes(s, 0xC7, 0xD8, 0x02, 0xD7);

    attach("GD25Q40");
    FlashOpcodeRecord g;
    ASSERT_EQ(ProbeFlashVendorSpi(path, g), 1);
    EXPECT_EQ(g.flashKind, 11);
    ExpectOpcodes(g, 0xC7, 0x52, 0x02, 0x20);
}

TEST_F(FlashIdentifyTest, SizeProbeWithAKnownKindSkipsTheJedecProbe)
{
    attach("MX25L4006E");
    FlashOpcodeRecord r;
    r.flashKind = 5;
    ASSERT_EQ(ProbeFlashSizeSpi(path, r), 1);
    EXPECT_EQ(r.sizeKb, 512u);
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{kSpiIn9F, kSpiRead4}));

    recorder.commands.clear();
    FlashOpcodeRecord other;
    other.flashKind = 200; // a ReadFlashType verdict without a table row
    std::uint8_t id[4] = {};
    ASSERT_EQ(ProbeFlashSizeId(path, other, id), 1);
    EXPECT_EQ(other.sizeKb, 64u);
    EXPECT_EQ(Bytes(id, id + 4), (Bytes{0xC2, 0x20, 0x13, 0xFF}));
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{IdBytes(4, 0x9F, false)}));
}

TEST_F(FlashIdentifyTest, SizeProbeOfAMismatchedKindFallsBackTo64)
{
    attach("MX25L4006E"); // C2 20 13
    FlashOpcodeRecord r;
    r.flashKind = 6; // WINBOND rule: id0 must be EF
    ASSERT_EQ(ProbeFlashSizeSpi(path, r), 1);
    EXPECT_EQ(r.sizeKb, 64u);
}

TEST_F(FlashIdentifyTest, SstWithoutJedecIdIsSizedThroughAB)
{
    attach("SST25VF010A"); // no 9F; 0xAB reads maker/device BF 49
    FlashOpcodeRecord a;
    ASSERT_EQ(ProbeFlashSizeSpi(path, a), 1);
    EXPECT_EQ(a.flashKind, 2);
    EXPECT_EQ(a.sizeKb, 128u);
    EXPECT_EQ(cdbs().back(), SpiRead(6));
    EXPECT_EQ(cdbs()[cdbs().size() - 2], SpiIn(0xAB));

    FlashOpcodeRecord b;
    ASSERT_EQ(ProbeFlashSizeId(path, b, nullptr), 1); // probe B has no AB fallback for SST
    EXPECT_EQ(b.flashKind, 2);
    EXPECT_EQ(b.sizeKb, 64u);
}

TEST_F(FlashIdentifyTest, OldAtmelIsSizedThrough15)
{
    attach("AT25F1024"); // 0x15: 1F 60
    FlashOpcodeRecord a;
    ASSERT_EQ(ProbeFlashSizeSpi(path, a), 1);
    EXPECT_EQ(a.flashKind, 4);
    EXPECT_EQ(a.sizeKb, 128u);

    // Probe B asks 0x15 with dummy bytes, which clocks past the answer.
    recorder.commands.clear();
    FlashOpcodeRecord b;
    b.flashKind = 4;
    ASSERT_EQ(ProbeFlashSizeId(path, b, nullptr), 1);
    EXPECT_EQ(b.sizeKb, 64u);
    EXPECT_EQ(cdbs(), (std::vector<Bytes>{IdBytes(4, 0x9F, false), IdBytes(4, 0x15, true)}));
}

// Every part of the simulator's table, both transports.
TEST_F(FlashIdentifyTest, EveryPartOfTheSimulator)
{
    struct Expect {
        const char *part;
        int kind;
        std::uint32_t sizeA, sizeB;
    };
    const Expect table[] = {
        {"PM25LV040", 1, 512, 512},     {"PM25LV512", 1, 64, 64},    {"SST25VF040B", 2, 64, 64},
        {"SST25VF016B", 2, 2048, 2048}, {"SST25VF512A", 2, 64, 64},  {"SST25VF010A", 2, 128, 64},
        {"M25P40", 3, 512, 512},        {"M25P05", 3, 64, 64},       {"AT25F512", 4, 64, 64},
        {"AT25F1024", 4, 128, 64},      {"AT25DF041A", 4, 512, 64},  {"MX25L4006E", 5, 512, 512},
        {"W25X40", 6, 512, 512},        {"W25Q128FV", 6, 16384, 64}, {"A25L040", 7, 512, 512},
        {"A25L20PT", 7, 256, 256},      {"A25L05PT", 7, 64, 64},     {"EN25F40", 8, 512, 512},
        {"F25L16PA", 9, 2048, 2048},    {"LE25FW203A", 10, 64, 64},  {"GD25Q40", 11, 512, 512},
        {"FM25F04", 12, 512, 512},      {"A25L05PU", 7, 64, 64},     {"A25L10PU", 7, 64, 64},
        {"A25L20PU", 7, 64, 64},        {"M25P05-A", 3, 64, 64},     {"MX25L512", 5, 64, 64},
    };
    EXPECT_EQ(std::size(table), sim::FlashParts().size());
    for (const Expect &e : table) {
        SCOPED_TRACE(e.part);
        attach(e.part);
        FlashOpcodeRecord a;
        EXPECT_EQ(ProbeFlashVendorSpi(path, a), 1);
        EXPECT_EQ(a.flashKind, e.kind);
        EXPECT_EQ(ProbeFlashSizeSpi(path, a), 1);
        EXPECT_EQ(a.sizeKb, e.sizeA);

        FlashOpcodeRecord b;
        EXPECT_EQ(ProbeFlashVendorId(path, b), 1);
        EXPECT_EQ(b.flashKind, e.kind);
        std::uint8_t id[5] = {0, 0, 0, 0, 0x5A};
        EXPECT_EQ(ProbeFlashSizeId(path, b, id), 1);
        EXPECT_EQ(b.sizeKb, e.sizeB);
        EXPECT_EQ(id[4], 0x5A); // four bytes copied, no more
    }
}

// --- value tables, with scripted flash answers ----------------------------------

namespace
{

// Answers the raw SPI channel and ReadFlashIdBytes like a flash whose answer to
// each opcode is given: SpiReadData returns the answer to the opcode of the
// SpiCommand before it; ReadFlashIdBytes returns the answer to its opcode,
// after 3 bytes when it asks for dummy bytes.
class ScriptedFlash
{
  public:
    ScriptedFlash()
    {
        backend.script = [this](const RecordedCommand &c) {
            ScriptedReply r;
            if (c.cdb[0] != 0xFF || c.cdb[1] != 0x04)
                return r;
            if (c.cdb[2] == 0x20)
                opcode_ = c.cdb[5];
            else if (c.cdb[2] == 0x21)
                r.dataIn = answer(opcode_, 0);
            else if (c.cdb[2] == 0x15)
                r.dataIn = answer(c.cdb[4], c.cdb[5]);
            return r;
        };
        installed_.backend(&backend);
    }

    std::map<std::uint8_t, Bytes> answers; // by opcode; missing: the bus floats (FF)
    RecordingBackend backend;

  private:
    Bytes answer(std::uint8_t opcode, std::size_t skip) const
    {
        Bytes out(16, 0xFF);
        auto it = answers.find(opcode);
        if (it != answers.end())
            for (std::size_t i = skip; i < it->second.size(); ++i)
                out[i - skip] = it->second[i];
        return out;
    }
    std::uint8_t opcode_ = 0;
    InstalledServices installed_;
};

std::uint32_t SizeA(std::uint8_t kind, std::map<std::uint8_t, Bytes> answers)
{
    ScriptedFlash flash;
    flash.answers = std::move(answers);
    FlashOpcodeRecord r;
    r.flashKind = kind;
    EXPECT_EQ(ProbeFlashSizeSpi("scripted", r), 1);
    return r.sizeKb;
}

std::uint32_t SizeB(std::uint8_t kind, std::map<std::uint8_t, Bytes> answers)
{
    ScriptedFlash flash;
    flash.answers = std::move(answers);
    FlashOpcodeRecord r;
    r.flashKind = kind;
    EXPECT_EQ(ProbeFlashSizeId("scripted", r, nullptr), 1);
    return r.sizeKb;
}

} // namespace

TEST(FlashSizeTables, AmicProbeValues)
{
    const std::pair<std::uint8_t, int> cases[] = {{0x12, 1},  {0x11, 3},  {0x20, 4}, {0x10, 5},
                                                  {0x22, -1}, {0x21, -1}, {0x13, -1}};
    for (auto [x, want] : cases) {
        ScriptedFlash flash;
        flash.answers[0x9F] = {0x7F, 0x37, 0x20, x};
        EXPECT_EQ(ProbeAmicFlash("scripted"), want) << int(x);
        ASSERT_EQ(flash.backend.commands.size(), 2u);
        EXPECT_EQ(flash.backend.commands[0].cdb, SpiIn(0x9F));
        EXPECT_EQ(flash.backend.commands[0].direction, DataDirection::In);
        EXPECT_FALSE(flash.backend.commands[0].hadBuffer);
        EXPECT_EQ(flash.backend.commands[1].cdb, Ff04({0xFF, 0x04, 0x21})); // length field left 0
        EXPECT_EQ(flash.backend.commands[1].length, 4u);
    }
    ScriptedFlash other;
    other.answers[0x9F] = {0x7F, 0x37, 0x21, 0x12};
    EXPECT_EQ(ProbeAmicFlash("scripted"), -1);
}

TEST(FlashSizeTables, AtmelProbeValues)
{
    const std::pair<Bytes, int> cases[] = {{{0x1F, 0x65}, 1}, {{0x1F, 0x66}, 2},  {{0x1F, 0x44}, 0},
                                           {{0x1F, 0x00}, 0}, {{0xEF, 0x65}, -1}, {{}, -1}};
    for (const auto &[reply, want] : cases) {
        ScriptedFlash flash;
        if (!reply.empty())
            flash.answers[0x9F] = reply;
        EXPECT_EQ(ProbeAtmelFlash("scripted"), want);
    }
    ScriptedFlash failing;
    failing.backend.script = [](const RecordedCommand &) { return ScriptedReply(Reply().status(2)); };
    EXPECT_EQ(ProbeAtmelFlash("scripted"), -1);
    EXPECT_EQ(failing.backend.commands.size(), 1u); // no data command after a failed SpiCommand
    EXPECT_EQ(ProbeAmicFlash("scripted"), -1);
}

TEST(FlashSizeTables, EveryKindsRule)
{
    using M = std::map<std::uint8_t, Bytes>;
    // PMC
    EXPECT_EQ(SizeA(1, M{{0x9F, {0x7F, 0x9D, 0x20}}}), 64u);
    EXPECT_EQ(SizeA(1, M{{0x9F, {0x7F, 0x9D, 0x21}}}), 128u);
    EXPECT_EQ(SizeA(1, M{{0x9F, {0x7F, 0x9D, 0x7C}}}), 128u);
    EXPECT_EQ(SizeA(1, M{{0x9F, {0x7F, 0x9D, 0x22}}}), 256u);
    EXPECT_EQ(SizeB(1, M{{0x9F, {0x7F, 0x9D, 0x7D}}}), 256u);
    EXPECT_EQ(SizeB(1, M{{0x9F, {0x7F, 0x9D, 0x7E}}}), 512u);
    EXPECT_EQ(SizeA(1, M{{0xAB, {0, 0, 0, 0x9D, 0x7B}}}), 64u);
    // SST
    EXPECT_EQ(SizeA(2, M{{0x9F, {0xBF, 0x25, 0x41}}}), 2048u);
    EXPECT_EQ(SizeB(2, M{{0x9F, {0xBF, 0x25, 0x4A}}}), 4096u);
    EXPECT_EQ(SizeA(2, M{{0x9F, {0xBF, 0x25, 0x8E}}}), 64u);
    EXPECT_EQ(SizeA(2, M{{0xAB, {0, 0, 0, 0xBF, 0x48}}}), 64u);
    EXPECT_EQ(SizeA(2, M{{0xAB, {0, 0, 0, 0xBF, 0x49}}}), 128u);
    EXPECT_EQ(SizeB(2, M{{0xAB, {0, 0, 0, 0xBF, 0x49}}}), 64u);
    // ST/EON/MXIC
    for (std::uint8_t d = 0x10; d <= 0x16; ++d)
        EXPECT_EQ(SizeA(3, M{{0x9F, {0x20, 0x20, d}}}), 64u << (d - 0x10));
    EXPECT_EQ(SizeA(3, M{{0x9F, {0x20, 0x20, 0x17}}}), 64u);
    EXPECT_EQ(SizeA(3, M{{0xAB, {0xFF, 0xFF, 0xFF, 0x05}}}), 64u);
    // ATMEL
    EXPECT_EQ(SizeA(4, M{{0x9F, {0x1F, 0x65}}}), 64u);
    EXPECT_EQ(SizeB(4, M{{0x9F, {0x1F, 0x66}}}), 128u);
    EXPECT_EQ(SizeA(4, M{{0x9F, {0x1F, 0x44}}}), 512u);
    EXPECT_EQ(SizeB(4, M{{0x9F, {0x1F, 0x44}}}), 64u);
    EXPECT_EQ(SizeA(4, M{{0x15, {0x1F, 0x60}}}), 128u);
    EXPECT_EQ(SizeB(4, M{{0x15, {0, 0, 0, 0x1F, 0x60}}}), 128u); // after the dummy bytes
    // MXIC
    for (std::uint8_t d = 0x10; d <= 0x17; ++d) {
        EXPECT_EQ(SizeA(5, M{{0x9F, {0xC2, 0x20, d}}}), 64u << (d - 0x10));
        EXPECT_EQ(SizeB(5, M{{0x9F, {0xC2, 0x22, d}}}), 64u << (d - 0x10));
    }
    EXPECT_EQ(SizeA(5, M{{0x9F, {0xC2, 0x24, 0x15}}}), 64u);
    // WINBOND
    for (std::uint8_t d = 0x10; d <= 0x14; ++d)
        EXPECT_EQ(SizeB(6, M{{0x9F, {0xEF, 0x30, d}}}), 64u << (d - 0x10));
    EXPECT_EQ(SizeA(6, M{{0x9F, {0xEF, 0x40, 0x18}}}), 16384u);
    EXPECT_EQ(SizeA(6, M{{0x9F, {0xEF, 0x40, 0x15}}}), 64u);
    // AMIC
    for (std::uint8_t d = 0x10; d <= 0x16; ++d)
        EXPECT_EQ(SizeA(7, M{{0x9F, {0x37, 0x30, d}}}), 64u << (d - 0x10));
    EXPECT_EQ(SizeA(7, M{{0x9F, {0x7F, 0x37, 0x20, 0x14}}}), 1024u);
    EXPECT_EQ(SizeA(7, M{{0x9F, {0x7F, 0x37, 0x20, 0x20}}}), 64u);
    EXPECT_EQ(SizeB(7, M{{0x9F, {0x7F, 0x37, 0x20, 0x21}}}), 128u);
    EXPECT_EQ(SizeB(7, M{{0x9F, {0x7F, 0x37, 0x20, 0x22}}}), 256u);
    // EON
    for (std::uint8_t d = 0x10; d <= 0x17; ++d)
        EXPECT_EQ(SizeA(8, M{{0x9F, {0x1C, 0x31, d}}}), 64u << (d - 0x10));
    // ESMT
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x30, 0x11}}}), 128u);
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x30, 0x12}}}), 256u);
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x30, 0x13}}}), 512u);
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x30, 0x14}}}), 1024u);
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x30, 0x10}}}), 64u);
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x21, 0x15}}}), 2048u);
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x20, 0x16}}}), 4096u);
    EXPECT_EQ(SizeA(9, M{{0x9F, {0x8C, 0x20, 0x15}}}), 64u);
    // SANYO
    EXPECT_EQ(SizeA(10, M{{0x9F, {0x62, 0x16}}, {0xAB, {0, 0, 0, 0x44}}}), 256u);
    EXPECT_EQ(SizeB(10, M{{0x9F, {0x62, 0x16}}, {0xAB, {0, 0, 0, 0, 0, 0, 0x44}}}), 256u);
    EXPECT_EQ(SizeA(10, M{{0xAB, {0, 0, 0, 0x44}}}), 64u); // 9F must say 62 first
    // GIGADEVICE
    for (std::uint8_t d = 0x10; d <= 0x13; ++d)
        EXPECT_EQ(SizeA(11, M{{0x9F, {0xC8, 0x40, d}}}), 64u << (d - 0x10));
    EXPECT_EQ(SizeA(11, M{{0x9F, {0xC8, 0x60, 0x13}}}), 64u);
    // VPOWERWINS
    EXPECT_EQ(SizeA(12, M{{0x9F, {0xA1, 0x31, 0x12}}}), 256u);
    EXPECT_EQ(SizeB(12, M{{0x9F, {0xA1, 0x31, 0x13}}}), 512u);
    EXPECT_EQ(SizeB(12, M{{0x9F, {0xA1, 0x31, 0x14}}}), 64u);
}
