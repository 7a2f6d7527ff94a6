#pragma once
// What a verb's JSON document says besides its own fields: the messages the
// run said (cli/say.h), each with its severity, as a list a script can read.
#include "app/update_plan.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>

// CLI11 is costly to compile; only the files that declare options include it.
namespace CLI
{
class App;
} // namespace CLI

namespace brigant::cli
{

// --index N (the device list entry) and --json, as every reporting verb takes them.
void AddIndexAndJson(CLI::App &verb, int &index, bool &json);

// Runs a verb that reports on what it did (update, erase, backup, verify,
// repair, recover). With `json` its human output goes to standard error and
// standard output gets one document (docs/json.md): the device and chip, the
// firmware version before and after, the backup, the status, the reason of a
// refusal or failure, the result, the exit status and the messages printed;
// also when an interrupt stops the run (the stop then goes on to the caller).
int WithReport(bool json, const char *verb, const std::function<int()> &run);

// The `result` word of a report for an exit status.
const char *ResultName(int exitCode);

// What the verb in progress tells its report (nothing without --json).
void ReportDevice(const std::string &path, const std::string &chip, int typeCode);
void ReportStatus(const std::string &status);
// The version running before, and the one the flash holds after (empty: not known).
void ReportVersions(const std::string &before, const std::string &after);
// The backup file, and the range of the flash (or disk area) it holds.
void ReportBackup(const std::string &file, std::uint64_t bytes = 0, const std::string &area = "flash");
// Why the run did not succeed, when no error message says it.
void ReportReason(const std::string &why);
// The plan's refusal as JSON gives it: its name, or null for none.
nlohmann::json RefusalJson(PlanRefusal refusal);
// {"erase": [{"start", "end"}...], "write": ..., "backup": ..., "differing": ...};
// null when the store was not compared.
nlohmann::json LayoutJson(const std::optional<PlanLayout> &layout);
// A verb's own fields (verify's comparison), under `key`.
void ReportField(const std::string &key, const nlohmann::json &value);

} // namespace brigant::cli
