#include "sim/flash_parts.h"

#include <cctype>

namespace brigant::sim
{

const EraseOp *FlashPart::erase(std::uint8_t opcode) const
{
    for (const EraseOp &op : erases)
        if (op.opcode == opcode)
            return &op;
    return nullptr;
}

namespace
{

constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t MiB = 1024 * KiB;

// Times are the datasheets' typical values, rounded to whole milliseconds.
// Answers a part does not give (or that its datasheet leaves undefined) stay
// empty and read as a floating bus.
std::vector<FlashPart> MakeParts()
{
    std::vector<FlashPart> parts;

    // PMC: 0xAB gives maker and device after three dummy bytes; the small
    // sector erase is 0xD7.
    parts.push_back({.name = "PM25LV040",
                     .maker = "PMC",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0x7F, 0x9D, 0x7E},
                     .ab = AbAnswer::Signature,
                     .res = {0x9D, 0x7E},
                     .erases = {{0xD7, 4 * KiB, 40}, {0xD8, 64 * KiB, 80}, {0xC7, 0, 80}},
                     .bpBits = 2,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});
    parts.push_back({.name = "PM25LV512",
                     .maker = "PMC",
                     .sizeBytes = 64 * KiB,
                     .jedec = {0x7F, 0x9D, 0x7B},
                     .ab = AbAnswer::Signature,
                     .res = {0x9D, 0x7B},
                     .erases = {{0xD7, 4 * KiB, 40}, {0xD8, 32 * KiB, 80}, {0xC7, 0, 80}},
                     .bpBits = 2,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});

    // SST: single-byte program, auto-address-increment programming, 0x90 and
    // 0xAB both read maker/device, block protection set at power-up.
    parts.push_back(
        {.name = "SST25VF040B",
         .maker = "SST",
         .sizeBytes = 512 * KiB,
         .jedec = {0xBF, 0x25, 0x8D},
         .rems = {0xBF, 0x8D},
         .ab = AbAnswer::ReadId,
         .erases =
             {{0x20, 4 * KiB, 18}, {0x52, 32 * KiB, 18}, {0xD8, 64 * KiB, 18}, {0x60, 0, 35}, {0xC7, 0, 35}},
         .pageSize = 1,
         .aai = kAaiWord,
         .ewsr = true,
         .powerUpStatus = 0x1C,
         .pageProgramMs = 0});
    parts.push_back(
        {.name = "SST25VF016B",
         .maker = "SST",
         .sizeBytes = 2 * MiB,
         .jedec = {0xBF, 0x25, 0x41},
         .rems = {0xBF, 0x41},
         .ab = AbAnswer::ReadId,
         .erases =
             {{0x20, 4 * KiB, 18}, {0x52, 32 * KiB, 18}, {0xD8, 64 * KiB, 18}, {0x60, 0, 35}, {0xC7, 0, 35}},
         .pageSize = 1,
         .aai = kAaiWord,
         .ewsr = true,
         .powerUpStatus = 0x1C,
         .pageProgramMs = 0});
    // The older byte-mode parts have no JEDEC identification, no fast read
    // and accept a status write only right after 0x50.
    parts.push_back({.name = "SST25VF512A",
                     .maker = "SST",
                     .sizeBytes = 64 * KiB,
                     .rems = {0xBF, 0x48},
                     .ab = AbAnswer::ReadId,
                     .erases = {{0x20, 4 * KiB, 18}, {0x52, 32 * KiB, 18}, {0x60, 0, 70}},
                     .pageSize = 1,
                     .aai = kAaiByte,
                     .ewsr = true,
                     .wrsrNeedsEwsr = true,
                     .fastRead = false,
                     .aaiEndsOnOtherCommand = true,
                     .bpBits = 2,
                     .powerUpStatus = 0x0C,
                     .pageProgramMs = 0});
    parts.push_back({.name = "SST25VF010A",
                     .maker = "SST",
                     .sizeBytes = 128 * KiB,
                     .rems = {0xBF, 0x49},
                     .ab = AbAnswer::ReadId,
                     .erases = {{0x20, 4 * KiB, 18}, {0x52, 32 * KiB, 18}, {0x60, 0, 70}},
                     .pageSize = 1,
                     .aai = kAaiByte,
                     .ewsr = true,
                     .wrsrNeedsEwsr = true,
                     .fastRead = false,
                     .aaiEndsOnOtherCommand = true,
                     .bpBits = 2,
                     .powerUpStatus = 0x0C,
                     .pageProgramMs = 0});

    // ST (maker 0x20): 64 KiB sectors and bulk erase only; 0xAB gives the
    // electronic signature.
    parts.push_back({.name = "M25P40",
                     .maker = "ST",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0x20, 0x20, 0x13},
                     .ab = AbAnswer::Signature,
                     .res = {0x12},
                     .erases = {{0xD8, 64 * KiB, 600}, {0xC7, 0, 4500}},
                     .pageProgramMs = 1,
                     .writeStatusMs = 5});
    // The first-generation 512 Kbit part: two 32 KiB sectors and no 0x9F.
    parts.push_back({.name = "M25P05",
                     .maker = "ST",
                     .sizeBytes = 64 * KiB,
                     .ab = AbAnswer::Signature,
                     .res = {0x05},
                     .erases = {{0xD8, 32 * KiB, 1000}, {0xC7, 0, 2000}},
                     .bpBits = 2,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});

    // ATMEL: the early parts identify only through 0x15 and erase 32 KiB
    // sectors with 0x52 and the chip with 0x62.
    parts.push_back({.name = "AT25F512",
                     .maker = "ATMEL",
                     .sizeBytes = 64 * KiB,
                     .id15 = {0x1F, 0x65},
                     .erases = {{0x52, 32 * KiB, 1100}, {0x62, 0, 2200}},
                     .pageSize = 128,
                     .fastRead = false,
                     .bpBits = 2,
                     .pageProgramMs = 3,
                     .writeStatusMs = 5});
    parts.push_back({.name = "AT25F1024",
                     .maker = "ATMEL",
                     .sizeBytes = 128 * KiB,
                     .id15 = {0x1F, 0x60},
                     .erases = {{0x52, 32 * KiB, 1100}, {0x62, 0, 4400}},
                     .fastRead = false,
                     .bpBits = 2,
                     .pageProgramMs = 3,
                     .writeStatusMs = 5});
    // JEDEC answer 1F 44 01 00 (device 4401, no extended bytes); all sectors
    // are protected at power-up until a global unprotect (status write 0).
    parts.push_back({.name = "AT25DF041A",
                     .maker = "ATMEL",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0x1F, 0x44, 0x01, 0x00},
                     .erases = {{0x20, 4 * KiB, 50},
                                {0x52, 32 * KiB, 250},
                                {0xD8, 64 * KiB, 400},
                                {0x60, 0, 3000},
                                {0xC7, 0, 3000}},
                     .bpBits = 2,
                     .powerUpStatus = 0x0C,
                     .pageProgramMs = 1});

    // MXIC: 0x52 erases a 64 KiB block like 0xD8 on this generation.
    parts.push_back({.name = "MX25L4006E",
                     .maker = "MXIC",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0xC2, 0x20, 0x13},
                     .rems = {0xC2, 0x12},
                     .ab = AbAnswer::Signature,
                     .res = {0x12},
                     .erases = {{0x20, 4 * KiB, 60},
                                {0x52, 64 * KiB, 700},
                                {0xD8, 64 * KiB, 700},
                                {0x60, 0, 3500},
                                {0xC7, 0, 3500}},
                     .pageProgramMs = 1,
                     .writeStatusMs = 10});

    // WINBOND
    parts.push_back({.name = "W25X40",
                     .maker = "WINBOND",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0xEF, 0x30, 0x13},
                     .rems = {0xEF, 0x12},
                     .ab = AbAnswer::Signature,
                     .res = {0x12},
                     .erases = {{0x20, 4 * KiB, 150}, {0xD8, 64 * KiB, 1000}, {0xC7, 0, 4000}},
                     .pageProgramMs = 2,
                     .writeStatusMs = 10});
    parts.push_back({.name = "W25Q128FV",
                     .maker = "WINBOND",
                     .sizeBytes = 16 * MiB,
                     .jedec = {0xEF, 0x40, 0x18},
                     .rems = {0xEF, 0x17},
                     .ab = AbAnswer::Signature,
                     .res = {0x17},
                     .erases = {{0x20, 4 * KiB, 45},
                                {0x52, 32 * KiB, 120},
                                {0xD8, 64 * KiB, 150},
                                {0x60, 0, 40000},
                                {0xC7, 0, 40000}},
                     .pageProgramMs = 1,
                     .writeStatusMs = 10});

    // AMIC: the current parts answer 37 30 xx; the older P series answer
    // with a continuation byte first (7F 37 20 xx, four bytes). The small boot
    // sectors of the top-boot P parts are not modelled: 0xD8 erases 64 KiB.
    parts.push_back({.name = "A25L040",
                     .maker = "AMIC",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0x37, 0x30, 0x13},
                     .rems = {0x37, 0x12},
                     .ab = AbAnswer::Signature,
                     .res = {0x12},
                     .erases = {{0x20, 4 * KiB, 60}, {0xD8, 64 * KiB, 700}, {0xC7, 0, 4000}},
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});
    parts.push_back({.name = "A25L20PT",
                     .maker = "AMIC",
                     .sizeBytes = 256 * KiB,
                     .jedec = {0x7F, 0x37, 0x20, 0x22},
                     .erases = {{0xD8, 64 * KiB, 600}, {0xC7, 0, 2500}},
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});
    parts.push_back({.name = "A25L05PT",
                     .maker = "AMIC",
                     .sizeBytes = 64 * KiB,
                     .jedec = {0x7F, 0x37, 0x20, 0x20},
                     .erases = {{0xD8, 64 * KiB, 600}, {0xC7, 0, 1000}},
                     .bpBits = 2,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});

    // The bottom-boot P parts: 4, 8, 16 and 32 KiB sectors from address 0,
    // then a 4 KiB sector at 60 KiB, then uniform 64 KiB blocks.
    const std::vector<std::uint32_t> amicBootSectors = {4 * KiB, 8 * KiB, 16 * KiB, 32 * KiB, 4 * KiB};
    parts.push_back({.name = "A25L05PU",
                     .maker = "AMIC",
                     .sizeBytes = 64 * KiB,
                     .jedec = {0x7F, 0x37, 0x20, 0x10},
                     .erases = {{0xD8, 64 * KiB, 600}, {0xC7, 0, 1000}},
                     .bootSectors = amicBootSectors,
                     .bpBits = 2,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});
    parts.push_back({.name = "A25L10PU",
                     .maker = "AMIC",
                     .sizeBytes = 128 * KiB,
                     .jedec = {0x7F, 0x37, 0x20, 0x11},
                     .erases = {{0xD8, 64 * KiB, 600}, {0xC7, 0, 1500}},
                     .bootSectors = amicBootSectors,
                     .bpBits = 2,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});
    parts.push_back({.name = "A25L20PU",
                     .maker = "AMIC",
                     .sizeBytes = 256 * KiB,
                     .jedec = {0x7F, 0x37, 0x20, 0x12},
                     .erases = {{0xD8, 64 * KiB, 600}, {0xC7, 0, 2500}},
                     .bootSectors = amicBootSectors,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});

    // Parts whose non-volatile block-protect bits were left set: they refuse
    // to erase or program until the status register is written 0.
    parts.push_back({.name = "M25P05-A",
                     .maker = "ST",
                     .sizeBytes = 64 * KiB,
                     .ab = AbAnswer::Signature,
                     .res = {0x05},
                     .erases = {{0xD8, 32 * KiB, 1000}, {0xC7, 0, 2000}},
                     .bpBits = 2,
                     .powerUpStatus = 0x0C,
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});
    parts.push_back({.name = "MX25L512",
                     .maker = "MXIC",
                     .sizeBytes = 64 * KiB,
                     .jedec = {0xC2, 0x20, 0x10},
                     .rems = {0xC2, 0x05},
                     .ab = AbAnswer::Signature,
                     .res = {0x05},
                     .erases = {{0x20, 4 * KiB, 60}, {0xD8, 64 * KiB, 700}, {0xC7, 0, 1000}},
                     .bpBits = 2,
                     .powerUpStatus = 0x0C,
                     .pageProgramMs = 1,
                     .writeStatusMs = 10});

    // EON
    parts.push_back({.name = "EN25F40",
                     .maker = "EON",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0x1C, 0x31, 0x13},
                     .rems = {0x1C, 0x12},
                     .ab = AbAnswer::Signature,
                     .res = {0x12},
                     .erases = {{0x20, 4 * KiB, 90}, {0xD8, 64 * KiB, 500}, {0x60, 0, 3000}, {0xC7, 0, 3000}},
                     .pageProgramMs = 2,
                     .writeStatusMs = 10});

    // ESMT
    parts.push_back(
        {.name = "F25L16PA",
         .maker = "ESMT",
         .sizeBytes = 2 * MiB,
         .jedec = {0x8C, 0x21, 0x15},
         .rems = {},
         .erases = {{0x20, 4 * KiB, 90}, {0xD8, 64 * KiB, 1000}, {0x60, 0, 15000}, {0xC7, 0, 15000}},
         .pageProgramMs = 2,
         .writeStatusMs = 10});

    // SANYO: the small sector erase is 0xD7.
    parts.push_back({.name = "LE25FW203A",
                     .maker = "SANYO",
                     .sizeBytes = 256 * KiB,
                     .jedec = {0x62, 0x16, 0x00},
                     .erases = {{0xD7, 4 * KiB, 40}, {0xD8, 64 * KiB, 80}, {0xC7, 0, 100}},
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});

    // GIGADEVICE
    parts.push_back({.name = "GD25Q40",
                     .maker = "GIGADEVICE",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0xC8, 0x40, 0x13},
                     .rems = {0xC8, 0x12},
                     .ab = AbAnswer::Signature,
                     .res = {0x12},
                     .erases = {{0x20, 4 * KiB, 50},
                                {0x52, 32 * KiB, 200},
                                {0xD8, 64 * KiB, 300},
                                {0x60, 0, 2500},
                                {0xC7, 0, 2500}},
                     .pageProgramMs = 1,
                     .writeStatusMs = 5});

    // Maker 0xA1
    parts.push_back({.name = "FM25F04",
                     .maker = "VPOWERWINS",
                     .sizeBytes = 512 * KiB,
                     .jedec = {0xA1, 0x31, 0x13},
                     .erases = {{0x20, 4 * KiB, 60}, {0xD8, 64 * KiB, 700}, {0x60, 0, 3000}, {0xC7, 0, 3000}},
                     .pageProgramMs = 2,
                     .writeStatusMs = 5});

    return parts;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

const std::vector<FlashPart> &FlashParts()
{
    static const std::vector<FlashPart> parts = MakeParts();
    return parts;
}

const FlashPart *FindFlashPart(std::string_view name)
{
    for (const FlashPart &part : FlashParts())
        if (EqualsIgnoreCase(part.name, name))
            return &part;
    return nullptr;
}

} // namespace brigant::sim
