#include "common/clock.h"
#include "sim/flash_parts.h"
#include "sim/spi_flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <set>
#include <string>
#include <vector>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;

// A flash part on a virtual clock, driven one SPI transaction at a time.
struct Rig {
    explicit Rig(const char *name) : flash(*FindFlashPart(name), clock) {}

    // Clocks `out`, then `reads` bytes of 0x00, and returns MISO of the reads.
    Bytes tx(std::initializer_list<std::uint8_t> out, std::size_t reads = 0)
    {
        flash.select();
        for (std::uint8_t b : out)
            flash.exchange(b);
        Bytes in;
        for (std::size_t i = 0; i < reads; ++i)
            in.push_back(flash.exchange(0x00));
        flash.deselect();
        return in;
    }
    std::uint8_t rdsr() { return tx({0x05}, 1)[0]; }
    void wren() { tx({0x06}); }
    void waitReady()
    {
        for (int i = 0; i < 100000 && (rdsr() & 1); ++i)
            clock.advance(1);
    }
    Bytes read(std::uint32_t a, std::size_t n) { return tx({0x03, A2(a), A1(a), A0(a)}, n); }
    void program(std::uint32_t a, const Bytes &data)
    {
        flash.select();
        for (std::uint8_t b : {std::uint8_t{0x02}, A2(a), A1(a), A0(a)})
            flash.exchange(b);
        for (std::uint8_t b : data)
            flash.exchange(b);
        flash.deselect();
    }
    void erase(std::uint8_t op, std::uint32_t a) { tx({op, A2(a), A1(a), A0(a)}); }
    void unprotect()
    {
        if (flash.part().ewsr)
            tx({0x50});
        else
            wren();
        tx({0x01, 0x00});
        waitReady();
    }

    static std::uint8_t A2(std::uint32_t a) { return static_cast<std::uint8_t>(a >> 16); }
    static std::uint8_t A1(std::uint32_t a) { return static_cast<std::uint8_t>(a >> 8); }
    static std::uint8_t A0(std::uint32_t a) { return static_cast<std::uint8_t>(a); }

    VirtualClock clock;
    SpiFlash flash;
};

} // namespace

// ---------------------------------------------------------------------------
// The part table

TEST(FlashPartTable, LookupIsCaseInsensitive)
{
    const FlashPart *p = FindFlashPart("mx25l4006e");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->name, "MX25L4006E");
    EXPECT_EQ(FindFlashPart("MX25L4006"), nullptr);
    EXPECT_EQ(FindFlashPart(""), nullptr);
}

TEST(FlashPartTable, GeometryIsConsistent)
{
    std::set<std::string> names;
    for (const FlashPart &p : FlashParts()) {
        SCOPED_TRACE(p.name);
        EXPECT_TRUE(names.insert(p.name).second) << "duplicate name";
        ASSERT_GT(p.sizeBytes, 0u);
        EXPECT_EQ(p.sizeBytes & (p.sizeBytes - 1), 0u) << "size not a power of two";
        ASSERT_GT(p.pageSize, 0u);
        EXPECT_EQ(p.sizeBytes % p.pageSize, 0u);
        bool chipErase = false;
        for (const EraseOp &e : p.erases) {
            chipErase |= e.sizeBytes == 0;
            if (e.sizeBytes) {
                EXPECT_EQ(p.sizeBytes % e.sizeBytes, 0u) << "erase 0x" << std::hex << int(e.opcode);
            }
        }
        EXPECT_TRUE(chipErase);
        EXPECT_TRUE(!p.jedec.empty() || !p.rems.empty() || p.ab != AbAnswer::None || !p.id15.empty())
            << "part cannot be identified at all";
        if (p.ab == AbAnswer::Signature) {
            EXPECT_FALSE(p.res.empty());
        }
    }
}

// The identification rules the tool applies to the answers of 0x9F, 0x90,
// 0xAB and 0x15 (each query: opcode, then N bytes read with MOSI 0x00), run
// by hand so that every part in the table meets the decoding with its real
// answers. Returns {maker kind, size in KiB}.
namespace
{

struct Decoded {
    int kind = 0;
    std::uint32_t sizeKb = 64;
};

Decoded DecodeByIdentificationRules(Rig &rig)
{
    auto q = [&](std::uint8_t op, std::size_t n) { return rig.tx({op}, n); };
    Decoded d;
    Bytes id = q(0x9F, 4);
    bool pending = false;
    if (id[0] == 0x7F && id[1] == 0x37)
        d.kind = 7;
    else if (id[0] == 0x37 && id[1] == 0x30)
        d.kind = 7;
    else if (id[0] == 0x1F)
        d.kind = 4;
    else if (id[0] == 0xC2)
        d.kind = 5;
    else if (id[0] == 0xEF)
        d.kind = 6;
    else if (id[0] == 0x20)
        d.kind = 3;
    else if (id[0] == 0x1C)
        d.kind = 8;
    else if (id[0] == 0x8C)
        d.kind = 9;
    else if (id[0] == 0x7F && id[1] == 0x9D)
        d.kind = 1;
    else if (id[0] == 0x62)
        d.kind = 10;
    else if (id[0] == 0xC8)
        d.kind = 11;
    else if (id[0] == 0xA1)
        d.kind = 12;
    else
        pending = true;
    if (pending) {
        id = q(0x90, 4);
        pending = id[3] != 0xBF;
        if (!pending)
            d.kind = 2;
    }
    if (pending) {
        id = q(0xAB, 4);
        pending = false;
        if (id[3] == 0x9D)
            d.kind = 1;
        else if (id[3] == 0x05)
            d.kind = 3;
        else
            pending = true;
    }
    if (pending) {
        id = q(0x15, 4);
        if (id[0] == 0x1F)
            d.kind = 4;
    }

    id = q(0x9F, 4);
    auto pow2 = [](std::uint8_t code, std::uint8_t lo, std::uint8_t hi) -> std::uint32_t {
        return code >= lo && code <= hi ? 64u << (code - lo) : 0;
    };
    std::uint32_t kb = 0;
    switch (d.kind) {
    case 1:
        if (id[0] == 0x7F && id[1] == 0x9D) {
            if (id[2] == 0x20)
                kb = 64;
            else if (id[2] == 0x21 || id[2] == 0x7C)
                kb = 128;
            else if (id[2] == 0x22 || id[2] == 0x7D)
                kb = 256;
            else if (id[2] == 0x7E)
                kb = 512;
        }
        if (!kb) {
            const Bytes r = q(0xAB, 6);
            if (r[3] == 0x9D && r[4] == 0x7B)
                kb = 64;
        }
        break;
    case 2:
        if (id[0] == 0xBF)
            kb = id[2] == 0x41 ? 2048 : id[2] == 0x4A ? 4096 : 0;
        if (!kb) {
            const Bytes r = q(0xAB, 6);
            if (r[3] == 0xBF)
                kb = r[4] == 0x48 ? 64 : r[4] == 0x49 ? 128 : 0;
        }
        break;
    case 3:
        if (id[0] == 0x20)
            kb = pow2(id[2], 0x10, 0x16);
        if (!kb) {
            const Bytes r = q(0xAB, 4);
            if (r[0] == 0xFF && r[3] == 0x05)
                kb = 64;
        }
        break;
    case 4:
        if (id[0] == 0x1F)
            kb = id[1] == 0x65 ? 64 : id[1] == 0x66 ? 128 : id[1] == 0x44 ? 512 : 0;
        if (!kb) {
            const Bytes r = q(0x15, 4);
            if (r[0] == 0x1F && r[1] == 0x60)
                kb = 128;
        }
        break;
    case 5:
        if (id[0] == 0xC2 && (id[1] == 0x20 || id[1] == 0x22))
            kb = pow2(id[2], 0x10, 0x17);
        break;
    case 6:
        if (id[0] == 0xEF)
            kb = id[2] == 0x18 ? 16384 : pow2(id[2], 0x10, 0x14);
        break;
    case 7:
        if (id[0] == 0x37)
            kb = pow2(id[2], 0x10, 0x16);
        else if (id[0] == 0x7F && id[1] == 0x37)
            kb = id[3] == 0x14 ? 1024 : pow2(id[3], 0x20, 0x22);
        break;
    case 8:
        if (id[0] == 0x1C)
            kb = pow2(id[2], 0x10, 0x17);
        break;
    case 9:
        if (id[0] == 0x8C) {
            if (id[1] == 0x30)
                kb = pow2(id[2], 0x11, 0x14) * 2;
            else if (id[1] == 0x21 && id[2] == 0x15)
                kb = 2048;
            else if (id[1] == 0x20 && id[2] == 0x16)
                kb = 4096;
        }
        break;
    case 10:
        if (id[0] == 0x62 && q(0xAB, 4)[3] == 0x44)
            kb = 256;
        break;
    case 11:
        if (id[0] == 0xC8 && id[1] == 0x40)
            kb = pow2(id[2], 0x10, 0x13);
        break;
    case 12:
        if (id[0] == 0xA1 && id[1] == 0x31)
            kb = id[2] == 0x12 ? 256 : id[2] == 0x13 ? 512 : 0;
        break;
    default:
        break;
    }
    if (kb)
        d.sizeKb = kb;
    return d;
}

struct IdCase {
    const char *part;
    int kind;
    std::uint32_t decodedKb;
    bool sizeKnownToRules; // false: the rules have no entry and fall back to 64 KiB
};

const IdCase kIdCases[] = {
    {"PM25LV040", 1, 512, true},    {"PM25LV512", 1, 64, true},    {"SST25VF040B", 2, 64, false},
    {"SST25VF016B", 2, 2048, true}, {"SST25VF512A", 2, 64, true},  {"SST25VF010A", 2, 128, true},
    {"M25P40", 3, 512, true},       {"M25P05", 3, 64, true},       {"AT25F512", 4, 64, true},
    {"AT25F1024", 4, 128, true},    {"AT25DF041A", 4, 512, true},  {"MX25L4006E", 5, 512, true},
    {"W25X40", 6, 512, true},       {"W25Q128FV", 6, 16384, true}, {"A25L040", 7, 512, true},
    {"A25L20PT", 7, 256, true},     {"A25L05PT", 7, 64, true},     {"EN25F40", 8, 512, true},
    {"F25L16PA", 9, 2048, true},    {"LE25FW203A", 10, 64, false}, {"GD25Q40", 11, 512, true},
    {"FM25F04", 12, 512, true},     {"A25L05PU", 7, 64, true},     {"A25L10PU", 7, 64, false},
    {"A25L20PU", 7, 64, false},     {"M25P05-A", 3, 64, true},     {"MX25L512", 5, 64, true},
};

} // namespace

TEST(FlashPartIdentification, EveryPartMeetsTheDecodingWithItsOwnAnswers)
{
    std::set<int> kinds;
    for (const IdCase &c : kIdCases) {
        SCOPED_TRACE(c.part);
        ASSERT_NE(FindFlashPart(c.part), nullptr);
        Rig rig(c.part);
        const Decoded d = DecodeByIdentificationRules(rig);
        EXPECT_EQ(d.kind, c.kind);
        EXPECT_EQ(d.sizeKb, c.decodedKb);
        if (c.sizeKnownToRules) {
            EXPECT_EQ(c.decodedKb * 1024, rig.flash.part().sizeBytes);
        }
        kinds.insert(d.kind);
    }
    EXPECT_EQ(kinds.size(), 12u) << "a maker of the table has no part";
    EXPECT_EQ(std::size(kIdCases), FlashParts().size()) << "a part is missing from this test";
}

TEST(FlashPartIdentification, FourByteJedecAnswersOfTheOlderParts)
{
    Rig amic("A25L20PT");
    EXPECT_EQ(amic.tx({0x9F}, 5), (Bytes{0x7F, 0x37, 0x20, 0x22, 0xFF}));
    Rig atmel("AT25DF041A");
    EXPECT_EQ(atmel.tx({0x9F}, 4), (Bytes{0x1F, 0x44, 0x01, 0x00}));
    Rig winbond("W25Q128FV");
    EXPECT_EQ(winbond.tx({0x9F}, 4), (Bytes{0xEF, 0x40, 0x18, 0xFF}));
    EXPECT_EQ(winbond.flash.contents().size(), 16u * 1024 * 1024);
}

TEST(SpiFlash, IdentificationStreams)
{
    Rig mx("MX25L4006E");
    // 0x90: address phase floats, then maker/device alternate; A0 = 1 starts with the device.
    EXPECT_EQ(mx.tx({0x90}, 7), (Bytes{0xFF, 0xFF, 0xFF, 0xC2, 0x12, 0xC2, 0x12}));
    EXPECT_EQ(mx.tx({0x90, 0x00, 0x00, 0x01}, 3), (Bytes{0x12, 0xC2, 0x12}));
    // 0xAB: three dummy bytes, then the signature for as long as the clock runs.
    EXPECT_EQ(mx.tx({0xAB}, 6), (Bytes{0xFF, 0xFF, 0xFF, 0x12, 0x12, 0x12}));
    // An opcode the part lacks leaves MISO high.
    EXPECT_EQ(mx.tx({0x15}, 2), (Bytes{0xFF, 0xFF}));

    Rig sst("SST25VF512A");
    EXPECT_EQ(sst.tx({0x9F}, 3), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(sst.tx({0xAB}, 5), (Bytes{0xFF, 0xFF, 0xFF, 0xBF, 0x48}));

    Rig pmc("PM25LV040");
    EXPECT_EQ(pmc.tx({0xAB}, 6), (Bytes{0xFF, 0xFF, 0xFF, 0x9D, 0x7E, 0x9D}));

    Rig at("AT25F512");
    EXPECT_EQ(at.tx({0x15}, 3), (Bytes{0x1F, 0x65, 0xFF}));
}

// ---------------------------------------------------------------------------
// Reading

TEST(SpiFlash, ReadsStreamAndWrapAtTheEnd)
{
    Rig r("GD25Q40");
    auto &mem = r.flash.contents();
    const std::uint32_t end = r.flash.part().sizeBytes;
    mem[end - 2] = 0x11;
    mem[end - 1] = 0x22;
    mem[0] = 0x33;
    mem[1] = 0x44;
    EXPECT_EQ(r.read(end - 2, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    // Fast read: one dummy byte after the address.
    EXPECT_EQ(r.tx({0x0B, Rig::A2(end - 1), Rig::A1(end - 1), Rig::A0(end - 1)}, 3),
              (Bytes{0xFF, 0x22, 0x33}));
    // Address bits above the array are ignored.
    EXPECT_EQ(r.read(end + 1, 1), (Bytes{0x44}));

    Rig at("AT25F512"); // no fast read
    at.flash.contents()[0] = 0x00;
    EXPECT_EQ(at.tx({0x0B, 0, 0, 0}, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(at.read(0, 1), (Bytes{0x00}));
}

// ---------------------------------------------------------------------------
// Programming and erasing

TEST(SpiFlash, ProgramCanOnlyClearBits)
{
    Rig r("MX25L4006E");
    r.wren();
    r.program(0x100, {0xF0, 0x3C});
    r.waitReady();
    r.wren();
    r.program(0x100, {0x0F, 0xFF});
    r.waitReady();
    EXPECT_EQ(r.read(0x100, 3), (Bytes{0x00, 0x3C, 0xFF}));
}

TEST(SpiFlash, PageProgramWrapsWithinThePage)
{
    Rig r("W25X40");
    r.wren();
    r.program(0x1FE, {0xA1, 0xA2, 0xA3, 0xA4});
    r.waitReady();
    EXPECT_EQ(r.read(0x1FE, 2), (Bytes{0xA1, 0xA2}));
    EXPECT_EQ(r.read(0x100, 2), (Bytes{0xA3, 0xA4}));
    EXPECT_EQ(r.read(0x200, 1), (Bytes{0xFF}));

    // More than a page: later bytes replace the earlier ones at the same place.
    Bytes data(258, 0xEE);
    data[0] = 0x0F;
    data[1] = 0xF0;
    data[256] = 0xAA;
    data[257] = 0x55;
    r.wren();
    r.program(0x1000, data);
    r.waitReady();
    EXPECT_EQ(r.read(0x1000, 3), (Bytes{0xAA, 0x55, 0xEE}));
    EXPECT_EQ(r.read(0x10FF, 2), (Bytes{0xEE, 0xFF}));

    Rig at("AT25F512"); // 128-byte pages
    at.wren();
    at.program(0x7F, {0x12, 0x34});
    at.waitReady();
    EXPECT_EQ(at.read(0x7F, 2), (Bytes{0x12, 0xFF}));
    EXPECT_EQ(at.read(0x00, 1), (Bytes{0x34}));
}

TEST(SpiFlash, SingleByteProgramOnSst)
{
    Rig r("SST25VF040B");
    r.unprotect();
    r.wren();
    r.program(0x10, {0x5A, 0x00, 0x00});
    r.waitReady();
    EXPECT_EQ(r.read(0x10, 3), (Bytes{0x5A, 0xFF, 0xFF}));
}

TEST(SpiFlash, EraseGranularityFollowsTheOpcode)
{
    struct Case {
        const char *part;
        std::uint8_t op;
        std::uint32_t size; // 0: whole array
    };
    const Case cases[] = {
        {"GD25Q40", 0x20, 0x1000},  {"GD25Q40", 0x52, 0x8000},     {"GD25Q40", 0xD8, 0x10000},
        {"GD25Q40", 0xC7, 0},       {"GD25Q40", 0x60, 0},          {"MX25L4006E", 0x52, 0x10000},
        {"AT25F512", 0x52, 0x8000}, {"AT25F512", 0x62, 0},         {"LE25FW203A", 0xD7, 0x1000},
        {"M25P05", 0xD8, 0x8000},   {"SST25VF512A", 0x52, 0x8000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.part) + " opcode " + std::to_string(c.op));
        Rig r(c.part);
        r.unprotect();
        auto &mem = r.flash.contents();
        std::fill(mem.begin(), mem.end(), 0x00);
        const std::uint32_t size = r.flash.part().sizeBytes;
        const std::uint32_t target = c.size ? c.size + c.size / 2 + 3 : 0x123; // inside the second unit
        r.wren();
        if (c.size)
            r.erase(c.op, target);
        else
            r.tx({c.op});
        r.waitReady();
        const std::uint32_t lo = c.size ? c.size : 0;
        const std::uint32_t hi = c.size ? 2 * c.size : size;
        for (std::uint32_t a : {lo, hi - 1})
            EXPECT_EQ(mem[a], 0xFF) << std::hex << a;
        if (lo > 0) {
            EXPECT_EQ(mem[lo - 1], 0x00);
        }
        if (hi < size) {
            EXPECT_EQ(mem[hi], 0x00);
        }
        EXPECT_EQ(static_cast<std::uint32_t>(std::count(mem.begin(), mem.end(), 0xFF)), hi - lo);
    }
    // An opcode the part does not have erases nothing.
    Rig m("M25P40");
    m.wren();
    m.flash.contents()[0] = 0x00;
    m.erase(0x20, 0);
    EXPECT_EQ(m.flash.contents()[0], 0x00);
    EXPECT_EQ(m.rdsr() & 3, 2) << "still write-enabled, nothing started";
}

TEST(SpiFlash, TransactionsCutShortDoNothing)
{
    Rig r("MX25L4006E");
    auto &mem = r.flash.contents();
    std::fill(mem.begin(), mem.begin() + 0x2000, 0x00);
    r.wren();
    r.tx({0x20, 0x00, 0x10}); // address incomplete
    EXPECT_EQ(mem[0x1000], 0x00);
    r.tx({0x02, 0x00, 0x10, 0x00}); // no data byte
    r.tx({0x01});                   // no status byte
    EXPECT_EQ(r.rdsr(), 0x02) << "nothing started, latch still set";
    r.tx({0x20, 0x00, 0x10, 0x00});
    EXPECT_EQ(r.rdsr() & 1, 1);
}

// ---------------------------------------------------------------------------
// Write-enable latch and busy

TEST(SpiFlash, WriteEnableLatchIsRequiredAndClearedByCompletion)
{
    Rig r("MX25L4006E");
    auto &mem = r.flash.contents();
    mem[0x2000] = 0x00;
    r.program(0x10, {0x00});
    r.erase(0x20, 0x2000);
    r.tx({0x01, 0x1C});
    EXPECT_EQ(r.rdsr(), 0x00);
    EXPECT_EQ(mem[0x10], 0xFF);
    EXPECT_EQ(mem[0x2000], 0x00);

    r.wren();
    EXPECT_EQ(r.rdsr(), 0x02);
    r.tx({0x04});
    EXPECT_EQ(r.rdsr(), 0x00);
    r.program(0x10, {0x00});
    EXPECT_EQ(mem[0x10], 0xFF);

    for (auto start : {+[](Rig &x) { x.program(0x10, {0x00}); }, +[](Rig &x) { x.erase(0x20, 0x2000); },
                       +[](Rig &x) {
                           x.tx({0x01, 0x00});
                       }}) {
        r.wren();
        start(r);
        EXPECT_EQ(r.rdsr() & 2, 2) << "latch stays set while the operation runs";
        r.clock.advance(100000);
        EXPECT_EQ(r.rdsr(), 0x00);
    }
    EXPECT_EQ(mem[0x10], 0x00);
    EXPECT_EQ(mem[0x2000], 0xFF);
}

TEST(SpiFlash, EraseStaysBusyForThePartsTimeAndIgnoresCommandsMeanwhile)
{
    Rig r("MX25L4006E");
    const std::uint32_t eraseMs = r.flash.part().erase(0x20)->typicalMs;
    ASSERT_GT(eraseMs, 1u);
    r.flash.contents()[0x5000] = 0x00;
    r.wren();
    r.erase(0x20, 0x5000);
    EXPECT_TRUE(r.flash.busy());
    EXPECT_EQ(r.rdsr(), 0x03);

    r.clock.advance(eraseMs - 1);
    EXPECT_EQ(r.rdsr() & 1, 1);
    EXPECT_EQ(r.read(0x5000, 2), (Bytes{0xFF, 0xFF})); // floats, whatever the array holds
    EXPECT_EQ(r.tx({0x9F}, 3), (Bytes{0xFF, 0xFF, 0xFF}));
    r.program(0x6000, {0x00}); // latch is still set, but the part is busy
    r.tx({0x04});              // not even write-disable is taken
    EXPECT_EQ(r.rdsr(), 0x03);

    r.clock.advance(1);
    EXPECT_FALSE(r.flash.busy());
    EXPECT_EQ(r.rdsr(), 0x00);
    EXPECT_EQ(r.flash.contents()[0x6000], 0xFF);
    EXPECT_EQ(r.tx({0x9F}, 3), (Bytes{0xC2, 0x20, 0x13}));

    // Chip erase takes seconds.
    r.wren();
    r.tx({0xC7});
    r.clock.advance(r.flash.part().erase(0xC7)->typicalMs - 1);
    EXPECT_TRUE(r.flash.busy());
    r.clock.advance(1);
    EXPECT_FALSE(r.flash.busy());
}

TEST(SpiFlash, BusyCanBeCountedInStatusReadsOrRetimed)
{
    Rig r("W25X40");
    r.flash.setTimedBusy(false);
    r.flash.setBusyStatusReads(3);
    r.wren();
    r.erase(0x20, 0);
    // Several status bytes in one transaction count one by one.
    EXPECT_EQ(r.tx({0x05}, 4), (Bytes{0x03, 0x03, 0x03, 0x00}));

    r.flash.setBusyStatusReads(0);
    r.wren();
    r.program(0, {0x00});
    EXPECT_EQ(r.rdsr(), 0x00) << "untimed and uncounted: done at once";

    r.flash.setTimedBusy(true);
    r.flash.setBusyTimeMs(7);
    r.wren();
    r.tx({0xC7});
    r.clock.advance(6);
    EXPECT_TRUE(r.flash.busy());
    r.clock.advance(1);
    EXPECT_FALSE(r.flash.busy());

    // Time and reads together: both must pass.
    r.flash.setBusyStatusReads(2);
    r.wren();
    r.erase(0x20, 0);
    r.clock.advance(7);
    EXPECT_EQ(r.tx({0x05}, 3), (Bytes{0x03, 0x03, 0x00}));
}

TEST(SpiFlash, StuckBusyNeverClears)
{
    Rig r("MX25L4006E");
    r.flash.setStuckBusy(true);
    EXPECT_EQ(r.rdsr() & 1, 1);
    r.wren();
    r.clock.advance(3600 * 1000);
    EXPECT_EQ(r.rdsr(), 0x01) << "write enable was ignored";
    EXPECT_EQ(r.read(0, 1), (Bytes{0xFF}));
    r.flash.contents()[0] = 0x00;
    EXPECT_EQ(r.read(0, 1), (Bytes{0xFF}));
    r.flash.setStuckBusy(false);
    EXPECT_EQ(r.rdsr(), 0x00);
    EXPECT_EQ(r.read(0, 1), (Bytes{0x00}));
}

// ---------------------------------------------------------------------------
// Block protection

TEST(SpiFlash, SstPowersUpProtectedUntilStatusIsWrittenZero)
{
    Rig r("SST25VF040B");
    EXPECT_EQ(r.rdsr(), 0x1C);
    EXPECT_EQ(r.flash.protectedFrom(), 0u);
    auto &mem = r.flash.contents();
    mem[0x3000] = 0x00;
    r.wren();
    r.program(0x10, {0x00});
    EXPECT_EQ(mem[0x10], 0xFF);
    r.erase(0x20, 0x3000);
    r.tx({0x60});
    EXPECT_EQ(mem[0x3000], 0x00);
    EXPECT_EQ(r.rdsr(), 0x1E) << "rejected operations leave the latch alone";

    // The B parts take the status write after either 0x06 or 0x50.
    r.tx({0x01, 0x00});
    r.waitReady();
    EXPECT_EQ(r.rdsr(), 0x00);
    r.wren();
    r.program(0x10, {0x00});
    r.waitReady();
    EXPECT_EQ(mem[0x10], 0x00);

    // Protection comes back with power.
    r.flash.powerCycle();
    EXPECT_EQ(r.rdsr(), 0x1C);
}

TEST(SpiFlash, OldSstNeedsEnableWriteStatus)
{
    Rig r("SST25VF512A");
    EXPECT_EQ(r.rdsr(), 0x0C);
    r.wren();
    r.tx({0x01, 0x00});
    EXPECT_EQ(r.rdsr(), 0x0E) << "0x06 alone does not open the status register";
    r.tx({0x50});
    r.tx({0x06}); // anything between 0x50 and 0x01 spends the enable
    r.tx({0x01, 0x00});
    EXPECT_EQ(r.rdsr(), 0x0E);
    r.tx({0x50});
    r.tx({0x01, 0x00});
    r.waitReady();
    EXPECT_EQ(r.rdsr(), 0x00);
}

TEST(SpiFlash, BlockProtectGuardsTheUpperFraction)
{
    Rig r("MX25L4006E");
    const std::uint32_t size = r.flash.part().sizeBytes;
    auto &mem = r.flash.contents();
    std::fill(mem.begin(), mem.end(), 0x00);
    r.wren();
    r.tx({0x01, 0x04}); // BP = 1: upper 1/64
    r.waitReady();
    EXPECT_EQ(r.rdsr(), 0x04);
    EXPECT_EQ(r.flash.protectedFrom(), size - size / 64);

    const std::uint32_t edge = size - size / 64;
    r.wren();
    r.program(edge, {0x00});
    r.erase(0x20, edge);
    r.erase(0xD8, edge - 1); // the 64 KiB block reaches into the protected part
    r.tx({0xC7});
    EXPECT_EQ(r.rdsr() & 1, 0);
    EXPECT_EQ(std::count(mem.begin(), mem.end(), 0xFF), 0);
    r.erase(0x20, edge - 1);
    r.waitReady();
    EXPECT_EQ(mem[edge - 0x1000], 0xFF);
    EXPECT_EQ(mem[edge - 1], 0xFF);
    EXPECT_EQ(mem[edge], 0x00);

    struct Bp {
        std::uint8_t status;
        std::uint32_t from;
    };
    for (Bp bp : {Bp{0x18, size / 2}, Bp{0x1C, 0}, Bp{0x14, size - size / 4}, Bp{0x00, size}}) {
        r.wren();
        r.tx({0x01, bp.status});
        r.waitReady();
        EXPECT_EQ(r.flash.protectedFrom(), bp.from) << int(bp.status);
    }
    r.wren();
    r.tx({0xC7});
    r.waitReady();
    EXPECT_EQ(static_cast<std::uint32_t>(std::count(mem.begin(), mem.end(), 0xFF)), size);
}

// ---------------------------------------------------------------------------
// SST auto-address-increment programming

TEST(SpiFlash, AaiWordModeProgramsPairsUntilWriteDisable)
{
    Rig r("SST25VF016B");
    r.unprotect();
    auto &mem = r.flash.contents();
    mem[0x4003] = 0x0F;
    r.wren();
    r.tx({0xAD, 0x00, 0x40, 0x01, 0x11, 0x22}); // A0 is ignored: pairs start even
    EXPECT_TRUE(r.flash.aaiActive());
    EXPECT_EQ(r.rdsr(), 0x42);
    r.tx({0xAD, 0x33, 0xF4});
    // Only the mode's opcode, 0x04 and 0x05 are taken in between.
    EXPECT_EQ(r.read(0x4000, 1), (Bytes{0xFF}));
    r.tx({0x20, 0x00, 0x40, 0x00});
    r.tx({0xAF, 0x00});
    r.tx({0xAD, 0x55, 0x66, 0x99}); // a surplus byte is ignored
    r.tx({0xAD, 0x77});             // incomplete pair: nothing
    r.tx({0x04});
    EXPECT_FALSE(r.flash.aaiActive());
    EXPECT_EQ(r.rdsr(), 0x00);
    EXPECT_EQ(r.read(0x4000, 7), (Bytes{0x11, 0x22, 0x33, 0x04, 0x55, 0x66, 0xFF}));

    // Without the latch nothing starts.
    r.tx({0xAD, 0x00, 0x50, 0x00, 0x00, 0x00});
    EXPECT_FALSE(r.flash.aaiActive());
    EXPECT_EQ(mem[0x5000], 0xFF);
}

TEST(SpiFlash, AaiByteModeStepsAreBusyAndTakeOneByteEach)
{
    Rig r("SST25VF512A");
    r.unprotect();
    r.flash.setBusyStatusReads(2);
    r.wren();
    r.tx({0xAF, 0x00, 0x01, 0x00, 0xA5, 0x00}); // data byte and a pad byte
    EXPECT_EQ(r.rdsr(), 0x43);                  // busy, latch, mode
    r.tx({0xAF, 0x00});                         // ignored: still busy
    EXPECT_EQ(r.tx({0x05}, 2), (Bytes{0x43, 0x42}));
    r.tx({0xAF, 0x5A});
    r.tx({0x05}, 2);
    r.tx({0xAF, 0xC3});
    r.tx({0x04}); // ignored: busy
    EXPECT_TRUE(r.flash.aaiActive());
    r.tx({0x05}, 2);
    r.tx({0x04});
    EXPECT_FALSE(r.flash.aaiActive());
    EXPECT_EQ(r.rdsr(), 0x00);
    EXPECT_EQ(r.read(0x100, 4), (Bytes{0xA5, 0x5A, 0xC3, 0xFF}));

    Rig w("SST25VF016B"); // word-mode part: no byte mode
    w.unprotect();
    w.wren();
    w.tx({0xAF, 0x00, 0x00, 0x00, 0x00});
    EXPECT_FALSE(w.flash.aaiActive());
    EXPECT_EQ(w.flash.contents()[0], 0xFF);
}

TEST(SpiFlash, AaiRespectsProtectionAndAndsIntoTheArray)
{
    Rig r("SST25VF040B"); // powers up fully protected
    r.wren();
    r.tx({0xAD, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_FALSE(r.flash.aaiActive());
    EXPECT_EQ(r.flash.contents()[0], 0xFF);

    r.unprotect();
    r.flash.contents()[0] = 0x3C;
    r.wren();
    r.tx({0xAD, 0x00, 0x00, 0x00, 0xF0, 0xFF});
    r.tx({0x04});
    EXPECT_EQ(r.read(0, 2), (Bytes{0x30, 0xFF}));
}
