#pragma once
// Flash identification: the flash maker table with the per-maker
// erase geometry, the program-wide erase sizes, the JEDEC probes over the two
// transports (probe A: SpiQuery, probe B: ReadFlashIdBytes), the size probes
// and the two special probes for AMIC and ATMEL parts.
//
// No probe reports anything: a failed query only leaves the kind or the size
// unresolved.
#include "bridge/flash_commands.h"
#include "flash/transfer_state.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace brigant
{

inline constexpr std::size_t kFlashKindCount = 13;     // FlashKind 0 .. 12
inline constexpr std::size_t kFlashMakerSlotSize = 20; // characters per name slot

// One row per flash maker, indexed by FlashKind: its name ("Unknown", "PMC",
// "SST", ...) and its erase block and erase sector size in bytes.
struct FlashMakerRow {
    char name[kFlashMakerSlotSize];
    std::uint32_t blockSize;
    std::uint32_t sectorSize;
};
extern const FlashMakerRow FlashMakerTable[kFlashKindCount];

// True for 0 .. 12, the kinds that have a table row. A FlashKind from
// ReadFlashType can be anything; callers must not index the tables with it
// unless this holds.
// The largest flash part identification knows (a 128 Mbit part): no firmware
// file larger than this fits any bridge.
inline constexpr std::uint32_t kLargestFlashKb = 16384;

bool IsTableFlashKind(std::int32_t kind);
// The kind's maker name, or nullptr outside 0 .. 12.
const char *FlashMakerName(std::int32_t kind);

// Copies the kind's two sizes into FlashBlockSize and FlashSectorSize; does
// nothing for a kind outside 0 .. 12 (the sizes keep their previous values).
void SetFlashGeometry(TransferState &x, std::int32_t kind);

// JEDEC probe A (SpiQuery) and probe B (ReadFlashIdBytes, count 4). Both set the
// record's start values (C7, D8, 02, kind 0, sector 0x20; the size is left
// alone) and fill it in. 1 when the flash was recognised, and also when the
// very first query fails (the record then holds kind 0 and the start opcodes);
// 0 when the flash answered but matched no case.
int ProbeFlashVendorSpi(const std::string &path, FlashOpcodeRecord &record);
int ProbeFlashVendorId(const std::string &path, FlashOpcodeRecord &record);

// Size probes A and B: always 1. When the record's kind is 0 the JEDEC probe of
// the same transport runs first and fills the record. The size in KiB (64 when
// not found) goes into record.sizeKb. Probe B also copies id0..id3 of its 9F
// query into `idOut` (4 bytes; may be null).
// `found` (may be null) tells whether the size came from the flash's answer.
int ProbeFlashSizeSpi(const std::string &path, FlashOpcodeRecord &record, bool *found = nullptr);
int ProbeFlashSizeId(const std::string &path, FlashOpcodeRecord &record, std::uint8_t *idOut);

// The flash's JEDEC ID as four hexadecimal bytes ("C2 20 13 00"): asked
// over the raw SPI channel, else through the bridge's ID read
// (`throughBridge` set then); empty when neither answered.
std::string ReadJedecText(const std::string &path, bool &throughBridge);

// The size in KiB of the AMIC part an AmicType names (its JEDEC capacity
// byte); 0 when the type names none.
std::uint32_t AmicFlashSizeKb(int amicType);

// AMIC probe: -1 (none), 1, 3, 4 or 5 (AmicType).
int ProbeAmicFlash(const std::string &path);
// ATMEL probe: -1 (none), 0, 1 or 2 (AtmelType).
int ProbeAtmelFlash(const std::string &path);

} // namespace brigant
