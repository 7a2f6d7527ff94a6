#include "app/file_verdict.h"

#include "app/bridge_state.h"
#include "app/check_report.h"
#include "app/run_dispatch.h"
#include "app/update_plan.h"
#include "app/window_journal.h"
#include "app/window_run.h"
#include "image/chip_types.h"
#include "model/fwupdate.h"

namespace brigant
{

std::string LoadCheckText(const LoadCheck &load)
{
    switch (load.result) {
    case LoadResult::Accepted:
        return "";
    case LoadResult::TooLarge:
        return "the file is larger than any firmware file";
    case LoadResult::OpenFailed:
        return "the file could not be read";
    case LoadResult::NotChecked:
        return "the running firmware could not be asked whether the file fits it";
    case LoadResult::Mismatch:
        return load.reason.empty() ? "the file does not fit this bridge's chip" : load.reason;
    case LoadResult::Refused:
        return load.reason.empty() ? "the file cannot be written to this bridge" : load.reason;
    case LoadResult::None:
        break;
    }
    return "no file was checked";
}

std::string LoadRefusal(const LoadCheck &check, const ChipIdentity &identity, const std::string &file)
{
    if (check.result != LoadResult::Mismatch)
        return LoadCheckText(check);
    // The running firmware of a buffer-path bridge judged it; for the others
    // the findings of the match check follow.
    if (!check.reason.empty() && ChipTypeOf(identity.ChipTypeCode).bufferPath)
        return "the file does not fit the firmware running on this bridge: " + check.reason;
    // The same findings as `check` gives, for the chip identification found.
    ChipChoice chip;
    chip.code = identity.ChipTypeCode;
    chip.subRevision = identity.ChipSubRevision;
    std::string findings;
    if (DescribeFirmwareFileCheck(file, chip, findings) != FileCheckOutcome::DoesNotFit || findings.empty())
        return "the file does not fit the firmware running on this bridge";
    while (!findings.empty() && findings.back() == '\n')
        findings.pop_back();
    std::string indented;
    for (const char c : findings)
        indented += c == '\n' ? std::string("\n  ") : std::string(1, c);
    return "the file does not fit this bridge:\n  " + indented;
}

std::string OneLineRefusal(const LoadCheck &check, const ChipIdentity &identity, const std::string &file)
{
    const std::string why = LoadRefusal(check, identity, file);
    if (why.empty() || check.result != LoadResult::Mismatch || ChipTypeOf(identity.ChipTypeCode).bufferPath)
        return why.substr(0, why.find('\n'));
    ChipChoice chip;
    chip.code = identity.ChipTypeCode;
    chip.subRevision = identity.ChipSubRevision;
    const FileCheckReport report = CheckFirmwareFile(file, chip);
    return "the file does not fit this bridge" + (report.reason.empty() ? "" : " (" + report.reason + ")");
}

RunRequest FileRunRequest(const TBrigantFwTool &form, const std::string &file)
{
    RunRequest req = RequestFromWindow(form);
    req.mode = RunMode::Update;
    req.firmwareFile = file;
    return req;
}

std::string FileRefusalForSelected(TBrigantFwTool &form, const std::string &file)
{
    if (form.candidateCount == 0 || form.chip.ChipTypeCode == 0)
        return "no bridge is selected";
    // The window's boxes offer only what the bridge has, and Run weighs no
    // versions: the plan's file checks are what it asks.
    PlanRequest request;
    request.file = file;
    request.versions = {.allowReinstall = true, .allowOlder = true};
    request.run = FileRunRequest(form, file);
    request.askDevice = false; // the window's run checks the disk area itself
    const UpdatePlan plan = PlanUpdate(SelectedBridgeState(form), form.selectedEntry(), request);
    return plan.writes() ? std::string() : plan.reason;
}

} // namespace brigant
