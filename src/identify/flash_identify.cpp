#include "identify/flash_identify.h"

#include "common/hex.h"
#include "image/chip_identity.h"

#include <cstring>
#include <span>

namespace brigant
{

const FlashMakerRow FlashMakerTable[kFlashKindCount] = {
    {"Unknown", 0x8000, 0x1000},      // kFlashUnknown
    {"PMC", 0x8000, 0x1000},          // kFlashPmc
    {"SST", 0x8000, 0x1000},          // kFlashSst
    {"ST/EON/MXIC", 0x10000, 0x8000}, // kFlashStEonMxic
    {"ATMEL", 0x10000, 0x8000},       // kFlashAtmel
    {"MXIC", 0x10000, 0x1000},        // kFlashMxic
    {"WINBOND", 0x10000, 0x1000},     // kFlashWinbond
    {"AMIC", 0x10000, 0x1000},        // kFlashAmic
    {"EON", 0x10000, 0x8000},         // kFlashEon
    {"ESMT", 0x10000, 0x1000},        // kFlashEsmt
    {"SANYO", 0x10000, 0x1000},       // kFlashSanyo
    {"GIGADEVICE", 0x10000, 0x1000},  // kFlashGigadevice
    {"VPOWERWINS", 0x10000, 0x1000},  // kFlashVpowerwins
};

bool IsTableFlashKind(std::int32_t kind)
{
    return kind >= 0 && kind < static_cast<std::int32_t>(kFlashKindCount);
}

const char *FlashMakerName(std::int32_t kind)
{
    return IsTableFlashKind(kind) ? FlashMakerTable[kind].name : nullptr;
}

void SetFlashGeometry(TransferState &x, std::int32_t kind)
{
    if (!IsTableFlashKind(kind))
        return;
    x.FlashBlockSize = FlashMakerTable[kind].blockSize;
    x.FlashSectorSize = FlashMakerTable[kind].sectorSize;
}

namespace
{

using Id = std::uint8_t[4];

void SetStartValues(FlashOpcodeRecord &r)
{
    r.chipErase = 0xC7;
    r.blockErase = 0xD8;
    r.pageProgram = 0x02;
    r.flashKind = 0;
    r.sectorErase = 0x20;
}

// The cases of each JEDEC step: true when one matched (and the record was set).
bool JedecCases(const Id id, FlashOpcodeRecord &r)
{
    if (id[0] == 0x7F && id[1] == 0x37)
        r.flashKind = 7;
    else if (id[0] == 0x37 && id[1] == 0x30)
        r.flashKind = 7;
    else if (id[0] == 0x1F)
        r.flashKind = 4;
    else if (id[0] == 0xC2)
        r.flashKind = 5;
    else if (id[0] == 0xEF)
        r.flashKind = 6;
    else if (id[0] == 0x20)
        r.flashKind = 3;
    else if (id[0] == 0x1C)
        r.flashKind = 8;
    else if (id[0] == 0x8C)
        r.flashKind = 9;
    else if (id[0] == 0x7F && id[1] == 0x9D)
        r.flashKind = 1;
    else if (id[0] == 0x62) {
        r.flashKind = 10;
        r.sectorErase = 0xD7;
    } else if (id[0] == 0xC8) {
        r.flashKind = 11;
        r.blockErase = 0x52;
    } else if (id[0] == 0xA1)
        r.flashKind = 12;
    else
        return false;
    return true;
}

bool MakerDeviceCases(const Id id, FlashOpcodeRecord &r) // 0x90, case on id3
{
    if (id[3] != 0xBF)
        return false;
    r.flashKind = 2;
    r.chipErase = 0x60;
    r.blockErase = 0x52;
    r.pageProgram = 0xAF;
    return true;
}

bool SignatureId3Cases(const Id id, FlashOpcodeRecord &r) // 0xAB, case on id3
{
    if (id[3] == 0x9D)
        r.flashKind = 1;
    else if (id[3] == 0x05)
        r.flashKind = 3;
    else
        return false;
    return true;
}

bool Atmel15Cases(const Id id, FlashOpcodeRecord &r) // 0x15, case on id0
{
    if (id[0] != 0x1F)
        return false;
    r.flashKind = 4;
    r.chipErase = 0x62;
    r.blockErase = 0x52;
    r.pageProgram = 0x02;
    return true;
}

bool SignatureId0Cases(const Id id, FlashOpcodeRecord &r) // 0xAB with dummy bytes, case on id0
{
    if (id[0] != 0x05)
        return false;
    r.flashKind = 3;
    return true;
}

// Runs the steps of a JEDEC probe with the "pending" rule: step 1 always runs,
// each later one only while pending is 1; a successful query sets pending to 0
// and back to 1 when no case matched; a failed query leaves it as it was.
class JedecProbe
{
  public:
    explicit JedecProbe(FlashOpcodeRecord &record) : record_(record) { SetStartValues(record_); }

    template <typename Query, typename Cases> void step(Query query, Cases cases)
    {
        if (!first_ && pending_ == 0)
            return;
        first_ = false;
        Id id = {0, 0, 0, 0};
        if (!query(id))
            return;
        pending_ = 0;
        if (!cases(id, record_))
            pending_ = 1;
    }
    int result() const { return pending_ == 0 ? 1 : 0; }

  private:
    FlashOpcodeRecord &record_;
    int pending_ = 0;
    bool first_ = true;
};

} // namespace

int ProbeFlashVendorSpi(const std::string &path, FlashOpcodeRecord &record)
{
    JedecProbe probe(record);
    auto spi = [&](std::uint8_t opcode) {
        return [&path, opcode](Id id) { return SpiQuery(path, opcode, id, 4); };
    };
    auto idBytes3 = [&](std::uint8_t opcode, bool dummy) {
        return [&path, opcode, dummy](Id id) { return ReadFlashIdBytes(path, id, opcode, 3, dummy); };
    };
    probe.step(spi(0x9F), JedecCases);
    probe.step(spi(0x90), MakerDeviceCases);
    probe.step(spi(0xAB), SignatureId3Cases);
    probe.step(spi(0x15), Atmel15Cases);
    probe.step(idBytes3(0x15, false), Atmel15Cases);
    probe.step(idBytes3(0xAB, true), SignatureId0Cases);
    return probe.result();
}

int ProbeFlashVendorId(const std::string &path, FlashOpcodeRecord &record)
{
    JedecProbe probe(record);
    auto idBytes4 = [&](std::uint8_t opcode, bool dummy) {
        return [&path, opcode, dummy](Id id) { return ReadFlashIdBytes(path, id, opcode, 4, dummy); };
    };
    probe.step(idBytes4(0x9F, false), JedecCases);
    probe.step(idBytes4(0x90, false), MakerDeviceCases);
    probe.step(idBytes4(0xAB, true), SignatureId3Cases);
    probe.step(idBytes4(0x15, false), Atmel15Cases);
    probe.step(idBytes4(0xAB, true), SignatureId0Cases);
    return probe.result();
}

namespace
{

enum class Transport { A, B };

// A byte an answer must hold: answer[at] == value. `at` < 0: no condition.
struct ByteIs {
    std::int8_t at = -1;
    std::uint8_t value = 0;
    bool holds(const std::uint8_t *answer) const { return at < 0 || answer[at] == value; }
};

// One size code: answer[codeAt] in [first, last] (with `also` holding) gives
// sizeKb at `first`, doubled for each step above it when `doubles`.
struct SizeRow {
    std::uint8_t codeAt;
    std::uint8_t first, last;
    std::uint32_t sizeKb;
    bool doubles = false;
    ByteIs also = {};
    bool spiOnly = false; // only probe A reads this code
};

// A way of one flash kind to tell its size. The branches of a kind are tried
// in order; the first whose answer matches its bytes decides, from its rows
// (none matching: the size is not found).
// - `jedec`: bytes of the 9F answer the branch needs (the answer must have come).
// - `opcode` (0: none): a further query, asked only when `jedec` holds; probe A
//   asks `length` bytes over the raw SPI channel, probe B 4 bytes through the
//   bridge's ID read with dummy bytes. `queryOnlyA`: probe B skips the branch.
// - `answer`: bytes that further answer must hold; the rows then read it.
struct SizeBranch {
    std::int32_t kind;
    ByteIs jedec[2];
    std::uint8_t opcode = 0, length = 0;
    bool queryOnlyA = false;
    ByteIs answer[2] = {};
    std::span<const SizeRow> rows = {};
};

constexpr SizeRow kPmcRows[] = {{2, 0x20, 0x20, 64},  {2, 0x21, 0x21, 128}, {2, 0x7C, 0x7C, 128},
                                {2, 0x22, 0x22, 256}, {2, 0x7D, 0x7D, 256}, {2, 0x7E, 0x7E, 512}};
constexpr SizeRow kSstRows[] = {{2, 0x41, 0x41, 2048}, {2, 0x4A, 0x4A, 4096}};
constexpr SizeRow kSstAbRows[] = {{4, 0x48, 0x48, 64}, {4, 0x49, 0x49, 128}};
constexpr SizeRow kAny64[] = {{0, 0x00, 0xFF, 64}};
constexpr SizeRow kAny128[] = {{0, 0x00, 0xFF, 128}};
constexpr SizeRow kAny256[] = {{0, 0x00, 0xFF, 256}};
constexpr SizeRow kAtmelRows[] = {
    {1, 0x65, 0x65, 64}, {1, 0x66, 0x66, 128}, {1, 0x44, 0x44, 512, false, {}, true}};
constexpr SizeRow kDoubling10To13[] = {{2, 0x10, 0x13, 64, true}};
constexpr SizeRow kDoubling10To16[] = {{2, 0x10, 0x16, 64, true}};
constexpr SizeRow kDoubling10To17[] = {{2, 0x10, 0x17, 64, true}};
constexpr SizeRow kWinbondRows[] = {{2, 0x10, 0x14, 64, true}, {2, 0x18, 0x18, 16384, false, {}, true}};
constexpr SizeRow kAmicRows[] = {
    {3, 0x14, 0x14, 1024}, {3, 0x20, 0x20, 64}, {3, 0x21, 0x21, 128}, {3, 0x22, 0x22, 256}};
constexpr SizeRow kEsmtRows[] = {{2, 0x11, 0x14, 128, true, {1, 0x30}},
                                 {2, 0x15, 0x15, 2048, false, {1, 0x21}},
                                 {2, 0x16, 0x16, 4096, false, {1, 0x20}}};
constexpr SizeRow kVpowerwinsRows[] = {{2, 0x12, 0x12, 256}, {2, 0x13, 0x13, 512}};

constexpr SizeBranch kSizeBranches[] = {
    {kFlashPmc, {{0, 0x7F}, {1, 0x9D}}, 0, 0, false, {}, kPmcRows},
    {kFlashPmc, {}, 0xAB, 6, true, {{3, 0x9D}, {4, 0x7B}}, kAny64},
    {kFlashSst, {{0, 0xBF}}, 0, 0, false, {}, kSstRows},
    {kFlashSst, {}, 0xAB, 6, true, {{3, 0xBF}}, kSstAbRows},
    {kFlashStEonMxic, {{0, 0x20}}, 0, 0, false, {}, kDoubling10To16},
    {kFlashStEonMxic, {}, 0xAB, 4, false, {{0, 0xFF}, {3, 0x05}}, kAny64},
    {kFlashAtmel, {{0, 0x1F}}, 0, 0, false, {}, kAtmelRows},
    {kFlashAtmel, {}, 0x15, 4, false, {{0, 0x1F}, {1, 0x60}}, kAny128},
    {kFlashMxic, {{0, 0xC2}, {1, 0x20}}, 0, 0, false, {}, kDoubling10To17},
    {kFlashMxic, {{0, 0xC2}, {1, 0x22}}, 0, 0, false, {}, kDoubling10To17},
    {kFlashWinbond, {{0, 0xEF}}, 0, 0, false, {}, kWinbondRows},
    {kFlashAmic, {{0, 0x37}}, 0, 0, false, {}, kDoubling10To16},
    {kFlashAmic, {{0, 0x7F}, {1, 0x37}}, 0, 0, false, {}, kAmicRows},
    {kFlashEon, {{0, 0x1C}}, 0, 0, false, {}, kDoubling10To17},
    {kFlashEsmt, {{0, 0x8C}}, 0, 0, false, {}, kEsmtRows},
    {kFlashSanyo, {{0, 0x62}}, 0xAB, 4, false, {{3, 0x44}}, kAny256},
    {kFlashGigadevice, {{0, 0xC8}, {1, 0x40}}, 0, 0, false, {}, kDoubling10To13},
    {kFlashVpowerwins, {{0, 0xA1}, {1, 0x31}}, 0, 0, false, {}, kVpowerwinsRows},
};

// The size the first matching row of `rows` gives for `answer`; 0: none.
std::uint32_t SizeFromRows(std::span<const SizeRow> rows, const std::uint8_t *answer, bool a)
{
    for (const SizeRow &row : rows) {
        const std::uint8_t code = answer[row.codeAt];
        if ((row.spiOnly && !a) || !row.also.holds(answer) || code < row.first || code > row.last)
            continue;
        return row.doubles ? row.sizeKb << (code - row.first) : row.sizeKb;
    }
    return 0;
}

// The size probe of either transport (the size probes).
int ProbeFlashSize(const std::string &path, FlashOpcodeRecord &record, Transport t, std::uint8_t *idOut,
                   bool *found = nullptr)
{
    const bool a = t == Transport::A;
    if (record.flashKind == 0) {
        if (a)
            ProbeFlashVendorSpi(path, record);
        else
            ProbeFlashVendorId(path, record);
    }

    std::uint8_t id[4] = {0, 0, 0, 0};
    const bool answered = (a ? SpiQuery(path, 0x9F, id, 4) : ReadFlashIdBytes(path, id, 0x9F, 4, false)) != 0;
    if (!a && idOut)
        std::memcpy(idOut, id, 4);

    std::uint32_t size = 0; // 0: not found, 64 applies
    for (const SizeBranch &branch : kSizeBranches) {
        if (branch.kind != record.flashKind || (branch.queryOnlyA && !a))
            continue;
        if (branch.jedec[0].at >= 0 && !(answered && branch.jedec[0].holds(id) && branch.jedec[1].holds(id)))
            continue;
        const std::uint8_t *answer = id;
        std::uint8_t more[6] = {0, 0, 0, 0, 0, 0};
        if (branch.opcode != 0) {
            const bool asked = (a ? SpiQuery(path, branch.opcode, more, branch.length)
                                  : ReadFlashIdBytes(path, more, branch.opcode, 4, true)) != 0;
            if (!asked || !branch.answer[0].holds(more) || !branch.answer[1].holds(more))
                continue;
            answer = more;
        }
        size = SizeFromRows(branch.rows, answer, a);
        break;
    }
    record.sizeKb = size != 0 ? size : 64;
    if (found)
        *found = size != 0;
    return 1;
}

// The two commands of the AMIC and ATMEL probes: 01 01 9F as "in" without
// data, then SpiReadData of 4 bytes with its length field left 0.
bool ReadJedecUnsized(const std::string &path, std::uint8_t id[4])
{
    SpiDescriptor d;
    d.bytes[0] = 0x01;
    d.bytes[1] = 0x01;
    d.bytes[2] = 0x9F;
    if (!SpiCommandIn(path, d))
        return false;
    return SpiReadDataUnsized(path, id, 4) != 0;
}

} // namespace

int ProbeFlashSizeSpi(const std::string &path, FlashOpcodeRecord &record, bool *found)
{
    return ProbeFlashSize(path, record, Transport::A, nullptr, found);
}

int ProbeFlashSizeId(const std::string &path, FlashOpcodeRecord &record, std::uint8_t *idOut)
{
    return ProbeFlashSize(path, record, Transport::B, idOut);
}

std::uint32_t AmicFlashSizeKb(int amicType)
{
    // AmicType, from the capacity byte of 7F 37 20 x: 0x12 (256 KiB), 0x11
    // (128 KiB), 0x20 and 0x10 (64 KiB).
    struct Row {
        int type;
        std::uint32_t sizeKb;
    };
    static constexpr Row kRows[] = {{1, 256}, {3, 128}, {4, 64}, {5, 64}};
    for (const Row &row : kRows)
        if (row.type == amicType)
            return row.sizeKb;
    return 0;
}

int ProbeAmicFlash(const std::string &path)
{
    std::uint8_t id[4] = {0, 0, 0, 0};
    if (!ReadJedecUnsized(path, id))
        return -1;
    if (id[0] != 0x7F || id[1] != 0x37 || id[2] != 0x20)
        return -1;
    switch (id[3]) {
    case 0x12:
        return 1;
    case 0x11:
        return 3;
    case 0x20:
        return 4;
    case 0x10:
        return 5;
    default:
        return -1;
    }
}

int ProbeAtmelFlash(const std::string &path)
{
    std::uint8_t id[4] = {0, 0, 0, 0};
    if (!ReadJedecUnsized(path, id) || id[0] != 0x1F)
        return -1;
    if (id[1] == 0x65)
        return 1;
    if (id[1] == 0x66)
        return 2;
    return 0;
}

std::string ReadJedecText(const std::string &path, bool &throughBridge)
{
    std::uint8_t id[4] = {};
    throughBridge = false;
    if (SpiQuery(path, 0x9F, id, 4))
        return HexBytes(id, 4);
    if (ReadFlashIdBytes4(path, id, 0x9F, false)) {
        throughBridge = true;
        return HexBytes(id, 4);
    }
    return {};
}

} // namespace brigant
