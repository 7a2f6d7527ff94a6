#include "cli/json_report.h"
#include "cli/cli_context.h"
#include "cli/say.h"
#include "cli/user_text.h"
#include "cli/write_safety.h"
#include "common/hex.h"

#include <CLI/CLI.hpp>
#include <cstring>
#include <iostream>

namespace brigant::cli
{

namespace
{

// What a verb did, for its --json report.
struct Report {
    std::string device;
    std::string chip;
    int typeCode = -1;
    std::string status;
    std::string versionBefore;
    std::string versionAfter;
    nlohmann::json backup;
    std::string reason;
    nlohmann::json fields = nlohmann::json::object();
};
// The report of the run in progress (the verbs fill it as they go).
Report *currentReport = nullptr;

} // namespace

const char *ResultName(int exitCode)
{
    switch (exitCode) {
    case kExitOk:
        return "success";
    case kExitFailed:
        return "failed";
    case kExitUsage:
        return "refused";
    case kExitNoDevice:
        return "no device";
    case kExitNothingToDo:
        return "nothing to do";
    case kExitDeclined:
        return "declined";
    case kExitBusy:
        return "busy";
    default:
        return "stopped";
    }
}

namespace
{

const char *PhaseName(WritePhase phase)
{
    switch (phase) {
    case WritePhase::Idle:
        return "idle";
    case WritePhase::Checking:
        return "checking";
    case WritePhase::BackingUp:
        return "backing up";
    case WritePhase::Writing:
        return "writing";
    }
    return "idle";
}

nlohmann::json TextOrNull(const std::string &text)
{
    return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

} // namespace

void AddIndexAndJson(CLI::App &verb, int &index, bool &json)
{
    verb.add_option("--index", index, "Device list entry (default: the first)")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    verb.add_flag(
        "--json", json,
        "End with a JSON report on standard output (the rest goes to standard error; docs/json.md)");
}

void ReportDevice(const std::string &path, const std::string &chip, int typeCode)
{
    if (!currentReport)
        return;
    currentReport->device = path;
    currentReport->chip = chip;
    currentReport->typeCode = typeCode;
}

void ReportStatus(const std::string &status)
{
    if (currentReport)
        currentReport->status = status;
}

void ReportVersions(const std::string &before, const std::string &after)
{
    if (!currentReport)
        return;
    currentReport->versionBefore = UserVersion(before);
    currentReport->versionAfter = UserVersion(after);
}

void ReportBackup(const std::string &file, std::uint64_t bytes, const std::string &area)
{
    if (!currentReport || file.empty())
        return;
    // A later call with the range completes the one without it.
    if (bytes == 0 && currentReport->backup.is_object() && currentReport->backup["file"] == file)
        return;
    currentReport->backup = {{"file", file},
                             {"area", area == "flash" ? "flash" : "disk area"},
                             {"from", bytes == 0 ? nlohmann::json() : nlohmann::json("0x0")},
                             {"to", bytes == 0 ? nlohmann::json() : nlohmann::json(HexNumber(bytes - 1))}};
}

void ReportReason(const std::string &why)
{
    if (currentReport && currentReport->reason.empty())
        currentReport->reason = why;
}

nlohmann::json RefusalJson(PlanRefusal refusal)
{
    const char *name = PlanRefusalName(refusal);
    return name ? nlohmann::json(name) : nlohmann::json();
}

nlohmann::json LayoutJson(const std::optional<PlanLayout> &layout)
{
    if (!layout)
        return nullptr;
    const auto ranges = [](const StoreRanges &rs) {
        nlohmann::json out = nlohmann::json::array();
        for (const StoreRange &r : rs)
            out.push_back({{"start", r.start}, {"end", r.end}});
        return out;
    };
    return {{"erase", ranges(layout->erase)},
            {"write", ranges(layout->write)},
            {"backup", ranges(layout->backup)},
            {"differing", ranges(layout->differing)}};
}

void ReportField(const std::string &key, const nlohmann::json &value)
{
    if (currentReport)
        currentReport->fields[key] = value;
}

int WithReport(bool json, const char *verb, const std::function<int()> &run)
{
    if (!json)
        return run();
    Report report;
    currentReport = &report;
    MessageLog said;
    std::streambuf *stdoutBuffer = std::cout.rdbuf(std::cerr.rdbuf());
    const auto document = [&](int exitCode, const char *result) {
        nlohmann::json d = {
            {"verb", verb},
            {"device", TextOrNull(report.device)},
            {"chip", report.typeCode < 0
                         ? nlohmann::json()
                         : nlohmann::json{{"name", TextOrNull(report.chip)}, {"typeCode", report.typeCode}}},
            {"firmware",
             {{"before", TextOrNull(report.versionBefore)}, {"after", TextOrNull(report.versionAfter)}}},
            {"backup", report.backup},
            {"status", report.status.empty() ? std::string(result) : report.status},
            {"result", result},
            {"exit_status", exitCode},
        };
        // Why it did not succeed, in the program's words: the reason the
        // verb reported, else the first error it said.
        const std::string error = report.reason.empty() ? said.first(Severity::Error) : report.reason;
        d["reason"] =
            exitCode == kExitOk || exitCode == kExitNothingToDo ? nlohmann::json() : TextOrNull(error);
        d["messages"] = said.json();
        for (const auto &[key, value] : report.fields.items())
            d[key] = value;
        return d;
    };
    int exitCode = kExitFailed;
    try {
        exitCode = run();
    } catch (const StopRequested &stop) {
        if (report.backup.is_null())
            ReportBackup(stop.backupFile);
        std::cout.rdbuf(stdoutBuffer);
        currentReport = nullptr;
        nlohmann::json d = document(128 + stop.signal, "stopped");
        d["stoppedWhile"] = PhaseName(stop.phase);
        d["state"] = StoppedStateText(stop);
        // Said on standard error once the report is out: a message of the run all the same.
        d["messages"].push_back({{"severity", SeverityName(Severity::Error)},
                                 {"code", MessageCodeName(MessageCode::Stopped)},
                                 {"text", d["state"]},
                                 {"fields", {{"signal", stop.signal}, {"while", PhaseName(stop.phase)}}}});
        std::cout << JsonText(d) << std::flush;
        throw;
    }
    std::cout.rdbuf(stdoutBuffer);
    currentReport = nullptr;
    // Exit 3 also stands for a chip the tool does not update: "no device"
    // only when none was found.
    const char *result =
        exitCode == kExitNoDevice && !report.device.empty() ? "not supported" : ResultName(exitCode);
    std::cout << JsonText(document(exitCode, result));
    return exitCode;
}

} // namespace brigant::cli
