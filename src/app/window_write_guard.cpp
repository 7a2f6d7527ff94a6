// The window's guarded writes: the Run button's and the one-button face's
// question, backup and journal around a write, and what the window says
// after it. The guard itself is write_guard.cpp's.
#include "app/write_guard.h"

#include "app/bridge_state.h"

#include "app/file_verdict.h"
#include "app/one_button.h"
#include "app/one_button_run.h"
#include "app/recover_bridge.h"
#include "app/run_dispatch.h"
#include "app/update_journal.h"
#include "app/update_plan.h"
#include "app/window_journal.h"
#include "app/window_run.h"
#include "app/window_texts.h"
#include "bridge/buffer_commands.h"
#include "common/claim_file.h"
#include "device/bridge_lock.h"
#include "device/discovery.h"
#include "device/enumerator.h"
#include "flash/backup_file.h"
#include "forms/ui_services.h"
#include "image/firmware_version.h"
#include "model/fwupdate.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"
#include "update/register/register_update.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace brigant
{

bool RunButtonWrites(const TBrigantFwTool &form)
{
    return RequestFromWindow(form).mode != RunMode::BackupOnly;
}

void TellStop(TBrigantFwTool &form, const GuardedRun &run)
{
    switch (run.stop) {
    case GuardedRun::Stop::Mounted:
        Ui().messageBox("Nothing was started: " + MountedText(form.selectedEntry().path, run.mounts) + ".",
                        "Warning", MessageKind::Warning);
        break;
    case GuardedRun::Stop::MountsUnknown:
        Ui().messageBox("Nothing was started: the mounted filesystems could not be read.", "Warning",
                        MessageKind::Warning);
        break;
    case GuardedRun::Stop::BackupFailed:
        Ui().messageBox("The backup of the old firmware failed (" + run.backup.reason +
                            "): nothing was written.",
                        "Error", MessageKind::Error);
        break;
    case GuardedRun::Stop::RehearsalFailed:
        Ui().messageBox("The rehearsal on the device's twin failed" +
                            (run.rehearsalReason.empty() ? std::string() : ": " + run.rehearsalReason) +
                            ". Nothing was written.",
                        "Error", MessageKind::Error);
        break;
    case GuardedRun::Stop::None:
    case GuardedRun::Stop::Declined:
    case GuardedRun::Stop::FileRefused:
    case GuardedRun::Stop::Busy:
        break;
    }
}

namespace
{

// Said after a Run whose write was cut, the bridge there or away.
constexpr const char *kCutRunWayForward =
    "The update did not finish. When the bridge is listed again (turn its power off and on if it is not), "
    "Run with the same file finishes it.";

bool HasOpenJournalEntry(const std::string &bridge)
{
    return !bridge.empty() && OpenJournalEntry(bridge).has_value();
}

// `file` as a path that does not depend on the working directory.
std::string AbsolutePath(const std::string &file)
{
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(file, ec);
    return ec ? file : path.lexically_normal().string();
}

// A status line after a guarded run: as the run left it, and after a write
// with a backup, the backup file too.
std::string WithBackupNote(const std::string &status, const GuardedRun &run)
{
    if (run.stop != GuardedRun::Stop::None || !run.backedUp)
        return status;
    return status + (status.empty() ? "" : "  ") + "Backup of the " + run.backup.area + ": " +
           run.backup.file;
}

} // namespace

namespace
{
std::function<RehearsalVerdict(TBrigantFwTool &, const WritePlan &)> &WindowRehearsal()
{
    static std::function<RehearsalVerdict(TBrigantFwTool &, const WritePlan &)> rehearse;
    return rehearse;
}
} // namespace

void SetWindowRehearsal(std::function<RehearsalVerdict(TBrigantFwTool &, const WritePlan &)> rehearse)
{
    WindowRehearsal() = std::move(rehearse);
}

WriteGuard WindowWriteGuard()
{
    WriteGuard guard;
    guard.rehearse = WindowRehearsal();
    const WriteGuard told = guard; // what the question says of the backup
    guard.confirm = [told](const WritePlan &plan) {
        return Ui().askYesNo(ConfirmationText(plan, told), "Confirm");
    };
    return guard;
}

namespace
{

// Run on a bridge that runs from its ROM, with its firmware file loaded: the
// recovery `recover FILE` runs, with the same question. There is no flash to
// back up, and nothing to rehearse it on.
GuardedRun GuardedRecoverWithFile(TBrigantFwTool &form, WriteGuard guard, const std::string &file)
{
    const std::string path = form.selectedEntry().path;
    const RecoverPlan plan = PlanRecover(path, form.chip.ChipTypeCode, file);
    if (plan.refusal != RecoverPlan::Refusal::None) {
        form.UpdateBtn.setEnabled(false);
        form.StatusEdit.setText(std::string(kFileRefusedText) + plan.reason + "; nothing was written.");
        return GuardedRun::Stopped(GuardedRun::Stop::FileRefused, plan.reason);
    }
    guard.backup = false;
    guard.rehearse = nullptr;
    const GuardedRun run =
        RunGuarded(form, DescribeWrite(form, plan.writes), guard, nullptr, [&form, &plan, &path] {
            form.UpdateBtn.setEnabled(false);
            form.ExitBtn.setEnabled(false);
            form.updateRunning = 1;
            const RecoverResult result = RecoverFromWindow(form, plan);
            form.lastRun = {};
            form.lastRun.result = result.ok() ? RunOutcome::Result::Success : RunOutcome::Result::Failed;
            if (!result.ok())
                form.lastRun.reason = RecoverFailureText(result);
            form.StatusEdit.setText(result.ok()
                                        ? path + " runs its firmware again."
                                        : "The recovery failed: " + RecoverFailureText(result) +
                                              ". Turn the bridge's power off and on, then press Run again.");
            form.updateRunning = 0;
            form.ExitBtn.setEnabled(true);
        });
    TellStop(form, run);
    return run;
}

} // namespace

GuardedRun GuardedUpdateBtnClick(TBrigantFwTool &form, const WriteGuard &guard)
{
    // The bridge is the window's from the first command of the run to the
    // end of its wait for the bridge's return.
    const HeldBridge held(form.selectedEntry().path);
    if (held.busy()) {
        form.UpdateBtn.setEnabled(false);
        form.StatusEdit.setText(BusyText(*held.busy()) + "; nothing was started.");
        return GuardedRun::Stopped(GuardedRun::Stop::Busy);
    }
    // A bridge in its ROM takes no update: its firmware is brought back.
    if (RequestFromWindow(form).mode == RunMode::Update && form.selected.runsFromRom)
        return GuardedRecoverWithFile(form, guard, form.FwFilenameEdit.text());
    // A file `update FILE` would refuse is never written from here either,
    // however Run came to be enabled: nothing is sent, and the status says why.
    if (RequestFromWindow(form).mode == RunMode::Update)
        if (const std::string why = FileRefusalForSelected(form, form.FwFilenameEdit.text()); !why.empty()) {
            form.UpdateBtn.setEnabled(false);
            form.StatusEdit.setText(std::string(kFileRefusedText) + why + "; nothing was written.");
            return GuardedRun::Stopped(GuardedRun::Stop::FileRefused, why);
        }
    // Nothing to back up or ask about when Run refuses the file anyway.
    if (!RunButtonWrites(form) ||
        RunRefusesFile(RequestFromWindow(form), form.selectedEntry().bus, form.selectedEntry().path)) {
        UpdateBtnClick(form);
        return {};
    }
    std::string backupFile;
    const GuardedRun run = RunGuarded(
        form, RunButtonPlan(form), guard,
        [&form, &guard, &backupFile] {
            BackupResult backup = BackupThroughRunButton(form, guard.backupDirectory);
            if (backup.outcome == BackupResult::Outcome::Saved)
                backupFile = backup.file;
            return backup;
        },
        [&form, &backupFile] {
            RunJournaled(form, false, backupFile, [&form] {
                UpdateBtnClick(form);
                return form.lastRun.ok();
            });
        });
    TellStop(form, run);
    return run;
}

void WireWriteGuards(TBrigantFwTool &form)
{
    form.UpdateBtn.onClick = [&form] {
        form.wayForward.clear();
        const std::string bridge = BridgeJournalKey(form.selectedEntry().path);
        const GuardedRun run = GuardedUpdateBtnClick(form, WindowWriteGuard());
        // A failure stays said, also when the bridge has gone (its power
        // lost): a cut write with the way to finish it and its backup.
        const bool failed =
            run.stop == GuardedRun::Stop::None
                ? !form.lastRun.ok()
                : run.stop == GuardedRun::Stop::BackupFailed || run.stop == GuardedRun::Stop::RehearsalFailed;
        if (failed) {
            std::string said = form.StatusEdit.text();
            if (run.stop == GuardedRun::Stop::None && HasOpenJournalEntry(bridge))
                said = WithBackupNote(said + (said.empty() ? "" : "  ") + kCutRunWayForward, run);
            form.wayForward = said;
            form.StatusEdit.setText(said);
            return;
        }
        std::string note = WithBackupNote("", run);
        // The backup-only mode's file, named where the user looks for it.
        if (note.empty() && run.stop == GuardedRun::Stop::None && form.lastRun.ok() &&
            !form.lastRun.backupFile.empty())
            note = "Backup file: " + AbsolutePath(form.lastRun.backupFile);
        if (note.empty())
            return;
        const std::string status = form.StatusEdit.text();
        form.StatusEdit.setText(status + (status.empty() ? "" : "  ") + note);
        form.lastBackup.bridge = BridgeJournalKey(form.selectedEntry().path);
        form.lastBackup.text = note;
    };
    form.YesBtn.onClick = [&form] {
        GuardedYesBtnClick(form, WindowWriteGuard()); // the face's result line names the backup
    };
}

} // namespace brigant
