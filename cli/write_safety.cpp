#include "cli/write_safety.h"
#include "cli/say.h"

#include "device/transport.h"
#include "image/chip_types.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

volatile std::sig_atomic_t writing = 0;
volatile std::sig_atomic_t deferredSignal = 0;
volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t lastDeferredMs = 0; // monotonic, modulo the type's range

constexpr long kSecondInterruptWindowMs = 3000;
constexpr const char kSecondText[] = "\nSecond interrupt: stopping after the current command.\n";

long MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
    return static_cast<long>(now.tv_sec % 1000000) * 1000 + now.tv_nsec / 1000000;
}

void Say(const char *text, std::size_t length)
{
    const ssize_t ignored = ::write(STDERR_FILENO, text, length);
    (void)ignored;
}

extern "C" void OnInterrupt(int sig)
{
    const int saved = errno;
    if (!writing) {
        stopSignal = sig;
    } else {
        const long now = MonotonicMs();
        if (sig == SIGINT && deferredSignal != 0 && now - lastDeferredMs <= kSecondInterruptWindowMs) {
            stopSignal = sig;
            Say(kSecondText, sizeof kSecondText - 1);
        } else {
            if (deferredSignal == 0)
                deferredSignal = sig;
            lastDeferredMs = static_cast<std::sig_atomic_t>(now);
            Say("\n", 1);
            Say(kDeferredInterruptText, std::strlen(kDeferredInterruptText));
            Say("\n", 1);
        }
    }
    errno = saved;
}

int writeTarget = 0; // the chip type code of the bridge being written

void StopIfAsked()
{
    if (stopSignal != 0)
        throw StopRequested{stopSignal, CurrentWritePhase(), CurrentBackupFile(), writeTarget};
}

bool AnsweredYes(const std::string &answer)
{
    std::string a;
    for (const char c : answer)
        if (c != ' ' && c != '\t' && c != '\r')
            a += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return a == "y" || a == "yes";
}

// One line from standard input; false at its end, or when a signal broke the read.
bool ReadAnswer(std::string &line)
{
    line.clear();
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n == 1) {
            if (c == '\n')
                return true;
            line += c;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            StopIfAsked();
            continue;
        }
        return !line.empty();
    }
}

} // namespace

void AddWriteOptions(CLI::App &verb, CliContext &ctx, bool backup)
{
    verb.add_flag("-y,--yes", ctx.write.yes, "Write without asking (needed where there is no terminal)");
    if (backup)
        verb.add_flag("--no-backup", ctx.write.noBackup,
                      "Do not save the flash to $XDG_STATE_HOME/brigant/backups/ before writing");
    verb.add_flag("--force", ctx.write.force, "Write even though a filesystem on the disk is mounted");
    verb.add_flag("--rehearse", ctx.write.rehearse,
                  "First record the device (read-only), run the same write on its simulated twin and show "
                  "the plan; the device is written only when that succeeded");
}

bool AskToGoOn(bool yes, bool &noTerminal)
{
    if (yes)
        return true;
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        noTerminal = true;
        return false;
    }
    std::cout << "Go on? [y/N] " << std::flush;
    std::string answer;
    const bool answered = ReadAnswer(answer);
    if (!answered)
        std::cout << "\n";
    return answered && AnsweredYes(answer);
}

WriteGuard CliWriteGuard(const CliContext &ctx, const std::string &question, bool &noTerminal)
{
    WriteGuard guard;
    guard.backup = !ctx.write.noBackup;
    guard.allowMounted = ctx.write.force;
    const bool yes = ctx.write.yes;
    const std::shared_ptr<ProgressView> view = ctx.view;
    guard.confirm = [yes, question, &noTerminal, view](const WritePlan &plan) {
        if (view)
            view->endLine();
        std::cout << question << "\n" << PlanText(plan) << std::flush;
        return AskToGoOn(yes, noTerminal);
    };
    guard.backedUp = [view](const BackupResult &backup) {
        if (view)
            view->endLine();
        else
            std::cout << "\n";
        if (backup.outcome == BackupResult::Outcome::Saved)
            std::cout << "backup: the old flash is saved in " << backup.file << "\nbackup: it holds "
                      << BackupRangeText(backup) << "\n"
                      << std::flush;
        else if (backup.outcome == BackupResult::Outcome::NothingToRead)
            std::cout << "backup: none made: " << backup.reason << "; going on\n" << std::flush;
    };
    return guard;
}

int ReportGuard(const GuardedRun &run, const std::string &path, bool noTerminal)
{
    switch (run.stop) {
    case GuardedRun::Stop::Mounted:
        SayError().as(MessageCode::Refused) << MountedText(path, run.mounts) << " (--force writes anyway)";
        return kExitUsage;
    case GuardedRun::Stop::MountsUnknown:
        SayError().as(MessageCode::Refused)
            << "the mounted filesystems could not be read, so a write to " << path
            << " could lose a mounted filesystem's data (--force writes anyway)";
        return kExitUsage;
    case GuardedRun::Stop::Declined:
        if (noTerminal) {
            SayError().as(MessageCode::Refused)
                << "no terminal to ask on: give --yes to write without asking; nothing was "
                   "written";
            return kExitUsage;
        }
        std::cout << "cancelled: nothing was written\n";
        return kExitDeclined;
    case GuardedRun::Stop::BackupFailed:
        SayError().as(MessageCode::Failed) << "the backup before writing failed (" << run.backup.reason
                                           << "): nothing was written (--no-backup skips the backup)";
        return kExitFailed;
    case GuardedRun::Stop::RehearsalFailed:
        SayError().as(MessageCode::Failed)
            << "the rehearsal on the device's twin failed"
            << (run.rehearsalReason.empty() ? "" : ": " + run.rehearsalReason) << "; nothing was written";
        return kExitFailed;
    case GuardedRun::Stop::FileRefused:
        SayError().as(MessageCode::Refused) << run.refusal << "; nothing was written";
        return kExitUsage;
    case GuardedRun::Stop::Busy:
        return kExitBusy;
    case GuardedRun::Stop::None:
        break;
    }
    return -1;
}

void InstallInterruptHandling()
{
    struct sigaction action {
    };
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a prompt's read returns
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    SetWritePhaseListener([](WritePhase phase) { writing = phase == WritePhase::Writing ? 1 : 0; });
    SetCommandGate(StopIfAsked);
}

int DeferredSignal() { return deferredSignal; }

void NoteWriteTarget(int chipTypeCode) { writeTarget = chipTypeCode; }

std::string StoppedStateText(const StopRequested &stop)
{
    const std::string name = stop.signal == SIGTERM ? "SIGTERM" : "SIGINT";
    switch (stop.phase) {
    case WritePhase::Writing: {
        std::string text = "stopped by " + name +
                           " in the middle of the write: the flash (or disk area) is only partly written and "
                           "the bridge may not start from it. ";
        const ChipType &row = ChipTypeOf(static_cast<unsigned>(stop.chipTypeCode));
        if (row.bufferPath)
            text +=
                "Run the same update again: it finishes the write (should the bridge start from its ROM "
                "instead, 'brigant-fw list' says so, and 'brigant-fw recover' programs its firmware again)";
        else if (row.dualBank)
            text +=
                "Run the same update again: it finishes the write, also after the bridge was switched off";
        else if (stop.chipTypeCode != 0)
            text += "Run the same update again before switching the bridge off";
        else
            text += "Run the same update again; a code 15-18 bridge left running from ROM is brought back by "
                    "brigant-fw recover";
        if (!stop.backupFile.empty())
            text += "; the old flash is saved in " + stop.backupFile;
        return text;
    }
    case WritePhase::BackingUp:
        return "stopped by " + name + " during the backup: nothing was written; the device is unchanged";
    case WritePhase::Checking:
    case WritePhase::Idle:
        break;
    }
    return "stopped by " + name + ": nothing was written";
}

} // namespace brigant::cli
