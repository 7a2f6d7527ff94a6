// brigant-fw: the command-line face of the firmware update utility.
#include "app/installed_services.h"
#include "cli/cli_context.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "common/version.h"
#include "device/discovery.h"
#include "device/linux/sg_backend.h"
#include "device/linux/udev_discovery.h"
#include "device/transport.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <cstdio>
#include <iostream>
#include <memory>

using namespace brigant;
using namespace brigant::cli;

namespace
{

// Closes a trace file that the run opened (standard error stays open).
struct CloseTraceFile {
    void operator()(std::FILE *file) const
    {
        if (file != stderr)
            std::fclose(file);
    }
};

// Owns whatever the chosen back end needs for the rest of the run. The
// services are undone first, before what they point to goes.
struct Session {
    VirtualClock virtualClock;
    std::unique_ptr<sim::Simulation> simulation;
    SgBackend sg;
    std::unique_ptr<DiskEnumerator> enumerator; // over the simulation or udev
    std::unique_ptr<std::FILE, CloseTraceFile> traceFile;
    InstalledServices services;
};

} // namespace

int main(int argc, char **argv)
{
    CliContext ctx;
    std::vector<std::string> simulate;
    CLI::App app{"Brigant Firmware Update Utility for Linux: update the firmware of Velkor storage bridges"};
    app.set_version_flag("--version", std::string("brigant-fw ") + kVersionText);
    app.add_option("--simulate", simulate,
                   "Use a simulated device: PRESET[:key=value,...] (repeat for several; 'help' lists them)")
        ->expected(1)
        ->take_all();
    app.add_option("--device", ctx.device,
                   "SCSI generic node of the bridge's disk, e.g. /dev/sg2 (with --simulate: sim:sgN)");
    app.add_option("--sim-state", ctx.simState, "Directory that keeps the simulated devices' state");
    auto *trace =
        app.add_option("--trace", ctx.traceFile, "Write one line per SCSI command (to FILE or stderr)")
            ->expected(0, 1);
    app.add_flag("--debug", ctx.debug, "Print the program's debug trace to standard error");
    app.require_subcommand(0, 1);

    RegisterRawCommand(app, ctx);
    RegisterCheckCommand(app, ctx);
    RegisterInfoCommand(app, ctx);
    RegisterListCommand(app, ctx);
    RegisterUpdateCommand(app, ctx);
    RegisterRepairCommand(app, ctx);
    RegisterRecoverCommand(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (simulate.size() == 1 && simulate[0] == "help") {
        std::cout << sim::PresetHelp();
        return kExitOk;
    }
    if (!ctx.action) {
        std::cerr << app.help();
        return kExitUsage;
    }

    Session session;
    ctx.traceOn = trace->count() > 0;
    if (ctx.traceOn) {
        session.traceFile.reset(ctx.traceFile.empty() ? stderr : std::fopen(ctx.traceFile.c_str(), "w"));
        if (!session.traceFile) {
            std::perror(ctx.traceFile.c_str());
            return kExitUsage;
        }
        session.services.commandTrace(session.traceFile.get());
    }
    if (ctx.debug)
        session.services.debugSink(stderr);

    std::vector<std::string> simPaths;
    if (!simulate.empty()) {
        // Simulations run on virtual time: waits cost nothing, and are still counted.
        session.services.clock(&session.virtualClock);
        session.simulation = std::make_unique<sim::Simulation>(session.virtualClock);
        for (const auto &spec : simulate) {
            std::string error;
            std::string path = session.simulation->add(spec, error);
            if (path.empty()) {
                std::cerr << "error: --simulate " << spec << ": " << error << "\n";
                return kExitUsage;
            }
            simPaths.push_back(path);
        }
        if (!ctx.simState.empty()) {
            std::string error;
            if (!session.simulation->loadState(ctx.simState, error)) {
                std::cerr << "error: --sim-state: " << error << "\n";
                return kExitUsage;
            }
        }
        session.services.backend(&session.simulation->backend());
        ctx.simulation = session.simulation.get();
        session.enumerator = std::make_unique<sim::SimDiskEnumerator>(*session.simulation);
    } else {
        if (!ctx.simState.empty()) {
            std::cerr << "error: --sim-state needs --simulate\n";
            return kExitUsage;
        }
        session.services.backend(&session.sg);
        session.enumerator = std::make_unique<UdevDiskEnumerator>();
    }
    session.services.diskEnumerator(session.enumerator.get());

    ctx.attachDevice = [&](std::string &path) {
        if (!ctx.device.empty()) {
            path = ctx.device;
            return true;
        }
        if (!simPaths.empty()) {
            path = simPaths.front();
            return true;
        }
        std::cerr
            << "error: no device: give --device /dev/sgN, or --simulate PRESET to try a simulated bridge\n";
        return false;
    };

    const std::uint64_t simStartMs = session.virtualClock.nowMs();
    // Interrupts stop the run between two commands (never inside a write),
    // so that what follows, the saving of the simulated state included, runs.
    InstallInterruptHandling();
    int code = kExitFailed;
    try {
        code = ctx.action();
        if (const int deferred = DeferredSignal(); deferred != 0)
            std::cerr << "interrupted: the run was finished first, as told; stopping now\n";
    } catch (const StopRequested &stop) {
        std::cout << std::flush;
        std::cerr << "\n" << StoppedStateText(stop) << "\n";
        code = 128 + stop.signal;
    }

    if (session.simulation && !ctx.simState.empty()) {
        // A device that lost its power received nothing since: what it holds
        // now is its state of that moment.
        std::string error;
        if (!session.simulation->saveState(ctx.simState, error)) {
            std::cerr << "error: --sim-state: " << error << "\n";
            if (code == kExitOk)
                code = kExitFailed;
        }
    }
    if (session.simulation) {
        // On standard error, so that what the command prints stays as it is.
        const std::uint64_t ms = session.virtualClock.nowMs() - simStartMs;
        std::fprintf(stderr, "simulated time: %llu.%02llu s\n", static_cast<unsigned long long>(ms / 1000),
                     static_cast<unsigned long long>(ms % 1000 / 10));
    }
    return code;
}
