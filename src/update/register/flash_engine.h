#pragma once
// The register-level family's flash engine: chunked reads and erases through
// the bridge's own flash commands, the erase-only and backup service modes,
// lifting the block protection, and the SPI auto-address-increment
// programming of SST parts that the bridge cannot program by itself.
//
// Each step is one bridge command; the operations report progress on the
// window's status line and return 1 on success, 0 on failure.
#include "flash/run_host.h"
#include "flash/run_request.h"
#include "flash/verify_compare.h"
#include <cstdint>
#include <string>

namespace brigant
{

// The pause after an erase command, before the flash is polled or written.
inline constexpr std::uint32_t kAfterEraseMs = 500;

// Reads `length` bytes from `offset` in host.transfer().TransferChunkSize pieces (the last
// piece shortened to what is left). 0 for length 0.
int ReadFlashChunked(RunHost &host, const std::string &path, std::uint32_t offset, std::uint8_t *buffer,
                     std::uint32_t length);
// Sends EraseFlashBlock at 0, host.transfer().TransferChunkSize, 2 x host.transfer().TransferChunkSize, ...
// until `length` is covered. 0 for length 0.
int EraseFlashChunked(RunHost &host, const std::string &path, std::uint32_t length);
// The erase-only mode: erases the flash and checks it blank.
int EraseWholeFlash(const RunRequest &req, RunHost &host, const std::string &path);
// Writes the flash to the backup file, leaving out `leaveOut` leading bytes.
int SaveFlashBackup(const RunRequest &req, RunHost &host, const std::string &path, std::uint32_t leaveOut);
// The bridge's flash read (ReadFlash) as the read-only mode reads.
VerifyRead ReadFlashAt(const std::string &path);
// Write enable, then status register 0; 1 when both were confirmed.
int UnprotectFlash(const std::string &path);

// Raw SPI sequences.
int SpiUnlockWriteEnable(const std::string &path);
int SpiWriteDisable(const std::string &path);
int SpiChipErase(const std::string &path);
// Auto-address-increment programming: how a part takes it.
struct AaiMode {
    std::uint8_t opcode;
    std::uint32_t bytesPerStep;   // 1 (byte mode) or 2 (word mode)
    std::uint32_t addressedEvery; // a segment at a multiple of this starts with its address; 0: every one
    bool disablesAtEnd;           // the write disable ends the mode after the last segment
};
// Programs whole `segment`s of `length` bytes at `address` in `mode`; 1 when every command went through.
int SpiAaiProgram(const std::string &path, std::uint32_t address, const std::uint8_t *source,
                  std::uint32_t length, std::uint32_t segment, const AaiMode &mode);
int SpiProgramRange(const std::string &path, std::uint32_t address, const std::uint8_t *source,
                    std::uint32_t length, int wordMode);

inline constexpr std::uint32_t kSpiSegmentSize = 512;
inline constexpr std::uint32_t kSpiChunkSize = 8192;
inline constexpr std::uint32_t kAaiAddressedEvery = 16384;
// Byte mode (0xAF): each segment addressed, the write disable after the last.
inline constexpr AaiMode kAaiByte{0xAF, 1, 0, true};
// Word mode (0xAD): addressed every 16 KiB; the caller ends the mode.
inline constexpr AaiMode kAaiWord{0xAD, 2, kAaiAddressedEvery, false};

} // namespace brigant
