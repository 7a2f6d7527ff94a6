#include "app/run_dispatch.h"

#include "app/window_run.h"
#include "bridge/chip_commands.h"
#include "common/debug_log.h"
#include "device/transport.h"
#include "forms/ui_services.h"
#include "identify/flash_identify.h"
#include "image/file_checks.h"
#include "image/file_refusal.h"
#include "image/firmware_file.h"
#include "model/fwupdate.h"
#include "update/assisted/assisted_update.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/sbp2_update.h"
#include "update/diskarea/disk_update.h"
#include "update/register/register_update.h"
#include "update/staging/conversion_update.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::uint8_t kLastRegisterSubRevision = 4;
constexpr std::uint16_t kXdataProbeAddress = 0x505E;

UpdateProcedure SstOr(const RunInputs &in, UpdateProcedure otherwise)
{
    return in.chip.SstWordMode ? UpdateProcedure::UpdateBlockwiseSst : otherwise;
}

int DoNothing(const RunRequest &, RunHost &, const std::string &) { return 0; }

// How a procedure's update erases before it programs.
enum class EraseRule : std::uint8_t {
    Nothing,      // nothing is erased (the disk area's sectors are overwritten)
    WholeStore,   // the whole flash
    PartBlocks,   // the part's erase blocks (up to 64 KiB) under what is written
    AsProgrammed, // the bridge erases the 4 KiB sectors it programs, as it programs them
};

struct ProcedureEntry {
    UpdateProcedure procedure;
    UpdateProcedureFn run;
    EraseRule erase;
    // Why an update of the changed erase units only is not built for it;
    // null: the procedure writes only them when asked.
    const char *wholeImageOnly;
};

constexpr const char *kNoProcedure = "no procedure takes this bridge";
constexpr const char *kWholeSmallFlash = "it erases the whole flash before it programs";
constexpr const char *kAsItPrograms =
    "the bridge's firmware erases as it programs, in passes over the whole image (not built for changed "
    "blocks on 1394 yet)";
constexpr const char *kDiskSectors =
    "it rewrites the disk's firmware area whole (not built for changed units yet)";
constexpr const char *kStaging = "it erases the whole flash chip and programs it through the staging buffer";

// One entry per procedure, in the order of UpdateProcedure.
const std::array<ProcedureEntry, 8> kProcedureTable = {{
    {UpdateProcedure::None, DoNothing, EraseRule::Nothing, kNoProcedure},
    {UpdateProcedure::UpdateWholeImage, UpdateWholeImage, EraseRule::WholeStore, kWholeSmallFlash},
    {UpdateProcedure::UpdateBlockwise, UpdateBlockwise, EraseRule::PartBlocks, nullptr},
    {UpdateProcedure::UpdateBlockwiseSst, UpdateBlockwiseSst, EraseRule::PartBlocks, nullptr},
    {UpdateProcedure::RunAssistedUpdate, RunAssistedUpdate, EraseRule::AsProgrammed, nullptr},
    {UpdateProcedure::RunSbp2Update, RunSbp2Update, EraseRule::AsProgrammed, kAsItPrograms},
    {UpdateProcedure::RunDiskFirmwareUpdate, RunDiskFirmwareUpdate, EraseRule::Nothing, kDiskSectors},
    {UpdateProcedure::RunConversionUpdate, RunConversionUpdate, EraseRule::WholeStore, kStaging},
}};

const ProcedureEntry &EntryOf(UpdateProcedure procedure)
{
    const auto i = static_cast<std::size_t>(procedure);
    return kProcedureTable[i < kProcedureTable.size() ? i : 0];
}

// The choice's inputs without asking the bridge anything.
RunInputs QuietInputs(const RunRequest &req, BusKind bus)
{
    RunInputs in;
    in.chip = req.chip;
    in.bus = bus;
    in.serviceMode = req.mode != RunMode::Update;
    return in;
}

// The chosen file's first bytes and length; false when it cannot be read.
bool ReadChosenFile(const RunRequest &req, std::vector<std::uint8_t> &head, std::uint64_t &length)
{
    return ReadFirmwareFileHead(req.firmwareFile.c_str(), kFileRefusalProbeEnd, head, &length) == 1;
}

} // namespace

StoreRanges PlannedErase(const RunRequest &req, UpdateProcedure procedure, const TransferState &x,
                         const StoreRanges &writes, std::uint64_t storeBytes)
{
    constexpr std::uint64_t kSector = 4096;
    EraseRule rule = EntryOf(procedure).erase;
    if (procedure == UpdateProcedure::UpdateBlockwiseSst && BlockwiseSstErasesChip(req.chip))
        rule = EraseRule::WholeStore;
    // The DF block commands erase the first attempt's units as they enter
    // them (the whole chip in the mode that erases it); the buffer path
    // leaves the erase to the bridge.
    if (procedure == UpdateProcedure::RunAssistedUpdate &&
        !(req.readWriteBuffer && ChipTypeOf(req.chip.ChipTypeCode).bufferPath)) {
        const StoreRanges units = AssistedChangedUnits(req, x, writes);
        if (!units.empty() || writes.empty())
            return units;
        rule = EraseRule::WholeStore;
    }
    switch (rule) {
    case EraseRule::Nothing:
        break;
    case EraseRule::WholeStore: {
        const std::uint64_t flash = std::uint64_t(req.chip.FlashSizeKb) * 1024;
        const std::uint64_t end = std::max({flash, storeBytes, writes.empty() ? 0 : writes.back().end});
        return end ? StoreRanges{{0, end}} : StoreRanges{};
    }
    case EraseRule::PartBlocks:
        return RoundOut(writes, kBlockwiseEraseUnit);
    case EraseRule::AsProgrammed:
        return RoundOut(writes, kSector);
    }
    return {};
}

std::string WholeImageOnlyReason(const RunRequest &req, UpdateProcedure procedure, const TransferState &x)
{
    if (procedure == UpdateProcedure::UpdateBlockwiseSst && BlockwiseSstErasesChip(req.chip))
        return "it erases the whole SST chip before it programs";
    if (procedure == UpdateProcedure::RunAssistedUpdate)
        return AssistedWholeImageReason(req, x);
    const char *why = EntryOf(procedure).wholeImageOnly;
    return why ? why : "";
}

StoreRanges ChangedOnlyErase(const RunRequest &req, UpdateProcedure procedure, const TransferState &x,
                             const StoreRanges &differing)
{
    if (procedure == UpdateProcedure::RunAssistedUpdate)
        return AssistedChangedUnits(req, x, differing);
    return RoundOut(differing, kBlockwiseEraseUnit);
}

bool NeedsXdataProbe(const ChipIdentity &chip)
{
    return ChipTypeOf(chip.ChipTypeCode).variant == RunVariant::XdataProbe;
}

bool NeedsSizeCheck(const ChipIdentity &chip, bool serviceMode)
{
    return !serviceMode && ChipTypeOf(chip.ChipTypeCode).variant == RunVariant::SizeCheckedSst;
}

RunChoice ChooseUpdateProcedure(const RunInputs &in)
{
    const ChipType &row = ChipTypeOf(in.chip.ChipTypeCode);
    RunChoice choice;
    switch (row.variant) {
    case RunVariant::Plain:
        choice.procedure = row.procedure;
        break;
    case RunVariant::SstSwitch:
        choice.procedure = SstOr(in, row.procedure);
        break;
    case RunVariant::Sbp2On1394:
        choice.procedure =
            in.bus == BusKind::Ieee1394 ? UpdateProcedure::RunSbp2Update : SstOr(in, row.procedure);
        break;
    case RunVariant::DiskWithoutFlash:
        if (in.chip.FlashKind == kFlashUnknown) {
            // The firmware lives on the attached disk; the progress bar is left as the run leaves it.
            choice.procedure = UpdateProcedure::RunDiskFirmwareUpdate;
            choice.resetsProgress = false;
        } else {
            choice.procedure = SstOr(in, row.procedure);
        }
        break;
    case RunVariant::SizeCheckedSst:
        if (!in.serviceMode && !in.fileFitsFlash) {
            choice.refusedTooLarge = true;
            break;
        }
        choice.procedure =
            in.chip.FlashKind == kFlashSst ? UpdateProcedure::UpdateBlockwiseSst : row.procedure;
        break;
    case RunVariant::XdataProbe:
        if (in.xdataProbe < 0 && !in.serviceMode) {
            choice.refusedUnanswered = true;
            break;
        }
        if (in.xdataProbe <= 0 && in.chip.ChipSubRevision <= kLastRegisterSubRevision)
            choice.procedure = UpdateProcedure::UpdateBlockwise;
        else
            choice.procedure = SstOr(in, row.procedure);
        break;
    }
    return choice;
}

int ProbeXdata505E(const std::string &path)
{
    std::uint8_t reply[4] = {};
    if (!ReadXdata(path, reply, kXdataProbeAddress, 4))
        return -1;
    return reply[1] == 0 && reply[2] == 1 ? 1 : 0;
}

UpdateProcedureFn ProcedureFor(UpdateProcedure procedure) { return EntryOf(procedure).run; }

namespace
{

// Passes everything on to the host it wraps and remembers the last phase.
class PhaseWatch final : public RunHost
{
  public:
    explicit PhaseWatch(RunHost &inner) : inner_(inner) {}
    void showStatus(const RunStatus &status) override { inner_.showStatus(status); }
    void setStatus(const RunStatus &status) override { inner_.setStatus(status); }
    void progressDot(const ProgressEvent &step) override { inner_.progressDot(step); }
    void phaseStarted(RunPhase phase) override
    {
        inner_.phaseStarted(phase);
        // A read that follows programming or erasing reads back what was written.
        const bool written = !phases_.empty() && phases_.back().second != RunPhase::Read;
        phases_.emplace_back(CommandsSent(), phase == RunPhase::Read && written ? RunPhase::Verify : phase);
    }
    // The step the run broke off in: that of the first command of the
    // failures it ended with (not the retries and read-backs a procedure
    // tries after it), else the last step begun. Empty: no step had begun.
    std::string brokenOffIn() const
    {
        if (phases_.empty())
            return {};
        RunPhase phase = phases_.back().second;
        if (const std::uint64_t failing = FailingSinceCommand(); failing != 0)
            for (const auto &[sentBefore, begun] : phases_)
                if (sentBefore < failing)
                    phase = begun;
        return PhaseWords(phase);
    }
    void message(const std::string &text, const std::string &title, MessageKind kind) override
    {
        inner_.message(text, title, kind);
    }
    void notify(Notice what) override
    {
        if (what == Notice::PowerCycle || what == Notice::PowerCycleWholeImage)
            powerCycle = true;
        inner_.notify(what);
    }
    void processMessages() override { inner_.processMessages(); }
    TransferState &transfer() override { return inner_.transfer(); }
    const std::vector<std::uint8_t> *storeRead() override { return inner_.storeRead(); }
    void nvramBoxChecked() override { inner_.nvramBoxChecked(); }
    void serialNumberBoxHidden() override { inner_.serialNumberBoxHidden(); }
    void productSerialRead(const std::string &serial) override
    {
        serialRead = serial;
        inner_.productSerialRead(serial);
    }
    void refusing(const std::string &why) override
    {
        refusal = why;
        inner_.refusing(why);
    }
    void failing(const std::string &why) override
    {
        failure = why;
        inner_.failing(why);
    }
    void keptSettingsRead(const std::vector<std::uint8_t> &settings) override
    {
        inner_.keptSettingsRead(settings);
    }
    std::vector<std::uint8_t> journalSettings() override { return inner_.journalSettings(); }
    void verified(const VerifyTally &range) override
    {
        tally.add(range);
        inner_.verified(range);
    }
    void backupSaved(const std::string &file) override
    {
        backupFile = file;
        inner_.backupSaved(file);
    }
    void bridgeResetting() override
    {
        resetting = true;
        inner_.bridgeResetting();
    }
    void devicesReattached(const std::vector<DiskInterface> &found, int selected) override
    {
        inner_.devicesReattached(found, selected);
    }
    bool resetting = false;
    bool powerCycle = false;
    std::string backupFile;
    VerifyTally tally;
    std::optional<std::string> serialRead;
    std::string refusal;
    std::string failure;

  private:
    RunHost &inner_;
    std::vector<std::pair<std::uint64_t, RunPhase>> phases_; // commands sent before each step, the step
};

// The choice, with the questions to the bridge and the file it needs.
RunChoice ChoiceFor(const RunRequest &req, BusKind bus, const std::string &path, RunHost &host)
{
    RunInputs in = QuietInputs(req, bus);
    if (NeedsXdataProbe(in.chip))
        in.xdataProbe = ProbeXdata505E(path);
    if (NeedsSizeCheck(in.chip, in.serviceMode)) {
        bool unreadable = false;
        in.fileFitsFlash = FileFitsFlash(req.firmwareFile.c_str(),
                                         static_cast<std::uint32_t>(req.chip.FlashSizeKb), &unreadable);
        if (unreadable)
            host.message(kOpenFirmwareFileErrorText, "Error", MessageKind::Error);
    }
    return ChooseUpdateProcedure(in);
}

RunOutcome RunChosen(const RunChoice &choice, const RunRequest &req, const std::string &path, RunHost &host)
{
    RunOutcome outcome;
    outcome.procedure = choice.procedure;
    if (choice.refusedTooLarge) {
        outcome.result = RunOutcome::Result::Refused;
        outcome.reason = "the firmware file is larger than the flash";
        host.message(kFileTooLargeText, "Message", MessageKind::Information);
        return outcome;
    }
    if (choice.refusedUnanswered) {
        outcome.result = RunOutcome::Result::Refused;
        outcome.deviceUnanswered = true;
        outcome.reason = "the bridge did not answer the probe that picks its update procedure (its register "
                         "at 0x505E); nothing was written";
        host.showStatus({StatusCode::RunRefused, outcome.reason});
        return outcome;
    }
    PhaseWatch watch(host);
    const int done = ProcedureFor(choice.procedure)(req, watch, path);
    outcome.result = done == 1 ? RunOutcome::Result::Success : RunOutcome::Result::Failed;
    if (done != 1 && !watch.refusal.empty()) {
        outcome.result = RunOutcome::Result::Refused;
        outcome.reason = watch.refusal;
    } else if (done != 1) {
        outcome.reason = watch.failure;
    }
    outcome.lastPhase = watch.brokenOffIn();
    outcome.bridgeReattaches = watch.resetting;
    outcome.powerCycleAdvised = watch.powerCycle;
    outcome.backupFile = watch.backupFile;
    outcome.verify = watch.tally;
    outcome.productSerialRead = watch.serialRead;
    return outcome;
}

// A file that cannot be the bridge's firmware is refused before anything is
// sent to the bridge (most procedures erase first): the refusal, shown, or
// nothing when the file may go on.
std::optional<RunOutcome> RefuseFile(const RunRequest &req, BusKind bus, const std::string &path,
                                     RunHost &host)
{
    RunOutcome outcome;
    outcome.result = RunOutcome::Result::Refused;
    if (std::string why = RunIdentityRefusal(req); !why.empty()) {
        outcome.deviceUnanswered = true;
        outcome.reason = why;
        host.showStatus({StatusCode::RunRefused, why});
        return outcome;
    }
    std::string why = RunFileRefusal(req, bus);
    if (why.empty())
        why = RunFlashSizeRefusal(req, bus, path);
    if (why.empty())
        return std::nullopt;
    host.showStatus({StatusCode::FileRefused, why});
    outcome.reason = why;
    return outcome;
}

} // namespace

RunOutcome RunRequested(const RunRequest &req, BusKind bus, const std::string &path, RunHost &host)
{
    if (auto refused = RefuseFile(req, bus, path, host))
        return *refused;
    return RunChosen(ChoiceFor(req, bus, path, host), req, path, host);
}

RunOutcome RunEmbeddedVerify(const RunRequest &req, const std::string &path, RunHost &host)
{
    PhaseWatch watch(host);
    RunOutcome outcome;
    outcome.procedure = UpdateProcedure::RunAssistedUpdate;
    outcome.result =
        VerifyEmbeddedImage(req, watch, path) == 1 ? RunOutcome::Result::Success : RunOutcome::Result::Failed;
    outcome.reason = outcome.ok() ? "" : watch.failure;
    outcome.lastPhase = watch.brokenOffIn();
    outcome.verify = watch.tally;
    return outcome;
}

RunOutcome RunWatched(RunHost &host, const std::function<bool(RunHost &)> &run)
{
    PhaseWatch watch(host);
    RunOutcome outcome;
    outcome.result = run(watch) ? RunOutcome::Result::Success : RunOutcome::Result::Failed;
    outcome.reason = outcome.ok() ? "" : watch.failure;
    outcome.lastPhase = watch.brokenOffIn();
    outcome.bridgeReattaches = watch.resetting;
    return outcome;
}

std::string RunIdentityRefusal(const RunRequest &req)
{
    if (req.mode == RunMode::BackupOnly || !req.chip.failedIdentifyRead)
        return {};
    return std::string("identification got no usable answer from ") + req.chip.failedIdentifyRead +
           ", which decides how the flash is written; nothing was written (select the bridge again, or "
           "unplug and replug it, and retry)";
}

std::string RunFileRefusal(const RunRequest &req, BusKind bus)
{
    if (req.mode != RunMode::Update)
        return {};
    const RunInputs in = QuietInputs(req, bus);
    const UpdateProcedure procedure = ChooseUpdateProcedure(in).procedure;
    if (procedure == UpdateProcedure::None)
        return {};
    std::vector<std::uint8_t> head;
    std::uint64_t length = 0;
    if (!ReadChosenFile(req, head, length))
        return {};
    // The disk-stored family checks the file against its area itself; code
    // 11's size check has its own message.
    const bool sized = procedure != UpdateProcedure::RunDiskFirmwareUpdate &&
                       !NeedsSizeCheck(in.chip, in.serviceMode) && req.chip.FlashSizeKb > 0;
    const std::uint64_t flashBytes = sized ? std::uint64_t(req.chip.FlashSizeKb) * 1024 : 0;
    return FirmwareFileRefusal(head, length, req.chip.ChipTypeCode, flashBytes);
}

FlashSizeAsked AskFlashSize(const RunRequest &req, BusKind bus, const std::string &path)
{
    FlashSizeAsked asked;
    if (req.mode != RunMode::Update || path.empty() || req.chip.FlashSizeKb > 0)
        return asked;
    const RunInputs in = QuietInputs(req, bus);
    const UpdateProcedure procedure = ChooseUpdateProcedure(in).procedure;
    // The disk-stored family checks its area, the staging family its fixed
    // length, code 11 its measured size.
    if (procedure == UpdateProcedure::None || procedure == UpdateProcedure::RunDiskFirmwareUpdate ||
        procedure == UpdateProcedure::RunConversionUpdate || NeedsSizeCheck(in.chip, false))
        return asked;
    std::vector<std::uint8_t> head;
    if (!ReadChosenFile(req, head, asked.fileLength) || asked.fileLength <= kSmallestFlashBytes)
        return asked;
    asked.asked = true;
    FlashOpcodeRecord record;
    record.flashKind = static_cast<std::uint8_t>(req.chip.FlashKind > 0 ? req.chip.FlashKind : 0);
    bool found = false;
    if (const std::uint32_t amic = AmicFlashSizeKb(req.chip.AmicType); amic != 0) {
        record.sizeKb = amic;
        found = true;
    } else {
        ProbeFlashSizeSpi(path, record, &found);
    }
    if (found)
        asked.sizeKb = record.sizeKb;
    return asked;
}

std::string RunFlashSizeRefusal(const RunRequest &req, BusKind bus, const std::string &path)
{
    const FlashSizeAsked asked = AskFlashSize(req, bus, path);
    if (!asked.asked)
        return {};
    const std::uint64_t flash = std::uint64_t(asked.sizeKb) * 1024;
    if (asked.sizeKb == 0)
        return "the file is " + std::to_string(asked.fileLength) +
               " bytes, and the flash did not tell its size: a file larger than 65536 bytes is not written "
               "to it";
    if (asked.fileLength > flash)
        return "the file is " + std::to_string(asked.fileLength) + " bytes; the flash holds " +
               std::to_string(flash);
    return {};
}

std::string RunRefusalText(const RunRequest &req, BusKind bus, const std::string &path)
{
    if (req.mode != RunMode::Update)
        return {};
    if (NeedsSizeCheck(req.chip, false)) {
        std::vector<std::uint8_t> head;
        std::uint64_t length = 0;
        const std::uint64_t flash =
            std::uint64_t(static_cast<std::uint32_t>(req.chip.FlashSizeKb) & 0xFFFFFFu) * 1024;
        if (!ReadChosenFile(req, head, length))
            return "the file could not be read";
        if (length > flash)
            return "the file is " + std::to_string(length) + " bytes; the flash holds " +
                   std::to_string(flash);
    }
    std::string why = RunFileRefusal(req, bus);
    return why.empty() ? RunFlashSizeRefusal(req, bus, path) : why;
}

std::string RunDiskAreaRefusal(const RunRequest &req, BusKind bus, const std::string &path)
{
    if (req.mode != RunMode::Update || path.empty() ||
        ChooseUpdateProcedure(QuietInputs(req, bus)).procedure != UpdateProcedure::RunDiskFirmwareUpdate)
        return {};
    std::vector<std::uint8_t> head;
    std::uint64_t length = 0;
    if (!ReadChosenFile(req, head, length))
        return {};
    return DiskAreaRefusal(path, req.chip.ChipTypeCode, length);
}

bool RunRefusesFile(const RunRequest &req, BusKind bus, const std::string &path)
{
    return !RunRefusalText(req, bus, path).empty();
}

void UpdateBtnClick(TBrigantFwTool &form)
{
    form.UpdateBtn.setEnabled(false);
    DebugOut("Update Btn Press\n");
    const DeviceEntry &entry = form.selectedEntry();
    const std::string path = entry.path;
    form.StatusEdit.setText("");

    form.runResult = 0;
    const RunRequest req = RequestFromWindow(form);
    WindowRunHost host(form);
    if (auto refused = RefuseFile(req, entry.bus, path, host)) {
        form.lastRun = *refused;
        form.UpdateBtn.setEnabled(true);
        return;
    }
    const RunChoice choice = ChoiceFor(req, entry.bus, path, host);
    if (choice.refusedTooLarge) {
        form.lastRun = RunChosen(choice, req, path, host);
        return;
    }
    // ProgressBar1 follows the procedure's steps while it runs.
    UiServices &ui = Ui();
    auto previous = ui.setProgressListener([&form](const ProgressEvent &e) {
        form.ProgressBar1.setPosition(e.total ? static_cast<int>(e.done * 100 / e.total) : 0);
    });
    form.lastRun = RunChosen(choice, req, path, host);
    form.runResult = form.lastRun.ok() ? 1 : 0;
    ui.setProgressListener(std::move(previous));
    form.UpdateBtn.setEnabled(true);
    if (choice.resetsProgress)
        form.ProgressBar1.setPosition(0);
}

} // namespace brigant
