#pragma once
// The staging-area commands of the bridge that takes flash data through a
// 512-byte area of its memory: load the area, program a page from it, erase
// the whole flash, fetch a flash block into it. Reading the area back is
// ReadStagingBuffer (chip_commands.h), which identification uses too.
#include <cstdint>
#include <string>

namespace brigant
{

inline constexpr std::uint32_t kStagingChunk = 512;
inline constexpr std::uint32_t kStagingPage = 256;
inline constexpr std::uint16_t kStagingArea = 0xC800;
inline constexpr std::uint16_t kStagingSecondPage = 0xC900;

// B2: 512 bytes into the staging area (data-out).
int WriteStagingBuffer(const std::string &path, const std::uint8_t data[kStagingChunk]);
// B3: programs 256 bytes from bridge memory `staging` into the flash at `address`.
int ProgramFlashPage(const std::string &path, std::uint32_t address, std::uint16_t staging);
// B4: erases the whole flash; the bridge answers before the flash is done.
int EraseFlashChip(const std::string &path);
// B6: reads 512 bytes of flash at `address` into the staging area.
int FetchFlashBlock(const std::string &path, std::uint32_t address);

} // namespace brigant
