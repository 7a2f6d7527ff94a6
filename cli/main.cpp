// brigant-fw: the command-line face of the firmware update utility.
#include "app/installed_services.h"
#include "cli/cli_context.h"
#include "cli/command_line.h"
#include "cli/user_text.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "device/discovery.h"
#include "device/linux/helper_backend.h"
#include "device/linux/sg_backend.h"
#include "device/linux/udev_discovery.h"
#include "device/transport.h"
#include "sim/sim_backend.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <memory>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
    std::unique_ptr<HelperBackend> helper;      // --helper: every command goes through it
    std::unique_ptr<DiskEnumerator> enumerator; // over the simulation or udev
    std::unique_ptr<OneDiskEnumerator> oneDisk; // the enumerator with only --device's disk
    std::unique_ptr<std::FILE, CloseTraceFile> traceFile;
    InstalledServices services;
};

// Checks a real device path before anything runs: a path that cannot be
// opened, or that is no SCSI device, ends the run with one error (exit 3).
// No access and a busy device are left to the command, which explains them.
bool CheckDevicePath(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM || error == EBUSY)
            return true;
        std::cerr << "error: cannot open " << path << ": " << std::strerror(error) << "\n";
        return false;
    }
    int version = 0;
    const bool scsi = ::ioctl(fd, SG_GET_VERSION_NUM, &version) == 0;
    ::close(fd);
    if (!scsi)
        std::cerr << "error: " << path << ": not a SCSI generic device (give the bridge disk's /dev/sgN)\n";
    return scsi;
}

} // namespace

int main(int argc, char **argv)
{
    CommandLine line;
    if (const auto code = ParseCommandLine(line, argc, argv, std::cout, std::cerr))
        return *code;
    CliContext &ctx = line.ctx;
    const std::vector<std::string> &simulate = line.simulate;
    const std::string &helperProgram = line.helperProgram;
    CLI::Option *helperOption = line.helperOption;
    CLI::Option *trace = line.traceOption;

    ctx.style = DetectStyle(STDOUT_FILENO, ctx.quiet     ? Verbosity::Quiet
                                           : ctx.verbose ? Verbosity::Verbose
                                                         : Verbosity::Normal);
    if (!ctx.simState.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(ctx.simState, ec) && !std::filesystem::is_directory(ctx.simState, ec)) {
            std::cerr << "error: --sim-state " << ctx.simState << ": not a directory\n";
            return kExitUsage;
        }
    }

    Session session;
    ctx.traceOn = trace->count() > 0;
    if (ctx.traceOn) {
        session.traceFile.reset(ctx.traceFile.empty() ? stderr : std::fopen(ctx.traceFile.c_str(), "w"));
        if (!session.traceFile) {
            std::cerr << "error: --trace " << ctx.traceFile << ": cannot write: " << std::strerror(errno)
                      << "\n";
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
        if (helperOption->count() > 0) {
            // The simulated bridges answer a helper that relays to them (the
            // test helper); the installed helper only speaks to /dev.
            if (helperProgram.empty()) {
                std::cerr << "error: --helper with --simulate needs the test helper: --helper=PROGRAM\n";
                return kExitUsage;
            }
            session.helper = std::make_unique<HelperBackend>(std::vector<std::string>{helperProgram},
                                                             session.simulation->backend(),
                                                             &session.simulation->backend());
            session.services.backend(session.helper.get());
        } else {
            session.services.backend(&session.simulation->backend());
        }
        if (!ctx.device.empty()) {
            const auto present = session.simulation->backend().paths();
            if (std::find(present.begin(), present.end(), ctx.device) == present.end()) {
                std::cerr << "error: cannot open " << ctx.device << ": no such simulated device (present:";
                for (const std::string &path : present)
                    std::cerr << " " << path;
                std::cerr << ")\n";
                return kExitNoDevice;
            }
        }
        ctx.simulation = session.simulation.get();
        session.enumerator = std::make_unique<sim::SimDiskEnumerator>(*session.simulation);
    } else {
        if (!ctx.simState.empty()) {
            std::cerr << "error: --sim-state needs --simulate\n";
            return kExitUsage;
        }
        if (!ctx.device.empty() && !CheckDevicePath(ctx.device))
            return kExitNoDevice;
        if (helperOption->count() > 0) {
            session.helper = std::make_unique<HelperBackend>(
                helperProgram.empty() ? DefaultHelperCommand() : std::vector<std::string>{helperProgram},
                session.sg);
            session.services.backend(session.helper.get());
        } else {
            session.services.backend(&session.sg);
        }
        session.enumerator = std::make_unique<UdevDiskEnumerator>();
    }
    // --device names the one disk every verb works on: the verbs that find
    // bridges as the window does (update, erase, backup, list ...) see no other.
    if (!ctx.device.empty())
        session.oneDisk = std::make_unique<OneDiskEnumerator>(*session.enumerator, ctx.device);
    session.services.diskEnumerator(session.oneDisk ? session.oneDisk.get() : session.enumerator.get());

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
    if (code != kExitOk && PermissionProblem()) {
        if (!session.helper)
            std::cerr << "hint: --helper sends the commands through the helper (installed with the package), "
                         "which asks for authorisation once; or run as root\n";
        else
            std::cerr << "the helper did not start, was not authorised or was denied access\n";
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
