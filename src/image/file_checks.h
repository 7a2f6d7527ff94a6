#pragma once
// Checks of a firmware file before it is written: its length against the
// flash, and whether a 4 KiB NVRAM area stands in front of its header.
#include <cstdint>
#include <cstdio>
#include <span>

namespace brigant
{

inline constexpr std::uint32_t kNvramAreaSize = 4096;

// Length of an open file in bytes, the read position left where it was; -1
// when it cannot be told.
std::int64_t FileLength(std::FILE *file);

// True when the file is at most flashSizeKb KiB long (only the low 24 bits of
// the size count). A file that cannot be opened is refused and sets
// `*unreadable` (the window then shows "Open Firmware File Error!!").
bool FileFitsFlash(const char *fileName, std::uint32_t flashSizeKb, bool *unreadable = nullptr);

// 1 when the file carries an NVRAM area in front of a header record for the
// code: no 55 AA AA 55 record at offset 0 but one with the code's tag at 4096;
// for code 11 also an E9 AC 67 32 record with the tag at 128. 0 otherwise,
// also (silently) for a file that cannot be opened.
int CheckNvramHeader(std::span<const std::uint8_t> file, unsigned code);
int CheckNvramHeader(const char *fileName, unsigned code);

} // namespace brigant
