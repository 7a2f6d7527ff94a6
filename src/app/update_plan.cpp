#include "app/update_plan.h"

#include "app/file_verdict.h"
#include "app/next_step.h"
#include "app/quiet_host.h"
#include "app/run_dispatch.h"
#include "image/chip_types.h"
#include "update/assisted/buffer_transfer.h"
#include "update/register/register_update.h"

namespace brigant
{

namespace
{

UpdatePlan AlreadyInstalled(UpdatePlan plan, const std::string &file)
{
    plan.action = PlanAction::NothingToDo;
    plan.reason = "runs the version of " + file + " already";
    return plan;
}

} // namespace

SettingsFate DecideSettings(const ChipIdentity &chip, BusKind bus, const RunRequest &req, bool nvramOffered)
{
    const bool erase = req.mode == RunMode::EraseOnly;
    RunInputs in;
    in.chip = chip;
    in.bus = bus;
    in.serviceMode = erase;
    // The probe's answer that lets a code take the SST path: that path
    // writes (or erases) the whole flash whatever the check box says.
    in.xdataProbe = 1;
    const UpdateProcedure procedure = ChooseUpdateProcedure(in).procedure;
    if (procedure == UpdateProcedure::UpdateBlockwiseSst)
        return erase ? SettingsFate::Erased : SettingsFate::Replaced;
    // The firmware-assisted erase keeps the area by the box, shown or not.
    if (nvramOffered || (erase && FamilyOf(procedure) == UpdateFamily::Assisted)) {
        if (!req.includeNvram)
            return SettingsFate::Kept;
        if (erase)
            return SettingsFate::Erased;
        // The block-wise update takes the file's area only when it has one.
        if (procedure == UpdateProcedure::UpdateBlockwise &&
            HasNvramArea(chip.ChipTypeCode, req.firmwareFile) != 1)
            return SettingsFate::KeptFileHasNone;
        return SettingsFate::Replaced;
    }
    if (ChipTypeOf(chip.ChipTypeCode).bufferPath && !erase)
        return SettingsFate::WrittenAsIs;
    return SettingsFate::NotApplicable;
}

const char *SettingsFateName(SettingsFate fate)
{
    switch (fate) {
    case SettingsFate::Kept:
    case SettingsFate::KeptFileHasNone:
        return "kept";
    case SettingsFate::Replaced:
        return "replaced";
    case SettingsFate::Erased:
        return "erased";
    case SettingsFate::WrittenAsIs:
        return "written as it is";
    case SettingsFate::NotApplicable:
        break;
    }
    return "none";
}

const char *PlanRefusalName(PlanRefusal refusal)
{
    switch (refusal) {
    case PlanRefusal::None:
        break;
    case PlanRefusal::NotSupported:
        return "not supported";
    case PlanRefusal::RunsFromRom:
        return "runs from ROM";
    case PlanRefusal::NoSerialRecord:
        return "no serial record";
    case PlanRefusal::FileDoesNotFit:
        return "file does not fit";
    case PlanRefusal::NoNvramArea:
        return "no NVRAM area";
    case PlanRefusal::NoBufferPath:
        return "no buffer path";
    case PlanRefusal::FlashRefusesFile:
        return "flash refuses file";
    case PlanRefusal::AreaNotFree:
        return "area not free";
    case PlanRefusal::BufferNotReady:
        return "buffer not ready";
    case PlanRefusal::OlderVersion:
        return "older version";
    }
    return nullptr;
}

namespace
{

// `byBytes`: the store alone decides whether the file is there already (the
// file carries no version the tool reads, or its version is not the one the
// bridge reports).
void WeighAgainstStore(UpdatePlan &plan, const DeviceEntry &entry, const PlanRequest &request, bool byBytes)
{
    const std::vector<std::uint8_t> *store = request.readStore();
    if (!store || store->empty())
        return;
    QuietHost host(request.transfer, store);
    RunRequest compare = request.run;
    compare.mode = RunMode::VerifyOnly;
    const RunOutcome outcome = RunRequested(compare, entry.bus, entry.path, host);
    if (!outcome.ok() || outcome.verify.compared == 0)
        return;
    plan.storeCompared = true;
    plan.storeDifference = outcome.verify;
    PlanLayout &layout = plan.layout.emplace();
    layout.write = outcome.verify.ranges;
    layout.erase =
        PlannedErase(request.run, outcome.procedure, request.transfer, layout.write, store->size());
    layout.backup = {{0, store->size()}};
    layout.differing = outcome.verify.differingRanges;
    if (request.changedOnly) {
        plan.wholeImageWhy = WholeImageOnlyReason(request.run, outcome.procedure, request.transfer);
        if (plan.wholeImageWhy.empty()) {
            plan.changedOnly = true;
            layout.erase =
                ChangedOnlyErase(request.run, outcome.procedure, request.transfer, layout.differing);
            layout.write = Intersect(layout.write, layout.erase);
        }
    }
    // A cut write is finished whatever the store holds; a reinstall asked
    // for, or a file whose version tells it, is not decided by the bytes.
    if (outcome.verify.differing == 0 && !plan.finishing && byBytes && !request.versions.allowReinstall) {
        plan.storeHoldsFile = true;
        plan.action = PlanAction::NothingToDo;
        plan.reason =
            std::string("the ") +
            (outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate ? "disk's firmware area" : "flash") +
            " already holds " + request.file;
    }
}

} // namespace

std::string ProductSerialRefusal(const BridgeState &state)
{
    const std::uint8_t code = state.chip.ChipTypeCode;
    if (!ChipTypeOf(code).bufferPath)
        return "the update of chip type code " + std::to_string(code) +
               " writes no product serial record (codes 15 to 18 do)";
    if (!state.bridge.bufferPath)
        return "this bridge does not offer the buffer transfer that writes the product serial record";
    if (state.runs != BridgeRuns::Rom)
        return "the product serial record is written only while the bridge runs from its ROM (a blank unit); "
               "this one runs its firmware from the flash";
    if (state.chip.FlashSizeKb > 0 &&
        static_cast<std::uint32_t>(state.chip.FlashSizeKb) * 1024 < kProductBlockOffset + kBufferChunk)
        return "its flash (" + std::to_string(state.chip.FlashSizeKb) +
               " KiB) has no room for the product block at 0x44000";
    return {};
}

namespace
{

// Ends the plan with `refusal` for `reason`: true, so that a step can return it.
bool Refuse(UpdatePlan &plan, PlanRefusal refusal, std::string reason)
{
    plan.refusal = refusal;
    plan.reason = std::move(reason);
    return true;
}

// An earlier write of this file to this bridge that was cut: the same
// write finishes it, with the checks that read the running firmware
// waived (a half-written flash answers them wrongly).
void FindCutWrite(UpdatePlan &plan, const BridgeState &state, const DeviceEntry &entry,
                  const PlanRequest &request)
{
    if (!state.openEntry)
        return;
    PlannedWrite write;
    write.bridge = BridgeJournalKey(entry.path);
    write.device = entry.path;
    write.series = state.bridge.series;
    write.chipCode = state.chip.ChipTypeCode;
    write.firmware = request.file;
    if (RepeatsCutWrite(*state.openEntry, write))
        plan.finishing = state.openEntry;
}

// Whether the run asks for a product serial number record.
bool SerialAsked(const PlanRequest &request)
{
    return request.productSerial && request.run.mode == RunMode::Update;
}

// What refuses the bridge before its file is looked at. True: the plan is decided.
bool RefusedBeforeTheFile(UpdatePlan &plan, const BridgeState &state, const PlanRequest &request)
{
    if (!state.bridge.supported)
        return Refuse(plan, PlanRefusal::NotSupported,
                      "this bridge cannot be updated (chip type code " +
                          std::to_string(state.chip.ChipTypeCode) + ")");
    // A product serial number goes only where the update writes the record:
    // a buffer-path bridge that runs from its ROM (a blank unit), through the
    // manufacturing firmware the update downloads first.
    if (SerialAsked(request))
        if (std::string why = ProductSerialRefusal(state); !why.empty())
            return Refuse(plan, PlanRefusal::NoSerialRecord, "--serial: " + why);
    // A bridge in its ROM takes no file: the recovery brings its firmware
    // back. A blank unit given its serial number is updated from the ROM.
    if (!plan.finishing && state.runs == BridgeRuns::Rom && !SerialAsked(request))
        return Refuse(plan, PlanRefusal::RunsFromRom, NextStepFor(state).warning);
    return false;
}

// The bridge's own file, refused only for the version it runs: when that is
// the file's version (or the flash holds the file), the file is there
// already. True: the plan is decided.
bool AlreadyThere(UpdatePlan &plan, const BridgeState &state, const DeviceEntry &entry,
                  const PlanRequest &request)
{
    plan.to = FirmwareFileVersion(request.file, state.chip.ChipTypeCode);
    plan.order = CompareVersions(plan.to, state.bridge.version);
    if (plan.order == VersionOrder::Same) {
        plan.madeForIt = true;
        plan.reinstallRefused = true;
        plan = AlreadyInstalled(plan, request.file);
        return true;
    }
    // Refused for the version the bridge runs, which is not the file's as
    // the tool reads them: the flash may hold the file all the same.
    if (request.readStore && request.askDevice) {
        WeighAgainstStore(plan, entry, request, true);
        if (plan.storeHoldsFile) {
            plan.madeForIt = true;
            plan.reinstallRefused = true;
            return true;
        }
        plan.layout.reset();
        plan.storeCompared = false;
    }
    return false;
}

// The file's own checks against this bridge. True: the plan is decided.
bool FileRefused(UpdatePlan &plan, const BridgeState &state, const DeviceEntry &entry,
                 const PlanRequest &request)
{
    if (plan.finishing)
        return false;
    // A blank unit runs no firmware to weigh the file against: only the
    // chip's own checks hold (the manufacturing firmware checks the model).
    const bool blankUnit = SerialAsked(request) && state.runs == BridgeRuns::Rom;
    plan.check = CheckFileForBridge(request.file, state.chip, entry.path);
    std::string why = OneLineRefusal(plan.check, state.chip, request.file);
    if (blankUnit && plan.check.refusedByRunningVersion)
        why.clear();
    if (why.empty())
        return false;
    if (plan.check.refusedByRunningVersion && !request.versions.allowReinstall &&
        AlreadyThere(plan, state, entry, request))
        return true;
    Refuse(plan, PlanRefusal::FileDoesNotFit, std::move(why));
    plan.madeForIt = plan.check.result != LoadResult::Mismatch && plan.check.result != LoadResult::Refused;
    return true;
}

// What the request, the flash, the disk area or the buffer refuse of a file
// that is this model's. True: the plan is decided.
bool RunRefused(UpdatePlan &plan, const BridgeState &state, const DeviceEntry &entry,
                const PlanRequest &request)
{
    if (request.includeNvram && !state.bridge.nvramOffered)
        return Refuse(plan, PlanRefusal::NoNvramArea,
                      "--include-nvram: this bridge has no 4K NVRAM area to include");
    if (request.readWriteBuffer && !state.bridge.bufferPath)
        return Refuse(plan, PlanRefusal::NoBufferPath,
                      "--read-write-buffer: this bridge does not offer the buffer transfer");
    if (RunRefusesFile(request.run, entry.bus, entry.path)) {
        std::string why = RunRefusalText(request.run, entry.bus, entry.path);
        return Refuse(plan, PlanRefusal::FlashRefusesFile,
                      why.empty() ? std::string("the file is larger than the flash") : why);
    }
    // An identification read that failed leaves the family itself in doubt
    // (a flash or the disk area): the run refuses it, naming that read.
    if (request.askDevice && RunIdentityRefusal(request.run).empty())
        if (std::string why = RunDiskAreaRefusal(request.run, entry.bus, entry.path); !why.empty())
            return Refuse(plan, PlanRefusal::AreaNotFree, std::move(why));
    // The buffer path checks the bridge's buffer before it writes: a bridge
    // whose buffer is not as the first step needs is refused before the
    // question and the backup, not after them. (A cut write is finished
    // whatever the half-written firmware answers.)
    if (request.askDevice && !plan.finishing && request.run.mode == RunMode::Update &&
        request.run.readWriteBuffer && ChipTypeOf(state.chip.ChipTypeCode).bufferPath)
        if (std::string why = BufferUpdateRefusal(entry.path); !why.empty())
            return Refuse(plan, PlanRefusal::BufferNotReady, std::move(why));
    return false;
}

// The versions last: a file that cannot be written is refused whatever
// version it carries. True: the plan is decided.
bool VersionRefused(UpdatePlan &plan, const PlanRequest &request)
{
    if (plan.order == VersionOrder::Same && !request.versions.allowReinstall) {
        plan = AlreadyInstalled(plan, request.file);
        return true;
    }
    if (plan.order == VersionOrder::Older && !request.versions.allowOlder)
        return Refuse(plan, PlanRefusal::OlderVersion,
                      "version " + PlainVersion(plan.to) + " is older than the running " +
                          PlainVersion(plan.from));
    return false;
}

} // namespace

UpdatePlan PlanUpdate(const BridgeState &state, const DeviceEntry &entry, const PlanRequest &request)
{
    UpdatePlan plan;
    plan.from = state.bridge.version;
    plan.settings = DecideSettings(state.chip, entry.bus, request.run, state.bridge.nvramOffered);
    if (state.bridge.supported)
        FindCutWrite(plan, state, entry, request);
    if (RefusedBeforeTheFile(plan, state, request) || FileRefused(plan, state, entry, request))
        return plan;
    // Past the match check: whatever refuses it now, the file is this model's.
    plan.madeForIt = true;
    plan.to = FirmwareFileVersion(request.file, state.chip.ChipTypeCode);
    plan.order = plan.finishing ? VersionOrder::Unknown : CompareVersions(plan.to, plan.from);
    if (RunRefused(plan, state, entry, request) || VersionRefused(plan, request))
        return plan;
    plan.action = plan.finishing ? PlanAction::Finish : PlanAction::Write;
    // The store, read once, is compared with what the write would leave
    // there (the read-only mode's comparison, on the bytes just read): where
    // the write erases and programs, how much differs, and, for a file whose
    // version the tool does not read, whether the store holds it already.
    if (request.readStore && request.askDevice)
        WeighAgainstStore(plan, entry, request, plan.to.empty());
    if (request.changedOnly && !plan.layout)
        plan.wholeImageWhy = "the flash was not read for the plan";
    return plan;
}

void ApplyChangedOnly(RunRequest &run, const UpdatePlan &plan)
{
    if (plan.changedOnly && plan.layout)
        run.onlyChanged = plan.layout->differing;
}

RunRequest VerbRunRequest(const BridgeState &state, const INI_STATE &settings, int candidateCount,
                          RunMode mode, const std::string &file, bool includeNvram)
{
    RunRequest req;
    req.mode = mode;
    req.includeNvram = state.bridge.nvramOffered ? includeNvram : true;
    req.readWriteBuffer = state.bridge.bufferPath;
    req.serial.vid = settings.VID;
    req.serial.pid = settings.PID;
    req.serial.text = settings.SerialText();
    req.chipResetsItself = settings.ChipReset == 1;
    if (mode == RunMode::Update)
        req.firmwareFile = file;
    if (mode == RunMode::BackupOnly)
        req.backupFile = file;
    req.chip = state.chip;
    req.candidateCount = candidateCount;
    return req;
}

} // namespace brigant
