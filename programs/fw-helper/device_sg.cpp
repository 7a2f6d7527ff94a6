// The installed helper's device: the sg node of a disk that brigant-fw's
// discovery would list, checked through udev for every request, and SG_IO.
#include "common/lock_file.h"
#include "device.h"
#include "device/linux/sg_io.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libudev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brigant::helper
{

namespace
{

bool Is(const char *a, const char *b) { return a && std::strcmp(a, b) == 0; }

// The same test as discovery's: an sd disk whose USB interface is bound to
// usb-storage or uas, or whose FireWire unit is bound to firewire_sbp2.
std::string CheckScsiDevice(udev_device *sg)
{
    if (!Is(udev_device_get_subsystem(sg), "scsi_generic"))
        return "not a SCSI generic node";
    udev_device *scsi = udev_device_get_parent_with_subsystem_devtype(sg, "scsi", "scsi_device");
    if (!scsi || !Is(udev_device_get_driver(scsi), "sd"))
        return "not the sg node of a disk";
    if (udev_device *interface =
            udev_device_get_parent_with_subsystem_devtype(scsi, "usb", "usb_interface")) {
        const char *driver = udev_device_get_driver(interface);
        if (Is(driver, "usb-storage") || Is(driver, "uas"))
            return {};
        return "a USB disk not bound to usb-storage or uas";
    }
    if (udev_device *unit = udev_device_get_parent_with_subsystem_devtype(scsi, "firewire", nullptr))
        if (Is(udev_device_get_driver(unit), "firewire_sbp2"))
            return {};
    return "not a disk behind a USB, UAS or FireWire bridge (an internal disk is never accepted)";
}

// Where the bridge sits on its bus, named as brigant-fw's discovery names it:
// the key of its lock.
std::string BridgeLocation(udev_device *sg)
{
    if (udev_device *usb = udev_device_get_parent_with_subsystem_devtype(sg, "usb", "usb_device")) {
        const char *name = udev_device_get_sysname(usb);
        return name ? std::string("usb-") + name : std::string();
    }
    if (udev_device *unit = udev_device_get_parent_with_subsystem_devtype(sg, "firewire", nullptr)) {
        const char *guid = udev_device_get_sysattr_value(unit, "guid");
        if (!guid)
            if (udev_device *parent = udev_device_get_parent(unit);
                parent && Is(udev_device_get_subsystem(parent), "firewire"))
                guid = udev_device_get_sysattr_value(parent, "guid");
        return guid ? std::string("1394-") + guid : std::string();
    }
    return {};
}

// The lock taken for the request being served, when its caller holds none.
int commandLock = -1;

// One bridge, one program: the caller holds its bridge's lock itself (its
// record names the caller, this helper's parent), or, where it could not take
// it, this helper holds it for the one command. A bridge another program
// holds is refused. pkexec passes no environment: the default lock folder.
std::string CheckBridgeLock(const std::string &location)
{
    const std::string directory = DefaultLockDirectory();
    MakeLockDirectory(directory);
    LockHolder me;
    me.pid = static_cast<long>(::getpid());
    me.program = "brigant-fw-helper";
    me.verb = "for PID " + std::to_string(static_cast<long>(::getppid()));
    me.since = std::time(nullptr);
    const LockFileAttempt a = TryLockFile(directory + "/" + LockFileName(location), me);
    if (a.fd >= 0) {
        commandLock = a.fd;
        return {};
    }
    if (!a.busy || a.holder.pid == static_cast<long>(::getppid()))
        return {};
    return "the bridge at " + location + " is busy: " + HolderText(a.holder);
}

std::string CheckNode(const std::string &path, dev_t &number, std::string *location = nullptr)
{
    if (path.rfind("/dev/", 0) != 0 || path.find("/..") != std::string::npos ||
        path.find("/./") != std::string::npos)
        return "path outside /dev";
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return std::string("cannot look at the path: ") + std::strerror(errno);
    if (!S_ISCHR(st.st_mode))
        return "not a character device node";
    number = st.st_rdev;
    udev *u = udev_new();
    if (!u)
        return "udev is not available";
    udev_device *sg = udev_device_new_from_devnum(u, 'c', number);
    const std::string reason = sg ? CheckScsiDevice(sg) : "unknown to udev";
    if (sg && location) {
        *location = BridgeLocation(sg);
        if (location->empty())
            *location = path;
    }
    if (sg)
        udev_device_unref(sg);
    udev_unref(u);
    return reason;
}

} // namespace

std::string CheckDevice(const std::string &path)
{
    dev_t number = 0;
    std::string location;
    const std::string reason = CheckNode(path, number, &location);
    return reason.empty() ? CheckBridgeLock(location) : reason;
}

void RunOnDevice(const Request &r, std::uint8_t *data, Reply &reply)
{
    struct Release {
        ~Release()
        {
            UnlockFile(commandLock);
            commandLock = -1;
        }
    } release;
    dev_t number = 0;
    const std::string reason = CheckNode(r.path, number);
    int fd = -1;
    if (reason.empty()) {
        do
            fd = ::open(r.path.c_str(),
                        O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | ((r.flags & 1) ? O_EXCL : 0));
        while (fd < 0 && errno == EINTR);
    } else {
        errno = ENODEV; // gone or replaced since the check
    }
    if (fd < 0) {
        reply.sysErrno = errno;
        reply.openError = static_cast<std::uint8_t>(sgio::OpenErrorFromErrno(errno));
        return;
    }
    // The node opened is the one checked, not one put in its place since.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != number) {
        ::close(fd);
        reply.sysErrno = ENODEV;
        reply.openError = static_cast<std::uint8_t>(OpenError::NotFound);
        return;
    }
    reply.opened = 1;

    sg_io_hdr_t hdr = sgio::Header(r.cdb, r.cdbLength,
                                   r.direction == kIn    ? sgio::Phase::In
                                   : r.direction == kOut ? sgio::Phase::Out
                                                         : sgio::Phase::None,
                                   data, r.length, reply.sense, kHelperSenseSize, r.timeoutSec);
    const int rc = ::ioctl(fd, SG_IO, &hdr); // never repeated: a command may already have run
    const int ioctlErrno = errno;
    ::close(fd);
    if (rc < 0) {
        reply.sysErrno = ioctlErrno;
        return;
    }
    // The client reads the result as the direct back end does.
    const sgio::Result result = sgio::Decode(hdr);
    reply.scsiStatus = result.scsiStatus;
    reply.senseLength = result.senseLength;
    reply.transportOk = result.transportOk;
    reply.sysErrno = result.sysErrno;
    reply.transferred = result.transferred;
}

} // namespace brigant::helper
