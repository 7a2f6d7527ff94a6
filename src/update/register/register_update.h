#pragma once
// The register-level update procedures: each takes the run's request, the
// host it reports to and the device's path, and returns 1 only when the job
// the request asked for was done and verified.
#include "flash/run_host.h"
#include "flash/run_request.h"
#include <string>

namespace brigant
{

// 64 KiB bridges programmed by their own WriteFlash, with the 512-byte NVRAM
// block at 0x8000 kept.
int UpdateWholeImage(const RunRequest &req, RunHost &host, const std::string &path);
// Bridges with a 4 KiB NVRAM area at address 0, written in 16 KiB blocks.
int UpdateBlockwise(const RunRequest &req, RunHost &host, const std::string &path);
// The same layout on SST parts, programmed through raw SPI.
int UpdateBlockwiseSst(const RunRequest &req, RunHost &host, const std::string &path);

// Whether the SST update erases the whole chip before its 32 KiB sectors.
bool BlockwiseSstErasesChip(const ChipIdentity &chip);
// The block-wise updates erase 32 KiB apart with the bridge's block erase,
// which takes the part's erase block: 32 or 64 KiB on the parts these
// bridges carry. A write of the changed blocks only erases and programs
// whole units of the larger size, so that no erase takes bytes it does not
// write back.
inline constexpr std::uint32_t kBlockwiseEraseSector = 32768;
inline constexpr std::uint32_t kBlockwiseEraseUnit = 65536;

// 1 when the file carries its own 4 KiB NVRAM area (always for code 12).
int HasNvramArea(unsigned chipTypeCode, const std::string &fileName);
// Whether the update keeps the flash's NVRAM area.
bool KeepNvram(int hasNvramArea, bool includeNvramChecked);

} // namespace brigant
