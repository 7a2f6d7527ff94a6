#include "cli/cli_context.h"
#include "runtime/runtime.h"
#include <unistd.h>

#include "device/discovery.h"
#include "device/transport.h"

#include <cerrno>
#include <iostream>

namespace brigant::cli
{

int IndexOutOfRange(int index, int count)
{
    std::cerr << "error: --index " << index << " is out of range: ";
    if (count <= 0)
        std::cerr << "no device is listed\n";
    else if (count == 1)
        std::cerr << "one device is listed, its index is 0\n";
    else
        std::cerr << count << " devices are listed, valid indexes are 0 to " << count - 1 << "\n";
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
        std::cerr << "error: " << AccessProblemText(runtime) << "\n";
    reported = true;
    return true;
}

std::vector<std::string> MountPointsOf(const std::string &path)
{
    return brigant::MountPointsOf(path, RootMount::LeftOut).value_or(std::vector<std::string>{});
}

} // namespace brigant::cli
