#include "cli/worker_pool.h"

#include "app/update_journal.h"
#include "cli/progress_view.h"
#include "cli/worker_channel.h"
#include "common/clock.h"
#include "device/bridge_lock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

constexpr int kChannelFd = 3; // the worker's end of its channel


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

// Follows the workers: their output, their progress on a live table (a
// terminal) or a line per phase change, their end; starts the next while
// fewer than `jobs` run; passes interrupts on.
class Follower
{
  public:
    // `ended` hears each worker once it has ended (or will not start).
    Follower(std::vector<Worker> &workers, std::ostream &out, const OutputStyle &style, std::size_t jobs,
             std::function<void(const Worker &)> ended, FollowHooks hooks)
        : workers_(workers), out_(out), style_(style), jobs_(jobs), ended_(std::move(ended)),
          hooks_(std::move(hooks))
    {
    }

    // Until every worker ended; the signal that stopped the run (0: none).
    int run()
    {
        ParentSignals signals;
        for (;;) {
            passSignals();
            const bool goOn = hooks_.turn && hooks_.turn(stopSignal_ != 0);
            startWaiting();
            std::vector<pollfd> polled;
            std::vector<std::pair<Worker *, int>> owners;
            for (Worker &w : workers_)
                for (int i = 0; i < 3; ++i)
                    if (w.fds[i] >= 0) {
                        polled.push_back({w.fds[i], POLLIN, 0});
                        owners.emplace_back(&w, i);
                    }
            if (polled.empty() && !goOn)
                break;
            draw();
            const int n = ::poll(polled.data(), polled.size(), hooks_.pollMs);
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
            if (jobs_ != 0 && running >= jobs_)
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
        const bool station = static_cast<bool>(hooks_.header);
        for (const Worker &w : workers_) {
            if (w.state == Worker::State::Idle)
                continue;
            const bool active = w.state == Worker::State::Running;
            const std::string percent = active && w.percent >= 0 ? std::to_string(w.percent) + "%" : "";
            if (!station) {
                rows.push_back(
                    {DeviceName(w.plan), w.plan.chip, active ? w.phase : "", percent, stateText(w)});
                continue;
            }
            // A simulated update's time is the worker's simulated time.
            const std::uint64_t ms = w.state == Worker::State::Done && w.simulatedMs > 0 ? w.simulatedMs
                                     : w.state == Worker::State::Done    ? w.endedMs - w.startedMs
                                     : w.state == Worker::State::Running ? now - w.startedMs
                                                                         : 0;
            rows.push_back({DeviceName(w.plan), w.plan.unitSerial.empty() ? w.plan.serial : w.plan.unitSerial,
                            active ? w.phase : "", percent, stateText(w), std::to_string(ms / 1000) + " s"});
        }
        std::string text;
        if (drawn_ > 0)
            text += "\x1b[" + std::to_string(drawn_) + "A";
        if (station)
            rows.insert(rows.begin(), std::vector<std::string>{hooks_.header()});
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
    FollowHooks hooks_;
    int stopSignal_ = 0;
    bool dirty_ = true;
    std::size_t drawn_ = 0;
    std::uint64_t lastDrawMs_ = 0;
};

} // namespace

// A simulated device as its worker simulates it: there from the start (its
// arrival, "arrive=MS", is this run's and has happened).
std::string WithoutArrival(const std::string &spec)
{
    const std::size_t colon = spec.find(':');
    if (colon == std::string::npos || spec[0] == '@' || spec.rfind("replay", 0) == 0)
        return spec;
    std::string kept = spec.substr(0, colon), item;
    std::istringstream items(spec.substr(colon + 1));
    char separator = ':';
    while (std::getline(items, item, ','))
        if (item.rfind("arrive=", 0) != 0) {
            kept += separator + item;
            separator = ',';
        }
    return kept;
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
        a.insert(a.end(),
                 {"--simulate", WithoutArrival(ctx.simulate.at(n)), "--sim-first-index", std::to_string(n)});
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
    if (!plan.unitSerial.empty())
        a.insert(a.end(), {"--serial", plan.unitSerial});
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

int FollowWorkers(std::vector<Worker> &workers, std::ostream &out, const OutputStyle &style, std::size_t jobs,
                  const std::function<void(const Worker &)> &ended, const FollowHooks &hooks)
{
    return Follower(workers, out, style, jobs, ended, hooks).run();
}

// The station log's row of a bridge: its plan, and how its worker ended.
// `simulated`: the duration is the worker's simulated time.
StationRow RowOf(const Worker &w, bool simulated, const std::string &fileSha256)
{
    const DevicePlan &p = w.plan;
    StationRow row;
    row.time = UtcTimestamp();
    row.slot = p.slot;
    row.port = p.port;
    row.bridgeSerial = p.serial;
    row.unitSerial = p.unitSerial;
    if (w.report.is_object())
        if (const auto serial = w.report.find("serial"); serial != w.report.end() && serial->is_object())
            if (const auto read = serial->find("readBack"); read != serial->end() && read->is_string())
                row.unitSerialRead = read->get<std::string>();
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

void WorkerLog::add(const Worker &w, bool simulated)
{
    if (!log_.active())
        return;
    const std::string &file = w.plan.file;
    if (!file.empty() && !sums_.count(file))
        sums_[file] = FileSha256(file);
    log_.add(RowOf(w, simulated, file.empty() ? std::string() : sums_[file]));
}

void GiveUnitSerial(Worker &w, StationSerials &serials, const std::map<std::string, std::string> &retried)
{
    if (w.plan.action != DevicePlan::Action::Update)
        return;
    if (const auto it = retried.find(w.plan.serial); it != retried.end() && !it->second.empty()) {
        w.plan.unitSerial = it->second;
        return;
    }
    if (!serials.active())
        return;
    std::string why;
    w.plan.unitSerial = serials.take(w.plan.serial, why);
    if (w.plan.unitSerial.empty()) {
        w.plan.action = DevicePlan::Action::Skip;
        w.plan.reason = why;
    }
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

} // namespace brigant::cli
