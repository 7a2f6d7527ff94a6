#pragma once
// Writing a backup of the flash (or of a disk area) to its file, the same way
// for every update family: the whole file in one piece, and a file that could
// not be written in full is no backup.
#include "flash/run_host.h"
#include "flash/run_request.h"

#include <cstdint>
#include <string>

namespace brigant
{

// The names a backup takes when the request names no file (the register-level
// family has always written its own).
inline constexpr const char *kDefaultBackupName = "oldFlash.bak";
inline constexpr const char *kRegisterBackupName = "oldflash.bak";

// The backup file a run writes: the request's, or `defaultName` when it
// names none (the user is told so: Notice::DefaultBackup);
// an existing file of that name is never written over: the first free of
// "NAME-2.EXT", "NAME-3.EXT", ... is taken instead.
std::string BackupFileFor(const RunRequest &req, RunHost &host, const char *defaultName = kDefaultBackupName);

// Writes `data` to `name` and makes it durable: flushed, synced to the disk,
// its cached pages dropped and read back from the file, byte for byte the
// same. Empty on success, else why not.
std::string WriteBackupDurably(const std::string &name, const std::uint8_t *data, std::uint32_t length);

// Creates or truncates `name` and writes `length` bytes, synced to the disk
// and read back from it. Shows "Read flash and backup success!", tells the
// host the file and returns 1 when the file holds exactly those bytes; shows
// "Open Backup File Error!!", tells the host why (failing) and returns 0 when
// it could not be opened, written in full, synced or read back the same:
// a run stops then, before anything is erased.
int SaveBackupFile(RunHost &host, const std::string &name, const std::uint8_t *data, std::uint32_t length);

} // namespace brigant
