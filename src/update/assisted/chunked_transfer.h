#pragma once
// Chunked flash transfer: the read and write loops of the
// firmware-assisted family over ReadBlock24 / WriteBlock24, the
// erase-as-you-go rule, and the process-wide transfer values the update
// families share.
#include <cstdint>
#include <string>

namespace brigant
{

class TBrigantFwTool;

// Process-wide transfer values (one copy each, plain integers).
inline constexpr std::uint32_t kTransferChunkSizeStart = 8192;
inline constexpr std::int32_t kDefaultBackupSize = 65536;
extern std::uint32_t TransferChunkSize; // largest data length of one flash read or write command
extern std::int32_t DefaultBackupSize;  // flash length backed up or erased when no larger size applies
extern std::uint32_t NextBlockIndex;    // next erase block not yet erased in the current write pass
extern std::uint32_t NextSectorIndex;   // next erase sector not yet erased in the current write pass

// Puts all four back to their start values (8192, 65536, 0, 0), for tests and
// a fresh start. The program itself never calls it: the values carry across runs.
void ResetTransferValues();

// Chunks are padded to this multiple; the first chunk at flash address 0 is
// never longer than kFirstChunkAtZero.
inline constexpr std::uint32_t kTransferPadding = 512;
inline constexpr std::uint32_t kFirstChunkAtZero = 4096;

// Reads `length` bytes from flash `address` into `dest` in chunks of at most
// TransferChunkSize (the padded length, a multiple of 512, is read; only
// `length` bytes are copied, also after a failure, so `dest` then holds zeros
// where nothing arrived). Shows "ReadFlash..." in StatusEdit and appends one
// "." per chunk. 1 when every chunk was read, else 0.
int ReadFlashRange(TBrigantFwTool &window, const std::string &path, std::uint32_t address, std::uint8_t *dest,
                   std::uint32_t length);

// Writes `length` bytes from `src` to flash `address` (zero-padded to a
// multiple of 512) with the erase mode `mode`: each chunk asks the bridge to
// erase the sector or block it starts when the pass first enters it. Appends
// one "." per chunk. 1 when every chunk was written; 0 at the first failed
// command (the chunks already written stay written).
int WriteFlashRange(TBrigantFwTool &window, const std::string &path, std::uint32_t address,
                    const std::uint8_t *src, std::uint32_t length, std::uint8_t mode);

// The erase mode for the next chunk's command (0 = none); advances
// NextSectorIndex or NextBlockIndex when the chunk enters a new unit.
std::uint8_t NextEraseFlag(std::uint32_t address, std::uint8_t mode);
// The chunk length, shortened so that the chunk ends at the next erase boundary.
std::uint32_t ClipAtEraseBoundary(std::uint32_t address, std::uint32_t length, std::uint8_t mode);

} // namespace brigant
