#include "app/run_dispatch.h"

#include "bridge/chip_commands.h"
#include "common/debug_log.h"
#include "forms/ui_services.h"
#include "image/file_checks.h"
#include "image/file_refusal.h"
#include "image/firmware_file.h"
#include "model/fwupdate.h"
#include "update/assisted/assisted_update.h"
#include "update/assisted/sbp2_update.h"
#include "update/diskarea/disk_update.h"
#include "update/register/register_update.h"
#include "update/staging/conversion_update.h"

#include <array>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::int32_t kSstFlashKind = 2;
constexpr std::uint8_t kLastRegisterSubRevision = 4;
constexpr std::uint16_t kXdataProbeAddress = 0x505E;

UpdateProcedure SstOr(const RunInputs &in, UpdateProcedure otherwise)
{
    return in.chip.SstWordMode ? UpdateProcedure::UpdateBlockwiseSst : otherwise;
}

int DoNothing(TBrigantFwTool &, const std::string &) { return 0; }

struct ProcedureEntry {
    UpdateProcedure procedure;
    const char *name;
    UpdateProcedureFn run;
};

// One entry per procedure, in the order of UpdateProcedure.
const std::array<ProcedureEntry, 8> kProcedureTable = {{
    {UpdateProcedure::None, "none", DoNothing},
    {UpdateProcedure::UpdateWholeImage, "UpdateWholeImage", UpdateWholeImage},
    {UpdateProcedure::UpdateBlockwise, "UpdateBlockwise", UpdateBlockwise},
    {UpdateProcedure::UpdateBlockwiseSst, "UpdateBlockwiseSst", UpdateBlockwiseSst},
    {UpdateProcedure::RunAssistedUpdate, "RunAssistedUpdate", RunAssistedUpdate},
    {UpdateProcedure::RunSbp2Update, "RunSbp2Update", RunSbp2Update},
    {UpdateProcedure::RunDiskFirmwareUpdate, "RunDiskFirmwareUpdate", RunDiskFirmwareUpdate},
    {UpdateProcedure::RunConversionUpdate, "RunConversionUpdate", RunConversionUpdate},
}};

const ProcedureEntry &EntryOf(UpdateProcedure procedure)
{
    const auto i = static_cast<std::size_t>(procedure);
    return kProcedureTable[i < kProcedureTable.size() ? i : 0];
}

bool ServiceMode(const TBrigantFwTool &form)
{
    return form.EraseOnlyCheck.checked() || form.BackupFWCheckBox.checked();
}

// The Run inputs that need no command to the bridge.
RunInputs QuietInputs(TBrigantFwTool &form)
{
    RunInputs in;
    in.chip = form.chip;
    in.bus = form.selectedEntry().bus;
    in.serviceMode = ServiceMode(form);
    return in;
}

// The chosen file's first bytes and length; false when it cannot be read.
bool ReadChosenFile(const TBrigantFwTool &form, std::vector<std::uint8_t> &head, std::uint64_t &length)
{
    return ReadFirmwareFileHead(form.FwFilenameEdit.text().c_str(), kFileRefusalProbeEnd, head, &length) == 1;
}

} // namespace

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
        if (in.chip.FlashKind == 0) {
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
            in.chip.FlashKind == kSstFlashKind ? UpdateProcedure::UpdateBlockwiseSst : row.procedure;
        break;
    case RunVariant::XdataProbe:
        if (in.xdataProbe == 0 && in.chip.ChipSubRevision <= kLastRegisterSubRevision)
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
    return ReadXdata(path, reply, kXdataProbeAddress, 4) && reply[1] == 0 && reply[2] == 1 ? 1 : 0;
}

UpdateProcedureFn ProcedureFor(UpdateProcedure procedure) { return EntryOf(procedure).run; }
const char *ProcedureName(UpdateProcedure procedure) { return EntryOf(procedure).name; }

bool RunWritesFile(const TBrigantFwTool &form)
{
    const bool erase = form.EraseOnlyCheck.checked() || form.eraseOnly != 0;
    return !(form.RdCheckBox.checked() && (erase || form.BackupFWCheckBox.checked()));
}

std::string RunFileRefusal(TBrigantFwTool &form)
{
    if (!RunWritesFile(form))
        return {};
    const RunInputs in = QuietInputs(form);
    const UpdateProcedure procedure = ChooseUpdateProcedure(in).procedure;
    if (procedure == UpdateProcedure::None)
        return {};
    std::vector<std::uint8_t> head;
    std::uint64_t length = 0;
    if (!ReadChosenFile(form, head, length))
        return {};
    // The disk-stored family checks the file against its area itself; code
    // 11's size check has its own message.
    const bool sized = procedure != UpdateProcedure::RunDiskFirmwareUpdate &&
                       !NeedsSizeCheck(in.chip, in.serviceMode) && form.chip.FlashSizeKb > 0;
    const std::uint64_t flashBytes = sized ? std::uint64_t(form.chip.FlashSizeKb) * 1024 : 0;
    return FirmwareFileRefusal(head, length, form.chip.ChipTypeCode, flashBytes);
}

bool RunRefusesFile(TBrigantFwTool &form)
{
    if (!RunWritesFile(form))
        return false;
    if (NeedsSizeCheck(form.chip, ServiceMode(form))) {
        std::vector<std::uint8_t> head;
        std::uint64_t length = 0;
        const std::uint64_t flash =
            std::uint64_t(static_cast<std::uint32_t>(form.chip.FlashSizeKb) & 0xFFFFFFu) * 1024;
        if (!ReadChosenFile(form, head, length) || length > flash)
            return true;
    }
    return !RunFileRefusal(form).empty();
}

void UpdateBtnClick(TBrigantFwTool &form)
{
    form.UpdateBtn.setEnabled(false);
    DebugOut("Update Btn Press\n");
    const DeviceEntry &entry = form.selectedEntry();
    const std::string path = entry.path;
    form.StatusEdit.setText("");

    form.runResult = 0;
    // A file that cannot be the bridge's firmware is refused before anything
    // is sent to the bridge: most procedures erase first.
    if (const std::string why = RunFileRefusal(form); !why.empty()) {
        ShowStatus(form.StatusEdit, kFileRefusedText + why + "; nothing was written.");
        form.UpdateBtn.setEnabled(true);
        return;
    }
    RunInputs in;
    in.chip = form.chip;
    in.bus = entry.bus;
    in.serviceMode = form.EraseOnlyCheck.checked() || form.BackupFWCheckBox.checked();
    if (NeedsXdataProbe(in.chip))
        in.xdataProbe = ProbeXdata505E(path);
    if (NeedsSizeCheck(in.chip, in.serviceMode))
        in.fileFitsFlash = FileFitsFlash(form.FwFilenameEdit.text().c_str(),
                                         static_cast<std::uint32_t>(form.chip.FlashSizeKb));

    const RunChoice choice = ChooseUpdateProcedure(in);
    if (choice.refusedTooLarge) {
        Ui().messageBox(kFileTooLargeText, "Message", MessageKind::Information);
        return;
    }
    // ProgressBar1 follows the procedure's steps while it runs.
    UiServices &ui = Ui();
    auto previous = ui.setProgressListener([&form](const ProgressEvent &e) {
        form.ProgressBar1.setPosition(e.total ? static_cast<int>(e.done * 100 / e.total) : 0);
    });
    form.runResult = ProcedureFor(choice.procedure)(form, path) == 1 ? 1 : 0;
    ui.setProgressListener(std::move(previous));
    form.UpdateBtn.setEnabled(true);
    if (choice.resetsProgress)
        form.ProgressBar1.setPosition(0);
}

} // namespace brigant
