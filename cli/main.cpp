// brigant-fw: the command-line face of the firmware update utility.
#include "app/update_journal.h"
#include "cli/cli_context.h"
#include "cli/command_line.h"
#include "cli/say.h"
#include "cli/signal_safe_output.h"
#include "cli/user_text.h"
#include "cli/worker_channel.h"
#include "cli/write_safety.h"
#include "device/bridge_lock.h"
#include "runtime/runtime.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <unistd.h>

using namespace brigant;
using namespace brigant::cli;

namespace
{

// What the runtime below the verbs is set up with, from the command line.
runtime::RuntimeOptions RuntimeOptionsOf(const CommandLine &line)
{
    const CliContext &ctx = line.ctx;
    runtime::RuntimeOptions options;
    options.simulate = ctx.simulate;
    options.simState = ctx.simState;
    options.simFirstIndex = ctx.simFirstIndex;
    options.device = ctx.device;
    options.trace = line.traceOption->count() > 0;
    options.traceFile = ctx.traceFile;
    options.traceDataFile = ctx.traceDataFile;
    options.debug = ctx.debug;
    // --helper sends every command through the helper; PROGRAM replaces the installed one.
    if (line.helperOption->count() > 0) {
        options.helper = runtime::HelperUse::Always;
        if (!line.helperProgram.empty())
            options.helperCommand = {line.helperProgram};
    }
    // Simulated bridges run on virtual time, which is the program's clock too.
    options.simulatedTime = runtime::SimulatedTime::Virtual;
    // What the bridge locks this run takes say of it to the other programs.
    options.program = "brigant-fw";
    for (const CLI::App *verb : line.app.get_subcommands())
        options.verb = verb->get_name();
    return options;
}

// The device path the verbs talk to: --device, else the first simulated
// bridge; said when there is none.
void AttachDevices(CliContext &ctx, const std::vector<std::string> &simPaths)
{
    ctx.attachDevice = [&ctx, &simPaths](std::string &path) {
        if (!ctx.device.empty()) {
            path = ctx.device;
            return true;
        }
        if (!simPaths.empty()) {
            path = simPaths.front();
            return true;
        }
        SayError().as(MessageCode::NoDevice)
            << "no device: give --device /dev/sgN, or --simulate PRESET to try a simulated bridge";
        return false;
    };
}

// Runs the verb's action. Interrupts stop the run between two commands
// (never inside a write), so that what follows, the saving of the simulated
// state included, runs. Returns the exit code.
int RunAction(CliContext &ctx)
{
    InstallInterruptHandling();
    if (ctx.workerFd >= 0)
        OpenWorkerChannel(ctx.workerFd);
    int code = kExitFailed;
    try {
        code = ctx.action();
        if (ctx.view)
            ctx.view->endLine(); // a progress line still open ends before anything else is said
        if (const int deferred = DeferredSignal(); deferred != 0)
            std::cerr << "interrupted: the run was finished first, as told; stopping now\n";
    } catch (const StopRequested &stop) {
        std::cout << std::flush;
        std::cerr << "\n" << StoppedStateText(stop) << "\n";
        code = 128 + stop.signal;
    }
    return code;
}

// Saves the simulated bridges' state where it is kept; a state that cannot
// be saved fails a run that succeeded. Returns the exit code.
int SaveSimState(CliContext &ctx, runtime::Runtime &session, int code)
{
    // A simulated bridge found busy is its holder's: this run's copy of its
    // state is not written over the holder's.
    if (ProcessBridgeLocks().metBusy())
        ctx.saveSimState = false;
    if (std::string error; ctx.saveSimState && !session.saveSimState(error)) {
        SayError().as(MessageCode::Failed) << error;
        if (code == kExitOk)
            code = kExitFailed;
    }
    return code;
}

// The simulated time the run took, on standard error, so that what the
// command prints stays as it is; after it, so that the two never share a line
// where both go to one pipe.
void SaySimulatedTime(std::uint64_t simulatedMs)
{
    std::cout.flush();
    std::fflush(stdout);
    std::fprintf(stderr, "simulated time: %llu.%02llu s\n",
                 static_cast<unsigned long long>(simulatedMs / 1000),
                 static_cast<unsigned long long>(simulatedMs % 1000 / 10));
}

} // namespace

int main(int argc, char **argv)
{
    UseSignalSafeOutput();
    CommandLine line;
    if (const auto code = ParseCommandLine(line, argc, argv, std::cout, std::cerr))
        return *code;
    CliContext &ctx = line.ctx;

    ctx.style = DetectStyle(STDOUT_FILENO, ctx.quiet     ? Verbosity::Quiet
                                           : ctx.verbose ? Verbosity::Verbose
                                                         : Verbosity::Normal);

    const runtime::RuntimeOptions options = RuntimeOptionsOf(line);
    runtime::Runtime session;
    if (const auto failure = session.start(options)) {
        SayError().as(failure->kind == runtime::StartFailure::Kind::NoDevice ? MessageCode::NoDevice
                                                                             : MessageCode::Usage)
            << failure->text;
        return failure->kind == runtime::StartFailure::Kind::NoDevice ? kExitNoDevice : kExitUsage;
    }
    // The update journal: for real bridges, or for simulated ones with a kept state.
    if (options.simulate.empty())
        EnableJournalForRealBridges();
    else
        SetJournalForSimulation(options.simState);
    ctx.traceOn = options.trace;
    ctx.simulation = session.simulation();
    ctx.runtime = &session;
    AttachDevices(ctx, session.simulatedPaths());

    const std::uint64_t simStartMs = session.simulationClock().nowMs();
    int code = RunAction(ctx);
    if (code != kExitOk)
        ReportAccessProblem(&session);
    code = SaveSimState(ctx, session, code);
    const std::uint64_t simulatedMs =
        session.simulation() ? session.simulationClock().nowMs() - simStartMs + ctx.simulatedMsAfter : 0;
    if (session.simulation())
        SaySimulatedTime(simulatedMs);
    SendWorkerEnd(code, simulatedMs);
    return code;
}
