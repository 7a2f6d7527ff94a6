#pragma once
// The firmware-assisted update over 1394: chip type code 8 behind
// an SBP-2 bridge. 256-byte commands, the 16-bit write form with its erase
// flag at 0 and 0x8000, a 1 KiB NVRAM area at 0x8000.
#include "flash/run_host.h"
#include "flash/run_request.h"
#include <cstdint>
#include <string>

namespace brigant
{

// 1 only when the chosen mode's work was done and verified.
int RunSbp2Update(const RunRequest &req, RunHost &host, const std::string &path);
// 1 only when the run ended with "Programming Success!!", not merely when the
// file could be opened.
int ProgramFirmwareFileSbp2(const RunRequest &req, RunHost &host, const std::string &path);
int WriteFlashRangeSbp2(RunHost &host, const std::string &path, std::uint32_t address,
                        const std::uint8_t *source, std::uint32_t length);
// 1 only when the flash read blank and the NVRAM went back.
int EraseAllFlashSbp2(RunHost &host, const std::string &path);

inline constexpr std::uint32_t kSbp2NvramOffset = 0x8000;
inline constexpr std::uint32_t kSbp2NvramSize = 1024;
inline constexpr std::uint32_t kSbp2ChunkSize = 256;

} // namespace brigant
