#pragma once
// The workers of update --all: one process per bridge (brigant-fw itself on
// that bridge alone, with --yes and --json), started, followed and reported
// on here. The station's watch adds workers as bridges arrive.
#include "app/device_list.h"
#include "cli/cli_context.h"
#include "cli/station_log.h"
#include "cli/station_serials.h"
#include "cli/update_all.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace brigant::cli
{

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

// How a worker's update ended, in a word and a reason.
struct Ending {
    std::string result; // success, failed, refused, nothing to do, stopped, crashed, ...
    std::string reason;
};
Ending EndingOf(const Worker &w);
// Its exit status: the report's, else the channel's, else the process's.
int WorkerExit(const Worker &w);

// The device as tables name it: its slot's label and node, or its node.
std::string DeviceName(const DevicePlan &plan);

// Rows of cells as aligned columns, two spaces apart, the last one as it is.
std::string Table(const std::vector<std::vector<std::string>> &rows);

// A --simulate spec without its arrival ("arrive=MS"): the device is there
// from the start.
std::string WithoutArrival(const std::string &spec);

// What a worker runs: this program on the device alone. A simulated device
// is simulated alone, numbered as in this run, so that its path, port and
// state folder are the same as here.
std::vector<std::string> WorkerArgs(const CliContext &ctx, const AllOptions &options, const DevicePlan &plan);

// What the station's watch adds to following the workers.
struct FollowHooks {
    // Called at every turn before workers start: may append workers (in
    // state Waiting). `stopping`: an interrupt came, add none. True while
    // the run goes on with no worker open.
    std::function<bool(bool stopping)> turn;
    // A line above the live table (the running totals), which then shows
    // each unit's serial and time too; unset: none.
    std::function<std::string()> header;
    // How long a turn waits for the workers' output (milliseconds).
    int pollMs = 200;
};

// Follows the workers: their output, their progress on a live table (a
// terminal) or a line per change, their end; starts the next while fewer
// than `jobs` (0: no limit) run; passes interrupts on. `ended` hears each
// worker once it has ended (or will not start). Returns the signal that
// stopped the run (0: none).
int FollowWorkers(std::vector<Worker> &workers, std::ostream &out, const OutputStyle &style, std::size_t jobs,
                  const std::function<void(const Worker &)> &ended, const FollowHooks &hooks = {});

// The station log's row of a bridge: its plan, and how its worker ended.
// `simulated`: the duration is the worker's simulated time.
StationRow RowOf(const Worker &w, bool simulated, const std::string &fileSha256);

// The station log of a run: a row per worker as it ends, with the SHA-256
// of its file (each file hashed once).
class WorkerLog
{
  public:
    std::string open(const std::string &csvFile, const std::string &jsonFile)
    {
        return log_.open(csvFile, jsonFile);
    }
    void add(const Worker &w, bool simulated);

  private:
    StationLog log_;
    std::map<std::string, std::string> sums_;
};

// A unit to update gets its product serial number: the one a failed row of
// the station log gave it (--retry-failed), else the next of `serials`
// (none when they are not active).
// None left: the unit is skipped, with the reason.
void GiveUnitSerial(Worker &w, StationSerials &serials, const std::map<std::string, std::string> &retried);

// The simulated time of the run: the workers' times laid on `jobs` slots in
// the order they started, as the parallel run spends them.
std::uint64_t SimulatedSpan(const std::vector<Worker> &workers, std::size_t jobs);

// Shared by update --all and its watch (cmd_update_all.cpp).

// The action column of a plan.
std::string ActionText(const DevicePlan &plan, bool severalFiles);
// The --slots file: one "PORT LABEL" a line (blank lines and lines that
// start with '#' aside). Empty on success, else why it cannot be used.
std::string ReadSlots(const std::string &file, std::map<std::string, std::string> &slots);
// The worker of a listed bridge, with its plan: the bridge's lock taken (a
// bridge another program of ours works on is planned as busy and asked
// nothing), identified and planned as update FILE plans it.
Worker PlanListedBridge(const ListedBridge &bridge, int index, int candidateCount, const AllOptions &options,
                        const std::map<std::string, std::string> &slots, const INI_STATE &settings,
                        ChipIdentity &carried);
// The run's closing table and what each bridge left to say; the exit code
// of the run. `stopped`: the signal that stopped it (0: none).
int ReportWorkers(const std::vector<Worker> &workers, std::ostream &out, const OutputStyle &style,
                  int stopped);
// What update --all (and its watch) opens and reads before anything is sent.
struct RunFiles {
    std::map<std::string, std::string> slots; // --slots: port path -> label
    WorkerLog log;                            // --log, --log-json
    StationSerials serials;                   // --serial-from, --serial-list
    // --retry-failed: the failed units' bridge serials and the product
    // serial numbers their rows gave them.
    std::map<std::string, std::string> retry;
};
// The one question before the run's writes (--yes answers it); 0 to go on,
// else the exit code once the answer is said.
int AskOnce(const CliContext &ctx, std::ostream &out);
// Checks the arguments and opens the files; 0, or the exit code once the
// error is said. A unit retried with its serial number turns
// `options.serials` on.
int OpenRunFiles(const CliContext &ctx, AllOptions &options, RunFiles &files);

// update --all --watch: updates bridges as they arrive (cmd_station.cpp).
int RunWatch(CliContext &ctx, const AllOptions &options, std::vector<Worker> &workers, std::ostream &out,
             const OutputStyle &style);

} // namespace brigant::cli
