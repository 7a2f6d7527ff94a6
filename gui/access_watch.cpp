#include "gui/access_watch.h"

#include "device/transport.h"

#include <cerrno>

namespace brigant::gui
{

namespace
{

// The one advice of every front end, with what the window does about it.
std::string Advice()
{
    return std::string("To send them: ") + kPrivilegeAdvice +
           ".\nWhen not run as root, the window starts the helper (brigant-fw-helper) through pkexec, which "
           "asks for an administrator's authorisation once.\n";
}

} // namespace

ScsiOutcome AccessWatch::execute(const std::string &path, const ScsiCommand &cmd)
{
    if (!backend_) {
        ScsiOutcome none;
        none.openError = OpenError::NotFound;
        none.sysErrno = ENODEV;
        return none;
    }
    ScsiOutcome o = backend_->execute(path, cmd);
    if (!o.opened &&
        (o.openError == OpenError::PermissionDenied || o.sysErrno == EACCES || o.sysErrno == EPERM)) {
        pending_ = Problem::OpenDenied;
        path_ = path;
    } else if (o.opened && (o.sysErrno == EPERM || o.sysErrno == EACCES)) {
        pending_ = Problem::CommandDenied;
        path_ = path;
    } else if (o.opened && o.transportOk) {
        reported_ = Problem::None;
    }
    return o;
}

bool AccessWatch::listDisks(std::vector<DiskInterface> &disks)
{
    if (!enumerator_ || !enumerator_->listDisks(disks)) {
        pending_ = Problem::NoDiskList;
        return false;
    }
    if (reported_ == Problem::NoDiskList)
        reported_ = Problem::None;
    return true;
}

bool AccessWatch::listMountedVolumes(std::vector<MountedVolume> &volumes)
{
    return enumerator_ && enumerator_->listMountedVolumes(volumes);
}

std::optional<std::string> AccessWatch::takeReport()
{
    const Problem problem = pending_;
    pending_ = Problem::None;
    if (problem == Problem::None || problem == reported_)
        return std::nullopt;
    reported_ = problem;
    switch (problem) {
    case Problem::OpenDenied:
        return "Permission denied when opening " + path_ +
               ".\n\nThe program talks to the bridge through raw SCSI commands, which needs access to the "
               "disk's SCSI generic node.\n\n" +
               Advice();
    case Problem::CommandDenied:
        return "The system refused a command to " + path_ +
               " (permission denied).\n\nVendor commands to the bridge need the raw I/O capability "
               "(CAP_SYS_RAWIO).\n\n" +
               Advice();
    case Problem::NoDiskList:
        return std::string("The list of disks cannot be read: the device manager (udev) is not available.\n\n"
                           "Check that /run/udev is present (in a container, pass it through), then press "
                           "Exit and start the program again.");
    case Problem::None:
        break;
    }
    return std::nullopt;
}

} // namespace brigant::gui
