#include "app/bridge_state.h"

#include "app/status_texts.h"
#include "app/window_texts.h"
#include "bridge/chip_commands.h"
#include "forms/ui_services.h"
#include "identify/chip_identify.h"
#include "identify/flash_identify.h"
#include "identify/selected_flash.h"
#include "image/chip_match.h"
#include "image/chip_names.h"
#include "image/chip_types.h"
#include "image/firmware_version.h"

#include <ctime>

namespace brigant
{

namespace
{

// The caller's host, told everything as before, with what the probes find
// kept in the state as well.
class RecordingHost final : public ProbeHost
{
  public:
    RecordingHost(ProbeHost &inner, BridgeState &state) : inner_(inner), state_(state) {}

    void flashMakerShown(const std::string &name) override
    {
        state_.bridge.flashMaker = name;
        inner_.flashMakerShown(name);
    }
    void nvramBoxHidden() override
    {
        state_.bridge.nvramOffered = false;
        inner_.nvramBoxHidden();
    }
    void bufferPathShown(bool offered) override
    {
        state_.bridge.bufferPath = offered;
        inner_.bufferPathShown(offered);
    }
    void runButtonHeld(bool held) override { inner_.runButtonHeld(held); }
    void bankRepaired() override
    {
        state_.bankRepaired = true;
        inner_.bankRepaired();
    }

    void showStatus(const RunStatus &status) override { inner_.showStatus(status); }
    void setStatus(const RunStatus &status) override { inner_.setStatus(status); }
    void progressDot(const ProgressEvent &step) override { inner_.progressDot(step); }
    void phaseStarted(RunPhase phase) override { inner_.phaseStarted(phase); }
    void message(const std::string &text, const std::string &title, MessageKind kind) override
    {
        inner_.message(text, title, kind);
    }
    void processMessages() override { inner_.processMessages(); }
    TransferState &transfer() override { return inner_.transfer(); }
    void nvramBoxChecked() override { inner_.nvramBoxChecked(); }
    void bridgeResetting() override { inner_.bridgeResetting(); }
    void refusing(const std::string &why) override { inner_.refusing(why); }
    void failing(const std::string &why) override { inner_.failing(why); }
    void keptSettingsRead(const std::vector<std::uint8_t> &settings) override
    {
        inner_.keptSettingsRead(settings);
    }
    std::vector<std::uint8_t> journalSettings() override { return inner_.journalSettings(); }
    void verified(const VerifyTally &range) override { inner_.verified(range); }
    void backupSaved(const std::string &file) override { inner_.backupSaved(file); }
    void serialNumberBoxHidden() override { inner_.serialNumberBoxHidden(); }
    void devicesReattached(const std::vector<DiskInterface> &found, int selected) override
    {
        inner_.devicesReattached(found, selected);
    }
    void notify(Notice what) override { inner_.notify(what); }

  private:
    ProbeHost &inner_;
    BridgeState &state_;
};

// Code 14 answers for three series: the firmware information and the FE
// chip information tell them apart.
std::string Code14Series(const std::string &path, std::string series)
{
    std::uint8_t info[32] = {};
    if (ReadFirmwareInfo(path, info, sizeof info))
        series = info[8] == 1 ? "Upas/Willow Series" : "Teak Series";
    std::uint8_t fe[kChipInfoLength] = {};
    std::uint32_t transferred = 0;
    if (ReadChipInfoFE(path, fe, kChipInfoLength, transferred))
        series = "Yew Series";
    return series;
}

// The flash of a supported chip: its kind, size and geometry, whether the
// buffer path is offered, and how the bridge runs.
void ProbeSupportedFlash(ProbeHost &caller, BridgeState &state, DeviceEntry &entry,
                         const IdentifyOptions &options)
{
    RecordingHost host(caller, state);
    ChipIdentity &chip = state.chip;
    const std::uint8_t type = chip.ChipTypeCode;
    chip.AtmelType = -1;
    chip.AmicType = -1;
    chip.SstWordMode = 0;
    const ChipType &row = ChipTypeOf(type);
    if (IsFirmwareReportedFlashChip(type, entry.bus)) {
        std::int32_t verdict = kFlashUnknown;
        if (ReadFlashTypeVerdict(chip, entry.path, verdict))
            SetFlashKind(host, chip, verdict);
        if (row.bufferPath) {
            state.bridge.runsFromRom = ProbeBufferFamilyFlash(host, chip, entry.path);
            if (state.bridge.runsFromRom)
                state.runs = BridgeRuns::Rom;
        } else if (row.bankEnd != 0 || (row.variant == RunVariant::XdataProbe && chip.ChipSubRevision >= 5)) {
            ProbeSpiFamilyFlash(host, chip, entry, options.repairBank, entry.path, type);
            if (entry.damagedBank >= 0) {
                state.runs = BridgeRuns::BankDamaged;
                state.damagedBank = entry.damagedBank;
            }
        }
        return;
    }
    ProbeOtherSupportedFlash(host, chip, entry.path);
    // Run holds the file against this flash's size: it is measured now, so
    // that no earlier device's size (or none) stands in for it.
    if (row.variant == RunVariant::SizeCheckedSst) {
        FlashOpcodeRecord record;
        record.flashKind = static_cast<std::uint8_t>(chip.FlashKind);
        ProbeFlashSizeSpi(entry.path, record);
        chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
        // Run programs an SST part by SPI: a part that takes only words
        // would be left erased by byte-wise programming.
        if (chip.FlashKind == kFlashSst)
            ProbeSstWordMode(chip, entry.path);
    }
}

} // namespace

std::string BridgeState::version() const
{
    return bridge.version.empty() ? "" : PlainVersion(bridge.version);
}

BridgeState IdentifyBridge(ProbeHost &host, DeviceEntry &entry, const IdentifyOptions &options)
{
    BridgeState state;
    state.chip = options.carried;
    const std::string &path = entry.path;
    const char *failedRead = nullptr;
    const std::uint16_t packed = IdentifyChip(path, &state.infoFailed, &failedRead);
    state.packedId = packed;
    state.chip.ChipTypeCode = IdentifiedType(packed);
    state.chip.ChipSubRevision = IdentifiedRevision(packed);
    state.chip.failedIdentifyRead = failedRead;
    const std::uint8_t type = state.chip.ChipTypeCode;
    const ChipType &row = ChipTypeOf(type);

    state.bridge.series = type < kChipTypeCount ? ChipNameTable[type] : "";
    if (row.seriesFromBridge)
        state.bridge.series = Code14Series(path, state.bridge.series);
    state.bridge.supported = IsSupportedChip(type);
    state.bridge.nvramOffered = state.bridge.supported && IsNvramChip(type);
    // What the window shows of this chip, as far as the type tells it.
    state.bridge.flashShown = state.bridge.supported;
    state.bridge.versionShown = state.bridge.supported || row.display == UnsupportedDisplay::VersionOnly;
    if (state.infoFailed)
        host.message(kChipInfoFailText, "Error", MessageKind::Error);
    if (options.chipKnown)
        options.chipKnown(state);

    if (state.bridge.supported) {
        ProbeSupportedFlash(host, state, entry, options);
    } else if (row.display == UnsupportedDisplay::FirmwareLevel) {
        std::uint8_t info[20] = {};
        state.firmwareLevelRead = ReadFirmwareInfo(path, info, sizeof info);
        if (state.firmwareLevelRead) {
            state.chip.FirmwareLevel = info[8];
            if (info[8] == 0xAB && info[18] >= 0xD2)
                state.chip.FirmwareLevel = info[18];
            state.bridge.versionShown = state.chip.FirmwareLevel >= 0xD0;
        }
    }

    std::string text;
    switch (ReadVersionText(path, type, text)) {
    case VersionReadout::NoReply:
        break;
    case VersionReadout::NotVelkor:
        state.bridge.velkorFirmware = false;
        break;
    case VersionReadout::Text:
        state.bridge.version = text;
        state.bridge.releaseFirmware = IsReleaseFirmware(path, type, text, state.chip.FlashKind) == 1;
        break;
    }
    // A repaired bank ends a cut write's entry as `repair` ends it.
    if (state.bankRepaired)
        FinishJournalEntries(BridgeJournalKey(path), std::time(nullptr), "repair");
    state.openEntry = OpenJournalEntry(BridgeJournalKey(path));
    return state;
}

void PlainProbeHost::message(const std::string &text, const std::string &title, MessageKind kind)
{
    Ui().messageBox(text, title, kind);
}

void PlainProbeHost::notify(Notice what) { message(NoticeText(what), "Message", MessageKind::Information); }

void PlainProbeHost::processMessages() { Ui().processMessages(); }

BridgeRuns RunsOf(bool runsFromRom, int damagedBank)
{
    return runsFromRom ? BridgeRuns::Rom : damagedBank >= 0 ? BridgeRuns::BankDamaged : BridgeRuns::Firmware;
}

BridgeState SelectedBridgeState(const TBrigantFwTool &form)
{
    BridgeState state;
    state.chip = form.chip;
    state.bridge = form.selected;
    if (form.candidateCount == 0 || form.listedCount == 0)
        return state;
    const DeviceEntry &entry = form.selectedEntry();
    state.runs = RunsOf(form.selected.runsFromRom, entry.damagedBank);
    if (state.runs == BridgeRuns::BankDamaged)
        state.damagedBank = entry.damagedBank;
    state.openEntry = OpenJournalEntry(BridgeJournalKey(entry.path));
    return state;
}

} // namespace brigant
