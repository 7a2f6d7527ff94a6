#pragma once
// The lock files behind the bridge locks: an flock(2) on a file, with a
// record of its holder inside. Plain system calls only, so that the
// privileged helper can take the same locks as the programs it serves.
#include <ctime>
#include <optional>
#include <string>

namespace brigant
{

// Who holds a lock.
struct LockHolder {
    long pid = 0;
    std::string program; // "brigant-fw", "brigant-fwtool", "brigant-fw-helper"
    std::string verb;    // "update", "list", ...
    std::time_t since = 0;
};
// "brigant-fw update (PID 1234, since 12:03:11)"; "another program" when the
// holder left no record.
std::string HolderText(const LockHolder &holder);

// The folder every program of ours locks in when nothing else is said:
// $BRIGANT_LOCK_DIR, else /run/lock/brigant-fw.
std::string DefaultLockDirectory();
// Makes `directory` (and a missing parent) open to every user, sticky.
void MakeLockDirectory(const std::string &directory);
// The file name of the lock of the bridge at `location` (a location or, when
// the platform gives none, the sg node), within a file name's length.
std::string LockFileName(const std::string &location);

// One try at `file` (made when missing, without following a link), without
// waiting. Held: `fd` keeps it and the record names `me`. Busy: `holder` is
// the other's record. Else `error` says why the file could not be used.
struct LockFileAttempt {
    int fd = -1;
    bool busy = false;
    LockHolder holder;
    std::string error;
};
LockFileAttempt TryLockFile(const std::string &file, const LockHolder &me);
// Lets a held lock go; its record goes with it.
void UnlockFile(int fd);
// The holder of `file` when another open file holds it, without taking it.
std::optional<LockHolder> LockFileHolder(const std::string &file);

} // namespace brigant
