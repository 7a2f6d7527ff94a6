// The steps the verbs that write a bridge's flash share: the bridge chosen
// and named, the run request built, the journal kept, and how a run ended
// said in the command line's words.
#include "cli/update_verbs.h"
#include "cli/user_text.h"

#include "app/fwupdate_handlers.h"
#include "cli/json_report.h"
#include "cli/say.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "device/enumerator.h"
#include "image/firmware_version.h"

#include <vector>

namespace brigant::cli
{

void NoteRun(const std::string &status, const std::string &backupFile)
{
    ReportStatus(status);
    if (!backupFile.empty())
        ReportBackup(backupFile);
}

void JournalWrite(JournalEntry &record, ProgressView &view)
{
    std::string error;
    if (!WriteJournalEntry(record, error)) {
        view.endLine();
        SayWarning().as(MessageCode::Journal) << "the update journal: " << error;
    }
}

void JournalOutcome(JournalEntry &record, const RunOutcome &outcome, bool finishing)
{
    CloseJournalEntry(record, outcome.ok(), outcome.result == RunOutcome::Result::Refused, finishing);
}

std::string SavedBackup(const GuardedRun &run)
{
    if (!run.backedUp || run.backup.outcome != BackupResult::Outcome::Saved)
        return "";
    ReportBackup(run.backup.file, run.backup.saved, run.backup.area);
    return run.backup.file;
}

RunRequest VerbRequest(const BridgeState &state, const INI_STATE &settings, int candidateCount, ToolMode mode,
                       const std::string &file, bool includeNvram)
{
    return VerbRunRequest(state, settings, candidateCount,
                          mode == ToolMode::Program ? RunMode::Update
                          : mode == ToolMode::Erase ? RunMode::EraseOnly
                                                    : RunMode::BackupOnly,
                          file, includeNvram);
}

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

void AskSerial(RunRequest &run, const std::string &serial)
{
    run.serial.write = !serial.empty();
    run.serial.text = serial;
}

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

int ChooseTarget(CliContext &ctx, int index, ChosenBridge &chosen)
{
    if (const int rc = ChooseBridge(ctx, index, chosen); rc != kExitOk)
        return rc;
    NoteWriteTarget(chosen.state.chip.ChipTypeCode);
    ReportDevice(chosen.entry.path, chosen.state.bridge.series, chosen.state.chip.ChipTypeCode);
    return kExitOk;
}

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

std::string RunningFirmwareText(const SelectedBridge &selected)
{
    if (selected.version.empty())
        return "unknown";
    return UserVersion(selected.version) + (selected.releaseFirmware ? "" : " (an internal build)");
}

void PrintDeviceLine(const std::string &path, const SelectedBridge &selected, std::uint8_t code)
{
    std::cout << "device " << path << ": " << (selected.series.empty() ? "unknown" : selected.series)
              << " (code " << static_cast<int>(code) << "), firmware " << RunningFirmwareText(selected)
              << "\n";
}

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

} // namespace brigant::cli
