#pragma once
// The values the flash transfer loops, identification and the update
// families share: chunk length, erase geometry and the erase-as-you-go
// counters. One copy per session, handed to every procedure; they carry from
// one run to the next (a 1394 run leaves TransferChunkSize at 256 for the
// runs after it).
#include <cstdint>

namespace brigant
{

// Start values.
inline constexpr std::uint32_t kTransferChunkSizeStart = 8192;
inline constexpr std::int32_t kDefaultBackupSize = 65536;
inline constexpr std::uint32_t kFlashBlockSizeStart = 0x8000;
inline constexpr std::uint32_t kFlashSectorSizeStart = 0x1000;
inline constexpr std::int32_t kWriteEraseModeStart = 2;
inline constexpr std::int32_t kEraseDataLengthStart = 4096;

struct TransferState {
    std::uint32_t TransferChunkSize = kTransferChunkSizeStart; // largest data length of one flash command
    std::int32_t DefaultBackupSize = kDefaultBackupSize;       // flash length backed up or erased by default
    std::uint32_t NextBlockIndex = 0;  // next erase block not yet erased in the current write pass
    std::uint32_t NextSectorIndex = 0; // next erase sector not yet erased in the current write pass
    std::uint32_t FlashBlockSize = kFlashBlockSizeStart;   // erase block of the identified flash
    std::uint32_t FlashSectorSize = kFlashSectorSizeStart; // erase sector of the identified flash
    std::int32_t WriteEraseMode = kWriteEraseModeStart;    // erase mode of the first programming attempt
    std::int32_t EraseDataLength = kEraseDataLengthStart;  // data length the erase-only command carries
};

} // namespace brigant
