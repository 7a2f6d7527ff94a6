#pragma once
// The program-wide values that the flash transfer loops, identification and
// the update families share. One copy each, plain integers; they carry from
// one run to the next within a process, as the procedures expect.
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

extern std::uint32_t TransferChunkSize; // largest data length of one flash read or write command
extern std::int32_t DefaultBackupSize;  // flash length backed up or erased when no larger size applies
extern std::uint32_t NextBlockIndex;    // next erase block not yet erased in the current write pass
extern std::uint32_t NextSectorIndex;   // next erase sector not yet erased in the current write pass
extern std::uint32_t FlashBlockSize;    // erase block of the identified flash, in bytes
extern std::uint32_t FlashSectorSize;   // erase sector of the identified flash, in bytes
extern std::int32_t WriteEraseMode;     // erase mode of the first programming attempt
extern std::int32_t EraseDataLength;    // data length the erase-only command carries

// Puts every value above back to its start value, for tests and a fresh
// start. The program itself never calls it.
void ResetProgramValues();

} // namespace brigant
