#pragma once
// The staging-buffer update of the code-26 bridge: a 256 KiB image with two
// stamped header blocks goes into the flash 512 bytes at a time through a
// staging area of the bridge's memory, and is read back the same way. Also
// the erase-only and backup-only service modes of this bridge.
#include "flash/run_host.h"
#include "flash/run_request.h"
#include <cstdint>
#include <string>

namespace brigant
{

inline constexpr std::uint32_t kConversionEraseSettleMs = 5000;
inline constexpr std::uint32_t kConversionBackupLength = 0x40000;
inline constexpr int kConversionAttempts = 3;

// The Run procedure: erase only or backup only in "RD Version" mode,
// otherwise the update from FwFilenameEdit. 1 only when the work was done and
// verified.
int RunConversionUpdate(const RunRequest &req, RunHost &host, const std::string &path);

// Programs the file with up to three erase, program, read-back and compare
// attempts; 1 when one of them ended with "Programming Success!!".
int ProgramConversionImage(const RunRequest &req, RunHost &host, const std::string &path);

// Erases the whole flash, waits for it to settle, and programs `length`
// bytes (zero-padded to 512) from address 0; 1 when every command succeeded.
int ProgramViaStaging(RunHost &host, const std::string &path, const std::uint8_t *image,
                      std::uint32_t length);
// Reads `length` bytes from flash address 0 into `dest` (which receives what
// arrived also after a failure); 1 when every command succeeded.
int ReadViaStaging(RunHost &host, const std::string &path, std::uint8_t *dest, std::uint32_t length);

int EraseFlashOnly(RunHost &host, const std::string &path);
int BackupFlashViaStaging(const RunRequest &req, RunHost &host, const std::string &path);

} // namespace brigant
