#pragma once
// The firmware-assisted update: the bridge's own firmware reads,
// erases and programs its flash when the tool sends it the DF block commands.
// Three modes chosen by the window's check boxes: erase the whole flash, back
// it up to a file, or program a firmware file with read-back verification.
//
// Every procedure here returns 1 only when its work was done and verified
// (the window ignores the value; Run keeps it in runResult).
#include "flash/run_host.h"
#include "flash/run_request.h"
#include <cstdint>
#include <string>

namespace brigant
{

int RunAssistedUpdate(const RunRequest &req, RunHost &host, const std::string &path);
// Strip length 0 or 4096: the NVRAM area left out of the file.
int BackupFlashToFile(const RunRequest &req, RunHost &host, const std::string &path,
                      std::uint32_t stripLength);
int EraseAllFlash(const RunRequest &req, RunHost &host, const std::string &path);
int FillFlashWithFF(const RunRequest &req, RunHost &host, const std::string &path, std::uint32_t length);
// 1 only when the run ended with "Programming Success!!": a run that reached
// its end after a failure is no success.
int ProgramFirmwareFile(const RunRequest &req, RunHost &host, const std::string &path);

// The flash length the backup and the erase-only mode cover.
std::uint32_t AssistedFlashLength(const RunRequest &req, const TransferState &x);

// The erase mode of the first programming attempt (1: sectors, 2: blocks,
// 3: the whole chip at the first command).
std::uint8_t AssistedEraseMode(const RunRequest &req, const TransferState &x);
// Why the update of `req` writes the whole image even when only the changed
// erase units are asked (RunRequest::onlyChanged); empty when it writes
// only those.
std::string AssistedWholeImageReason(const RunRequest &req, const TransferState &x);
// The erase units such a write erases and programs for `differing` (store
// addresses): the first attempt's units (sectors or blocks) that hold a
// differing byte. An MXIC part's first block, which the whole update erases
// on its own before the writing, is left alone when no differing byte lies
// in it.
StoreRanges AssistedChangedUnits(const RunRequest &req, const TransferState &x, const StoreRanges &differing);

} // namespace brigant
