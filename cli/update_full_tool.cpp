// brigant-fw update FILE: the full tool's Run with a firmware file; brigant-fw
// backup and erase: its service modes. The bridge is identified as the
// window's selection does; the verbs then check the file as Load File does,
// build their run request and run it with the command line as its host,
// whichever family the bridge needs.
#include "app/check_report.h"
#include "app/file_verdict.h"
#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/update_verbs.h"
#include "cli/user_text.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "common/hex.h"
#include "image/firmware_version.h"

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

namespace brigant::cli
{

namespace
{

// One run of a full-tool verb: what it was asked, the bridge, and what its
// steps learn and hand on to the next.
struct ToolRun {
    ToolRun(CliContext &context, const ToolArgs &asked, ProgressView &progress, const ChosenBridge &bridge,
            CliRunHost &runHost)
        : ctx(context), args(asked), view(progress), chosen(bridge), host(runHost)
    {
    }

    CliContext &ctx;
    const ToolArgs &args;
    ProgressView &view;
    const ChosenBridge &chosen;
    CliRunHost &host;
    PlannedWrite write; // the write, as the journal knows it
    std::optional<JournalEntry> unfinished;
    bool sameChip = false;  // the open entry is for a bridge of this chip
    bool finishing = false; // this run finishes the cut write the entry holds
    // The plan of update FILE.
    UpdatePlan decided;
    std::string newVersion;
    VersionOrder order = VersionOrder::Unknown;
    std::optional<StoreRead> storeRead; // the flash, read for the plan
    // The run.
    RunRequest req;
    SettingsFate settings{}; // what the write does to the settings area
    JournalEntry record;
    RunOutcome outcome;
    bool settingsKept = false; // the journal holds device settings the write keeps
};

// The plan's read of the flash, when it is no one's backup.
void DropStoreRead(const ToolRun &run)
{
    std::error_code ec;
    if (run.storeRead && !run.storeRead->backup.file.empty())
        std::filesystem::remove(run.storeRead->backup.file, ec);
}

// An earlier write to this bridge that was cut: the same write finishes it,
// with the checks that read the running firmware waived (a half written
// flash answers them wrongly) and the settings it saved kept.
void FindCutWrite(ToolRun &run)
{
    const ToolArgs &args = run.args;
    const DeviceEntry &entry = run.chosen.entry;
    const std::uint8_t code = run.chosen.state.chip.ChipTypeCode;
    PlannedWrite &write = run.write;
    write.bridge = BridgeJournalKey(entry.path);
    write.device = entry.path;
    write.series = run.chosen.state.bridge.series;
    write.chipCode = code;
    write.erase = args.mode == ToolMode::Erase;
    write.firmware = args.mode == ToolMode::Program ? args.file : "";
    run.unfinished = OpenJournalEntry(write.bridge);
    const std::optional<JournalEntry> &unfinished = run.unfinished;
    run.sameChip = unfinished && unfinished->chipCode == code;
    run.finishing = unfinished && args.mode != ToolMode::Backup && RepeatsCutWrite(*unfinished, write);
    if (unfinished && args.mode != ToolMode::Backup) {
        run.view.endLine();
        SayNote(std::cout).as(MessageCode::Unfinished)
            << UnfinishedText(*unfinished)
            << (run.finishing
                    ? "; this run finishes it"
                    : "; `" +
                          NextStepOf(entry.path, run.chosen.state.bridge.runsFromRom, entry.damagedBank, code)
                              .command +
                          "` finishes it")
            << (unfinished->backup.empty() ? "" : "; the backup made before it: " + unfinished->backup);
    }
}

// The plan of update FILE: the file, the options, the run's own checks and
// the versions, weighed as every plan of an update weighs them. A file whose
// version the tool does not read is weighed against the flash itself: it is
// read once, before the question, into the backup file the write then keeps
// (a temporary one with --no-backup).
void PlanFile(ToolRun &run)
{
    const ToolArgs &args = run.args;
    const ChosenBridge &chosen = run.chosen;
    const WriteOptions &options = run.ctx.write;
    PlanRequest asked = UpdateRequest(chosen.state, chosen.settings, chosen.candidateCount, args.file,
                                      args.includeNvram, args.readWriteBuffer, args.versions);
    asked.transfer = chosen.transfer;
    asked.changedOnly = options.changedOnly;
    AskSerial(asked.run, options.serial);
    asked.productSerial = !options.serial.empty();
    asked.readStore = [&]() -> const std::vector<std::uint8_t> * {
        if (!run.storeRead) {
            run.storeRead = ReadStore(asked.run, chosen.entry.bus, chosen.entry.path, run.host,
                                      chosen.state.bridge.series, !options.noBackup);
            run.view.endLine();
        }
        return run.storeRead->bytes.empty() ? nullptr : &run.storeRead->bytes;
    };
    run.decided = PlanUpdate(chosen.state, chosen.entry, asked);
    run.newVersion = run.decided.to;
    run.order = run.decided.order;
    ReportField("refusal", RefusalJson(run.decided.refusal));
    ReportField("layout", LayoutJson(run.decided.layout));
}

// The options of backup and erase that the bridge must offer (an update's
// plan has weighed them): kExitOk, or the usage error after saying why.
int CheckServiceOptions(const ToolRun &run)
{
    const ToolArgs &args = run.args;
    const SelectedBridge &selected = run.chosen.state.bridge;
    if (args.mode != ToolMode::Program && args.includeNvram && !selected.nvramOffered) {
        SayError().as(MessageCode::Usage) << "--include-nvram: this bridge has no 4K NVRAM area to include";
        return kExitUsage;
    }
    if (args.mode != ToolMode::Program && args.readWriteBuffer && !selected.bufferPath) {
        SayError().as(MessageCode::Usage)
            << "--read-write-buffer: this bridge does not offer the buffer transfer";
        return kExitUsage;
    }
    return kExitOk;
}

// The run request of the verb, and what its write does to the settings area.
void BuildRequest(ToolRun &run)
{
    const ToolArgs &args = run.args;
    const ChosenBridge &chosen = run.chosen;
    RunRequest &req = run.req;
    req = VerbRequest(chosen.state, chosen.settings, chosen.candidateCount, args.mode, args.file,
                      args.includeNvram);
    if (args.mode == ToolMode::Program) {
        AskSerial(req, run.ctx.write.serial);
        ApplyChangedOnly(req, run.decided);
        if (run.ctx.write.changedOnly && run.decided.writes() && !run.decided.wholeImageWhy.empty())
            SayNote() << "--changed-only: " << chosen.entry.path
                      << " takes the whole image: " << run.decided.wholeImageWhy;
    }
    // What the write does to the settings area: the plan's verdict for an
    // update, the same decision for an erase.
    run.settings = args.mode == ToolMode::Program ? run.decided.settings
                                                  : DecideSettings(chosen.state.chip, chosen.entry.bus, req,
                                                                   chosen.state.bridge.nvramOffered);
    // The backup verb saves the flash as it is, whole, unless the window's
    // range is asked for (its family's backup length, the settings area left
    // out unless --include-nvram).
    if (args.mode == ToolMode::Backup && !args.windowRange) {
        req.includeNvram = true;
        req.wholeFlash = true;
    }
}

// The bridge runs the file's version already, or its flash holds the file:
// says so, and the exit code that tells it.
int SayAlreadyInstalled(const ToolRun &run)
{
    const UpdatePlan &decided = run.decided;
    const std::string &path = run.chosen.entry.path;
    if (decided.storeHoldsFile) {
        std::cout << "already installed: " << path << ": " << decided.reason << "; nothing was written"
                  << (decided.reinstallRefused ? "\n" : " (--allow-reinstall writes it again)\n");
        return kExitNothingToDo;
    }
    std::cout << "already installed: " << path << " runs version "
              << UserVersion(run.chosen.state.bridge.version) << ", the version of " << run.args.file
              << "; nothing was written"
              << (decided.reinstallRefused ? "\n" : " (--allow-reinstall writes it again)\n");
    return kExitNothingToDo;
}

// A file the plan refuses is refused before the guard's checks, question and
// backup: says why, in a message that names the values a script needs, and
// returns the exit code that tells it.
int RefusePlan(ToolRun &run)
{
    const UpdatePlan &decided = run.decided;
    const DeviceEntry &entry = run.chosen.entry;
    const std::string &file = run.args.file;
    const std::string &version = run.chosen.state.bridge.version;
    DropStoreRead(run);
    // Nothing is written: the firmware after is the one before.
    ReportVersions(version, version);
    ReportReason(decided.reason);
    NoteRun(decided.action == PlanAction::NothingToDo ? "already installed" : "refused: " + decided.reason);
    const auto refusing = [&](MessageCode code) {
        return Saying(Severity::Error, std::cerr, code,
                      {{"device", entry.path}, {"file", file}, {"refusal", RefusalJson(decided.refusal)}});
    };
    switch (decided.refusal) {
    case PlanRefusal::FileDoesNotFit:
        refusing(MessageCode::Refused)
            << file << ": " << LoadRefusal(decided.check, run.chosen.state.chip, file)
            << "; nothing was written";
        return kExitUsage;
    case PlanRefusal::FlashRefusesFile: {
        // Run as the window runs it, so that its status says the refusal too.
        const RunOutcome refused = RunRequested(run.req, entry.bus, entry.path, run.host);
        const std::string why = refused.reason.empty() ? decided.reason : refused.reason;
        run.view.endLine();
        refusing(MessageCode::Refused) << file << ": " << why << "; nothing was written";
        return kExitUsage;
    }
    case PlanRefusal::OlderVersion:
        refusing(MessageCode::Refused)
            << file << ": version " << UserVersion(run.newVersion) << " is older than the running "
            << UserVersion(version) << "; nothing was written (--allow-older writes it)";
        return kExitUsage;
    case PlanRefusal::None:
        return SayAlreadyInstalled(run);
    case PlanRefusal::RunsFromRom:
    case PlanRefusal::AreaNotFree:
    case PlanRefusal::BufferNotReady:
        refusing(MessageCode::Refused) << file << ": " << decided.reason << "; nothing was written";
        return kExitUsage;
    case PlanRefusal::NotSupported:
    case PlanRefusal::NoNvramArea:
    case PlanRefusal::NoBufferPath:
    case PlanRefusal::NoSerialRecord:
        refusing(decided.refusal == PlanRefusal::NotSupported ? MessageCode::NotSupported
                                                              : MessageCode::Usage)
            << decided.reason;
        return kExitUsage;
    }
    return kExitUsage;
}

// The backup verb: the flash (or disk area) saved, and where the file is.
void RunBackup(ToolRun &run)
{
    const DeviceEntry &entry = run.chosen.entry;
    const RunOutcome &outcome = run.outcome;
    run.outcome = RunRequested(run.req, entry.bus, entry.path, run.host);
    const std::string saved = outcome.ok() ? outcome.backupFile : "";
    NoteRun(RunText(outcome), saved);
    std::error_code ec;
    const std::uint64_t bytes = saved.empty() ? 0 : std::filesystem::file_size(saved, ec);
    const bool disk = outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate;
    if (!saved.empty())
        ReportBackup(saved, bytes, disk ? "disk area" : "flash");
    ReportVersions(run.chosen.state.bridge.version, run.chosen.state.bridge.version);
    run.view.endLine();
    if (!saved.empty())
        std::cout << "backup: " << std::filesystem::absolute(saved, ec).string() << " holds bytes 0x0-"
                  << HexNumber(bytes == 0 ? 0 : bytes - 1) << " of the "
                  << (disk ? "disk's firmware area" : "flash")
                  << (run.req.includeNvram || disk ? "" : ", without the device's settings area") << "\n";
}

// What the guard shows before it asks: the write, the chip, the firmware and
// the change of version, and how much of the flash changes.
WritePlan DescribeToolWrite(const ToolRun &run)
{
    const SelectedBridge &selected = run.chosen.state.bridge;
    const UpdatePlan &decided = run.decided;
    WritePlan plan = DescribeWrite(
        run.chosen.state, run.chosen.entry.path, run.chosen.item,
        RequestWriteText(run.req, run.settings,
                         "write a firmware file for this chip with 'brigant-fw update FILE' before the "
                         "power is turned off"));
    plan.chip = selected.series.empty() ? "unknown" : selected.series;
    plan.firmware = RunningFirmwareText(selected);
    if (run.args.mode == ToolMode::Program)
        plan.versionChange =
            VersionChangeText(UserVersion(selected.version), UserVersion(run.newVersion), run.order);
    if (decided.storeCompared)
        plan.difference = DifferenceText(decided.storeDifference);
    if (decided.changedOnly)
        plan.difference += "; only the " + std::to_string(Covered(decided.layout->erase) / 1024) +
                           " KiB of blocks that hold them are erased and programmed";
    return plan;
}

// The backup before the write; the flash read for the plan is that backup,
// not read again. `backupFile` is the file it saved (empty: none).
BackupResult BackUpBeforeWrite(ToolRun &run, std::string &backupFile)
{
    const std::optional<StoreRead> &storeRead = run.storeRead;
    if (storeRead && storeRead->backup.outcome == BackupResult::Outcome::Saved &&
        !storeRead->backup.file.empty()) {
        backupFile = storeRead->backup.file;
        return storeRead->backup;
    }
    const DeviceEntry &entry = run.chosen.entry;
    BackupResult backup =
        BackupThroughRequest(run.req, entry.bus, entry.path, run.host, run.chosen.state.bridge.series, "");
    if (backup.outcome == BackupResult::Outcome::Saved)
        backupFile = backup.file;
    return backup;
}

// --serial: what the flash's serial record reads back after the write.
void ReportSerial(const ToolRun &run)
{
    if (!run.req.serial.write || run.args.mode != ToolMode::Program)
        return;
    const auto &read = run.outcome.productSerialRead;
    ReportField("serial", {{"written", run.req.serial.text},
                           {"readBack", read ? nlohmann::json(*read) : nlohmann::json()}});
    if (read && *read == run.req.serial.text)
        std::cout << "product serial: " << *read << " (read back from the flash)\n";
}

// Update and erase: a write only after the guard's checks, question and
// backup, with the journal entry kept around it. -1 when the run went ahead;
// else the exit code of the guard's stop.
int RunWrite(ToolRun &run)
{
    const DeviceEntry &entry = run.chosen.entry;
    const ToolMode mode = run.args.mode;
    ReportField("settings", SettingsFateName(run.settings));
    bool noTerminal = false;
    const WritePlan plan = DescribeToolWrite(run);
    run.record = run.finishing ? *run.unfinished : JournalEntry{};
    std::string backupFile;
    run.host.followJournal(&run.record,
                           run.sameChip ? run.unfinished->settings : std::vector<std::uint8_t>{});
    const GuardedRun guarded = RunGuarded(
        entry.path, plan,
        CliWriteGuard(run.ctx,
                      mode == ToolMode::Erase ? "erase will write:" : "update will write:", noTerminal),
        [&] { return BackUpBeforeWrite(run, backupFile); },
        [&] {
            if (!run.finishing)
                run.record = NewJournalEntry(run.write, backupFile);
            JournalWrite(run.record, run.view);
            run.outcome = RunRequested(run.req, entry.bus, entry.path, run.host);
            CheckSerialReadBack(run.req, run.outcome);
            JournalOutcome(run.record, run.outcome, run.finishing);
        });
    // Stopped before the backup was taken (declined, mounted, ...): the
    // plan's read of the flash is no one's backup.
    if (guarded.stop != GuardedRun::Stop::None && !guarded.backedUp)
        DropStoreRead(run);
    run.settingsKept = !run.record.settings.empty();
    NoteRun(RunText(run.outcome), SavedBackup(guarded));
    ReportSerial(run);
    // What the flash holds now: the file's version once verified; the
    // old one while nothing was written.
    const std::string &version = run.chosen.state.bridge.version;
    const bool wrote =
        guarded.stop == GuardedRun::Stop::None && run.outcome.result != RunOutcome::Result::Refused;
    ReportVersions(version, !wrote                                          ? version
                            : run.outcome.ok() && mode == ToolMode::Program ? run.newVersion
                                                                            : "");
    run.view.endLine(); // a stop ends the progress line of the read before it
    return ReportGuard(guarded, entry.path, noTerminal);
}

// What the user must do after the run, said with --quiet too.
void SayNextSteps(const ToolRun &run)
{
    const ToolMode mode = run.args.mode;
    const RunOutcome &outcome = run.outcome;
    const std::uint8_t code = run.chosen.state.chip.ChipTypeCode;
    if (outcome.powerCycleAdvised)
        std::cout << "Turn the bridge's power off and on again: it starts its "
                  << (mode == ToolMode::Erase ? "ROM" : "new firmware") << " then.\n";
    if (mode == ToolMode::Erase && outcome.ok())
        std::cout << "The flash is erased: the bridge "
                  << (code >= 15 && code <= 18 ? "runs from its ROM" : "has no firmware")
                  << " until firmware is written to it again: "
                  << (code == kOneButtonChipType
                          ? "`brigant-fw recover` writes the built-in image, `brigant-fw recover FILE` a file"
                      : code >= 15 && code <= 18 ? "`brigant-fw recover FILE` writes a firmware file"
                                                 : "`brigant-fw update FILE` writes a firmware file")
                  << ".\n";
    if (outcome.result == RunOutcome::Result::Failed && mode != ToolMode::Backup)
        std::cout << "The update journal keeps this " << (mode == ToolMode::Erase ? "erase" : "update")
                  << " open: run `"
                  << (mode == ToolMode::Erase ? "brigant-fw erase" : "brigant-fw update " + run.args.file)
                  << "` again to finish it"
                  << (run.settingsKept ? " (the device's settings saved before it are kept)" : "") << ".\n";
    if (outcome.result == RunOutcome::Result::Failed && mode == ToolMode::Program)
        std::cout << kVerifyAdvice << "`brigant-fw verify " << run.args.file << "`.\n";
}

// How the run ended, what to do next, and the exit code that tells it; waits
// for a bridge that resets itself to come back.
int ReportToolOutcome(const ToolRun &run)
{
    const RunOutcome &outcome = run.outcome;
    run.view.result(RunText(outcome), outcome.ok());
    // The status says "refused: ..." or "FAILED (during ...): ..."; the
    // reason is the cause alone, as a refusal of the plan gives it.
    if (!outcome.ok())
        ReportReason(outcome.reason.empty() ? RunText(outcome) : outcome.reason);
    SayNextSteps(run);
    AwaitReturn(run.chosen.entry, run.host, outcome);
    if (outcome.result == RunOutcome::Result::Refused)
        return outcome.deviceUnanswered ? kExitFailed : kExitUsage;
    return outcome.ok() ? kExitOk : kExitFailed;
}

} // namespace

int RunFullTool(CliContext &ctx, const ToolArgs &args)
{
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);

    // 1. The device: this run's from its first command, then identified.
    ChosenBridge chosen;
    if (const int rc = ChooseTarget(ctx, args.index, chosen); rc != kExitOk)
        return rc;
    const SelectedBridge &selected = chosen.state.bridge;
    const std::uint8_t code = chosen.state.chip.ChipTypeCode;
    view->endLine();
    PrintDeviceLine(chosen.entry.path, selected, code);
    if (!selected.supported) {
        std::cout << "this bridge cannot be updated: chip type code " << static_cast<int>(code) << "\n";
        return kExitNoDevice;
    }
    CliRunHost host(*view, ctx.style, chosen.transfer);
    host.erasing(args.mode == ToolMode::Erase);
    ToolRun run{ctx, args, *view, chosen, host};
    FindCutWrite(run);

    // 2. The plan (of an update), 3. the options the bridge offers and the
    // request.
    if (args.mode == ToolMode::Program)
        PlanFile(run);
    run.write.from = UserVersion(selected.version);
    run.write.to = UserVersion(run.newVersion);
    if (const int rc = CheckServiceOptions(run); rc != kExitOk)
        return rc;
    BuildRequest(run);

    // 4. The run: a write only after the guard's checks, question and
    // backup; a file the plan refuses is refused before all of them.
    if (args.mode == ToolMode::Program && !run.decided.writes())
        return RefusePlan(run);
    if (args.mode == ToolMode::Backup)
        RunBackup(run);
    else if (const int stopped = RunWrite(run); stopped >= 0)
        return stopped;
    return ReportToolOutcome(run);
}

} // namespace brigant::cli
