#include "cli/user_text.h"
#include "image/firmware_version.h"

#include "app/update_journal.h"

#include "app/fwupdate_handlers.h"
#include "app/one_button.h"

#include <cstdint>

namespace brigant::cli
{

std::string UserVersion(const std::string &text) { return PlainVersion(text); }

std::string BuiltInImageVersion() { return UserVersion(EmbeddedImageVersion()); }

OneButtonVerdict DescribeOneButton(OneButtonState state, bool offered, int index)
{
    const std::string image = "the built-in image " + BuiltInImageVersion();
    const std::string device = "Device " + std::to_string(index);
    if (offered)
        return {"offered", device + " runs another version than " + image +
                               ": 'brigant-fw update --embedded' installs it."};
    switch (state) {
    case OneButtonState::Current:
        return {"current", device + " already runs " + image + "."};
    case OneButtonState::IdMismatch:
        return {"other identity",
                device + " runs firmware of another identity: " + image + " is not offered."};
    case OneButtonState::RunsFromRom:
        return {"runs from ROM", device + " runs from its ROM (an update was cut short): "
                                          "'brigant-fw recover' brings its firmware back."};
    case OneButtonState::NotSupported:
        return {"not supported", "The built-in image " + BuiltInImageVersion() + " is for chip type code " +
                                     std::to_string(kOneButtonChipType) + " bridges; " +
                                     (index == 0 ? "device 0" : "device " + std::to_string(index)) +
                                     " is not one."};
    case OneButtonState::NoDevice:
        return {"no device", "No disk behind a supported bridge was found."};
    case OneButtonState::Passed:
        return {"passed", device + " was updated to " + image + "."};
    case OneButtonState::Failed:
        return {"failed", "The update of " + device + " to " + image + " failed."};
    case OneButtonState::Blank:
    case OneButtonState::Offered:
    case OneButtonState::Updating:
        break;
    }
    return {"unknown", device + ": the bridge's firmware could not be compared with " + image + "."};
}

std::string JsonText(const nlohmann::json &document)
{
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

NextStep NextStepOf(const std::string &path, bool runsFromRom, int damagedBank, std::uint8_t chipCode)
{
    return NextStepFor(RunsOf(runsFromRom, damagedBank), damagedBank,
                       OpenJournalEntry(BridgeJournalKey(path)), chipCode);
}

nlohmann::json UnfinishedJson(const std::string &path, const NextStep &step)
{
    const std::optional<JournalEntry> open = OpenJournalEntry(BridgeJournalKey(path));
    if (!open)
        return nullptr;
    return {{"started", JournalTimeText(open->started)},
            {"action", open->action},
            {"writing", JournalWriteText(*open)},
            {"backup", open->backup.empty() ? nlohmann::json() : nlohmann::json(open->backup)},
            {"finishWith", step.command},
            {"journal", open->file}};
}

nlohmann::json NextStepJson(const NextStep &step)
{
    const char *kind = nullptr;
    switch (step.kind) {
    case StepKind::None:
        return nullptr;
    case StepKind::FinishWrite:
        kind = "finish the cut write";
        break;
    case StepKind::Recover:
        kind = "recover";
        break;
    case StepKind::Repair:
        kind = "repair";
        break;
    }
    return {
        {"kind", kind}, {"command", step.command}, {"needsFile", step.needsFile}, {"warning", step.warning}};
}

} // namespace brigant::cli
