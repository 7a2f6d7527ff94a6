#include "app/window_journal.h"

#include "app/fwupdate_handlers.h"
#include "app/run_dispatch.h"
#include "app/update_journal.h"
#include "app/window_run.h"
#include "image/firmware_version.h"

#include <optional>

namespace brigant
{

void RunJournaled(TBrigantFwTool &form, bool builtIn, const std::string &backupFile,
                  const std::function<bool()> &run)
{
    const RunRequest req = RequestFromWindow(form);
    if (req.mode == RunMode::BackupOnly || form.candidateCount == 0) {
        run();
        return;
    }
    const DeviceEntry &device = form.selectedEntry();
    PlannedWrite write;
    write.bridge = BridgeJournalKey(device.path);
    write.device = device.path;
    write.series = form.selected.series;
    write.chipCode = form.chip.ChipTypeCode;
    write.erase = req.mode == RunMode::EraseOnly;
    write.builtIn = builtIn;
    write.firmware = builtIn ? "" : req.firmwareFile;
    if (!form.selected.version.empty())
        write.from = PlainVersion(form.selected.version);
    if (req.mode != RunMode::EraseOnly) {
        const std::string to =
            builtIn ? EmbeddedImageVersion() : FirmwareFileVersion(write.firmware, write.chipCode);
        if (!to.empty())
            write.to = PlainVersion(to);
    }
    const std::optional<JournalEntry> open = OpenJournalEntry(write.bridge);
    const bool sameChip = open && open->chipCode == write.chipCode;
    const bool finishing = open && RepeatsCutWrite(*open, write);
    JournalEntry record = finishing ? *open : NewJournalEntry(write, backupFile);
    std::string error;
    WriteJournalEntry(record, error); // a journal that cannot be written does not stop the write
    form.journalSettings = sameChip ? open->settings : std::vector<std::uint8_t>{};
    form.keptSettingsSink = [&record](const std::vector<std::uint8_t> &settings) {
        record.settings = settings;
        std::string unwritten;
        WriteJournalEntry(record, unwritten);
    };
    const bool verified = run();
    form.keptSettingsSink = nullptr;
    form.journalSettings.clear();
    CloseJournalEntry(record, verified, !builtIn && form.lastRun.result == RunOutcome::Result::Refused,
                      finishing);
}

std::string CutUpdateOfFile(TBrigantFwTool &form, const std::string &file)
{
    if (form.candidateCount == 0)
        return {};
    PlannedWrite write;
    write.bridge = BridgeJournalKey(form.selectedEntry().path);
    write.chipCode = form.chip.ChipTypeCode;
    write.firmware = file;
    const std::optional<JournalEntry> open = OpenJournalEntry(write.bridge);
    if (!open || !RepeatsCutWrite(*open, write))
        return {};
    return UnfinishedText(*open) + "; Run finishes it.";
}

} // namespace brigant
