#pragma once
// Flash programming and reading through the standard READ BUFFER / WRITE
// BUFFER commands, the download of a manufacturing firmware into a bridge
// that runs from its ROM, the product serial record, and the device side of
// the one-button update.
#include "bridge/buffer_commands.h"

#include <cstdint>
#include <string>

namespace brigant
{

class TBrigantFwTool;

constexpr std::uint32_t kBufferChunk = 4096;
constexpr std::uint32_t kProductBlockOffset = 0x44000;

bool IsRom0Mode(const std::string &path);

int ReadFlashViaBuffer(TBrigantFwTool &form, const std::string &path, std::uint32_t offset,
                       std::uint8_t *dest, std::uint32_t length);
// Reads `length` bytes from flash address 0 on. In ROM0 mode one read covers
// 0x40000 bytes from its offset, so a longer flash is read in such pieces.
int ReadWholeFlashViaBuffer(TBrigantFwTool &form, const std::string &path, std::uint8_t *dest,
                            std::uint32_t length);
int ProgramViaBuffer(TBrigantFwTool &form, const std::string &path, std::uint32_t offset,
                     const std::uint8_t *image, std::uint32_t length, bool download);

int ProgramEmbeddedImage(TBrigantFwTool &form, const std::string &path);
int ResetAndWaitReattach(TBrigantFwTool &form, const std::string &path);

} // namespace brigant
