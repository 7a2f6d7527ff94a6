#pragma once
// The update journal: one file per write to a bridge, in
// $XDG_STATE_HOME/brigant/journal/ (default ~/.local/state/brigant/journal),
// made before the first command that writes and marked finished only after
// the write was verified. An entry still open names a bridge whose update was
// cut: it holds what finishing that update takes (the file, the backup, the
// device's own settings as they were before anything was erased).
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace brigant
{

struct JournalEntry {
    std::string file;         // the entry's own file (set when it is first written)
    std::string bridge;       // where the bridge sits on its bus (port path or GUID), else its device node
    std::string device;       // the device node it had then
    std::string series;       // the chip series identification named
    int chipCode = 0;         // the chip type code
    std::string action;       // "update" or "erase"
    std::string firmware;     // the file written; empty for the built-in image or an erase
    std::string sha256;       // that file's SHA-256, in hex
    std::string builtIn;      // the built-in image's version, when that was written
    std::string backup;       // the backup taken just before, if any
    std::string backupSha256; // its SHA-256, in hex, as it was checked on the disk
    std::string from;         // the version the bridge ran before, as the user reads it; empty: not read
    std::string to;           // the version written; empty: not known (or an erase)
    std::vector<std::uint8_t> settings; // the device's settings (NVRAM) the write kept
    std::time_t started = 0;
    std::time_t finished = 0; // 0 while the entry is open
    // How it was closed: empty when its own write was read back and matched
    // (finished); "superseded" when a write of something else was verified
    // on the bridge afterwards; "recover" when `recover` brought the
    // bridge's firmware back; "repair" when `repair` made both firmware
    // banks valid again.
    std::string closedBy;
    bool open() const { return finished == 0; }
};

// A write about to start on a bridge, as its journal entry names it.
struct PlannedWrite {
    std::string bridge; // BridgeJournalKey of the bridge
    std::string device;
    std::string series;
    int chipCode = 0;
    bool erase = false;
    bool builtIn = false; // the one-button update of the built-in image
    std::string firmware; // the file an update writes (not with builtIn or erase)
    std::string from, to; // the versions before and after, as the user reads them; empty: not known
};
// Whether `write` repeats the cut write of `open` on the same chip (the same
// file by its SHA-256, the built-in image, or an erase): it then finishes it.
bool RepeatsCutWrite(const JournalEntry &open, const PlannedWrite &write);
// A new entry for `write`, started now; `backup`: the backup taken before it.
JournalEntry NewJournalEntry(const PlannedWrite &write, const std::string &backup);

std::string JournalDirectory();
// The journal is off until a program turns it on: for real bridges, or for
// simulated ones whose state is kept in the folder `simState` (their entries
// are told apart by it). A simulated bridge without a kept state starts
// afresh every run, has nothing to finish later, and gets no journal.
void EnableJournalForRealBridges();
void SetJournalForSimulation(const std::string &simState);
// While alive, the journal is off (a rehearsal on a twin leaves no entry);
// the setting before it is put back after.
class ScopedJournalOff
{
  public:
    ScopedJournalOff();
    ~ScopedJournalOff();
    ScopedJournalOff(const ScopedJournalOff &) = delete;
    ScopedJournalOff &operator=(const ScopedJournalOff &) = delete;

  private:
    bool enabled_;
    std::string simState_;
};
// The key a bridge's entries are found by: its bus location, which survives
// a reset and a new device node, or the device node when the platform gives
// none. Empty when the bridge has no journal (entries with it are not written).
std::string BridgeJournalKey(const std::string &path);
// Every entry, oldest first (files that cannot be read are skipped).
std::vector<JournalEntry> ReadJournal();
// The newest open entry of the bridge known by `key`, if any.
std::optional<JournalEntry> OpenJournalEntry(const std::string &key);
// Writes `entry` (creating the directory and naming the file the first
// time) through a temporary file and a rename; false with `error` on failure.
bool WriteJournalEntry(JournalEntry &entry, std::string &error);
// The SHA-256 of a file's bytes in hex; empty when it cannot be read.
std::string FileSha256(const std::string &path);
// The SHA-256 of `bytes` in hex.
std::string TextSha256(const std::string &bytes);
// "2026-12-09 04:12:33", local time.
std::string JournalTimeText(std::time_t when);
// What the entry wrote, in words: "FILE", "the built-in image V", "an erase".
std::string JournalWriteText(const JournalEntry &entry);
// "the update of DATE did not finish (it was writing X)".
std::string UnfinishedText(const JournalEntry &entry);
// The command that finishes the entry's write: "brigant-fw update FILE", ...
std::string FinishingCommand(const JournalEntry &entry);
// Marks every open entry of the bridge `key` finished at `when` (a verified
// write on it supersedes them); false when one could not be written.
bool FinishJournalEntries(const std::string &key, std::time_t when,
                          const std::string &closedBy = "superseded");
// "finished and verified", "superseded by a later write", "closed by recover"
// (or repair), or "NOT FINISHED" for an open entry.
std::string JournalStateText(const JournalEntry &entry);
// After a write of `entry` ended: a verified one finishes it (and every other
// open entry of the bridge); a refusal wrote nothing, so a new entry goes; a
// failure leaves it open.
void CloseJournalEntry(JournalEntry &entry, bool verified, bool refused, bool finishing);

} // namespace brigant
