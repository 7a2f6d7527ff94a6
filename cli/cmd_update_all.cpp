// brigant-fw update --all: this process identifies every bridge and plans
// what update FILE would do with each, asks once, then starts one worker per
// bridge to update (brigant-fw itself, on that bridge alone, with --yes and
// --json), follows them and reports. A worker keeps all the single update's
// rules (backup, mounted filesystems, versions, journal, interrupts) and its
// own program-wide state; one that crashes stops no other.
#include "app/one_button.h"
#include "app/update_journal.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/progress_view.h"
#include "cli/say.h"
#include "cli/station_log.h"
#include "cli/update_all.h"
#include "cli/user_text.h"
#include "cli/worker_channel.h"
#include "cli/worker_pool.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "device/bridge_lock.h"
#include "image/firmware_file.h"
#include "runtime/runtime.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace brigant::cli
{

std::string ActionText(const DevicePlan &plan, bool severalFiles)
{
    switch (plan.action) {
    case DevicePlan::Action::Update:
        return std::string(plan.finishing ? "finish the cut update" : "update") +
               (severalFiles && !plan.file.empty() ? " with " + plan.file : "");
    case DevicePlan::Action::Current:
        return "nothing to do: " + plan.reason;
    case DevicePlan::Action::Skip:
        break;
    }
    return "skip: " + plan.reason;
}

// The --slots file: one "PORT LABEL" a line (blank lines and lines that
// start with '#' aside). Empty on success, else why it cannot be used.
std::string ReadSlots(const std::string &file, std::map<std::string, std::string> &slots)
{
    std::ifstream in(file);
    if (!in)
        return "--slots " + file + ": cannot be read";
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const std::size_t gap = line.find_first_of(" \t", start);
        const std::size_t label = gap == std::string::npos ? gap : line.find_first_not_of(" \t", gap);
        const std::size_t end = line.find_last_not_of(" \t\r");
        if (label == std::string::npos)
            return "--slots " + file + ":" + std::to_string(number) +
                   ": a port path and a label are expected";
        const std::string port = line.substr(start, gap - start);
        if (!slots.emplace(port, line.substr(label, end + 1 - label)).second)
            return "--slots " + file + ":" + std::to_string(number) + ": port " + port + " is given twice";
    }
    return {};
}

// The worker of a listed bridge, with its plan: the bridge's lock taken (a
// bridge another program of ours works on is planned as busy and asked
// nothing), identified and planned as update FILE plans it.
Worker PlanListedBridge(const ListedBridge &bridge, int index, int candidateCount, const AllOptions &options,
                        const std::map<std::string, std::string> &slots, const INI_STATE &settings,
                        ChipIdentity &carried)
{
    Worker w;
    BridgeLocks &locks = ProcessBridgeLocks();
    const std::string path = bridge.entry.path;
    const std::string port = bridge.entry.location;
    const auto slot = slots.find(port);
    const std::string label = port.empty() || slot == slots.end() ? std::string() : slot->second;
    if (const BridgeLocks::Attempt a = locks.take(locks.locationOf(path));
        a.taken == BridgeLocks::Taken::Busy) {
        w.plan.index = index;
        w.plan.path = path;
        w.plan.chip = "unknown";
        w.plan.from = "unknown";
        w.plan.reason = "busy: " + HolderText(a.busy.holder);
    } else {
        ChosenBridge identified;
        identified.settings = settings;
        IdentifyListed(bridge, candidateCount, identified, carried);
        carried = identified.state.chip;
        w.plan = PlanDeviceUpdate(identified, options, index);
    }
    w.plan.port = port;
    w.plan.slot = label;
    w.plan.serial = bridge.entry.serial;
    return w;
}

// The run's closing table and what each bridge left to say; the exit code
// of the run. `stopped`: the signal that stopped it (0: none).
int ReportWorkers(const std::vector<Worker> &workers, std::ostream &out, const OutputStyle &style,
                  int stopped)
{
    std::vector<std::vector<std::string>> results = {{"DEVICE", "CHIP", "FROM", "TO", "RESULT"}};
    bool failed = false;
    std::string details;
    for (const Worker &w : workers) {
        const DevicePlan &p = w.plan;
        if (p.action != DevicePlan::Action::Update) {
            results.push_back({DeviceName(p), p.chip, p.from, "-", ActionText(p, false)});
            continue;
        }
        const Ending e = EndingOf(w);
        const int code = WorkerExit(w);
        const bool ok = w.state == Worker::State::Done && (code == kExitOk || code == kExitNothingToDo);
        failed = failed || !ok;
        // The version the flash holds now: the report's; the file's, as far
        // as it is known, once the update succeeded.
        std::string after = ok ? p.to : "-";
        if (w.report.is_object() && w.report["firmware"].is_object() &&
            w.report["firmware"]["after"].is_string())
            after = w.report["firmware"]["after"].get<std::string>();
        results.push_back({DeviceName(p), p.chip, p.from, after,
                           e.result + (ok || e.reason.empty() ? "" : ": " + e.reason)});
        if (!ok && w.report.is_object())
            for (const nlohmann::json &m : w.report.value("messages", nlohmann::json::array()))
                if (m.value("severity", "") == "error")
                    details += "  " + p.path + ": error: " + m.value("text", "") + "\n";
        if (w.report.is_object() && w.report.value("result", "") == "stopped" &&
            w.report["state"].is_string())
            details += "  " + p.path + ": " + w.report["state"].get<std::string>() + "\n";
        // A write that began and failed stays open in the update journal;
        // this command's plan takes it up again.
        if (!ok && code == kExitFailed && w.report.is_object() && !w.report["firmware"]["after"].is_string())
            details += "  " + p.path +
                       ": its flash may hold part of the new firmware; the same update --all again finishes "
                       "the update\n";
        if (w.report.is_object() && w.report["backup"].is_object() &&
            w.report["backup"]["file"].is_string() && style.verbosity != Verbosity::Quiet)
            details += "  " + p.path + ": backup " + w.report["backup"]["file"].get<std::string>() + "\n";
        if (style.verbosity == Verbosity::Verbose && !w.text[1].empty()) {
            std::istringstream lines(w.text[1]);
            for (std::string line; std::getline(lines, line);)
                details += "  " + p.path + "| " + line + "\n";
        }
    }
    out << "update --all:\n" << Table(results) << details << std::flush;
    // An interrupt that only waited for the running updates to end (as the
    // first one during a write does) leaves nothing undone; one that stopped
    // an update, or kept one from starting, is the run's end.
    const bool cut = std::any_of(workers.begin(), workers.end(), [](const Worker &w) {
        return w.state == Worker::State::NotStarted || (w.pid >= 0 && WorkerExit(w) > 128);
    });
    if (stopped != 0 && cut)
        return 128 + stopped;
    if (stopped != 0)
        std::cerr << "interrupted: the running updates were finished first, as told\n";
    return failed ? kExitFailed : kExitOk;
}

namespace
{

int CheckAllArguments(const CliContext &ctx, const AllOptions &options)
{
    if (options.embedded == !options.files.empty()) {
        SayError().as(MessageCode::Usage)
            << "update --all needs the firmware FILEs (one per model) or --embedded (not both)";
        return kExitUsage;
    }
    if (options.embedded && (options.includeNvram || options.readWriteBuffer)) {
        SayError().as(MessageCode::Usage)
            << "--embedded programs the built-in image: no FILE and no check boxes";
        return kExitUsage;
    }
    for (const std::string &file : options.files)
        if (const std::string why = FirmwareFileProblem(file.c_str()); !why.empty()) {
            SayError().as(MessageCode::Usage) << file << ": " << why << "; nothing was sent to any device";
            return kExitUsage;
        }
    if (ctx.traceOn && ctx.traceFile.empty()) {
        SayError().as(MessageCode::Usage)
            << "--trace with update --all needs a FILE: each device's commands go to FILE.NODE";
        return kExitUsage;
    }
    if (!options.watch && (options.count || options.again)) {
        SayError().as(MessageCode::Usage)
            << (options.count ? "--count" : "--again")
            << " is for update --all --watch, which takes bridges as they arrive";
        return kExitUsage;
    }
    if (options.watch && (!options.indexes.empty() || ctx.devices.size() > 1)) {
        SayError().as(MessageCode::Usage) << "--watch takes the bridges as they arrive: --port limits it to "
                                             "some ports, not --device or --index";
        return kExitUsage;
    }
    if ((!options.indexes.empty()) + (ctx.devices.size() > 1) + (!options.ports.empty()) > 1) {
        SayError().as(MessageCode::Usage)
            << "update --all takes the devices by --device, by --index or by --port, one of them";
        return kExitUsage;
    }
    return 0;
}

} // namespace

int AskOnce(const CliContext &ctx, std::ostream &out)
{
    bool noTerminal = false;
    if (AskToGoOn(ctx.write.yes, noTerminal))
        return 0;
    if (noTerminal) {
        SayError().as(MessageCode::Refused)
            << "no terminal to ask on: give --yes to write without asking; nothing was written";
        return kExitUsage;
    }
    out << "cancelled: nothing was written\n";
    return kExitDeclined;
}

int OpenRunFiles(const CliContext &ctx, AllOptions &options, RunFiles &files)
{
    if (const int code = CheckAllArguments(ctx, options); code != 0)
        return code;
    std::string why;
    if (!options.slotsFile.empty())
        why = ReadSlots(options.slotsFile, files.slots);
    if (why.empty() && !options.retryFailedLog.empty())
        why = StationLog::failedUnits(options.retryFailedLog, files.retry);
    if (why.empty())
        why = files.log.open(options.logFile, options.logJsonFile);
    if (why.empty())
        why = files.serials.open(options.serialFrom, options.serialList);
    if (!why.empty()) {
        SayError().as(MessageCode::Usage) << why << "; nothing was sent to any device";
        return kExitUsage;
    }
    // A unit that had its serial number gets it again.
    for (const auto &[bridge, serial] : files.retry)
        options.serials = options.serials || !serial.empty();
    return 0;
}

namespace
{

// The JSON object of a device no worker updated, with the fields of an update's report.
nlohmann::json PlanReport(const DevicePlan &plan)
{
    const bool current = plan.action == DevicePlan::Action::Current;
    auto version = [](const std::string &v) { return v == "unknown" ? nlohmann::json() : nlohmann::json(v); };
    return {{"verb", "update"},
            {"device", plan.path},
            {"chip",
             {{"name", plan.chip == "unknown" ? nlohmann::json() : nlohmann::json(plan.chip)},
              {"typeCode", plan.typeCode}}},
            {"firmware", {{"before", version(plan.from)}, {"after", version(plan.from)}}},
            {"backup", nullptr},
            {"status", current ? "already installed" : "skipped"},
            {"result", current ? "nothing to do" : "refused"},
            {"exit_status", current ? kExitNothingToDo : kExitUsage},
            {"reason", current ? nlohmann::json() : nlohmann::json(plan.reason)},
            {"refusal", RefusalJson(plan.refusal)},
            {"layout", LayoutJson(plan.layout)},
            {"messages", nlohmann::json::array()}};
}

// The entry of `list` whose node (or port path) is `name`; -1: none.
int FindListed(const BridgeList &list, const std::string &name, bool byPort)
{
    const int listed = static_cast<int>(list.listed.size());
    int found = -1;
    for (int i = 0; i < listed; ++i) {
        const DeviceEntry &entry = list.listed[static_cast<std::size_t>(i)].entry;
        if ((byPort ? entry.location : entry.path) == name)
            found = i;
    }
    return found;
}

// The entries of `list` to update: those --index, --device and --port name
// (every one when none does), only those that failed before with
// --retry-failed. kExitOk with `chosen` filled, or the exit code after
// saying why there is none.
int ChooseBridges(const CliContext &ctx, const AllOptions &options, const BridgeList &list,
                  const RunFiles &files, std::ostream &out, std::vector<int> &chosen)
{
    const int listed = static_cast<int>(list.listed.size());
    chosen = options.indexes;
    for (const int index : chosen)
        if (index >= listed)
            return IndexOutOfRange(index, listed);
    if (ctx.devices.size() > 1)
        for (const std::string &device : ctx.devices) {
            const int found = FindListed(list, device, false);
            if (found < 0) {
                SayError().as(MessageCode::NoDevice)
                    << "--device " << device << ": not one of the " << listed << " bridges listed";
                return kExitNoDevice;
            }
            chosen.push_back(found);
        }
    for (const std::string &port : options.ports) {
        const int found = FindListed(list, port, true);
        if (found < 0) {
            SayError().as(MessageCode::NoDevice).with("port", port)
                << "--port " << port << ": no listed bridge sits there (`brigant-fw list` shows the ports)";
            return kExitNoDevice;
        }
        chosen.push_back(found);
    }
    if (chosen.empty())
        for (int i = 0; i < listed; ++i)
            chosen.push_back(i);
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    if (!options.retryFailedLog.empty()) {
        std::erase_if(chosen, [&](int index) {
            return !files.retry.count(list.listed[static_cast<std::size_t>(index)].entry.serial);
        });
        if (chosen.empty()) {
            out << "nothing to do: no listed bridge failed in " << options.retryFailedLog << "\n";
            return kExitNothingToDo;
        }
    }
    return kExitOk;
}

// Shows the plan of every bridge as a table. kExitOk with `updates`, the
// bridges to update, when there is one; else the exit code after saying why
// nothing is updated.
int ShowPlan(CliContext &ctx, const AllOptions &options, const std::vector<Worker> &workers,
             std::ostream &out, std::size_t &updates)
{
    std::vector<std::vector<std::string>> rows = {{"DEVICE", "CHIP", "FROM", "TO", "ACTION"}};
    std::size_t current = 0, busy = 0;
    updates = 0;
    for (const Worker &w : workers) {
        const DevicePlan &p = w.plan;
        const bool update = p.action == DevicePlan::Action::Update;
        rows.push_back(
            {DeviceName(p), p.chip, p.from, update ? p.to : "-", ActionText(p, options.files.size() > 1)});
        updates += update;
        current += p.action == DevicePlan::Action::Current;
        busy += p.reason.rfind("busy: ", 0) == 0;
    }
    out << "update --all: " << workers.size() << " bridge(s), " << updates << " to update\n" << Table(rows);
    if (updates > 0)
        return kExitOk;
    if (current > 0) {
        out << "nothing to do: no bridge needs an update\n";
        return kExitNothingToDo;
    }
    if (busy > 0) {
        SayError().as(MessageCode::Busy)
            << busy << " bridge(s) busy: other programs of ours work on them; nothing "
            << "was sent to them (--wait is for one bridge: run update --all again when they are done)";
        ctx.saveSimState = false;
        return kExitBusy;
    }
    SayError().as(MessageCode::Refused)
        << "no listed bridge can take " << (options.embedded ? "the built-in image" : "the given file(s)")
        << "; nothing was written";
    return options.embedded ? kExitNoDevice : kExitUsage;
}

// How the updates run, said before the one question.
void SayHowItRuns(const CliContext &ctx, const AllOptions &options, std::ostream &out)
{
    out << "Each bridge is backed up first" << (ctx.write.noBackup ? " (no: --no-backup)" : "")
        << "; the updates run at once, " << (options.jobs ? std::to_string(options.jobs) : std::string("all"))
        << " at a time.\n"
        << std::flush;
    if (ctx.runtime && ctx.runtime->throughHelper())
        SayNote() << "every bridge's worker starts the privileged helper and asks for its own "
                     "authorisation; run update --all as root to be asked once";
}

// The workers, `updates` of them with something to write; the station log
// gets a row as each bridge is done (those with nothing to write at once).
// Returns the exit code of the whole.
int RunWorkers(CliContext &ctx, const AllOptions &options, RunFiles &files, std::vector<Worker> &workers,
               std::size_t updates, std::ostream &out, const OutputStyle &style)
{
    const auto logRow = [&](const Worker &w) { files.log.add(w, !ctx.simulate.empty()); };
    for (Worker &w : workers) {
        GiveUnitSerial(w, files.serials, files.retry);
        if (w.plan.action == DevicePlan::Action::Update) {
            w.argv = WorkerArgs(ctx, options, w.plan);
            w.state = Worker::State::Waiting;
        } else {
            logRow(w);
        }
    }
    const std::size_t jobs = options.jobs == 0 ? updates : std::min<std::size_t>(options.jobs, updates);
    const int stopped = FollowWorkers(workers, out, style, jobs, logRow);
    ctx.simulatedMsAfter = SimulatedSpan(workers, jobs);

    return ReportWorkers(workers, out, style, stopped);
}

int RunAll(CliContext &ctx, const AllOptions &given, std::vector<Worker> &workers, std::ostream &out,
           const OutputStyle &style)
{
    AllOptions options = given;
    RunFiles files;
    if (const int code = OpenRunFiles(ctx, options, files); code != 0)
        return code;

    // 1. Every bridge identified, and what update FILE would do with it.
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    INI_STATE settings;
    ReadSettings(settings);
    const BridgeList list = DiscoverBridges();
    if (list.listed.empty()) {
        WarnWhenDisksUnlisted();
        ReportAccessProblem(ctx.runtime);
        out << "no device found\n";
        return kExitNoDevice;
    }
    std::vector<int> chosen;
    if (const int code = ChooseBridges(ctx, options, list, files, out, chosen); code != kExitOk)
        return code;
    // Each bridge is this run's from its plan until its worker starts; one
    // another program of ours works on is left to it.
    ChipIdentity carried;
    for (const int index : chosen)
        workers.push_back(PlanListedBridge(list.listed[static_cast<std::size_t>(index)], index,
                                           list.candidateCount, options, files.slots, settings, carried));

    // 2. The plan, and one question for all of it.
    std::size_t updates = 0;
    if (const int code = ShowPlan(ctx, options, workers, out, updates); code != kExitOk)
        return code;
    SayHowItRuns(ctx, options, out);
    if (const int code = AskOnce(ctx, out); code != 0)
        return code;

    // 3. The workers.
    return RunWorkers(ctx, options, files, workers, updates, out, style);
}

} // namespace

int RunUpdateAll(CliContext &ctx, const AllOptions &options)
{
    // The workers keep the simulated state: this process only looked.
    ctx.saveSimState = false;
    std::vector<Worker> workers;
    if (!options.json)
        return (options.watch ? RunWatch : RunAll)(ctx, options, workers, std::cout, ctx.style);

    // --json: what is said goes to standard error, the document to standard output.
    MessageLog said;
    const OutputStyle style = DetectStyle(STDERR_FILENO, ctx.style.verbosity);
    std::streambuf *stdoutBuffer = std::cout.rdbuf(std::cerr.rdbuf());
    const auto document = [&](int code) {
        nlohmann::json devices = nlohmann::json::array();
        for (const Worker &w : workers) {
            nlohmann::json d = w.report.is_object() ? w.report : PlanReport(w.plan);
            if (w.plan.action == DevicePlan::Action::Update && !w.report.is_object()) {
                // Planned, but no report came: not started (declined, refused
                // for want of a terminal, interrupted), or the worker died.
                const Ending e = EndingOf(w);
                const bool started = w.pid >= 0;
                d["status"] = started ? e.result : "not started";
                d["result"] = started                 ? "failed"
                              : code == kExitDeclined ? "declined"
                              : code == kExitUsage    ? "refused"
                                                      : "stopped";
                d["exit_status"] = started ? WorkerExit(w) : code;
                d["reason"] = started ? nlohmann::json(e.reason) : nlohmann::json("nothing was written");
                d["firmware"]["after"] = started ? nlohmann::json() : d["firmware"]["before"];
                if (d["result"] == "stopped") {
                    d["stoppedWhile"] = "idle";
                    d["state"] = "not started: nothing was written";
                }
            }
            if (!d.contains("refusal"))
                d["refusal"] = RefusalJson(w.plan.refusal);
            if (!d.contains("layout"))
                d["layout"] = LayoutJson(w.plan.layout);
            d["index"] = w.plan.index;
            d["port"] = w.plan.port.empty() ? nlohmann::json() : nlohmann::json(w.plan.port);
            d["slot"] = w.plan.slot.empty() ? nlohmann::json() : nlohmann::json(w.plan.slot);
            d["action"] = w.plan.action == DevicePlan::Action::Update    ? "update"
                          : w.plan.action == DevicePlan::Action::Current ? "nothing to do"
                                                                         : "skip";
            devices.push_back(std::move(d));
        }
        return nlohmann::json{{"verb", "update --all"},
                              {"devices", devices},
                              {"result", ResultName(code)},
                              {"exit_status", code},
                              {"messages", said.json()}};
    };
    int code = kExitFailed;
    try {
        code = (options.watch ? RunWatch : RunAll)(ctx, options, workers, std::cout, style);
    } catch (const StopRequested &stop) {
        // Stopped before any worker started (at the question): still one document.
        std::cout.rdbuf(stdoutBuffer);
        std::cout << JsonText(document(128 + stop.signal)) << std::flush;
        throw;
    } catch (...) {
        std::cout.rdbuf(stdoutBuffer);
        throw;
    }
    std::cout.rdbuf(stdoutBuffer);
    std::cout << JsonText(document(code)) << std::flush;
    return code;
}

} // namespace brigant::cli
