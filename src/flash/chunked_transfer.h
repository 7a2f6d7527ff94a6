#pragma once
// Chunked flash transfer: the read and write loops over ReadBlock24 /
// WriteBlock24 that identification and the update families share, and the
// erase-as-you-go rule. The values they work with are the session's TransferState.
#include "flash/run_host.h"
#include "image/chip_identity.h"

#include <cstdint>
#include <string>

namespace brigant
{

// Chunks are padded to this multiple; the first chunk at flash address 0 is
// never longer than kFirstChunkAtZero.
inline constexpr std::uint32_t kTransferPadding = 512;
inline constexpr std::uint32_t kFirstChunkAtZero = 4096;

// Reads `length` bytes from flash `address` into `dest` in chunks of at most
// TransferChunkSize (the padded length, a multiple of 512, is read; only
// `length` bytes are copied, also after a failure, so `dest` then holds zeros
// where nothing arrived). Shows "ReadFlash..." and reports one step (a dot)
// per chunk. 1 when every chunk was read, else 0.
int ReadFlashRange(RunHost &host, const std::string &path, std::uint32_t address, std::uint8_t *dest,
                   std::uint32_t length);

// Writes `length` bytes from `src` to flash `address` (zero-padded to a
// multiple of 512) with the erase mode `mode`: each chunk asks the bridge to
// erase the sector or block it starts when the pass first enters it. Reports
// one step (a dot) per chunk. 1 when every chunk was written; 0 at the first failed
// command (the chunks already written stay written).
int WriteFlashRange(RunHost &host, const ChipIdentity &chip, const std::string &path, std::uint32_t address,
                    const std::uint8_t *src, std::uint32_t length, std::uint8_t mode);

// The erase mode for the next chunk's command (0 = none); advances
// NextSectorIndex or NextBlockIndex when the chunk enters a new unit.
std::uint8_t NextEraseFlag(TransferState &x, std::uint32_t address, std::uint8_t mode);
// The chunk length, shortened so that the chunk ends at the next erase boundary.
std::uint32_t ClipAtEraseBoundary(const TransferState &x, std::uint32_t address, std::uint32_t length,
                                  std::uint8_t mode);

} // namespace brigant
