#pragma once
// The firmware-assisted update over 1394: chip type code 8 behind
// an SBP-2 bridge. 256-byte commands, the 16-bit write form with its erase
// flag at 0 and 0x8000, a 1 KiB NVRAM area at 0x8000.
#include <cstdint>
#include <string>

namespace brigant
{

class TBrigantFwTool;

// 1 only when the chosen mode's work was done and verified.
int RunSbp2Update(TBrigantFwTool &form, const std::string &path);
// 1 only when the run ended with "Programming Success!!", not merely when the
// file could be opened.
int ProgramFirmwareFileSbp2(TBrigantFwTool &form, const std::string &path);
int WriteFlashRangeSbp2(TBrigantFwTool &form, const std::string &path, std::uint32_t address,
                        const std::uint8_t *source, std::uint32_t length);
// 1 only when the flash read blank and the NVRAM went back.
int EraseAllFlashSbp2(TBrigantFwTool &form, const std::string &path);

inline constexpr std::uint32_t kSbp2NvramOffset = 0x8000;
inline constexpr std::uint32_t kSbp2NvramSize = 1024;
inline constexpr std::uint32_t kSbp2ChunkSize = 256;

} // namespace brigant
