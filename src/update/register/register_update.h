#pragma once
// The register-level update procedures, run by the Run button: each takes the
// window and the selected device's path and returns 1 only when the job the
// window asked for was done and verified.
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

// 1 when the file carries its own 4 KiB NVRAM area (always for code 12).
int HasNvramArea(unsigned chipTypeCode, const std::string &fileName);
// Whether the update keeps the flash's NVRAM area.
bool KeepNvram(int hasNvramArea, bool includeNvramChecked);

} // namespace brigant
