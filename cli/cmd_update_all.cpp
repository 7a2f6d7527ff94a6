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

namespace
{

constexpr int kChannelFd = 3; // the worker's end of its channel

// One bridge of the plan, and its worker once started.
struct Worker {
    DevicePlan plan;
    std::vector<std::string> argv;
    enum class State : std::uint8_t { Idle, Waiting, Running, Done, NotStarted };
    State state = State::Idle;
    pid_t pid = -1;
    int fds[3] = {-1, -1, -1}; // its standard output (the report), standard error, channel
    std::string text[3];       // what came from each; the channel's unfinished line
    std::string phase;
    int percent = -1;
    bool ended = false; // its channel said how it ended
    int exitStatus = -1;
    std::uint64_t simulatedMs = 0;
    std::uint64_t startedMs = 0, endedMs = 0; // the program clock's, for the station log
    int waitStatus = 0;
    nlohmann::json report; // its --json document (null: none came)

    bool open() const { return fds[0] >= 0 || fds[1] >= 0 || fds[2] >= 0; }
};

// Interrupts while workers run: counted here, passed on to every worker by
// the loop (a worker defers the first during a write and stops after its
// current command on the second, as a single update does).
volatile std::sig_atomic_t pendingInterrupts = 0;
volatile std::sig_atomic_t pendingTerminates = 0;

extern "C" void OnParentSignal(int sig)
{
    if (sig == SIGINT)
        pendingInterrupts = pendingInterrupts + 1;
    else
        pendingTerminates = pendingTerminates + 1;
}

class ParentSignals
{
  public:
    ParentSignals()
    {
        // No SA_RESTART, so that poll() returns; the program's output carries
        // interrupted writes on.
        struct sigaction action {
        };
        action.sa_handler = OnParentSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &savedInt_);
        sigaction(SIGTERM, &action, &savedTerm_);
    }
    ~ParentSignals()
    {
        sigaction(SIGINT, &savedInt_, nullptr);
        sigaction(SIGTERM, &savedTerm_, nullptr);
    }
    ParentSignals(const ParentSignals &) = delete;
    ParentSignals &operator=(const ParentSignals &) = delete;

  private:
    struct sigaction savedInt_ {
    };
    struct sigaction savedTerm_ {
    };
};

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

// Rows of cells as aligned columns, two spaces apart, the last one as it is.
std::string Table(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<std::size_t> width;
    for (const auto &row : rows)
        for (std::size_t c = 0; c + 1 < row.size(); ++c) {
            width.resize(std::max(width.size(), c + 1));
            width[c] = std::max(width[c], row[c].size());
        }
    std::string text;
    for (const auto &row : rows) {
        std::string line = " ";
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += " " + row[c];
            if (c + 1 < row.size())
                line.append(width[c] - row[c].size() + 1, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + "\n";
    }
    return text;
}

// What a worker runs: this program on the device alone. A simulated device
// is simulated alone, numbered as in this run, so that its path, port and
// state folder are the same as here.
std::vector<std::string> WorkerArgs(const CliContext &ctx, const AllOptions &options, const DevicePlan &plan)
{
    std::vector<std::string> a = {"brigant-fw"};
    const std::string node = plan.path.substr(plan.path.find_last_of("/:") + 1);
    if (!ctx.simulate.empty()) {
        const std::size_t n = std::stoul(node.substr(2)); // sim:sgN is the Nth --simulate
        a.insert(a.end(), {"--simulate", ctx.simulate.at(n), "--sim-first-index", std::to_string(n)});
        if (!ctx.simState.empty())
            a.insert(a.end(), {"--sim-state", ctx.simState});
    }
    a.insert(a.end(), {"--device", plan.path});
    a.insert(a.end(), ctx.helperArgs.begin(), ctx.helperArgs.end());
    if (ctx.traceOn)
        a.push_back("--trace=" + ctx.traceFile + "." + node);
    if (!ctx.traceDataFile.empty())
        a.insert(a.end(), {"--trace-data", ctx.traceDataFile + "." + node});
    if (ctx.debug)
        a.push_back("--debug");
    a.push_back("update");
    if (plan.file.empty())
        a.push_back("--embedded");
    else
        a.push_back(plan.file);
    a.insert(a.end(), {"--yes", "--json", "--worker-fd", std::to_string(kChannelFd)});
    const std::pair<bool, const char *> flags[] = {
        {options.includeNvram, "--include-nvram"},
        {options.readWriteBuffer, "--read-write-buffer"},
        {options.versions.allowReinstall, "--allow-reinstall"},
        {options.versions.allowOlder, "--allow-older"},
        {ctx.write.noBackup, "--no-backup"},
        {ctx.write.force, "--force"},
        {ctx.write.rehearse, "--rehearse"},
        {options.changedOnly, "--changed-only"},
    };
    for (const auto &[on, flag] : flags)
        if (on)
            a.push_back(flag);
    return a;
}

// Starts `w`: its standard output, standard error and channel come back on
// pipes; it reads nothing and has a process group of its own, so that a
// terminal's Ctrl-C reaches this process alone, which passes it on.
bool Start(Worker &w, std::string &error)
{
    int pipes[3][2];
    for (int i = 0; i < 3; ++i)
        if (::pipe2(pipes[i], O_CLOEXEC) != 0) {
            error = std::string("cannot make a pipe: ") + std::strerror(errno);
            for (int k = 0; k < i; ++k) {
                ::close(pipes[k][0]);
                ::close(pipes[k][1]);
            }
            return false;
        }
    std::vector<char *> argv;
    for (std::string &arg : w.argv)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    // The worker takes the bridge's lock itself.
    ProcessBridgeLocks().release(ProcessBridgeLocks().locationOf(w.plan.path));
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        ::dup2(pipes[0][1], STDOUT_FILENO);
        ::dup2(pipes[1][1], STDERR_FILENO);
        ::dup2(pipes[2][1], kChannelFd);
        ::execv("/proc/self/exe", argv.data());
        const char text[] = "error: the worker could not start brigant-fw\n";
        const ssize_t ignored = ::write(STDERR_FILENO, text, sizeof text - 1);
        (void)ignored;
        ::_exit(127);
    }
    for (int i = 0; i < 3; ++i) {
        ::close(pipes[i][1]);
        if (pid < 0)
            ::close(pipes[i][0]);
        else
            w.fds[i] = pipes[i][0];
    }
    if (pid < 0) {
        error = std::string("cannot start a worker: ") + std::strerror(errno);
        return false;
    }
    w.pid = pid;
    w.state = Worker::State::Running;
    w.startedMs = ProgramClock().nowMs();
    return true;
}

// How a worker's update ended, in a word and a reason.
struct Ending {
    std::string result; // success, failed, refused, nothing to do, stopped, crashed, ...
    std::string reason;
};

Ending EndingOf(const Worker &w)
{
    if (w.state == Worker::State::NotStarted)
        return {"not started", "stopped before its update began: nothing was written"};
    if (w.report.is_object()) {
        Ending e{w.report.value("result", std::string("failed")), ""};
        if (const auto r = w.report.find("reason"); r != w.report.end() && r->is_string())
            e.reason = *r;
        return e;
    }
    // No report: the worker died, or never ran.
    const std::string verify = "`brigant-fw --device " + w.plan.path + " verify " +
                               (w.plan.file.empty() ? "--embedded" : w.plan.file) + "` tells where it stands";
    if (WIFSIGNALED(w.waitStatus))
        return {"crashed", "the worker stopped on signal " + std::to_string(WTERMSIG(w.waitStatus)) +
                               " without a report; " + verify};
    return {"failed", "the worker ended (exit status " + std::to_string(WEXITSTATUS(w.waitStatus)) +
                          ") without a report; " + verify};
}

int WorkerExit(const Worker &w)
{
    if (w.report.is_object() && w.report.contains("exit_status") &&
        w.report["exit_status"].is_number_integer())
        return w.report["exit_status"].get<int>();
    if (w.ended)
        return w.exitStatus;
    return WIFEXITED(w.waitStatus) ? WEXITSTATUS(w.waitStatus) : 128 + WTERMSIG(w.waitStatus);
}

// The device as tables name it: its slot's label and node, or its node.
std::string DeviceName(const DevicePlan &plan)
{
    return plan.slot.empty() ? plan.path : plan.slot + " (" + plan.path + ")";
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

// Follows the workers: their output, their progress on a live table (a
// terminal) or a line per phase change, their end; starts the next while
// fewer than `jobs` run; passes interrupts on.
class Follower
{
  public:
    // `ended` hears each worker once it has ended (or will not start).
    Follower(std::vector<Worker> &workers, std::ostream &out, const OutputStyle &style, std::size_t jobs,
             std::function<void(const Worker &)> ended)
        : workers_(workers), out_(out), style_(style), jobs_(jobs), ended_(std::move(ended))
    {
    }

    // Until every worker ended; the signal that stopped the run (0: none).
    int run()
    {
        ParentSignals signals;
        for (;;) {
            passSignals();
            startWaiting();
            std::vector<pollfd> polled;
            std::vector<std::pair<Worker *, int>> owners;
            for (Worker &w : workers_)
                for (int i = 0; i < 3; ++i)
                    if (w.fds[i] >= 0) {
                        polled.push_back({w.fds[i], POLLIN, 0});
                        owners.emplace_back(&w, i);
                    }
            if (polled.empty())
                break;
            draw();
            const int n = ::poll(polled.data(), polled.size(), 200);
            if (n < 0 && errno != EINTR)
                break;
            for (std::size_t k = 0; n > 0 && k < polled.size(); ++k)
                if (polled[k].revents != 0)
                    readFrom(*owners[k].first, owners[k].second);
            for (Worker &w : workers_)
                if (w.state == Worker::State::Running && !w.open())
                    reap(w);
        }
        draw(true);
        return stopSignal_;
    }

  private:
    void startWaiting()
    {
        std::size_t running = 0;
        for (const Worker &w : workers_)
            running += w.state == Worker::State::Running;
        for (Worker &w : workers_) {
            if (w.state != Worker::State::Waiting)
                continue;
            if (stopSignal_ != 0) {
                w.state = Worker::State::NotStarted;
                changed(w, "not started");
                ended_(w);
                continue;
            }
            if (running >= jobs_)
                break;
            std::string error;
            if (!Start(w, error)) {
                w.state = Worker::State::Done;
                w.waitStatus = 127 << 8;
                w.text[1] += "error: " + error + "\n";
                changed(w, "failed: " + error);
                ended_(w);
                continue;
            }
            ++running;
            changed(w, "started");
        }
    }

    void passSignals()
    {
        while (pendingInterrupts > 0 || pendingTerminates > 0) {
            const int sig = pendingInterrupts > 0 ? SIGINT : SIGTERM;
            if (sig == SIGINT)
                pendingInterrupts = pendingInterrupts - 1;
            else
                pendingTerminates = pendingTerminates - 1;
            int passed = 0;
            for (const Worker &w : workers_)
                if (w.state == Worker::State::Running && ::kill(w.pid, sig) == 0)
                    ++passed;
            if (stopSignal_ == 0)
                say(std::string(sig == SIGINT ? "interrupt" : "terminate") + ": passed to " +
                    std::to_string(passed) +
                    " running update(s), which finish a write they are in (a second Ctrl-C within 3 s stops "
                    "them after their current command); no other update starts");
            stopSignal_ = sig;
        }
    }

    void readFrom(Worker &w, int i)
    {
        char buffer[4096];
        const ssize_t n = ::read(w.fds[i], buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            ::close(w.fds[i]);
            w.fds[i] = -1;
            return;
        }
        w.text[i].append(buffer, static_cast<std::size_t>(n));
        if (i != 2)
            return;
        // The channel: whole lines only.
        std::size_t end;
        while ((end = w.text[2].find('\n')) != std::string::npos) {
            const std::string line = w.text[2].substr(0, end);
            w.text[2].erase(0, end + 1);
            WorkerEvent event;
            if (!ParseWorkerEvent(line, event))
                continue;
            if (event.end) {
                w.ended = true;
                w.exitStatus = event.exitStatus;
                w.simulatedMs = event.simulatedMs;
            } else if (event.progress) {
                const int percent = event.progress->total == 0
                                        ? -1
                                        : static_cast<int>(std::min<std::uint64_t>(
                                              100, event.progress->done * 100 / event.progress->total));
                const bool newPhase = event.progress->phase != w.phase;
                w.phase = event.progress->phase;
                w.percent = percent;
                if (newPhase)
                    changed(w, w.phase);
                else
                    dirty_ = true;
            }
        }
    }

    void reap(Worker &w)
    {
        while (::waitpid(w.pid, &w.waitStatus, 0) < 0 && errno == EINTR)
            passSignals();
        w.state = Worker::State::Done;
        w.report = nlohmann::json::parse(w.text[0], nullptr, false);
        if (!w.report.is_object())
            w.report = nullptr;
        w.endedMs = ProgramClock().nowMs();
        const Ending e = EndingOf(w);
        changed(w, e.result + (e.reason.empty() || e.result == "success" ? "" : ": " + e.reason));
        ended_(w);
    }

    // A worker's state changed: a line off a terminal, a redraw on one.
    void changed(const Worker &w, const std::string &what)
    {
        dirty_ = true;
        if (style_.terminal || style_.verbosity == Verbosity::Quiet)
            return;
        out_ << DeviceName(w.plan) << ": " << what << "\n" << std::flush;
    }

    void say(const std::string &line)
    {
        if (style_.terminal && drawn_ > 0) {
            out_ << "\n";
            drawn_ = 0; // the table is drawn again below the line
        }
        out_ << line << "\n" << std::flush;
    }

    std::string stateText(const Worker &w) const
    {
        switch (w.state) {
        case Worker::State::Idle:
        case Worker::State::Waiting:
            return "waiting";
        case Worker::State::Running:
            return "running";
        case Worker::State::NotStarted:
            return "not started";
        case Worker::State::Done:
            break;
        }
        return EndingOf(w).result;
    }

    // The live table on a terminal, redrawn in place at most 10 times a second.
    void draw(bool last = false)
    {
        if (!style_.terminal || style_.verbosity == Verbosity::Quiet || (!dirty_ && !last))
            return;
        const std::uint64_t now = ProgramClock().nowMs();
        if (!last && drawn_ > 0 && now - lastDrawMs_ < 100)
            return;
        lastDrawMs_ = now;
        std::vector<std::vector<std::string>> rows;
        for (const Worker &w : workers_) {
            if (w.state == Worker::State::Idle)
                continue;
            const bool active = w.state == Worker::State::Running;
            rows.push_back({DeviceName(w.plan), w.plan.chip, active ? w.phase : "",
                            active && w.percent >= 0 ? std::to_string(w.percent) + "%" : "", stateText(w)});
        }
        std::string text;
        if (drawn_ > 0)
            text += "\x1b[" + std::to_string(drawn_) + "A";
        std::istringstream lines(Table(rows));
        std::string line;
        while (std::getline(lines, line))
            text += "\r\x1b[K" + line + "\n";
        out_ << text << std::flush;
        drawn_ = rows.size();
        dirty_ = false;
    }

    std::vector<Worker> &workers_;
    std::ostream &out_;
    OutputStyle style_;
    std::size_t jobs_;
    std::function<void(const Worker &)> ended_;
    int stopSignal_ = 0;
    bool dirty_ = true;
    std::size_t drawn_ = 0;
    std::uint64_t lastDrawMs_ = 0;
};

// The station log's row of a bridge: its plan, and how its worker ended.
// `simulated`: the duration is the worker's simulated time.
StationRow RowOf(const Worker &w, bool simulated, const std::string &fileSha256)
{
    const DevicePlan &p = w.plan;
    StationRow row;
    row.time = UtcTimestamp();
    row.slot = p.slot;
    row.port = p.port;
    row.device = p.path;
    row.chip = p.chip;
    row.from = p.from;
    row.to = p.to;
    std::error_code ec;
    row.file = p.file.empty() ? std::string() : std::filesystem::absolute(p.file, ec).string();
    row.fileSha256 = fileSha256;
    if (p.action != DevicePlan::Action::Update) {
        const bool current = p.action == DevicePlan::Action::Current;
        row.result = current ? "nothing to do" : "skipped";
        row.verify = current && p.storeHoldsFile ? "holds the file" : "-";
        row.reason = current ? "" : p.reason;
        return row;
    }
    const Ending e = EndingOf(w);
    row.result = e.result;
    row.reason = e.result == "success" ? "" : e.reason;
    row.verify = e.result == "success"         ? "verified"
                 : e.result == "nothing to do" ? "holds the file"
                                               : "not verified";
    row.durationMs = simulated ? w.simulatedMs : w.endedMs - std::min(w.startedMs, w.endedMs);
    if (w.report.is_object() && w.report["backup"].is_object() && w.report["backup"]["file"].is_string())
        row.backup = w.report["backup"]["file"].get<std::string>();
    return row;
}

// The simulated time of the run: the workers' times laid on `jobs` slots in
// the order they started, as the parallel run spends them.
std::uint64_t SimulatedSpan(const std::vector<Worker> &workers, std::size_t jobs)
{
    std::vector<std::uint64_t> slots(std::max<std::size_t>(jobs, 1), 0);
    for (const Worker &w : workers) {
        if (w.pid < 0)
            continue;
        *std::min_element(slots.begin(), slots.end()) += w.simulatedMs;
    }
    return *std::max_element(slots.begin(), slots.end());
}

int RunAll(CliContext &ctx, const AllOptions &options, std::vector<Worker> &workers, std::ostream &out,
           const OutputStyle &style)
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
    if ((!options.indexes.empty()) + (ctx.devices.size() > 1) + (!options.ports.empty()) > 1) {
        SayError().as(MessageCode::Usage)
            << "update --all takes the devices by --device, by --index or by --port, one of them";
        return kExitUsage;
    }
    std::map<std::string, std::string> slots;
    if (!options.slotsFile.empty())
        if (const std::string why = ReadSlots(options.slotsFile, slots); !why.empty()) {
            SayError().as(MessageCode::Usage) << why;
            return kExitUsage;
        }
    StationLog stationLog;
    if (const std::string why = stationLog.open(options.logFile, options.logJsonFile); !why.empty()) {
        SayError().as(MessageCode::Usage) << why << "; nothing was sent to any device";
        return kExitUsage;
    }

    // 1. Every bridge identified, and what update FILE would do with it.
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    INI_STATE settings;
    ReadSettings(settings);
    const BridgeList list = DiscoverBridges();
    const int listed = static_cast<int>(list.listed.size());
    if (listed == 0) {
        WarnWhenDisksUnlisted();
        ReportAccessProblem(ctx.runtime);
        out << "no device found\n";
        return kExitNoDevice;
    }
    std::vector<int> chosen = options.indexes;
    for (const int index : chosen)
        if (index >= listed)
            return IndexOutOfRange(index, listed);
    // The entry whose node (or port path) is `name`; -1: none.
    const auto find = [&](const std::string &name, bool byPort) {
        int found = -1;
        for (int i = 0; i < listed; ++i) {
            const DeviceEntry &entry = list.listed[static_cast<std::size_t>(i)].entry;
            if ((byPort ? entry.location : entry.path) == name)
                found = i;
        }
        return found;
    };
    if (ctx.devices.size() > 1)
        for (const std::string &device : ctx.devices) {
            const int found = find(device, false);
            if (found < 0) {
                SayError().as(MessageCode::NoDevice)
                    << "--device " << device << ": not one of the " << listed << " bridges listed";
                return kExitNoDevice;
            }
            chosen.push_back(found);
        }
    for (const std::string &port : options.ports) {
        const int found = find(port, true);
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
    // Each bridge is this run's from its plan until its worker starts; one
    // another program of ours works on is left to it.
    BridgeLocks &locks = ProcessBridgeLocks();
    ChipIdentity carried;
    for (const int index : chosen) {
        Worker w;
        const ListedBridge &bridge = list.listed[static_cast<std::size_t>(index)];
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
            w.plan.port = port;
            w.plan.slot = label;
            workers.push_back(std::move(w));
            continue;
        }
        ChosenBridge identified;
        identified.settings = settings;
        IdentifyListed(bridge, list.candidateCount, identified, carried);
        carried = identified.state.chip;
        w.plan = PlanDeviceUpdate(identified, options, index);
        w.plan.port = port;
        w.plan.slot = label;
        workers.push_back(std::move(w));
    }

    // 2. The plan, and one question for all of it.
    std::vector<std::vector<std::string>> rows = {{"DEVICE", "CHIP", "FROM", "TO", "ACTION"}};
    std::size_t updates = 0, current = 0, busy = 0;
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
    if (updates == 0) {
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
    out << "Each bridge is backed up first" << (ctx.write.noBackup ? " (no: --no-backup)" : "")
        << "; the updates run at once, " << (options.jobs ? std::to_string(options.jobs) : std::string("all"))
        << " at a time.\n"
        << std::flush;
    if (ctx.runtime && ctx.runtime->throughHelper())
        SayNote() << "every bridge's worker starts the privileged helper and asks for its own "
                     "authorisation; run update --all as root to be asked once";
    bool noTerminal = false;
    if (!AskToGoOn(ctx.write.yes, noTerminal)) {
        if (noTerminal) {
            SayError().as(MessageCode::Refused)
                << "no terminal to ask on: give --yes to write without asking; nothing was written";
            return kExitUsage;
        }
        out << "cancelled: nothing was written\n";
        return kExitDeclined;
    }

    // 3. The workers; the station log gets a row as each bridge is done
    // (those with nothing to write at once).
    std::map<std::string, std::string> sums;
    const auto logRow = [&](const Worker &w) {
        if (!stationLog.active())
            return;
        const std::string &file = w.plan.file;
        if (!file.empty() && !sums.count(file))
            sums[file] = FileSha256(file);
        stationLog.add(RowOf(w, !ctx.simulate.empty(), file.empty() ? std::string() : sums[file]));
    };
    for (Worker &w : workers)
        if (w.plan.action == DevicePlan::Action::Update) {
            w.argv = WorkerArgs(ctx, options, w.plan);
            w.state = Worker::State::Waiting;
        } else {
            logRow(w);
        }
    const std::size_t jobs = options.jobs == 0 ? updates : std::min<std::size_t>(options.jobs, updates);
    const int stopped = Follower(workers, out, style, jobs, logRow).run();
    ctx.simulatedMsAfter = SimulatedSpan(workers, jobs);

    // 4. The report.
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

} // namespace

int RunUpdateAll(CliContext &ctx, const AllOptions &options)
{
    // The workers keep the simulated state: this process only looked.
    ctx.saveSimState = false;
    std::vector<Worker> workers;
    if (!options.json)
        return RunAll(ctx, options, workers, std::cout, ctx.style);

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
        code = RunAll(ctx, options, workers, std::cout, style);
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
