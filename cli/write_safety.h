#pragma once
// The command line's side of a write: the options every write verb takes,
// the confirmation on a terminal, the outcome of the guard as an exit code,
// and interrupts that never cut a write between two commands.
#include "app/write_guard.h"
#include "cli/cli_context.h"

#include <string>

// CLI11 is costly to compile; only the files that declare options include it.
namespace CLI
{
class App;
} // namespace CLI

namespace brigant::cli
{

// --yes, --no-backup, --force on a write verb (`backup`: whether it offers --no-backup).
void AddWriteOptions(CLI::App &verb, CliContext &ctx, bool backup);

// The guard for a write verb: the backup unless --no-backup, mounted
// filesystems refused unless --force, and the question on a terminal
// (answered by --yes). `noTerminal` is set when it had to refuse for want of one.
WriteGuard CliWriteGuard(const CliContext &ctx, const std::string &question, bool &noTerminal);

// "Go on? [y/N]" on a terminal: true for yes (or at once with `yes`);
// false with `noTerminal` set where there is no terminal to ask on.
bool AskToGoOn(bool yes, bool &noTerminal);

// Prints why a guarded run stopped (standard error) or where the backup went
// (standard output); returns the exit code of a stop, or -1 when the write ran.
int ReportGuard(const GuardedRun &run, const std::string &path, bool noTerminal);

// Thrown between two commands when the user asked to stop.
struct StopRequested {
    int signal = 0;
    WritePhase phase = WritePhase::Idle;
    std::string backupFile; // of the run that was stopped
    int chipTypeCode = 0;   // of the bridge being written (0: not known)
};

// SIGINT and SIGTERM: outside a write they stop the run before its next
// command; during a write the first is deferred until the run ends, and a
// second SIGINT within 3 s stops it after the current command.
void InstallInterruptHandling();
// The signal deferred during the last write (0: none).
int DeferredSignal();
// The bridge the write verb works on, for the advice after a stop.
void NoteWriteTarget(int chipTypeCode);
// What the device is left with when a stop of `stop` cut the run, and what
// brings it back, by the way its family updates.
std::string StoppedStateText(const StopRequested &stop);

inline constexpr const char *kDeferredInterruptText =
    "Stopping now would leave the bridge without working firmware; the update goes on.";

} // namespace brigant::cli
