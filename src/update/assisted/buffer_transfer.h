#pragma once
// Flash programming and reading through the standard READ BUFFER / WRITE
// BUFFER commands, the download of a manufacturing firmware into a bridge
// that runs from its ROM, the product serial record, and the device side of
// the one-button update.
#include "bridge/buffer_commands.h"
#include "flash/run_host.h"
#include "flash/run_request.h"

#include <cstdint>
#include <string>

namespace brigant
{

constexpr std::uint32_t kBufferChunk = 4096;
constexpr std::uint32_t kProductBlockOffset = 0x44000;

bool IsRom0Mode(const std::string &path);

int ReadFlashViaBuffer(RunHost &host, const std::string &path, std::uint32_t offset, std::uint8_t *dest,
                       std::uint32_t length);
// Reads `length` bytes from flash address 0 on. In ROM0 mode one read covers
// 0x40000 bytes from its offset, so a longer flash is read in such pieces.
int ReadWholeFlashViaBuffer(RunHost &host, const std::string &path, std::uint8_t *dest, std::uint32_t length);
// Programs `image` through the buffer path (after a download of the
// manufacturing firmware when `download`). When it stops before sending
// anything that writes, because the bridge's buffer is not in the state the
// step needs, `*notStarted` (may be null) says why; else it is cleared.
int ProgramViaBuffer(const RunRequest &req, RunHost &host, const std::string &path, std::uint32_t offset,
                     const std::uint8_t *image, std::uint32_t length, bool download,
                     std::string *notStarted = nullptr);

// Why a file update through the buffer path would stop before writing on the
// bridge at `path` (its buffer not in the state the first step needs), as
// ProgramViaBuffer finds it; empty when it would start, or when the bridge's
// answers could not be read (the update then says so itself). Sends only
// reads.
std::string BufferUpdateRefusal(const std::string &path);

int ProgramEmbeddedImage(const RunRequest &req, RunHost &host, const std::string &path);
// How many bytes from 0 ProgramViaBuffer writes (the image, then zeros) on
// a flash of `flashBytes`.
std::uint32_t BufferWriteLength(RunHost &host, const std::string &path, std::uint32_t flashBytes);
// The read-only mode of ProgramEmbeddedImage: the flash against the built-in
// image (outside the header blocks the bridge rewrites). 1 when it was read.
int VerifyEmbeddedImage(const RunRequest &req, RunHost &host, const std::string &path);
int ResetAndWaitReattach(const RunRequest &req, RunHost &host, const std::string &path);

} // namespace brigant
