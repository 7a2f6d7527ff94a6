#pragma once
// The verbs that write a bridge's flash, or read it as a write would: update
// FILE and update --embedded, verify, backup and erase; and the steps they
// share. Only their own files include this.
#include "app/bridge_state.h"
#include "app/run_dispatch.h"
#include "app/update_journal.h"
#include "app/update_plan.h"
#include "app/write_guard.h"
#include "cli/chosen_bridge.h"
#include "cli/cli_context.h"
#include "cli/cli_host.h"
#include "cli/progress_view.h"

#include <cstdint>
#include <string>

namespace brigant::cli
{

struct UpdateArgs {
    bool embedded = false;
    int index = -1;
    std::string file;
    bool includeNvram = false;
    bool readWriteBuffer = false;
    bool json = false;
    VersionOptions versions;
};

enum class ToolMode { Program, Backup, Erase };

// What a verb of the full tool (update FILE, backup, erase) is asked to do.
struct ToolArgs {
    ToolMode mode = ToolMode::Program;
    int index = -1;
    std::string file;
    bool includeNvram = false;
    bool readWriteBuffer = false;
    VersionOptions versions;
    bool windowRange = false; // backup: what the window's backup saves, not the whole flash
};

struct VerifyArgs {
    int index = -1;
    std::string file;
    bool embedded = false;
    bool raw = false;   // byte for byte from address 0 (a backup, a whole-flash image)
    std::string offset; // --raw: the part that FILE holds (empty: the whole flash)
    std::string length;
    bool includeNvram = false;
    bool json = false;
};

struct ServiceArgs {
    int index = -1;
    std::string file; // backup file; empty: the procedure's default name
    bool includeNvram = false;
    bool windowRange = false; // backup: what the window's backup saves, not the whole flash
    bool overwrite = false;   // backup --force: an existing FILE is written over
    bool json = false;
};

// The verbs.
// update --embedded: the one-button update with the built-in image.
int RunOneButtonUpdate(CliContext &ctx, const UpdateArgs &args);
// update FILE, backup and erase: the full tool's Run in the verb's mode.
int RunFullTool(CliContext &ctx, const ToolArgs &args);
// brigant-fw verify.
int RunVerify(CliContext &ctx, const VerifyArgs &args);

// The steps they share.

// After a failed update: the way to tell where the bridge stands on a
// computer that lacks this one's journal (the bridge moved).
inline constexpr const char *kVerifyAdvice =
    "Whether the flash holds the image, on this computer or another, tells ";

// The run's status in the report, and the backup it saved (empty: none).
void NoteRun(const std::string &status, const std::string &backupFile = {});

// Writes the journal entry; a journal that cannot be written is said, and
// the write goes on (the backup still holds the old flash).
void JournalWrite(JournalEntry &record, ProgressView &view);

// After the run: the journal entry closed as the outcome says.
void JournalOutcome(JournalEntry &record, const RunOutcome &outcome, bool finishing);

// The backup a guarded run saved before writing (empty: none); its range
// goes to the report.
std::string SavedBackup(const GuardedRun &run);

// The run a verb asks for, in the verb's mode.
RunRequest VerbRequest(const BridgeState &state, const INI_STATE &settings, int candidateCount, ToolMode mode,
                       const std::string &file, bool includeNvram);

// A write of the product serial record that does not read back as written
// is a failed run, whatever the image did.
void CheckSerialReadBack(const RunRequest &req, RunOutcome &outcome);

// --serial: the run writes the product serial record with `serial` (none
// when empty).
void AskSerial(RunRequest &run, const std::string &serial);

// What update FILE asks of the plan for a bridge.
PlanRequest UpdateRequest(const BridgeState &state, const INI_STATE &settings, int candidateCount,
                          const std::string &file, bool includeNvram, bool readWriteBuffer,
                          const VersionOptions &versions);

// After a write: a bridge that resets itself (the run's outcome says so)
// leaves the bus and comes back a few seconds later; the run ends with it
// back, not in its absence: when the run did not see it again, it is waited
// for until the platform lists a disk where it is plugged in (at most
// kReturnWaitMs).
constexpr std::uint32_t kReturnWaitMs = 15000;
void AwaitReturn(const DeviceEntry &entry, const CliRunHost &host, const RunOutcome &outcome);

// The bridge a verb acts on: chosen, identified, and named in the report.
int ChooseTarget(CliContext &ctx, int index, ChosenBridge &chosen);

// How a run ended, in the command line's words.
std::string RunText(const RunOutcome &outcome);

// The running firmware as the command line names it.
std::string RunningFirmwareText(const SelectedBridge &selected);

// The line that names the bridge a verb works on, once identified.
void PrintDeviceLine(const std::string &path, const SelectedBridge &selected, std::uint8_t code);

// "from RUNNING to NEW", saying which of the two could not be read and
// whether they compare.
std::string VersionChangeText(const std::string &running, const std::string &next, VersionOrder order);

} // namespace brigant::cli
