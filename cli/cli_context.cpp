#include "cli/cli_context.h"
#include "runtime/runtime.h"
#include <unistd.h>

#include "cli/json_report.h"
#include "cli/say.h"
#include "common/clock.h"
#include "device/bridge_lock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "identify/candidates.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <iostream>

namespace brigant::cli
{

int ClaimBridge(CliContext &ctx, const std::string &path)
{
    BridgeLocks &locks = ProcessBridgeLocks();
    if (!locks.enabled())
        return kExitOk;
    const std::string location = locks.locationOf(path);
    BridgeLocks::Attempt a = locks.take(location);
    if (a.taken == BridgeLocks::Taken::Busy && ctx.waitSeconds >= 0) {
        std::cerr << BusyText(a.busy) << ": waiting for it"
                  << (ctx.waitSeconds > 0
                          ? " (at most " + std::to_string(static_cast<long>(ctx.waitSeconds)) + " s)"
                          : std::string())
                  << "\n";
        // The other program runs in real time: so does this wait.
        RealClock clock;
        const std::uint64_t deadline = clock.nowMs() + static_cast<std::uint64_t>(ctx.waitSeconds * 1000);
        while (a.taken == BridgeLocks::Taken::Busy && (ctx.waitSeconds == 0 || clock.nowMs() < deadline)) {
            clock.sleepMs(200);
            a = locks.take(location);
        }
        // What a simulated bridge holds now is what its holder left.
        if (a.taken == BridgeLocks::Taken::Held && ctx.runtime) {
            std::string error;
            if (!ctx.runtime->reloadSimState(error)) {
                SayError().as(MessageCode::Failed) << error;
                return kExitFailed;
            }
        }
    }
    switch (a.taken) {
    case BridgeLocks::Taken::Held:
        return kExitOk;
    case BridgeLocks::Taken::Unavailable:
        SayWarning().as(MessageCode::Access)
            << "the lock of the bridge at " << location << " cannot be taken (" << a.error
            << "): another program could talk to it at the same time";
        return kExitOk;
    case BridgeLocks::Taken::Busy:
        break;
    }
    const std::string text = BusyText(a.busy);
    SayError().as(MessageCode::Busy) << text << "; nothing was sent to it (--wait waits for it)";
    ReportStatus("busy");
    ReportReason(text);
    ReportField("heldBy", nlohmann::json{{"pid", a.busy.holder.pid},
                                         {"program", a.busy.holder.program},
                                         {"verb", a.busy.holder.verb},
                                         {"since", static_cast<long long>(a.busy.holder.since)},
                                         {"location", a.busy.location}});
    // Its state is the holder's to keep.
    ctx.saveSimState = false;
    return kExitBusy;
}

std::ostream *MessageStream(const CliContext &ctx)
{
    return ctx.style.verbosity == Verbosity::Verbose ? &std::cout : nullptr;
}

int IndexOutOfRange(int index, int count)
{
    Saying said = SayError();
    said.as(MessageCode::Usage);
    said << "--index " << index << " is out of range: ";
    if (count <= 0)
        said << "no device is listed";
    else if (count == 1)
        said << "one device is listed, its index is 0";
    else
        said << count << " devices are listed, valid indexes are 0 to " << count - 1;
    return kExitUsage;
}

bool PermissionProblem()
{
    const TransportFailure &f = LastTransportFailure();
    return (f.openFailed && f.openError == OpenError::PermissionDenied) || f.sysErrno == EPERM ||
           f.sysErrno == EACCES;
}

std::string AccessProblemText(const runtime::Runtime *runtime)
{
    if (runtime) {
        if (std::string helper = runtime->helperProblemText(); !helper.empty())
            return helper;
    }
    const TransportFailure &f = LastTransportFailure();
    const std::string what = f.openFailed ? "cannot open " + f.path + ": permission denied"
                                          : "a command to " + f.path +
                                                " was refused: permission denied (vendor commands need "
                                                "CAP_SYS_RAWIO)";
    if (runtime && runtime->throughHelper())
        return what + ", also through the helper: another program may hold the device, or a security policy "
                      "(SELinux, AppArmor, a container) denies it";
    if (::geteuid() == 0)
        return what + ", although this runs as root: another program may hold the device, or a security "
                      "policy (SELinux, AppArmor, a container) denies it";
    return what + ": raw SCSI access needs privileges: add --helper (the helper installed with the package "
                  "asks for authorisation once), or run as root";
}

bool ReportAccessProblem(const runtime::Runtime *runtime)
{
    if (!PermissionProblem())
        return false;
    static bool reported = false;
    if (!reported)
        SayError().as(MessageCode::Access) << AccessProblemText(runtime);
    reported = true;
    return true;
}

std::string UnidentifiedText(const UnaskedDisk &disk)
{
    return disk.path + ": not identified: " + disk.error + "; `brigant-fw doctor --device " + disk.path +
           "` tells more";
}

bool ReportUnaskedDisks(bool noneFound)
{
    for (const UnaskedDisk &disk : UnaskedDisks())
        Saying(noneFound ? Severity::Error : Severity::Warning, std::cerr, MessageCode::Failed,
               {{"device", disk.path}})
            << UnidentifiedText(disk);
    return !UnaskedDisks().empty();
}

std::vector<std::string> MountPointsOf(const std::string &path)
{
    return brigant::MountPointsOf(path, RootMount::LeftOut).value_or(std::vector<std::string>{});
}

} // namespace brigant::cli
