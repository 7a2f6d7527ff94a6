#pragma once
// Shared state of one brigant-fw run: the global options and the exit code
// that the chosen sub-command leaves.
#include "app/update_plan.h"
#include "cli/progress_view.h"
#include "identify/candidates.h"
#include "rehearse/rehearsal.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

// CLI11 is costly to compile; only the files that declare options include it.
namespace CLI
{
class App;
} // namespace CLI

namespace brigant::sim
{
class Simulation;
}
namespace brigant::runtime
{
class Runtime;
}

namespace brigant::cli
{

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNoDevice = 3,
    kExitNothingToDo = 4,
    kExitDeclined = 5, // the user answered no: nothing was written
    kExitBusy = 6,     // another program of ours holds the bridge: nothing was sent to it
};

// The options every write verb takes.
struct WriteOptions {
    bool yes = false;         // --yes: answers the confirmation
    bool noBackup = false;    // --no-backup
    bool force = false;       // --force: write although a filesystem is mounted
    bool rehearse = false;    // --rehearse: run the write on the device's twin first
    bool changedOnly = false; // --changed-only: write only the erase units that differ
    std::string serial;       // --serial: the product serial number the update writes (empty: none)
};

struct CliContext {
    // Global options.
    std::vector<std::string> simulate;   // every --simulate spec; empty for real hardware
    std::string device;                  // --device /dev/sgN (given once)
    std::vector<std::string> devices;    // every --device (update --all takes several)
    bool severalDevices = false;         // the verb takes several --device (update --all)
    std::vector<std::string> helperArgs; // --helper as given ("--helper" or "--helper=PROGRAM")
    std::size_t simFirstIndex = 0;       // --sim-first-index
    int workerFd = -1;                   // --worker-fd: a worker of update --all reports here
    bool saveSimState = true;            // false: the workers of update --all keep the state
    std::uint64_t simulatedMsAfter = 0;  // simulated time that passed in this run's workers
    std::string simState;                // --sim-state DIR
    bool traceOn = false;
    std::string traceFile; // empty: standard error
    std::string traceDataFile;
    bool debug = false;
    // --wait[=SECONDS]: how long to wait for a bridge another program holds;
    // -1 (no --wait): not at all; 0 (--wait alone): as long as it takes.
    double waitSeconds = -1;
    std::string waitText;                  // --wait as given
    bool quiet = false;                    // --quiet: errors and results only
    bool verbose = false;                  // --verbose: also the window-level fields
    OutputStyle style;                     // of standard output: terminal, colour, verbosity
    std::shared_ptr<ProgressView> view;    // the write verb's view of its run
    sim::Simulation *simulation = nullptr; // set when --simulate is given
    runtime::Runtime *runtime = nullptr;   // what main set up below the verbs
    WriteOptions write;

    // Set by the chosen sub-command's callback; main runs it after parsing.
    std::function<int()> action;
    // Installs the transport back end (simulator or SG_IO) and names the
    // device path to talk to; false (after printing why) when there is none.
    std::function<bool(std::string &path)> attachDevice;
};

// Where a write verb prints the information boxes of what it runs: standard
// output with --verbose, nowhere otherwise (the verb says what matters in its
// own words).
std::ostream *MessageStream(const CliContext &ctx);

// Takes the lock of the bridge at `path` for the rest of the run, before the
// verb's first command to it. kExitOk when this run holds it (or locks are
// off, or the lock cannot be made: said as a warning); kExitBusy, said on
// standard error with its holder and in the JSON report, when another program
// of ours holds it and --wait did not get it in time.
int ClaimBridge(CliContext &ctx, const std::string &path);

// Prints that --index `index` is not one of `count` devices and returns the
// usage error's exit code.
int IndexOutOfRange(int index, int count);

// Whether the last transport failure was a permission problem (no access to
// the node, or a command the kernel refused).
bool PermissionProblem();

// The one message about access to the devices, with what to do next: the
// helper's problem (polkit missing, authorisation refused, the helper
// failed), or why the open or a command was refused, with advice that fits
// who runs the tool (no "run as root" to root). `runtime` says whether the
// commands went through the helper.
std::string AccessProblemText(const runtime::Runtime *runtime);
// Prints "error: " and that message on standard error, once per run, when
// the last transport failure was a permission problem; true when there was one.
bool ReportAccessProblem(const runtime::Runtime *runtime);
// Names on standard error each disk the latest listing could not ask (its
// INQUIRY or vendor probe failed): "error: sim:sg0: not identified: INQUIRY
// failed (...)" and where to look further, when no bridge was found
// (`noneFound`), else as a warning; true when there was one.
bool ReportUnaskedDisks(bool noneFound);
// "sim:sg0: not identified: INQUIRY failed (...); `brigant-fw doctor ...` tells more"
std::string UnidentifiedText(const UnaskedDisk &disk);

// The mount points of the partitions of the disk behind `path`, as the
// installed disk enumeration reports them ("/" is never one).
std::vector<std::string> MountPointsOf(const std::string &path);

// The bridge `record` (and a rehearsal) records: the device list's entry
// `index`, as info chooses it (--device without discovery too). kExitOk, or
// the exit status after saying why there is none (or that another program
// of ours holds it). The recorder in place hears the list's commands.
int RecordTargetOf(CliContext &ctx, int index, RecordTarget &target);
// The recording of the device at `index`: kExitOk, or the exit status after
// saying why there is none.
int RecordDevice(CliContext &ctx, int index, Recording &recording);

// --rehearse: records the device at `index`, rehearses `request` on its twin
// and shows the plan it leaves. kExitOk: the real run may follow; anything
// else is the exit code to stop with, nothing written.
int Rehearse(CliContext &ctx, int index, const RehearsalRequest &request);
// `run`, after a rehearsal of `request` when --rehearse was given.
int WithRehearsal(CliContext &ctx, int index, const RehearsalRequest &request,
                  const std::function<int()> &run);

// recover with the built-in image on device `index` (its question, backup and
// journal as the verb has them).
int RecoverVerb(CliContext &ctx, int index);

// Each sub-command lives in its own file and registers itself here.
void RegisterRawCommand(CLI::App &app, CliContext &ctx);
void RegisterCheckCommand(CLI::App &app, CliContext &ctx);
void RegisterInfoCommand(CLI::App &app, CliContext &ctx);
void RegisterListCommand(CLI::App &app, CliContext &ctx);
void RegisterUpdateCommand(CLI::App &app, CliContext &ctx);
void RegisterRepairCommand(CLI::App &app, CliContext &ctx);
void RegisterRecoverCommand(CLI::App &app, CliContext &ctx);
void RegisterHistoryCommand(CLI::App &app, CliContext &ctx);
void RegisterDoctorCommand(CLI::App &app, CliContext &ctx);
void RegisterReportCommand(CLI::App &app, CliContext &ctx);
void RegisterRecordCommand(CLI::App &app, CliContext &ctx);

} // namespace brigant::cli
