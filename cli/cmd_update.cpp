// brigant-fw update: the full tool's Run with a firmware file; brigant-fw
// backup and erase: its service modes; update --embedded: the one-button
// update. The bridge is identified as the window's selection does; the verbs
// then check the file as Load File does, build their run request and run it
// with the command line as its host, whichever family the bridge needs.
#include "app/bridge_state.h"
#include "app/check_report.h"
#include "app/file_verdict.h"
#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/one_button_run.h"
#include "app/quiet_host.h"
#include "app/run_dispatch.h"
#include "app/update_journal.h"
#include "app/update_plan.h"
#include "app/write_guard.h"
#include "cli/chosen_bridge.h"
#include "cli/cli_context.h"
#include "cli/cli_host.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/progress_view.h"
#include "cli/say.h"
#include "cli/station_serials.h"
#include "cli/update_all.h"
#include "cli/user_text.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "common/hex.h"
#include "device/enumerator.h"
#include "device/transport.h"
#include "identify/chip_identify.h"
#include "image/chip_types.h"
#include "image/firmware_file.h"
#include "image/firmware_version.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <unistd.h>

namespace brigant::cli
{

namespace
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

// After a failed update: the way to tell where the bridge stands on a
// computer that lacks this one's journal (the bridge moved).
constexpr const char *kVerifyAdvice =
    "Whether the flash holds the image, on this computer or another, tells ";

void NoteRun(const std::string &status, const std::string &backupFile = {})
{
    ReportStatus(status);
    if (!backupFile.empty())
        ReportBackup(backupFile);
}

// Writes the journal entry; a journal that cannot be written is said, and
// the write goes on (the backup still holds the old flash).
void JournalWrite(JournalEntry &record, ProgressView &view)
{
    std::string error;
    if (!WriteJournalEntry(record, error)) {
        view.endLine();
        SayWarning().as(MessageCode::Journal) << "the update journal: " << error;
    }
}

// After the run: the journal entry closed as the outcome says.
void JournalOutcome(JournalEntry &record, const RunOutcome &outcome, bool finishing)
{
    CloseJournalEntry(record, outcome.ok(), outcome.result == RunOutcome::Result::Refused, finishing);
}

// The backup a guarded run saved before writing (empty: none); its range
// goes to the report.
std::string SavedBackup(const GuardedRun &run)
{
    if (!run.backedUp || run.backup.outcome != BackupResult::Outcome::Saved)
        return "";
    ReportBackup(run.backup.file, run.backup.saved, run.backup.area);
    return run.backup.file;
}

// The run a verb asks for, in the verb's mode.
RunRequest VerbRequest(const BridgeState &state, const INI_STATE &settings, int candidateCount, ToolMode mode,
                       const std::string &file, bool includeNvram)
{
    return VerbRunRequest(state, settings, candidateCount,
                          mode == ToolMode::Program ? RunMode::Update
                          : mode == ToolMode::Erase ? RunMode::EraseOnly
                                                    : RunMode::BackupOnly,
                          file, includeNvram);
}

std::string RunText(const RunOutcome &outcome);

// A write of the product serial record that does not read back as written
// is a failed run, whatever the image did.
void CheckSerialReadBack(const RunRequest &req, RunOutcome &outcome)
{
    if (!req.serial.write || req.mode != RunMode::Update || !outcome.ok())
        return;
    const auto &read = outcome.productSerialRead;
    if (read && *read == req.serial.text)
        return;
    outcome.result = RunOutcome::Result::Failed;
    outcome.reason =
        !read ? "the product serial record was not read back from the flash"
              : "the product serial record reads back \"" + *read + "\", not \"" + req.serial.text + "\"";
}

// --serial: the run writes the product serial record with `serial` (none
// when empty).
void AskSerial(RunRequest &run, const std::string &serial)
{
    run.serial.write = !serial.empty();
    run.serial.text = serial;
}

// What update FILE asks of the plan for a bridge.
PlanRequest UpdateRequest(const BridgeState &state, const INI_STATE &settings, int candidateCount,
                          const std::string &file, bool includeNvram, bool readWriteBuffer,
                          const VersionOptions &versions)
{
    PlanRequest request;
    request.file = file;
    request.includeNvram = includeNvram;
    request.readWriteBuffer = readWriteBuffer;
    request.versions = versions;
    request.run = VerbRequest(state, settings, candidateCount, ToolMode::Program, file, includeNvram);
    return request;
}

// After a write: a bridge that resets itself (the run's outcome says so)
// leaves the bus and comes back a few seconds later; the run ends with it
// back, not in its absence: when the run did not see it again, it is waited
// for until the platform lists a disk where it is plugged in (at most
// kReturnWaitMs).
constexpr std::uint32_t kReturnWaitMs = 15000;

void AwaitReturn(const DeviceEntry &entry, const CliRunHost &host, const RunOutcome &outcome)
{
    if (!outcome.ok() || !outcome.bridgeReattaches || !host.returnedAt().empty())
        return;
    Clock &clock = ProgramClock();
    const std::uint64_t end = clock.nowMs() + kReturnWaitMs;
    while (clock.nowMs() < end) {
        std::vector<DiskInterface> disks;
        if (DiskEnumerator *enumerator = CurrentDiskEnumerator(); enumerator && enumerator->listDisks(disks))
            for (const DiskInterface &disk : disks)
                if (entry.location.empty() ? disk.path == entry.path : disk.location == entry.location)
                    return;
        clock.sleepMs(100);
    }
}

// The bridge a verb acts on: chosen, identified, and named in the report.
int ChooseTarget(CliContext &ctx, int index, ChosenBridge &chosen)
{
    if (const int rc = ChooseBridge(ctx, index, chosen); rc != kExitOk)
        return rc;
    NoteWriteTarget(chosen.state.chip.ChipTypeCode);
    ReportDevice(chosen.entry.path, chosen.state.bridge.series, chosen.state.chip.ChipTypeCode);
    return kExitOk;
}

int RunUpdate(CliContext &ctx, const UpdateArgs &args)
{
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    const int index = args.index < 0 ? 0 : args.index;
    ChosenBridge chosen;
    ReadSettings(chosen.settings);
    const BridgeList list = DiscoverBridges();
    const int listed = static_cast<int>(list.listed.size());
    OneButtonDecision decided;
    decided.state = OneButtonState::NoDevice;
    if (listed == 0) {
        WarnWhenDisksUnlisted();
        if (!ReportAccessProblem(ctx.runtime))
            ReportUnaskedDisks(true);
    } else {
        // The bridge is this run's from here, then identified and judged as
        // the one-button face judges it.
        if (const int rc = ChooseListed(ctx, list, args.index, chosen); rc != kExitOk)
            return rc;
        decided = DecideOneButton(chosen.entry, chosen.state.chip.ChipTypeCode, false);
        NoteWriteTarget(chosen.state.chip.ChipTypeCode);
        ReportDevice(chosen.entry.path, chosen.state.bridge.series, chosen.state.chip.ChipTypeCode);
    }
    view->endLine();
    const SelectedBridge &selected = chosen.state.bridge;
    const bool offered = decided.buttonEnabled && decided.state != OneButtonState::RunsFromRom;
    // A cut one-button update may leave a bridge that reports the new
    // version over a half-written flash: the journal's open entry for the
    // built-in image lets the same update finish it.
    PlannedWrite write;
    if (listed > 0) {
        write.bridge = BridgeJournalKey(chosen.entry.path);
        write.device = chosen.entry.path;
    }
    write.series = selected.series;
    write.chipCode = chosen.state.chip.ChipTypeCode;
    write.builtIn = true;
    write.from = UserVersion(selected.version);
    write.to = BuiltInImageVersion();
    const std::optional<JournalEntry> unfinished = OpenJournalEntry(write.bridge);
    // (The face offers the update again while the journal holds it open.)
    const bool finishing = unfinished && RepeatsCutWrite(*unfinished, write) && offered;
    if (unfinished)
        SayNote(std::cout).as(MessageCode::Unfinished)
            << UnfinishedText(*unfinished)
            << (finishing
                    ? "; this run finishes it"
                    : "; `" +
                          NextStepOf(write.device,
                                     selected.runsFromRom || decided.state == OneButtonState::RunsFromRom,
                                     chosen.entry.damagedBank, chosen.state.chip.ChipTypeCode)
                              .command +
                          "` finishes it");
    // A cut update of the built-in image that left the bridge in its ROM is
    // finished by the recovery, which writes that image: the advice of the
    // cut run works, as the window's button does.
    if (decided.state == OneButtonState::RunsFromRom && unfinished && !unfinished->builtIn.empty()) {
        std::cout << "the bridge runs from its ROM: the recovery writes the built-in image and finishes it\n";
        return RecoverVerb(ctx, index);
    }
    if (!offered) {
        const OneButtonState state = decided.state;
        const OneButtonVerdict verdict = DescribeOneButton(state, false, index);
        std::cout << "update not offered: " << verdict.text << "\n";
        NoteRun(verdict.key);
        ReportVersions(selected.version, selected.version);
        if (state != OneButtonState::Current)
            ReportReason(verdict.text);
        if (state == OneButtonState::NotSupported && listed > 1)
            SayError().as(MessageCode::NotSupported)
                << "the selected bridge (--index " << index << ") is not a chip type code "
                << kOneButtonChipType << " bridge; choose another with --index (0 to " << listed - 1 << ")";
        if (state == OneButtonState::Current)
            return kExitNothingToDo;
        if (state == OneButtonState::NoDevice || state == OneButtonState::NotSupported || listed == 0)
            return kExitNoDevice;
        return kExitFailed;
    }
    const std::string path = chosen.entry.path;
    bool noTerminal = false;
    bool passed = false;
    RunOutcome outcome;
    const std::string image = "the built-in image " + BuiltInImageVersion();
    JournalEntry record = finishing ? *unfinished : JournalEntry{};
    std::string backupFile;
    CliRunHost host(*view, ctx.style, chosen.transfer);
    const GuardedRun run = RunGuarded(
        path, DescribeWrite(chosen.state, path, chosen.item, image),
        CliWriteGuard(ctx, "update --embedded will write:", noTerminal),
        [&] {
            BackupResult backup = BackupThroughBuffer(path, selected.series, host, "");
            if (backup.outcome == BackupResult::Outcome::Saved)
                backupFile = backup.file;
            return backup;
        },
        [&] {
            view->endLine();
            std::cout << "updating " << path << " to " << image << "\n";
            if (!finishing)
                record = NewJournalEntry(write, backupFile);
            JournalWrite(record, *view);
            outcome = RunWatched(host, [&](RunHost &watched) {
                return RunEmbeddedUpdate(VerbRequest(chosen.state, chosen.settings, chosen.candidateCount,
                                                     ToolMode::Program, "", false),
                                         watched, path, [] {});
            });
            passed = outcome.ok();
            JournalOutcome(record, outcome, finishing);
        });
    const OneButtonState state = passed ? OneButtonState::Passed : OneButtonState::Failed;
    NoteRun(DescribeOneButton(state, false).key, SavedBackup(run));
    ReportVersions(selected.version, passed ? BuiltInImageVersion() : "");
    if (const int stopped = ReportGuard(run, path, noTerminal); stopped >= 0)
        return stopped;
    view->result(RunText(outcome), passed);
    if (!passed)
        ReportReason(DescribeOneButton(state, false, index).text);
    if (ctx.style.verbosity != Verbosity::Quiet)
        std::cout << DescribeOneButton(state, false, index).text << "\n";
    if (!passed)
        std::cout << "The update journal keeps this update open: run `brigant-fw update --embedded` again to "
                     "finish it.\n"
                  << kVerifyAdvice << "`brigant-fw verify --embedded`.\n";
    AwaitReturn(chosen.entry, host, outcome);
    return passed ? kExitOk : kExitFailed;
}

// How a run ended, in the command line's words.
std::string RunText(const RunOutcome &outcome)
{
    switch (outcome.result) {
    case RunOutcome::Result::Success:
        return "success";
    case RunOutcome::Result::Refused:
        return "refused: " + outcome.reason;
    case RunOutcome::Result::Failed:
        break;
    }
    std::string text = outcome.lastPhase.empty() ? "FAILED" : "FAILED (during " + outcome.lastPhase + ")";
    return outcome.reason.empty() ? text : text + ": " + outcome.reason;
}

// The running firmware as the command line names it.
std::string RunningFirmwareText(const SelectedBridge &selected)
{
    if (selected.version.empty())
        return "unknown";
    return UserVersion(selected.version) + (selected.releaseFirmware ? "" : " (an internal build)");
}

// The line that names the bridge a verb works on, once identified.
void PrintDeviceLine(const std::string &path, const SelectedBridge &selected, std::uint8_t code)
{
    std::cout << "device " << path << ": " << (selected.series.empty() ? "unknown" : selected.series)
              << " (code " << static_cast<int>(code) << "), firmware " << RunningFirmwareText(selected)
              << "\n";
}

// "from RUNNING to NEW", saying which of the two could not be read and
// whether they compare.
std::string VersionChangeText(const std::string &running, const std::string &next, VersionOrder order)
{
    const std::string from = running.empty() ? "(the running version could not be read)" : running;
    const std::string to = next.empty() ? "(the file's version is not known)" : next;
    std::string text = "from " + from + " to " + to;
    if (!running.empty() && !next.empty()) {
        if (order == VersionOrder::Same)
            text += " (the same version)";
        else if (order == VersionOrder::Older)
            text += " (an older version)";
        else if (order == VersionOrder::Unknown)
            text += " (the two cannot be compared)";
    }
    return text;
}

int RunFullTool(CliContext &ctx, ToolMode mode, int index, const std::string &file, bool includeNvram,
                bool readWriteBuffer, const VersionOptions &versions = {}, bool windowRange = false)
{
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);

    // 1. The device: this run's from its first command, then identified.
    ChosenBridge chosen;
    if (const int rc = ChooseTarget(ctx, index, chosen); rc != kExitOk)
        return rc;
    const SelectedBridge &selected = chosen.state.bridge;
    const DeviceEntry entry = chosen.entry;
    const std::uint8_t code = chosen.state.chip.ChipTypeCode;
    view->endLine();
    PrintDeviceLine(entry.path, selected, code);
    if (!selected.supported) {
        std::cout << "this bridge cannot be updated: chip type code " << static_cast<int>(code) << "\n";
        return kExitNoDevice;
    }

    // An earlier write to this bridge that was cut: the same write finishes
    // it, with the checks that read the running firmware waived (a half
    // written flash answers them wrongly) and the settings it saved kept.
    PlannedWrite write;
    write.bridge = BridgeJournalKey(entry.path);
    write.device = entry.path;
    write.series = selected.series;
    write.chipCode = code;
    write.erase = mode == ToolMode::Erase;
    write.firmware = mode == ToolMode::Program ? file : "";
    const std::optional<JournalEntry> unfinished = OpenJournalEntry(write.bridge);
    const bool sameChip = unfinished && unfinished->chipCode == code;
    const bool finishing = unfinished && mode != ToolMode::Backup && RepeatsCutWrite(*unfinished, write);
    if (unfinished && mode != ToolMode::Backup) {
        view->endLine();
        SayNote(std::cout).as(MessageCode::Unfinished)
            << UnfinishedText(*unfinished)
            << (finishing
                    ? "; this run finishes it"
                    : "; `" + NextStepOf(entry.path, selected.runsFromRom, entry.damagedBank, code).command +
                          "` finishes it")
            << (unfinished->backup.empty() ? "" : "; the backup made before it: " + unfinished->backup);
    }

    // 2. The plan: the file, the options, the run's own checks and the
    // versions, weighed as every plan of an update weighs them.
    // A file whose version the tool does not read is weighed against the
    // flash itself: it is read once, before the question, into the backup
    // file the write then keeps (a temporary one with --no-backup).
    std::string newVersion;
    VersionOrder order = VersionOrder::Unknown;
    UpdatePlan decided;
    CliRunHost host(*view, ctx.style, chosen.transfer);
    host.erasing(mode == ToolMode::Erase);
    std::optional<StoreRead> storeRead;
    const auto dropStoreRead = [&] {
        std::error_code ec;
        if (storeRead && !storeRead->backup.file.empty())
            std::filesystem::remove(storeRead->backup.file, ec);
    };
    if (mode == ToolMode::Program) {
        PlanRequest asked = UpdateRequest(chosen.state, chosen.settings, chosen.candidateCount, file,
                                          includeNvram, readWriteBuffer, versions);
        asked.transfer = chosen.transfer;
        asked.changedOnly = ctx.write.changedOnly;
        AskSerial(asked.run, ctx.write.serial);
        asked.productSerial = !ctx.write.serial.empty();
        asked.readStore = [&]() -> const std::vector<std::uint8_t> * {
            if (!storeRead) {
                storeRead =
                    ReadStore(asked.run, entry.bus, entry.path, host, selected.series, !ctx.write.noBackup);
                view->endLine();
            }
            return storeRead->bytes.empty() ? nullptr : &storeRead->bytes;
        };
        decided = PlanUpdate(chosen.state, entry, asked);
        newVersion = decided.to;
        order = decided.order;
        ReportField("refusal", RefusalJson(decided.refusal));
        ReportField("layout", LayoutJson(decided.layout));
    }
    write.from = UserVersion(selected.version);
    write.to = UserVersion(newVersion);

    // 3. The options the bridge offers (an update's plan has weighed them).
    if (mode != ToolMode::Program && includeNvram && !selected.nvramOffered) {
        SayError().as(MessageCode::Usage) << "--include-nvram: this bridge has no 4K NVRAM area to include";
        return kExitUsage;
    }
    if (mode != ToolMode::Program && readWriteBuffer && !selected.bufferPath) {
        SayError().as(MessageCode::Usage)
            << "--read-write-buffer: this bridge does not offer the buffer transfer";
        return kExitUsage;
    }
    RunRequest req =
        VerbRequest(chosen.state, chosen.settings, chosen.candidateCount, mode, file, includeNvram);
    if (mode == ToolMode::Program) {
        AskSerial(req, ctx.write.serial);
        ApplyChangedOnly(req, decided);
        if (ctx.write.changedOnly && decided.writes() && !decided.wholeImageWhy.empty())
            SayNote() << "--changed-only: " << entry.path
                      << " takes the whole image: " << decided.wholeImageWhy;
    }
    // What the write does to the settings area: the plan's verdict for an
    // update, the same decision for an erase.
    const SettingsFate settings =
        mode == ToolMode::Program ? decided.settings
                                  : DecideSettings(chosen.state.chip, entry.bus, req, selected.nvramOffered);
    // The backup verb saves the flash as it is, whole, unless the window's
    // range is asked for (its family's backup length, the settings area left
    // out unless --include-nvram).
    if (mode == ToolMode::Backup && !windowRange) {
        req.includeNvram = true;
        req.wholeFlash = true;
    }

    // 4. The run: a write only after the guard's checks, question and
    // backup; a file the plan refuses is refused before all of them.
    if (mode == ToolMode::Program && !decided.writes()) {
        dropStoreRead();
        // Nothing is written: the firmware after is the one before.
        ReportVersions(selected.version, selected.version);
        ReportReason(decided.reason);
        NoteRun(decided.action == PlanAction::NothingToDo ? "already installed"
                                                          : "refused: " + decided.reason);
        // The refusal's message names the values a script needs.
        const auto refusing = [&](MessageCode code) {
            return Saying(
                Severity::Error, std::cerr, code,
                {{"device", entry.path}, {"file", file}, {"refusal", RefusalJson(decided.refusal)}});
        };
        switch (decided.refusal) {
        case PlanRefusal::FileDoesNotFit:
            refusing(MessageCode::Refused)
                << file << ": " << LoadRefusal(decided.check, chosen.state.chip, file)
                << "; nothing was written";
            return kExitUsage;
        case PlanRefusal::FlashRefusesFile: {
            // Run as the window runs it, so that its status says the refusal too.
            const RunOutcome refused = RunRequested(req, entry.bus, entry.path, host);
            const std::string why = refused.reason.empty() ? decided.reason : refused.reason;
            view->endLine();
            refusing(MessageCode::Refused) << file << ": " << why << "; nothing was written";
            return kExitUsage;
        }
        case PlanRefusal::OlderVersion:
            refusing(MessageCode::Refused)
                << file << ": version " << UserVersion(newVersion) << " is older than the running "
                << UserVersion(selected.version) << "; nothing was written (--allow-older writes it)";
            return kExitUsage;
        case PlanRefusal::None:
            if (decided.storeHoldsFile) {
                std::cout << "already installed: " << entry.path << ": " << decided.reason
                          << "; nothing was written"
                          << (decided.reinstallRefused ? "\n" : " (--allow-reinstall writes it again)\n");
                return kExitNothingToDo;
            }
            std::cout << "already installed: " << entry.path << " runs version "
                      << UserVersion(selected.version) << ", the version of " << file
                      << "; nothing was written"
                      << (decided.reinstallRefused ? "\n" : " (--allow-reinstall writes it again)\n");
            return kExitNothingToDo;
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
    }
    RunOutcome outcome;
    bool settingsKept = false; // the journal holds device settings the write keeps
    if (mode == ToolMode::Backup) {
        outcome = RunRequested(req, entry.bus, entry.path, host);
        const std::string saved = outcome.ok() ? outcome.backupFile : "";
        NoteRun(RunText(outcome), saved);
        std::error_code ec;
        const std::uint64_t bytes = saved.empty() ? 0 : std::filesystem::file_size(saved, ec);
        const bool disk = outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate;
        if (!saved.empty())
            ReportBackup(saved, bytes, disk ? "disk area" : "flash");
        ReportVersions(selected.version, selected.version);
        view->endLine();
        if (!saved.empty())
            std::cout << "backup: " << std::filesystem::absolute(saved, ec).string() << " holds bytes 0x0-"
                      << HexNumber(bytes == 0 ? 0 : bytes - 1) << " of the "
                      << (disk ? "disk's firmware area" : "flash")
                      << (req.includeNvram || disk ? "" : ", without the device's settings area") << "\n";
    } else {
        ReportField("settings", SettingsFateName(settings));
        bool noTerminal = false;
        WritePlan plan = DescribeWrite(
            chosen.state, entry.path, chosen.item,
            RequestWriteText(req, settings,
                             "write a firmware file for this chip with 'brigant-fw update FILE' before the "
                             "power is turned off"));
        plan.chip = selected.series.empty() ? "unknown" : selected.series;
        plan.firmware = RunningFirmwareText(selected);
        if (mode == ToolMode::Program)
            plan.versionChange =
                VersionChangeText(UserVersion(selected.version), UserVersion(newVersion), order);
        if (decided.storeCompared)
            plan.difference = DifferenceText(decided.storeDifference);
        if (decided.changedOnly)
            plan.difference += "; only the " + std::to_string(Covered(decided.layout->erase) / 1024) +
                               " KiB of blocks that hold them are erased and programmed";
        JournalEntry record = finishing ? *unfinished : JournalEntry{};
        std::string backupFile;
        host.followJournal(&record, sameChip ? unfinished->settings : std::vector<std::uint8_t>{});
        const GuardedRun run = RunGuarded(
            entry.path, plan,
            CliWriteGuard(ctx,
                          mode == ToolMode::Erase ? "erase will write:" : "update will write:", noTerminal),
            [&] {
                // The flash read for the plan is the backup: not read again.
                if (storeRead && storeRead->backup.outcome == BackupResult::Outcome::Saved &&
                    !storeRead->backup.file.empty()) {
                    backupFile = storeRead->backup.file;
                    return storeRead->backup;
                }
                BackupResult backup =
                    BackupThroughRequest(req, entry.bus, entry.path, host, selected.series, "");
                if (backup.outcome == BackupResult::Outcome::Saved)
                    backupFile = backup.file;
                return backup;
            },
            [&] {
                if (!finishing)
                    record = NewJournalEntry(write, backupFile);
                JournalWrite(record, *view);
                outcome = RunRequested(req, entry.bus, entry.path, host);
                CheckSerialReadBack(req, outcome);
                JournalOutcome(record, outcome, finishing);
            });
        // Stopped before the backup was taken (declined, mounted, ...): the
        // plan's read of the flash is no one's backup.
        if (run.stop != GuardedRun::Stop::None && !run.backedUp)
            dropStoreRead();
        settingsKept = !record.settings.empty();
        NoteRun(RunText(outcome), SavedBackup(run));
        if (req.serial.write && mode == ToolMode::Program) {
            const auto &read = outcome.productSerialRead;
            ReportField("serial", {{"written", req.serial.text},
                                   {"readBack", read ? nlohmann::json(*read) : nlohmann::json()}});
            if (read && *read == req.serial.text)
                std::cout << "product serial: " << *read << " (read back from the flash)\n";
        }
        // What the flash holds now: the file's version once verified; the
        // old one while nothing was written.
        const bool wrote =
            run.stop == GuardedRun::Stop::None && outcome.result != RunOutcome::Result::Refused;
        ReportVersions(selected.version, !wrote                                      ? selected.version
                                         : outcome.ok() && mode == ToolMode::Program ? newVersion
                                                                                     : "");
        view->endLine(); // a stop ends the progress line of the read before it
        if (const int stopped = ReportGuard(run, entry.path, noTerminal); stopped >= 0)
            return stopped;
    }
    view->result(RunText(outcome), outcome.ok());
    // The status says "refused: ..." or "FAILED (during ...): ..."; the
    // reason is the cause alone, as a refusal of the plan gives it.
    if (!outcome.ok())
        ReportReason(outcome.reason.empty() ? RunText(outcome) : outcome.reason);
    // What the user must do next is said with --quiet too.
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
                  << (mode == ToolMode::Erase ? "brigant-fw erase" : "brigant-fw update " + file)
                  << "` again to finish it"
                  << (settingsKept ? " (the device's settings saved before it are kept)" : "") << ".\n";
    if (outcome.result == RunOutcome::Result::Failed && mode == ToolMode::Program)
        std::cout << kVerifyAdvice << "`brigant-fw verify " << file << "`.\n";
    AwaitReturn(entry, host, outcome);
    if (outcome.result == RunOutcome::Result::Refused)
        return outcome.deviceUnanswered ? kExitFailed : kExitUsage;
    return outcome.ok() ? kExitOk : kExitFailed;
}

// The part of the flash verify --raw compares: all of it, or `length` bytes
// from `offset`.
struct RawRange {
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> length;
};

// verify --raw: the flash (or disk area) as the backup mode reads it, whole,
// against `file` byte for byte; the file must be as long as the flash, or as
// the part asked for. Refused (nothing compared) when it is not.
RunOutcome RawVerify(RunRequest req, const DeviceEntry &entry, RunHost &host, const std::string &file,
                     const RawRange &range)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string temp = (fs::temp_directory_path(ec) / "brigant-verify-XXXXXX").string();
    RunOutcome outcome;
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        outcome.reason = "no temporary file for the flash: " + std::string(std::strerror(errno));
        return outcome;
    }
    ::close(fd);
    req.mode = RunMode::BackupOnly;
    req.wholeFlash = true;
    req.includeNvram = true;
    req.backupFile = temp;
    outcome = RunRequested(req, entry.bus, entry.path, host);
    std::ifstream flashIn(temp, std::ios::binary);
    const std::vector<char> flash((std::istreambuf_iterator<char>(flashIn)),
                                  std::istreambuf_iterator<char>());
    fs::remove(temp, ec);
    if (!outcome.ok())
        return outcome;
    const bool disk = outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate;
    const std::string area = disk ? "the disk's firmware area" : "the flash";
    const std::uint64_t fileSize = fs::file_size(file, ec);
    const auto refuse = [&](const std::string &why) {
        outcome.result = RunOutcome::Result::Refused;
        outcome.reason = why + "; nothing was compared";
        return outcome;
    };
    if (ec)
        return refuse("cannot read " + file + ": " + ec.message());
    const std::uint64_t size = flash.size();
    if (!range.length && fileSize != size)
        return refuse(file + " has " + std::to_string(fileSize) + " bytes, " + area + " " +
                      std::to_string(size) + ": give --offset and --length to compare a part");
    const std::uint64_t length = range.length.value_or(size);
    if (range.offset > size || length > size - range.offset)
        return refuse("--offset " + HexNumber(range.offset) + " --length " + std::to_string(length) +
                      " reaches past the end of " + area + " (" + std::to_string(size) + " bytes)");
    if (fileSize != length)
        return refuse(file + " has " + std::to_string(fileSize) + " bytes, --length asks for " +
                      std::to_string(length));
    std::ifstream fileIn(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(fileIn)), std::istreambuf_iterator<char>());
    if (bytes.size() != length)
        return refuse("cannot read " + file + " whole");
    VerifyTally &t = outcome.verify;
    t.compared = bytes.size();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (flash[range.offset + i] != bytes[i]) {
            if (t.differing++ == 0)
                t.firstDifference = static_cast<std::int64_t>(range.offset + i);
        }
    return outcome;
}

// brigant-fw verify: the flash (or the disk area) read where the update
// with FILE (or the built-in image) writes, compared with what that update
// leaves there. Nothing is written; no backup, question or journal.
int RunVerify(CliContext &ctx, const VerifyArgs &args)
{
    if (args.embedded == !args.file.empty()) {
        SayError().as(MessageCode::Usage) << "verify needs a firmware FILE or --embedded (not both)";
        return kExitUsage;
    }
    if (args.embedded && (args.includeNvram || args.raw)) {
        SayError().as(MessageCode::Usage)
            << "--embedded compares the built-in image: no --include-nvram or --raw";
        return kExitUsage;
    }
    RawRange range;
    if (!args.offset.empty() || !args.length.empty()) {
        const std::optional<std::uint64_t> offset = args.offset.empty() ? 0 : ParseNumber(args.offset);
        range.length = ParseNumber(args.length);
        if (!args.raw || args.length.empty()) {
            SayError().as(MessageCode::Usage)
                << "--offset and --length go with --raw, and --offset needs --length";
            return kExitUsage;
        }
        if (!offset || !range.length || *range.length == 0) {
            SayError().as(MessageCode::Usage)
                << "--offset and --length take numbers (decimal or 0x...), --length above 0";
            return kExitUsage;
        }
        range.offset = *offset;
    }
    if (!args.embedded)
        if (const std::string why = FirmwareFileProblem(args.file.c_str()); !why.empty()) {
            SayError().as(MessageCode::Usage)
                << args.file << ": " << why << "; nothing was sent to any device";
            return kExitUsage;
        }
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    ChosenBridge chosen;
    if (const int rc = ChooseTarget(ctx, args.index, chosen); rc != kExitOk)
        return rc;
    const SelectedBridge &selected = chosen.state.bridge;
    const DeviceEntry entry = chosen.entry;
    const std::uint8_t code = chosen.state.chip.ChipTypeCode;
    view->endLine();
    PrintDeviceLine(entry.path, selected, code);
    if (!selected.supported) {
        std::cout << "this bridge's firmware cannot be read: chip type code " << static_cast<int>(code)
                  << "\n";
        return kExitNoDevice;
    }
    if (args.embedded && code != kOneButtonChipType) {
        SayError().as(MessageCode::Usage)
            << "the built-in image is for code-" << kOneButtonChipType << " bridges; this one is code "
            << static_cast<int>(code) << ": give the firmware FILE";
        return kExitUsage;
    }
    if (args.includeNvram && !selected.nvramOffered) {
        SayError().as(MessageCode::Usage) << "--include-nvram: this bridge has no 4K NVRAM area to include";
        return kExitUsage;
    }
    RunRequest req = VerbRequest(chosen.state, chosen.settings, chosen.candidateCount, ToolMode::Program,
                                 args.file, args.includeNvram);
    req.mode = RunMode::VerifyOnly;
    CliRunHost host(*view, ctx.style, chosen.transfer);
    const RunOutcome outcome = args.raw        ? RawVerify(req, entry, host, args.file, range)
                               : args.embedded ? RunEmbeddedVerify(req, entry.path, host)
                                               : RunRequested(req, entry.bus, entry.path, host);
    view->endLine();
    const std::string image = args.embedded  ? "the built-in image"
                              : range.length ? args.file + " at " + HexNumber(range.offset) + "-" +
                                                   HexNumber(range.offset + *range.length - 1)
                                             : args.file;
    const std::string where = outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate
                                  ? "the firmware area on the disk behind " + entry.path
                                  : "the flash of " + entry.path;
    if (outcome.result == RunOutcome::Result::Refused) {
        NoteRun("refused: " + outcome.reason);
        SayError().as(MessageCode::Refused) << outcome.reason;
        return outcome.deviceUnanswered ? kExitFailed : kExitUsage;
    }
    const VerifyTally &t = outcome.verify;
    ReportVersions(selected.version, selected.version);
    if (!outcome.ok() || t.compared == 0) {
        const std::string why = outcome.reason.empty() ? "nothing could be compared" : outcome.reason;
        NoteRun("failed: " + why);
        SayError().as(MessageCode::Failed) << where << " could not be compared with " << image << ": " << why;
        return kExitFailed;
    }
    nlohmann::json comparison = {{"file", args.embedded ? nlohmann::json() : nlohmann::json(args.file)},
                                 {"builtInImage", args.embedded},
                                 {"comparedBytes", t.compared},
                                 {"differingBytes", t.differing},
                                 {"skippedBytes", t.skipped}};
    comparison["firstDifference"] =
        t.firstDifference < 0 ? nlohmann::json() : nlohmann::json(HexNumber(t.firstDifference));
    ReportField("comparison", comparison);
    const std::string skipped =
        t.skipped == 0 ? ""
                       : "; " + std::to_string(t.skipped) + " bytes the bridge rewrites itself not compared";
    if (t.differing == 0) {
        NoteRun("verified");
        std::cout << "VERIFIED: " << where << " holds " << image << " (" << t.compared << " bytes compared"
                  << skipped << ")\n";
        return kExitOk;
    }
    NoteRun("differs");
    ReportReason(std::to_string(t.differing) + " of " + std::to_string(t.compared) +
                 " bytes differ, the first at " + HexNumber(t.firstDifference));
    std::cout << "DIFFERS: " << where << " does not hold " << image << ": " << t.differing << " of "
              << t.compared << " bytes differ, the first at " << HexNumber(t.firstDifference) << skipped
              << "\n";
    return kExitFailed;
}

// Why the backup verb cannot write `file` (empty: it can, or no file was
// given), told before the flash is read. An existing file is someone's data:
// it is written over only when `overwrite` says so.
std::string BackupPathProblem(const std::string &file, bool overwrite)
{
    if (file.empty())
        return {};
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(file, ec))
        return file + " is a folder: give the backup a file name";
    const fs::path folder =
        fs::path(file).parent_path().empty() ? fs::path(".") : fs::path(file).parent_path();
    if (!fs::is_directory(folder, ec))
        return file + ": the folder " + folder.string() + " does not exist";
    const bool exists = fs::exists(file, ec);
    if (exists && !overwrite)
        return file + " exists: give another name, or --force to write over it";
    if (::access(exists ? file.c_str() : folder.c_str(), W_OK) != 0)
        return "cannot write " + file + ": " + std::strerror(errno);
    return {};
}

int RunFileOrEmbedded(CliContext &ctx, const UpdateArgs &args)
{
    if (args.embedded) {
        if (!args.file.empty() || args.includeNvram || args.readWriteBuffer) {
            SayError().as(MessageCode::Usage)
                << "--embedded programs the built-in image: no FILE and no check boxes";
            return kExitUsage;
        }
        if (ctx.write.changedOnly)
            SayNote() << "--changed-only: the built-in image is written whole (the one-button update "
                         "takes no blocks)";
        RehearsalRequest rehearsed;
        rehearsed.verb = RehearsedVerb::EmbeddedUpdate;
        return WithRehearsal(ctx, args.index, rehearsed, [&] { return RunUpdate(ctx, args); });
    }
    if (args.file.empty()) {
        SayError().as(MessageCode::Usage) << "update needs a firmware FILE (or --embedded)";
        return kExitUsage;
    }
    // A file that cannot be read, or holds nothing, is refused before any
    // device is asked anything.
    if (const std::string why = FirmwareFileProblem(args.file.c_str()); !why.empty()) {
        SayError().as(MessageCode::Usage) << args.file << ": " << why << "; nothing was sent to any device";
        return kExitUsage;
    }
    RehearsalRequest rehearsed;
    rehearsed.file = args.file;
    rehearsed.includeNvram = args.includeNvram;
    rehearsed.readWriteBuffer = args.readWriteBuffer;
    rehearsed.versions = args.versions;
    rehearsed.changedOnly = ctx.write.changedOnly;
    return WithRehearsal(ctx, args.index, rehearsed, [&] {
        return RunFullTool(ctx, ToolMode::Program, args.index, args.file, args.includeNvram,
                           args.readWriteBuffer, args.versions);
    });
}

// The plan for `file` on `bridge`, as update FILE
// decides it: Update, Current, or Skip with the reason.
DevicePlan PlanOneFile(const ChosenBridge &bridge, const std::string &file, const AllOptions &options,
                       DevicePlan plan, const std::function<const std::vector<std::uint8_t> *()> &readStore)
{
    PlanRequest asked = UpdateRequest(bridge.state, bridge.settings, bridge.candidateCount, file,
                                      options.includeNvram, options.readWriteBuffer, options.versions);
    asked.transfer = bridge.transfer;
    asked.changedOnly = options.changedOnly;
    asked.readStore = readStore;
    // Each unit gets its own serial number later; the plan asks whether the
    // bridge takes one at all.
    if (options.serials) {
        AskSerial(asked.run, "-");
        asked.productSerial = true;
    }
    const UpdatePlan decided = PlanUpdate(bridge.state, bridge.entry, asked);
    plan.file = file;
    plan.finishing = decided.finishing.has_value();
    plan.storeHoldsFile = decided.storeHoldsFile;
    plan.madeForIt = decided.madeForIt;
    plan.layout = decided.layout;
    if (decided.madeForIt)
        plan.to = decided.to.empty() ? "unknown" : UserVersion(decided.to);
    plan.reason = decided.reason;
    plan.refusal = decided.refusal;
    if (decided.refusal == PlanRefusal::FlashRefusesFile)
        plan.reason = "the file does not fit this bridge's flash";
    plan.action = decided.writes()                            ? DevicePlan::Action::Update
                  : decided.action == PlanAction::NothingToDo ? DevicePlan::Action::Current
                                                              : DevicePlan::Action::Skip;
    return plan;
}

} // namespace

DevicePlan PlanDeviceUpdate(const ChosenBridge &bridge, const AllOptions &options, int index)
{
    DevicePlan plan;
    plan.index = index;
    const SelectedBridge &selected = bridge.state.bridge;
    plan.path = bridge.entry.path;
    plan.chip = selected.series.empty() ? "unknown" : selected.series;
    plan.typeCode = bridge.state.chip.ChipTypeCode;
    plan.from = selected.version.empty() ? "unknown" : UserVersion(selected.version);
    plan.to = "unknown";
    if (options.embedded) {
        // The one-button face's verdict on the bridge, as update --embedded takes it.
        const OneButtonDecision decided =
            DecideOneButton(bridge.entry, bridge.state.chip.ChipTypeCode, false);
        plan.to = UserVersion(BuiltInImageVersion());
        const OneButtonState state = decided.state;
        if (decided.buttonEnabled && state != OneButtonState::RunsFromRom)
            plan.action = DevicePlan::Action::Update;
        else if (state == OneButtonState::Current)
            plan.action = DevicePlan::Action::Current;
        plan.reason =
            plan.action == DevicePlan::Action::Update ? "" : DescribeOneButton(state, false, plan.index).text;
        return plan;
    }
    if (!selected.supported) {
        plan.reason = "this bridge cannot be updated (chip type code " + std::to_string(plan.typeCode) + ")";
        plan.refusal = PlanRefusal::NotSupported;
        return plan;
    }
    // The first file that fits; when none does, a file made for this model
    // that is refused for another reason (a version, an option) says most.
    DevicePlan best = plan;
    bool chosen = false;
    // The flash, read once for every file that needs it (and not kept).
    std::optional<StoreRead> store;
    const auto readStore = [&]() -> const std::vector<std::uint8_t> * {
        if (!store) {
            QuietHost host(bridge.transfer);
            store = ReadStore(VerbRequest(bridge.state, bridge.settings, bridge.candidateCount,
                                          ToolMode::Program, "", options.includeNvram),
                              bridge.entry.bus, bridge.entry.path, host, selected.series, false);
        }
        return store->bytes.empty() ? nullptr : &store->bytes;
    };
    for (const std::string &file : options.files) {
        const DevicePlan tried = PlanOneFile(bridge, file, options, plan, readStore);
        if (tried.action == DevicePlan::Action::Update)
            return tried;
        const auto rank = [](const DevicePlan &p) {
            return p.action == DevicePlan::Action::Current ? 2 : p.madeForIt ? 1 : 0;
        };
        if (!chosen || rank(tried) > rank(best))
            best = tried;
        chosen = true;
    }
    // Of files made for other models, what one of them does not match says
    // nothing about this bridge: only that none is made for it.
    if (best.action == DevicePlan::Action::Skip && options.files.size() > 1)
        best.reason = best.madeForIt ? best.file + ": " + best.reason
                                     : "none of the " + std::to_string(options.files.size()) +
                                           " files is made for this bridge";
    return best;
}

void RegisterUpdateCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<UpdateArgs>();
    auto all = std::make_shared<AllOptions>();
    auto everyDevice = std::make_shared<bool>(false);
    auto *update = app.add_subcommand("update", "Update a bridge's firmware (or, with --all, every bridge)");
    update->add_flag(
        "--embedded", args->embedded,
        "Program the firmware image built into the program (one-button update of a code-16 bridge)");
    update
        ->add_option(
            "FILE", all->files,
            "Firmware file to program (the full tool's Load File and Run); with --all, one per model")
        ->type_name("FILE");
    update->add_flag(
        "--include-nvram", args->includeNvram,
        "Check \"Include 4K NVRAM\": write the file's NVRAM area instead of keeping the device's");
    update->add_flag("--read-write-buffer", args->readWriteBuffer,
                     "Check \"Read/Write Buffer\": program through READ/WRITE BUFFER (codes 15-18)");
    update
        ->add_option("--index", all->indexes, "Device list entry (default: the first; with --all, repeat it)")
        ->type_name("N")
        ->expected(1)
        ->allow_extra_args(false) // one value each time: `--index 0 FILE`
        ->take_all()
        ->check(CLI::NonNegativeNumber);
    update->add_flag(
        "--json", args->json,
        "End with a JSON report on standard output (the rest goes to standard error; docs/json.md)");
    update->add_flag("--allow-reinstall", args->versions.allowReinstall,
                     "Write FILE although the bridge runs its version already (else exit 4)");
    update->add_flag("--allow-older", args->versions.allowOlder,
                     "Write FILE although its version is older than the running one (else exit 2)");
    update->add_flag("--changed-only", ctx.write.changedOnly,
                     "Erase and program only the erase blocks whose bytes differ from FILE (where the "
                     "bridge's update writes by blocks; README), then read back and compare the whole image");
    update
        ->add_option(
            "--serial", ctx.write.serial,
            "Write this product serial number (at most 20 characters) into the bridge's serial record "
            "(codes 15 to 18, a blank unit that runs from its ROM)")
        ->type_name("TEXT")
        ->check(SerialProblem);
    update->add_flag("--all", *everyDevice,
                     "Update every listed bridge (or those --device / --index name) at once, each with the "
                     "FILE that fits it, after one question");
    update
        ->add_option("--port", all->ports,
                     "With --all: only the bridge on this port path (`list` shows it; repeat it)")
        ->type_name("PATH")
        ->expected(1)
        ->allow_extra_args(false)
        ->take_all();
    update
        ->add_option(
            "--slots", all->slotsFile,
            "With --all: a file of port paths and labels, one \"PATH LABEL\" per line, shown instead of "
            "the device in tables and given in JSON")
        ->type_name("FILE");
    update
        ->add_option("--log", all->logFile,
                     "With --all: append a CSV row per bridge to FILE as its update ends (the station log)")
        ->type_name("FILE");
    update->add_option("--log-json", all->logJsonFile, "With --all: the same rows as JSON Lines")
        ->type_name("FILE");
    update->add_option("--jobs", all->jobs, "With --all: update at most N bridges at a time (default: all)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    update->add_flag(
        "--watch", all->watch,
        "With --all: the station; update each bridge as it arrives, until Ctrl-C or --count units");
    update->add_option("--count", all->count, "With --all --watch: end after N units")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    update
        ->add_option("--serial-from", all->serialFrom,
                     "With --all: give each unit its own product serial number, counting up from this one "
                     "(PREFIX and digits, e.g. SN0100); a number used before at this station is refused")
        ->type_name("SERIAL");
    update
        ->add_option("--serial-list", all->serialList,
                     "With --all: give each unit the next unused product serial number of FILE (one a line)")
        ->type_name("FILE");
    update->add_flag(
        "--again", all->again,
        "With --all --watch: update a bridge each time it arrives, also one updated in this run");
    update
        ->add_option("--retry-failed", all->retryFailedLog,
                     "With --all --watch: take only the bridges whose last row in this station log (--log or "
                     "--log-json) says failed")
        ->type_name("LOG");
    AddWriteOptions(*update, ctx, true);
    update->callback([&ctx, args, all, everyDevice] {
        ctx.severalDevices = *everyDevice;
        ctx.action = [&ctx, args, all, everyDevice]() -> int {
            if (*everyDevice) {
                all->embedded = args->embedded;
                all->includeNvram = args->includeNvram;
                all->readWriteBuffer = args->readWriteBuffer;
                all->json = args->json;
                all->versions = args->versions;
                all->changedOnly = ctx.write.changedOnly;
                all->serials = !all->serialFrom.empty() || !all->serialList.empty();
                if (!ctx.write.serial.empty()) {
                    SayError().as(MessageCode::Usage) << "--serial gives one bridge its number: update --all "
                                                         "takes --serial-from or --serial-list";
                    return static_cast<int>(kExitUsage);
                }
                return RunUpdateAll(ctx, *all);
            }
            args->file = all->files.empty() ? "" : all->files.front();
            args->index = all->indexes.empty() ? -1 : all->indexes.front();
            return WithReport(args->json, "update", [&] {
                // The options of update --all alone.
                const char *allOnly = all->jobs > 0                  ? "--jobs"
                                      : all->watch                   ? "--watch"
                                      : all->count > 0               ? "--count"
                                      : all->again                   ? "--again"
                                      : !all->retryFailedLog.empty() ? "--retry-failed"
                                      : !all->serialFrom.empty()     ? "--serial-from"
                                      : !all->serialList.empty()     ? "--serial-list"
                                      : !all->ports.empty()          ? "--port"
                                      : !all->slotsFile.empty()      ? "--slots"
                                      : !all->logFile.empty()        ? "--log"
                                      : !all->logJsonFile.empty()    ? "--log-json"
                                      : all->files.size() > 1        ? "several FILEs"
                                      : all->indexes.size() > 1      ? "a repeated --index"
                                                                     : nullptr;
                if (allOnly) {
                    SayError().as(MessageCode::Usage)
                        << allOnly << ": only update --all updates several bridges";
                    return static_cast<int>(kExitUsage);
                }
                return RunFileOrEmbedded(ctx, *args);
            });
        };
    });

    auto verifyArgs = std::make_shared<VerifyArgs>();
    auto *verify = app.add_subcommand(
        "verify", "Compare the flash with what an update with FILE (or the built-in image) leaves there");
    verify->add_option("FILE", verifyArgs->file, "Firmware file to compare with")->type_name("FILE");
    verify->add_flag("--embedded", verifyArgs->embedded, "Compare with the built-in image (code-16 bridges)");
    verify->add_flag(
        "--raw", verifyArgs->raw,
        "Compare FILE byte for byte with the flash from address 0 (a backup or a whole-flash image, as "
        "large as the flash) instead of with what an update with it leaves");
    verify
        ->add_option("--offset", verifyArgs->offset, "With --raw: FILE holds the flash from this address on")
        ->type_name("N");
    verify->add_option("--length", verifyArgs->length, "With --raw: FILE holds this many bytes of the flash")
        ->type_name("N");
    verify->add_flag("--include-nvram", verifyArgs->includeNvram,
                     "Compare the file's NVRAM area too, as update --include-nvram writes it");
    AddIndexAndJson(*verify, verifyArgs->index, verifyArgs->json);
    verify->callback([&ctx, verifyArgs] {
        ctx.action = [&ctx, verifyArgs] {
            return WithReport(verifyArgs->json, "verify", [&] { return RunVerify(ctx, *verifyArgs); });
        };
    });

    auto backupArgs = std::make_shared<ServiceArgs>();
    auto *backup = app.add_subcommand(
        "backup", "Save the bridge's whole flash (or disk area) to a file (\"RD Version\" service mode)");
    backup
        ->add_option("FILE", backupArgs->file, "Backup file (default: oldFlash.bak in the current directory)")
        ->type_name("FILE");
    backup->add_flag("--window-range", backupArgs->windowRange,
                     "Save what the window's backup saves (the family's backup length) instead of the whole "
                     "flash");
    backup->add_flag("--include-nvram", backupArgs->includeNvram,
                     "With --window-range: keep the 4K NVRAM area in the file (the whole flash holds it)");
    backup->add_flag("--force", backupArgs->overwrite,
                     "Write over FILE when it exists (else refused, exit 2)");
    AddIndexAndJson(*backup, backupArgs->index, backupArgs->json);
    backup->callback([&ctx, backupArgs] {
        ctx.action = [&ctx, backupArgs] {
            return WithReport(backupArgs->json, "backup", [&] {
                if (const std::string why = BackupPathProblem(backupArgs->file, backupArgs->overwrite);
                    !why.empty()) {
                    SayError().as(MessageCode::Usage) << why << "; nothing was read";
                    return static_cast<int>(kExitUsage);
                }
                return RunFullTool(ctx, ToolMode::Backup, backupArgs->index, backupArgs->file,
                                   backupArgs->includeNvram, false, {}, backupArgs->windowRange);
            });
        };
    });

    auto eraseArgs = std::make_shared<ServiceArgs>();
    auto *erase = app.add_subcommand("erase", "Erase the bridge's flash (\"RD Version\" service mode)");
    erase->add_flag("--include-nvram", eraseArgs->includeNvram,
                    "Erase the 4K NVRAM area too (codes 15-18 always erase it: their window has no such box "
                    "and erases it)");
    AddIndexAndJson(*erase, eraseArgs->index, eraseArgs->json);
    AddWriteOptions(*erase, ctx, true);
    erase->callback([&ctx, eraseArgs] {
        ctx.action = [&ctx, eraseArgs] {
            return WithReport(eraseArgs->json, "erase", [&] {
                RehearsalRequest rehearsed;
                rehearsed.verb = RehearsedVerb::Erase;
                rehearsed.includeNvram = eraseArgs->includeNvram;
                return WithRehearsal(ctx, eraseArgs->index, rehearsed, [&] {
                    return RunFullTool(ctx, ToolMode::Erase, eraseArgs->index, "", eraseArgs->includeNvram,
                                       false);
                });
            });
        };
    });
}

} // namespace brigant::cli
