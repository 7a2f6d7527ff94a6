// brigant-fw update --all --watch: the production station. Bridges are
// taken as they arrive on the bus (the udev monitor, or the simulator's
// arrivals), each identified, planned and updated by a worker as update
// --all does, until Ctrl-C or --count units. A unit is the bridge on a port
// from its arrival until it is pulled: it leaves and comes back for its own
// reset while its worker runs, and stays a unit already done after that.
#include "app/device_list.h"
#include "app/settings.h"
#include "cli/say.h"
#include "cli/station_log.h"
#include "cli/worker_pool.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "device/bridge_lock.h"
#include "device/enumerator.h"
#include "identify/candidates.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <set>

namespace brigant::cli
{

namespace
{

constexpr std::uint64_t kScanEveryMs = 1000; // a look at the bus between its events
constexpr std::uint32_t kSimStepMs = 100;    // simulated time that passes while nothing runs
constexpr std::uint64_t kAskAgainMs = 30000; // a disk that is no bridge of ours is asked again after this

// Where a bridge sits: its port path, or its node where the platform says none.
std::string PlaceOf(const std::string &location, const std::string &path)
{
    return location.empty() ? path : location;
}

class Station
{
  public:
    Station(CliContext &ctx, const AllOptions &options, std::vector<Worker> &workers, std::ostream &out,
            const OutputStyle &style, std::map<std::string, std::string> slots, WorkerLog &log,
            StationSerials &serials)
        : ctx_(ctx), options_(options), workers_(workers), out_(out), style_(style), slots_(std::move(slots)),
          log_(log), serials_(serials), simulated_(!ctx.simulate.empty()), startMs_(ProgramClock().nowMs())
    {
        ReadSettings(settings_);
        if (DiskEnumerator *enumerator = CurrentDiskEnumerator())
            bus_ = enumerator->openBusWatch();
    }

    // Only the units of `units` (--retry-failed): bridge serial, and the
    // product serial number they had.
    void onlyUnits(std::map<std::string, std::string> units)
    {
        for (const auto &[bridge, serial] : units)
            onlySerials_.insert(bridge);
        retried_ = std::move(units);
        limited_ = true;
    }

    // A turn of the follower's loop: departures and arrivals, new units.
    bool turn(bool stopping)
    {
        if (stopping || !open())
            return false;
        std::vector<BusEvent> events;
        if (bus_)
            bus_->poll(events);
        bool look = false;
        for (const BusEvent &e : events) {
            look = look || e.arrived;
            if (!e.arrived)
                notBridges_.erase(e.location);
            const auto unit = units_.find(e.location);
            if (unit == units_.end())
                continue;
            // Gone while its worker runs: its own reset (it comes back), or
            // pulled; the port is free once the worker has ended with the
            // bridge away. Gone after it: pulled, the port is free now.
            const bool running = unit->second.worker < workers_.size() &&
                                 workers_[unit->second.worker].state == Worker::State::Running;
            unit->second.present = e.arrived;
            if (!e.arrived && !running)
                units_.erase(unit);
        }
        const std::uint64_t now = ProgramClock().nowMs();
        if (look || simulated_ || now - lastScanMs_ >= kScanEveryMs || lastScanMs_ == 0) {
            lastScanMs_ = now;
            scan();
        }
        // Nothing runs in a simulation: its time goes on to the next arrival.
        const bool busy = std::any_of(workers_.begin(), workers_.end(), [](const Worker &w) {
            return w.state == Worker::State::Running || w.state == Worker::State::Waiting;
        });
        if (simulated_ && !busy && open())
            ProgramClock().sleepMs(kSimStepMs);
        return open();
    }

    // A unit's worker ended (or will not start).
    void ended(const Worker &w)
    {
        log_.add(w, simulated_);
        count(w);
        if (const auto unit = units_.find(PlaceOf(w.plan.port, w.plan.path));
            unit != units_.end() && !unit->second.present)
            units_.erase(unit);
    }

    // The running totals: passed, failed, skipped, units per hour.
    std::string totals() const
    {
        char rate[32] = "-";
        const std::uint64_t elapsed = elapsedMs();
        if (elapsed > 0 && done_ > 0)
            std::snprintf(rate, sizeof rate, "%.1f", static_cast<double>(done_) * 3600000.0 / elapsed);
        return "passed " + std::to_string(passed_) + "  failed " + std::to_string(failed_) + "  skipped " +
               std::to_string(skipped_) + "  units/hour " + rate + "  (" + std::to_string(units_.size()) +
               " on the bus" +
               (options_.count
                    ? ", " + std::to_string(taken_) + " of " + std::to_string(options_.count) + " units taken"
                    : std::string()) +
               ")";
    }

    // The simulated time of the run past the program clock: the last unit's
    // end, each unit's update starting at its arrival.
    std::uint64_t simulatedAfterMs() const
    {
        const std::uint64_t end = lastEndMs();
        const std::uint64_t now = ProgramClock().nowMs();
        return end > now ? end - now : 0;
    }

  private:
    bool full() const { return options_.count != 0 && taken_ >= options_.count; }
    // More units may come: --count is not reached, and --retry-failed has units left.
    bool open() const { return !full() && !(limited_ && onlySerials_.empty()); }

    std::uint64_t lastEndMs() const
    {
        std::uint64_t end = 0;
        for (const Worker &w : workers_)
            if (w.pid >= 0)
                end = std::max(end, w.startedMs + (simulated_ ? w.simulatedMs : w.endedMs - w.startedMs));
        return end;
    }

    std::uint64_t elapsedMs() const
    {
        const std::uint64_t end =
            simulated_ ? std::max(lastEndMs(), ProgramClock().nowMs()) : ProgramClock().nowMs();
        return end - std::min(end, startMs_);
    }

    void count(const Worker &w)
    {
        ++done_;
        if (w.plan.action != DevicePlan::Action::Update) {
            (w.plan.action == DevicePlan::Action::Current ? passed_ : skipped_) += 1;
        } else {
            const int code = WorkerExit(w);
            const bool ok = w.state == Worker::State::Done && (code == kExitOk || code == kExitNothingToDo);
            (ok ? passed_ : failed_) += 1;
        }
        if (!w.plan.serial.empty())
            doneSerials_.insert(w.plan.serial);
        if (!style_.terminal && style_.verbosity != Verbosity::Quiet)
            out_ << totals() << "\n" << std::flush;
    }

    void say(const std::string &line)
    {
        if (!style_.terminal && style_.verbosity != Verbosity::Quiet)
            out_ << line << "\n" << std::flush;
    }

    // New bridges on free ports become units.
    void scan()
    {
        DiscoveryEvents events;
        std::map<std::string, std::string> asked; // place -> node
        events.wanted = [this, &asked](const DiskInterface &d) {
            const std::string place = PlaceOf(d.location, d.path);
            if (units_.count(place) || !d.busy.empty())
                return false;
            if (const auto no = notBridges_.find(place);
                no != notBridges_.end() && ProgramClock().nowMs() - no->second < kAskAgainMs)
                return false;
            if (!options_.ports.empty() &&
                std::find(options_.ports.begin(), options_.ports.end(), d.location) == options_.ports.end())
                return false;
            if (limited_ && !onlySerials_.count(d.serial))
                return false;
            asked[place] = d.path;
            return true;
        };
        const BridgeList list = DiscoverBridges(events);
        // A disk that answered and is not listed is no bridge of ours: it is
        // asked again only after a while, or once it has left the bus and
        // come back. One that did not answer (still starting) is asked again.
        for (const ListedBridge &bridge : list.listed)
            asked.erase(PlaceOf(bridge.entry.location, bridge.entry.path));
        for (const auto &entry : asked) {
            const auto &unasked = UnaskedDisks();
            if (std::none_of(unasked.begin(), unasked.end(),
                             [&](const UnaskedDisk &u) { return u.path == entry.second; }))
                notBridges_[entry.first] = ProgramClock().nowMs();
        }
        for (const ListedBridge &bridge : list.listed) {
            if (full())
                break;
            const std::string place = PlaceOf(bridge.entry.location, bridge.entry.path);
            if (!bridge.entry.busy.empty() || units_.count(place))
                continue;
            const std::string &serial = bridge.entry.serial;
            if (!options_.again && !serial.empty() && doneSerials_.count(serial)) {
                units_[place] = {kNoWorker, true}; // on the bus, nothing to do with it
                say(place + ": bridge " + serial +
                    " was updated in this run already; it stays as it is "
                    "(--again updates a unit each time it arrives)");
                continue;
            }
            Worker w = PlanListedBridge(bridge, static_cast<int>(workers_.size()), list.candidateCount,
                                        options_, slots_, settings_, carried_);
            if (w.plan.reason.rfind("busy: ", 0) == 0)
                continue; // another program of ours has it: asked again later
            ++taken_;
            if (limited_)
                onlySerials_.erase(serial);
            GiveUnitSerial(w, serials_, retried_);
            units_[place] = {workers_.size(), true};
            say(DeviceName(w.plan) + ": arrived" + (serial.empty() ? "" : " (bridge " + serial + ")") + ": " +
                ActionText(w.plan, options_.files.size() > 1));
            if (w.plan.action == DevicePlan::Action::Update) {
                w.argv = WorkerArgs(ctx_, options_, w.plan);
                w.state = Worker::State::Waiting;
                workers_.push_back(std::move(w));
            } else {
                // Nothing to write: the bridge is not this run's to hold.
                ProcessBridgeLocks().release(ProcessBridgeLocks().locationOf(w.plan.path));
                workers_.push_back(std::move(w));
                ended(workers_.back());
            }
        }
    }

    CliContext &ctx_;
    const AllOptions &options_;
    std::vector<Worker> &workers_;
    std::ostream &out_;
    OutputStyle style_;
    std::map<std::string, std::string> slots_;
    WorkerLog &log_;
    StationSerials &serials_;
    std::map<std::string, std::string> retried_;
    bool simulated_;
    std::uint64_t startMs_;
    INI_STATE settings_;
    ChipIdentity carried_;
    std::unique_ptr<BusWatch> bus_;
    static constexpr std::size_t kNoWorker = static_cast<std::size_t>(-1);
    struct Unit {
        std::size_t worker = kNoWorker; // its worker (kNoWorker: none)
        bool present = true;            // on the bus (not since its last departure)
    };
    std::map<std::string, Unit> units_; // by place
    std::set<std::string> doneSerials_;
    std::map<std::string, std::uint64_t> notBridges_; // places that held no bridge of ours, and when asked
    std::set<std::string> onlySerials_;
    bool limited_ = false;
    std::uint64_t lastScanMs_ = 0;
    unsigned taken_ = 0, done_ = 0, passed_ = 0, failed_ = 0, skipped_ = 0;
};

} // namespace

int RunWatch(CliContext &ctx, const AllOptions &given, std::vector<Worker> &workers, std::ostream &out,
             const OutputStyle &style)
{
    AllOptions options = given;
    RunFiles files;
    if (const int code = OpenRunFiles(ctx, options, files); code != 0)
        return code;
    if (!options.retryFailedLog.empty() && files.retry.empty()) {
        out << "nothing to do: no unit failed in " << options.retryFailedLog << "\n";
        return kExitNothingToDo;
    }
    if (ctx.simulate.empty() && !CurrentDiskEnumerator()) {
        SayError().as(MessageCode::NoDevice) << "--watch: no device enumeration on this system";
        return kExitNoDevice;
    }

    out << "update --all --watch: each bridge that arrives is backed up"
        << (ctx.write.noBackup ? " (no: --no-backup)" : "") << " and updated with "
        << (options.embedded ? std::string("the built-in image") : "the FILE that fits it")
        << (options.count ? ", " + std::to_string(options.count) + " units" : std::string(", until Ctrl-C"))
        << (files.retry.empty() ? ""
                                : "; only the " + std::to_string(files.retry.size()) +
                                      " unit(s) that failed in " + options.retryFailedLog)
        << ".\n"
        << std::flush;
    if (const int code = AskOnce(ctx, out); code != 0)
        return code;

    Station station(ctx, options, workers, out, style, files.slots, files.log, files.serials);
    if (!files.retry.empty())
        station.onlyUnits(files.retry);
    FollowHooks hooks;
    hooks.turn = [&station](bool stopping) { return station.turn(stopping); };
    hooks.header = [&station] { return station.totals(); };
    hooks.pollMs = ctx.simulate.empty() ? 100 : 5;
    const int stopped = FollowWorkers(
        workers, out, style, options.jobs, [&station](const Worker &w) { station.ended(w); }, hooks);
    ctx.simulatedMsAfter = station.simulatedAfterMs();
    out << station.totals() << "\n";
    if (workers.empty()) {
        out << "no unit arrived\n";
        return stopped ? 128 + stopped : kExitNoDevice;
    }
    return ReportWorkers(workers, out, style, stopped);
}

} // namespace brigant::cli
