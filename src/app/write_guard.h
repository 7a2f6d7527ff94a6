#pragma once
// What stands between a user and a write to a bridge's flash (or disk area),
// for every family alike: what the write will do, the refusal while a
// filesystem on the disk behind the bridge is mounted (the bridge resets at
// the end and the filesystem would lose its writes), and a backup made with
// the family's own backup mode before anything is written.
#include "device/device_entry.h"
#include "flash/run_host.h"
#include "flash/run_request.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace brigant
{

class TBrigantFwTool;
struct BridgeState;
struct RecoverPlan;
struct RecoverResult;
enum class SettingsFate : std::uint8_t;

// What the user is shown before a write.
struct WritePlan {
    std::string device;         // the device path and its list item
    std::string chip;           // the series as identification named it
    std::string firmware;       // the firmware running now, as the window shows it
    std::string writes;         // what will be written
    std::string runningVersion; // the running firmware's version as read; empty: none was read
    std::string newVersion;     // the version of what will be written; empty: not known
    std::string settings;       // what becomes of the device's settings (NVRAM) area; empty: not said
    // "from 1.1.0.8 to 1.1.0.9", or what could not be read; empty: not said.
    std::string versionChange;
    // How much of the store the write changes ("in 3 of 128 4 KiB sectors
    // (12 KiB)"); empty: not compared.
    std::string difference;
    // The plan a rehearsal on the device's twin left; empty: none was made.
    std::string rehearsal;
    bool builtIn = false; // the one-button update of the built-in image, not the Run button's write
};
// The plan of a write on the selected device; `writes` says what goes to it.
WritePlan DescribeWrite(TBrigantFwTool &form, const std::string &writes);
// The same for a bridge as identification found it, listed as `item`: the
// chip and firmware as the window's fields show them.
WritePlan DescribeWrite(const BridgeState &state, const std::string &path, const std::string &item,
                        const std::string &writes);
// The plans of the window's Run and update buttons: DescribeWrite with the
// version of the file (or of the built-in image) and the settings sentence.
WritePlan RunButtonPlan(TBrigantFwTool &form);
WritePlan OneButtonPlan(TBrigantFwTool &form);
// The plan as lines of "  Label: value".
std::string PlanText(const WritePlan &plan);

// Mount points of the filesystems on the disk behind `path` (the disk itself
// or its partitions), "/" included; empty when none is mounted or the disk is
// not listed. `known` is false when the mount table could not be read.
std::vector<std::string> MountedFilesystems(const std::string &path, bool &known);
// "a filesystem on DEVICE is mounted at A, B: ..." for messages.
std::string MountedText(const std::string &path, const std::vector<std::string> &mounts);

// $XDG_STATE_HOME/brigant/backups (default ~/.local/state/brigant/backups).
std::string BackupDirectory();
// "<series>_<device>_<YYYYmmdd-HHMMSS>.bin", every character outside
// [A-Za-z0-9.-] made '-'.
std::string BackupFileName(const std::string &series, const std::string &device, std::time_t when);

struct BackupResult {
    enum class Outcome : std::uint8_t { Saved, NothingToRead, Failed };
    Outcome outcome = Outcome::Failed;
    std::string file;           // the file written (Saved)
    std::string reason;         // why not (NothingToRead, Failed)
    std::uint64_t saved = 0;    // bytes in the file, from flash address 0 on (Saved)
    std::uint64_t flash = 0;    // bytes of flash the write may change; 0: not known
    std::string area = "flash"; // what was read: the flash or the disk's firmware area
};
// "bytes 0x0-0xFFFF of the flash", and when the write may change more than that,
// what the file does not hold.
std::string BackupRangeText(const BackupResult &backup);
// The full tool's backup: the family's "RD Version" + "Backup Old Firmware
// Only" mode through the Run dispatch, with "Include 4K NVRAM" so that the
// file holds the flash as it is, into a new file under `directory`. The
// window's check boxes and fields are as before afterwards.
BackupResult BackupThroughRunButton(TBrigantFwTool &form, const std::string &directory);
// The same backup for a run its starter describes: the backup-only mode of
// `req`'s family, NVRAM area in, into a new file under `directory` named after
// `series` and the device at `path`.
BackupResult BackupThroughRequest(const RunRequest &req, BusKind bus, const std::string &path, RunHost &host,
                                  const std::string &series, const std::string &directory);
// The same read, kept in memory too: the bytes of the backup file written
// (empty when the read failed). With `keep` false the file goes to a
// temporary folder and is removed again: only the bytes are wanted.
struct StoreRead {
    BackupResult backup;
    std::vector<std::uint8_t> bytes;
};
StoreRead ReadStore(const RunRequest &req, BusKind bus, const std::string &path, RunHost &host,
                    const std::string &series, bool keep);
// "in 3 of 128 4 KiB sectors (12 KiB)".
std::string DifferenceText(const VerifyTally &difference);
// The one-button face's backup: the flash read through the buffer path. A
// bridge that runs from ROM has nothing to read (NothingToRead).
BackupResult BackupThroughBuffer(TBrigantFwTool &form, const std::string &directory);
// The same for the bridge at `path` (named after `series`), reporting through `host`.
BackupResult BackupThroughBuffer(const std::string &path, const std::string &series, RunHost &host,
                                 const std::string &directory);

// Where a guarded write is; the command line defers interrupts while Writing.
enum class WritePhase : std::uint8_t { Idle, Checking, BackingUp, Writing };
WritePhase CurrentWritePhase();
// The backup file of the guarded run in progress (empty: none, or no run).
const std::string &CurrentBackupFile();
// Told of every phase change (one listener; empty to remove).
void SetWritePhaseListener(std::function<void(WritePhase)> listener);

// What a rehearsal of the write on the device's twin found.
struct RehearsalVerdict {
    bool ran = false;   // false: no rehearsal was asked for
    bool ok = true;     // the write succeeded on the twin
    std::string plan;   // what it erased and wrote, the commands, the time, the outcome
    std::string reason; // why it failed (not ok)
};

struct WriteGuard {
    bool backup = true;          // save the flash before writing
    bool allowMounted = false;   // write even though a filesystem is mounted
    std::string backupDirectory; // empty: BackupDirectory()
    // Asked after the checks passed and before anything is written; false
    // stops the run. Empty: no question (the window's button is the answer).
    std::function<bool(const WritePlan &)> confirm;
    // Told of the backup's outcome before the write starts.
    std::function<void(const BackupResult &)> backedUp;
    // Asked after the checks and before the question: a rehearsal that ran
    // and failed stops the run, nothing written; one that succeeded puts its
    // plan into the question. Empty: no rehearsal.
    std::function<RehearsalVerdict(TBrigantFwTool &, const WritePlan &)> rehearse;
};
// The rehearsal the window's guard makes (the program that can build a
// device's twin installs it; empty removes it).
void SetWindowRehearsal(std::function<RehearsalVerdict(TBrigantFwTool &, const WritePlan &)> rehearse);

struct GuardedRun {
    enum class Stop : std::uint8_t {
        None,
        Mounted,
        MountsUnknown,
        Declined,
        BackupFailed,
        RehearsalFailed,
        FileRefused, // the file is one `update FILE` refuses: nothing was sent
        Busy,        // another program of ours holds the bridge: nothing was sent
    };
    Stop stop = Stop::None;
    std::string refusal; // FileRefused: why
    std::vector<std::string> mounts;
    BackupResult backup;
    bool backedUp = false;
    std::string rehearsalReason; // RehearsalFailed: why
    // A run stopped before anything was sent, for `stop` (`why`: FileRefused's reason).
    static GuardedRun Stopped(Stop stop, std::string why = {})
    {
        GuardedRun run;
        run.stop = stop;
        run.refusal = std::move(why);
        return run;
    }
};

// The guard around one write: mounted check, confirmation, backup
// (`backupFn`, skipped when the guard says so), then `write`. Nothing is
// written when it stops.
GuardedRun RunGuarded(TBrigantFwTool &form, const WritePlan &plan, const WriteGuard &guard,
                      const std::function<BackupResult()> &backupFn, const std::function<void()> &write);
// The same for the bridge at `path` without a window: a guard that asks for
// the window's rehearsal is not rehearsed (the command line rehearses first).
GuardedRun RunGuarded(const std::string &path, const WritePlan &plan, const WriteGuard &guard,
                      const std::function<BackupResult()> &backupFn, const std::function<void()> &write);

// Whether the Run button, with the window's check boxes as they are, writes
// (program or erase) rather than only backing up.
bool RunButtonWrites(const TBrigantFwTool &form);
// What a run of `req` writes, for the plan; `settings` is what it does to the
// device's settings area (DecideSettings), named when the area is kept.
std::string RequestWriteText(const RunRequest &req, SettingsFate settings);
// The same, where an erase says how to bring the bridge back in `wayBack`
// (the window names its own controls; a command line names its command).
std::string RequestWriteText(const RunRequest &req, SettingsFate settings, const std::string &wayBack);
// What the Run button would write, for the plan.
std::string RunButtonWriteText(const TBrigantFwTool &form);

// What the window asks before it writes: the plan, how the new version
// stands to the running one, the settings area and the backup.
std::string ConfirmationText(const WritePlan &plan, const WriteGuard &guard);
// The window's guard: a backup into BackupDirectory(), and the question of
// ConfirmationText through the UI services (no answer: nothing is written).
WriteGuard WindowWriteGuard();

// The window's Run and update buttons through the guard: a mounted
// filesystem gives a warning box and nothing starts; a failed backup gives an
// error box and nothing is written.
GuardedRun GuardedUpdateBtnClick(TBrigantFwTool &form, const WriteGuard &guard);
// The box that says why a guarded run stopped before writing (none for a
// declined question, a refused file or a busy bridge).
void TellStop(TBrigantFwTool &form, const GuardedRun &run);
GuardedRun GuardedYesBtnClick(TBrigantFwTool &form, const WriteGuard &guard);
// The recovery of `plan` on the window's selected bridge, through the buffer
// path, with the window as its host (no question: the caller's guard asks).
RecoverResult RecoverFromWindow(TBrigantFwTool &form, const RecoverPlan &plan);
// Connects UpdateBtn and YesBtn to the guarded handlers with WindowWriteGuard;
// after a write the status line names the backup file.
void WireWriteGuards(TBrigantFwTool &form);

} // namespace brigant
