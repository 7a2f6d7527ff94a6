#include "app/write_guard.h"

#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/one_button_run.h"
#include "app/recover_bridge.h"
#include "app/window_journal.h"
#include "app/window_run.h"
#include "common/clock.h"
#include "device/bridge_lock.h"
#include "image/firmware_version.h"
#include "model/fwupdate.h"

#include <cstdlib>
#include <cstring>
#include <string>

// The one-button face's update button, guarded: the built-in image's
// update, or on a bridge that runs from its ROM its recovery; the face's
// result line after either.
namespace brigant
{

namespace
{

// A path with the home folder as "~", in two lines: the folder, then the
// file (a path has no spaces for the face's line to wrap at).
std::string FaceFileText(const std::string &file)
{
    std::string shown = file;
    if (const char *home = std::getenv("HOME"); home && *home && shown.rfind(std::string(home) + "/", 0) == 0)
        shown = "~" + shown.substr(std::strlen(home));
    const std::size_t slash = shown.rfind('/');
    return slash == std::string::npos ? shown : shown.substr(0, slash + 1) + "\n" + shown.substr(slash + 1);
}

// The face's result line after a run of its button on `device`.
std::string OneButtonResultText(const std::string &device, bool passed, const std::string &done,
                                const std::string &backupFile)
{
    std::string text =
        passed ? device + " " + done + "."
               : device + ": " + done + ".\nTurn its power off and on, then press the button again.";
    if (!backupFile.empty())
        text += "\nBackup of the flash in " + FaceFileText(backupFile);
    return text;
}

// The update button on a bridge that runs from its ROM: the recovery the
// command line's `recover` runs, with the same question and journal. There
// is no flash to back up, and nothing to rehearse it on.
GuardedRun GuardedRecover(TBrigantFwTool &form, WriteGuard guard)
{
    const std::string path = form.selectedEntry().path;
    const RecoverPlan plan = PlanRecover(path, form.chip.ChipTypeCode, "");
    if (plan.refusal != RecoverPlan::Refusal::None) {
        form.YesBtn.setEnabled(false);
        form.devpnl.setCaption("Nothing was written: " + plan.reason);
        return GuardedRun::Stopped(GuardedRun::Stop::FileRefused, plan.reason);
    }
    guard.backup = false;
    guard.rehearse = nullptr;
    WritePlan asked = DescribeWrite(form, plan.writes);
    asked.builtIn = true;
    return RunGuarded(form, asked, guard, nullptr, [&form, &plan, &path] {
        form.YesBtn.setEnabled(false);
        form.ExitBtn.setEnabled(false);
        form.ProgressBar2.setPosition(0);
        form.updateRunning = 1;
        ShowOneButtonStatus(form, OneButtonState::Updating);
        const RecoverResult result = RecoverFromWindow(form, plan);
        ShowOneButtonResult(
            form, OneButtonResultText(path, result.ok(),
                                      result.ok() ? "runs its firmware again"
                                                  : "the recovery failed: " + RecoverFailureText(result),
                                      ""));
        form.ProgressBar2.setBusy(false);
        form.ProgressBar2.setPosition(result.ok() ? 100 : form.ProgressBar2.position());
        ShowOneButtonStatus(form, result.ok() ? OneButtonState::Passed : OneButtonState::Failed);
        form.lastRun.result = result.ok() ? RunOutcome::Result::Success : RunOutcome::Result::Failed;
        form.lastRun.reason = RecoverFailureText(result);
        SleepMs(kResultPauseMs);
        form.updateRunning = 0;
        form.ExitBtn.setEnabled(true);
    });
}

} // namespace

RecoverResult RecoverFromWindow(TBrigantFwTool &form, const RecoverPlan &plan)
{
    // The buffer path, as on every bridge of these codes; no serial record.
    RunRequest req = RequestFromWindow(form);
    req.readWriteBuffer = true;
    req.serial.write = false;
    WindowRunHost host(form);
    return RecoverBridge(req, host, form.selectedEntry().path, plan,
                         [&form] { return form.selectedEntry().path; });
}

GuardedRun GuardedYesBtnClick(TBrigantFwTool &form, const WriteGuard &guard)
{
    const HeldBridge held(form.selectedEntry().path);
    if (held.busy()) {
        form.YesBtn.setEnabled(false);
        form.devpnl.setCaption(BusyText(*held.busy()));
        return GuardedRun::Stopped(GuardedRun::Stop::Busy);
    }
    if (form.oneButton == OneButtonState::RunsFromRom) {
        const GuardedRun run = GuardedRecover(form, guard);
        TellStop(form, run);
        return run;
    }
    std::string backupFile;
    const std::string device = form.selectedEntry().path;
    const std::string from = PlainVersion(form.selected.version);
    bool passed = false;
    const GuardedRun run = RunGuarded(
        form, OneButtonPlan(form), guard,
        [&form, &guard, &backupFile] {
            BackupResult backup = BackupThroughBuffer(form, guard.backupDirectory);
            if (backup.outcome == BackupResult::Outcome::Saved)
                backupFile = backup.file;
            return backup;
        },
        [&form, &backupFile, &passed] {
            RunJournaled(form, true, backupFile, [&form, &passed] {
                // The face may have moved on (a refresh on the bridge's
                // return) by the time the click returns: its pass is caught.
                auto shown = form.oneButtonShown;
                form.oneButtonShown = [&passed, shown](OneButtonState state) {
                    passed = passed || state == OneButtonState::Passed;
                    if (shown)
                        shown(state);
                };
                YesBtnClick(form);
                form.oneButtonShown = shown;
                return passed;
            });
        });
    TellStop(form, run);
    if (run.stop == GuardedRun::Stop::None)
        ShowOneButtonResult(form, OneButtonResultText(device, passed,
                                                      passed ? "updated from " + from + " to " +
                                                                   PlainVersion(EmbeddedImageVersion())
                                                             : "the update failed",
                                                      run.backedUp ? run.backup.file : ""));
    return run;
}

} // namespace brigant
