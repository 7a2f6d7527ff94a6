#include "app/window_journal.h"

#include "app/fwupdate_handlers.h"
#include "app/run_dispatch.h"
#include "app/update_journal.h"
#include "app/window_run.h"
#include "update/assisted/embedded_images.h"

#include <ctime>
#include <filesystem>
#include <optional>

namespace brigant
{

namespace
{

std::string BuiltInVersion()
{
    std::uint8_t header[32] = {};
    if (LoadUpdateImage(header, 0, sizeof header) == 0)
        return "";
    const std::string caption = UpdateButtonCaption(header);
    return caption.substr(caption.rfind(' ') + 1);
}

} // namespace

void RunJournaled(TBrigantFwTool &form, bool builtIn, const std::string &backupFile,
                  const std::function<bool()> &run)
{
    const RunRequest req = RequestFromWindow(form);
    if (req.mode == RunMode::BackupOnly || form.candidateCount == 0) {
        run();
        return;
    }
    const DeviceEntry &device = form.selectedEntry();
    const std::string key = BridgeJournalKey(device.path);
    const std::optional<JournalEntry> open = OpenJournalEntry(key);
    const bool sameChip = open && open->chipCode == form.chip.ChipTypeCode;
    const bool update = req.mode == RunMode::Update;
    const std::string sha = update && !builtIn ? FileSha256(req.firmwareFile) : "";
    bool finishing = false;
    if (sameChip && builtIn)
        finishing = !open->builtIn.empty();
    else if (sameChip && update)
        finishing = !open->firmware.empty() && open->sha256 == sha;
    else if (sameChip)
        finishing = open->action == "erase";

    JournalEntry record = finishing ? *open : JournalEntry{};
    if (!finishing) {
        record.bridge = key;
        record.device = device.path;
        record.series = form.selected.series;
        record.chipCode = form.chip.ChipTypeCode;
        record.action = update ? "update" : "erase";
        if (builtIn) {
            record.builtIn = BuiltInVersion();
        } else if (update) {
            std::error_code ec;
            record.firmware = std::filesystem::absolute(req.firmwareFile, ec).string();
            record.sha256 = sha;
        }
        record.backup = backupFile;
        record.started = std::time(nullptr);
    }
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

} // namespace brigant
