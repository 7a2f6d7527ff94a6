#include "app/write_guard.h"

#include "app/update_plan.h"
#include "app/window_run.h"
#include "image/firmware_version.h"
#include "model/fwupdate.h"

namespace brigant
{

std::string RequestWriteText(const RunRequest &req, SettingsFate settings)
{
    return RequestWriteText(
        req, settings,
        "load a firmware file for this chip (or the backup made now) and press Run before the "
        "power is turned off");
}

std::string RequestWriteText(const RunRequest &req, SettingsFate settings, const std::string &wayBack)
{
    if (req.mode == RunMode::EraseOnly)
        return std::string("erase the flash") + (req.includeNvram ? ", NVRAM area included" : "") +
               ". The bridge has no firmware afterwards: it does not start again until firmware is written "
               "to it. To bring it back, " +
               wayBack;
    return "the firmware file " + req.firmwareFile +
           (settings == SettingsFate::Kept || settings == SettingsFate::KeptFileHasNone
                ? " (the device's NVRAM area kept)"
                : "");
}

std::string RunButtonWriteText(const TBrigantFwTool &form)
{
    const RunRequest req = RequestFromWindow(form);
    std::string text = RequestWriteText(
        req, DecideSettings(form.chip, form.selectedEntry().bus, req, form.NVRAMCheck.visible()));
    // The backup box counts with "RD Version" only: without it Run updates.
    if (req.mode == RunMode::Update && form.BackupFWCheckBox.checked())
        text += ". This is not a backup: \"Backup Old Firmware Only\" takes effect with \"RD Version\" "
                "checked, and this run writes the file to the bridge";
    return text;
}

std::string ConfirmationText(const WritePlan &plan, const WriteGuard &guard)
{
    // Versions in the one form every message uses; the version field's own
    // text in brackets only where it says something else ("Internal code").
    std::string running = plan.runningVersion.empty() ? plan.firmware : PlainVersion(plan.runningVersion);
    if (!plan.runningVersion.empty() && PlainVersion(plan.firmware) != PlainVersion(plan.runningVersion))
        running += " (" + plan.firmware + ")";
    std::string next = plan.newVersion.empty() ? "not known" : PlainVersion(plan.newVersion);
    switch (CompareVersions(plan.newVersion, plan.runningVersion)) {
    case VersionOrder::Same:
        next += " (the version running now)";
        break;
    case VersionOrder::Older:
        next += " (older than the running one)";
        break;
    case VersionOrder::Newer:
        next += " (newer than the running one)";
        break;
    case VersionOrder::Unknown:
        break;
    }
    std::string text = "Write to this device?\n\n";
    text += "Device: " + plan.device + "\n";
    text += "Chip: " + plan.chip + "\n";
    text += "Running firmware: " + running + "\n";
    text += "New firmware: " + next + "\n";
    text += "Will write: " + plan.writes + "\n\n";
    if (!plan.settings.empty())
        text += plan.settings + "\n";
    if (!plan.rehearsal.empty())
        text += "Rehearsal on the device's twin:\n" + plan.rehearsal + "\n";
    if (guard.backup)
        text += "A backup is saved in " +
                (guard.backupDirectory.empty() ? BackupDirectory() : guard.backupDirectory) +
                " before anything is written.";
    else
        text += "No backup is made.";
    return text;
}

} // namespace brigant
