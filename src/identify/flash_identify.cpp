#include "identify/flash_identify.h"

#include "common/hex.h"

#include <cstring>

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

// `base` << n for id2 = first + n, up to last; 0 when id2 is outside.
std::uint32_t Doubling(std::uint8_t id2, std::uint8_t first, std::uint8_t last, std::uint32_t base = 64)
{
    if (id2 < first || id2 > last)
        return 0;
    return base << (id2 - first);
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

    // A further query of the "otherwise" branches: probe A asks over SpiQuery
    // for `length` bytes, probe B over ReadFlashIdBytes (count 4) with dummy
    // bytes. Only a successful query is examined.
    std::uint8_t more[6] = {0, 0, 0, 0, 0, 0};
    auto query = [&](std::uint8_t opcode, std::uint8_t length) {
        std::memset(more, 0, sizeof more);
        return (a ? SpiQuery(path, opcode, more, length) : ReadFlashIdBytes(path, more, opcode, 4, true)) !=
               0;
    };

    std::uint32_t size = 0; // 0: not found, 64 applies
    switch (record.flashKind) {
    case 1: // PMC
        if (answered && id[0] == 0x7F && id[1] == 0x9D) {
            switch (id[2]) {
            case 0x20:
                size = 64;
                break;
            case 0x21:
            case 0x7C:
                size = 128;
                break;
            case 0x22:
            case 0x7D:
                size = 256;
                break;
            case 0x7E:
                size = 512;
                break;
            default:
                break;
            }
        } else if (a && query(0xAB, 6) && more[3] == 0x9D && more[4] == 0x7B) {
            size = 64;
        }
        break;
    case 2: // SST
        if (answered && id[0] == 0xBF) {
            if (id[2] == 0x41)
                size = 2048;
            else if (id[2] == 0x4A)
                size = 4096;
        } else if (a && query(0xAB, 6) && more[3] == 0xBF) {
            if (more[4] == 0x48)
                size = 64;
            else if (more[4] == 0x49)
                size = 128;
        }
        break;
    case 3: // ST/EON/MXIC
        if (answered && id[0] == 0x20) {
            size = Doubling(id[2], 0x10, 0x16);
        } else if (query(0xAB, 4) && more[0] == 0xFF && more[3] == 0x05) {
            size = 64;
        }
        break;
    case 4: // ATMEL
        if (answered && id[0] == 0x1F) {
            if (id[1] == 0x65)
                size = 64;
            else if (id[1] == 0x66)
                size = 128;
            else if (a && id[1] == 0x44)
                size = 512;
        } else if (query(0x15, 4) && more[0] == 0x1F && more[1] == 0x60) {
            size = 128;
        }
        break;
    case 5: // MXIC
        if (answered && id[0] == 0xC2 && (id[1] == 0x20 || id[1] == 0x22))
            size = Doubling(id[2], 0x10, 0x17);
        break;
    case 6: // WINBOND
        if (answered && id[0] == 0xEF) {
            size = Doubling(id[2], 0x10, 0x14);
            if (a && id[2] == 0x18)
                size = 16384;
        }
        break;
    case 7: // AMIC
        if (answered && id[0] == 0x37) {
            size = Doubling(id[2], 0x10, 0x16);
        } else if (answered && id[0] == 0x7F && id[1] == 0x37) {
            switch (id[3]) {
            case 0x14:
                size = 1024;
                break;
            case 0x20:
                size = 64;
                break;
            case 0x21:
                size = 128;
                break;
            case 0x22:
                size = 256;
                break;
            default:
                break;
            }
        }
        break;
    case 8: // EON
        if (answered && id[0] == 0x1C)
            size = Doubling(id[2], 0x10, 0x17);
        break;
    case 9: // ESMT
        if (answered && id[0] == 0x8C) {
            if (id[1] == 0x30)
                size = Doubling(id[2], 0x11, 0x14, 128);
            else if (id[1] == 0x21 && id[2] == 0x15)
                size = 2048;
            else if (id[1] == 0x20 && id[2] == 0x16)
                size = 4096;
        }
        break;
    case 10: // SANYO
        if (answered && id[0] == 0x62 && query(0xAB, 4) && more[3] == 0x44)
            size = 256;
        break;
    case 11: // GIGADEVICE
        if (answered && id[0] == 0xC8 && id[1] == 0x40)
            size = Doubling(id[2], 0x10, 0x13);
        break;
    case 12: // VPOWERWINS
        if (answered && id[0] == 0xA1 && id[1] == 0x31) {
            if (id[2] == 0x12)
                size = 256;
            else if (id[2] == 0x13)
                size = 512;
        }
        break;
    default:
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
