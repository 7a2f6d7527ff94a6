// brigant-fw update --embedded: the one-button update. The bridge is judged
// as the one-button face judges it; when the face offers the update, the
// built-in image is written after the guard's checks, question and backup,
// with the update journal kept around the write.
#include "app/one_button.h"
#include "app/one_button_run.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/update_verbs.h"
#include "cli/user_text.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "image/firmware_version.h"

#include <iostream>
#include <memory>
#include <optional>

namespace brigant::cli
{

namespace
{

// The bridge update --embedded acts on, the one-button face's verdict on it,
// and what the journal holds of an earlier write to it.
struct OneButtonTarget {
    ChosenBridge chosen;
    int listed = 0; // the bridges the device list holds
    OneButtonDecision decided;
    bool offered = false; // the face offers the update
    PlannedWrite write;   // the write, as the journal knows it
    std::optional<JournalEntry> unfinished;
    bool finishing = false; // this run finishes a cut one-button update
};

// Discovers the bridges; when there is one, the chosen one is this run's from
// here, then identified and judged as the one-button face judges it. kExitOk
// with no bridge too: the verdict then says so.
int ChooseOneButtonTarget(CliContext &ctx, int index, OneButtonTarget &target)
{
    ChosenBridge &chosen = target.chosen;
    ReadSettings(chosen.settings);
    const BridgeList list = DiscoverBridges();
    target.listed = static_cast<int>(list.listed.size());
    target.decided.state = OneButtonState::NoDevice;
    if (target.listed == 0) {
        WarnWhenDisksUnlisted();
        if (!ReportAccessProblem(ctx.runtime))
            ReportUnaskedDisks(true);
    } else {
        if (const int rc = ChooseListed(ctx, list, index, chosen); rc != kExitOk)
            return rc;
        target.decided = DecideOneButton(chosen.entry, chosen.state.chip.ChipTypeCode, false);
        NoteWriteTarget(chosen.state.chip.ChipTypeCode);
        ReportDevice(chosen.entry.path, chosen.state.bridge.series, chosen.state.chip.ChipTypeCode);
    }
    target.offered = target.decided.buttonEnabled && target.decided.state != OneButtonState::RunsFromRom;
    return kExitOk;
}

// A cut one-button update may leave a bridge that reports the new version
// over a half-written flash: the journal's open entry for the built-in image
// lets the same update finish it. Finds that entry and says what finishes it.
void FindUnfinished(OneButtonTarget &target)
{
    const ChosenBridge &chosen = target.chosen;
    const SelectedBridge &selected = chosen.state.bridge;
    PlannedWrite &write = target.write;
    if (target.listed > 0) {
        write.bridge = BridgeJournalKey(chosen.entry.path);
        write.device = chosen.entry.path;
    }
    write.series = selected.series;
    write.chipCode = chosen.state.chip.ChipTypeCode;
    write.builtIn = true;
    write.from = UserVersion(selected.version);
    write.to = BuiltInImageVersion();
    target.unfinished = OpenJournalEntry(write.bridge);
    const std::optional<JournalEntry> &unfinished = target.unfinished;
    // (The face offers the update again while the journal holds it open.)
    target.finishing = unfinished && RepeatsCutWrite(*unfinished, write) && target.offered;
    if (unfinished)
        SayNote(std::cout).as(MessageCode::Unfinished)
            << UnfinishedText(*unfinished)
            << (target.finishing ? "; this run finishes it"
                                 : "; `" +
                                       NextStepOf(write.device,
                                                  selected.runsFromRom ||
                                                      target.decided.state == OneButtonState::RunsFromRom,
                                                  chosen.entry.damagedBank, chosen.state.chip.ChipTypeCode)
                                           .command +
                                       "` finishes it");
}

// The face does not offer the update: says why, and the exit code that
// tells it.
int RefuseOneButton(const OneButtonTarget &target, int index)
{
    const OneButtonState state = target.decided.state;
    const OneButtonVerdict verdict = DescribeOneButton(state, false, index);
    const std::string &version = target.chosen.state.bridge.version;
    std::cout << "update not offered: " << verdict.text << "\n";
    NoteRun(verdict.key);
    ReportVersions(version, version);
    if (state != OneButtonState::Current)
        ReportReason(verdict.text);
    if (state == OneButtonState::NotSupported && target.listed > 1)
        SayError().as(MessageCode::NotSupported)
            << "the selected bridge (--index " << index << ") is not a chip type code " << kOneButtonChipType
            << " bridge; choose another with --index (0 to " << target.listed - 1 << ")";
    if (state == OneButtonState::Current)
        return kExitNothingToDo;
    if (state == OneButtonState::NoDevice || state == OneButtonState::NotSupported || target.listed == 0)
        return kExitNoDevice;
    return kExitFailed;
}

// The write of the built-in image, as far as the guard let it go.
struct OneButtonWrite {
    GuardedRun guarded;
    RunOutcome outcome;
    bool passed = false;     // the write ran and succeeded
    bool noTerminal = false; // the question could not be asked
};

// Writes the built-in image: the guard's checks, question and backup first,
// then the journal entry, the run, and the entry closed as the run ended.
OneButtonWrite WriteBuiltInImage(CliContext &ctx, const OneButtonTarget &target, ProgressView &view,
                                 CliRunHost &host)
{
    const ChosenBridge &chosen = target.chosen;
    const std::string path = chosen.entry.path;
    const std::string image = "the built-in image " + BuiltInImageVersion();
    OneButtonWrite done;
    JournalEntry record = target.finishing ? *target.unfinished : JournalEntry{};
    std::string backupFile;
    done.guarded = RunGuarded(
        path, DescribeWrite(chosen.state, path, chosen.item, image),
        CliWriteGuard(ctx, "update --embedded will write:", done.noTerminal),
        [&] {
            BackupResult backup = BackupThroughBuffer(path, chosen.state.bridge.series, host, "");
            if (backup.outcome == BackupResult::Outcome::Saved)
                backupFile = backup.file;
            return backup;
        },
        [&] {
            view.endLine();
            std::cout << "updating " << path << " to " << image << "\n";
            if (!target.finishing)
                record = NewJournalEntry(target.write, backupFile);
            JournalWrite(record, view);
            done.outcome = RunWatched(host, [&](RunHost &watched) {
                return RunEmbeddedUpdate(VerbRequest(chosen.state, chosen.settings, chosen.candidateCount,
                                                     ToolMode::Program, "", false),
                                         watched, path, [] {});
            });
            done.passed = done.outcome.ok();
            JournalOutcome(record, done.outcome, target.finishing);
        });
    return done;
}

// Tells how the write ended, and what to do when it failed; waits for a
// bridge that resets itself to come back.
int ReportOneButton(CliContext &ctx, const OneButtonTarget &target, const OneButtonWrite &done,
                    ProgressView &view, const CliRunHost &host, int index)
{
    const OneButtonState state = done.passed ? OneButtonState::Passed : OneButtonState::Failed;
    NoteRun(DescribeOneButton(state, false).key, SavedBackup(done.guarded));
    ReportVersions(target.chosen.state.bridge.version, done.passed ? BuiltInImageVersion() : "");
    if (const int stopped = ReportGuard(done.guarded, target.chosen.entry.path, done.noTerminal);
        stopped >= 0)
        return stopped;
    view.result(RunText(done.outcome), done.passed);
    if (!done.passed)
        ReportReason(DescribeOneButton(state, false, index).text);
    if (ctx.style.verbosity != Verbosity::Quiet)
        std::cout << DescribeOneButton(state, false, index).text << "\n";
    if (!done.passed)
        std::cout << "The update journal keeps this update open: run `brigant-fw update --embedded` again to "
                     "finish it.\n"
                  << kVerifyAdvice << "`brigant-fw verify --embedded`.\n";
    AwaitReturn(target.chosen.entry, host, done.outcome);
    return done.passed ? kExitOk : kExitFailed;
}

} // namespace

int RunOneButtonUpdate(CliContext &ctx, const UpdateArgs &args)
{
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    const int index = args.index < 0 ? 0 : args.index;
    OneButtonTarget target;
    if (const int rc = ChooseOneButtonTarget(ctx, args.index, target); rc != kExitOk)
        return rc;
    view->endLine();
    FindUnfinished(target);
    // A cut update of the built-in image that left the bridge in its ROM is
    // finished by the recovery, which writes that image: the advice of the
    // cut run works, as the window's button does.
    if (target.decided.state == OneButtonState::RunsFromRom && target.unfinished &&
        !target.unfinished->builtIn.empty()) {
        std::cout << "the bridge runs from its ROM: the recovery writes the built-in image and finishes it\n";
        return RecoverVerb(ctx, index);
    }
    if (!target.offered)
        return RefuseOneButton(target, index);
    CliRunHost host(*view, ctx.style, target.chosen.transfer);
    const OneButtonWrite done = WriteBuiltInImage(ctx, target, *view, host);
    return ReportOneButton(ctx, target, done, *view, host, index);
}

} // namespace brigant::cli
