#include "device/linux/sg_backend.h"

#include "device/transport.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace brigant
{

namespace
{

constexpr unsigned kSenseBufferSize = 32;
constexpr unsigned kDriverSense = 0x08;   // driver_status bit: sense data was returned
constexpr unsigned kDriverTimeout = 0x06; // driver_status low nibble
constexpr std::uint32_t kDiskDeviceType = 7;

// host_status values of the SCSI mid-layer that tell what happened to the target.
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDidBadTarget = 0x04;

SgSystemCalls RealSystemCalls()
{
    SgSystemCalls calls;
    calls.open = [](const char *path, int flags) { return ::open(path, flags); };
    calls.ioctl = [](int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); };
    calls.close = [](int fd) { return ::close(fd); };
    return calls;
}

int TransportErrno(unsigned hostStatus, unsigned driverStatus)
{
    if (hostStatus == kDidNoConnect || hostStatus == kDidBadTarget)
        return ENODEV;
    if (hostStatus == kDidTimeOut || (driverStatus & 0x0F) == kDriverTimeout)
        return ETIMEDOUT;
    return EIO;
}

// Reads a small sysfs attribute, without the trailing newline.
bool ReadAttribute(const std::string &file, std::string &value)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[64];
    ssize_t n;
    do {
        n = ::read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return false;
    value.assign(buf, static_cast<std::size_t>(n));
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return !value.empty();
}

bool ReadUnsigned(const std::string &file, unsigned &value)
{
    std::string text;
    if (!ReadAttribute(file, text))
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > UINT_MAX)
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

// A `dev` attribute: "MAJOR:MINOR".
bool ReadDevAttribute(const std::string &file, unsigned &major, unsigned &minor)
{
    std::string text;
    if (!ReadAttribute(file, text))
        return false;
    char tail = 0;
    return std::sscanf(text.c_str(), "%u:%u%c", &major, &minor, &tail) == 2;
}

std::uint32_t DiskNumber(unsigned major, unsigned minor)
{
    return static_cast<std::uint32_t>((major << 20) | (minor & 0xFFFFF));
}

// The sysfs directory of the sg node leads to its SCSI device; a disk has
// exactly one block device there.
bool DiskOfScsiGeneric(const std::string &sysDir, unsigned &major, unsigned &minor)
{
    char link[PATH_MAX];
    const ssize_t n = ::readlink((sysDir + "/subsystem").c_str(), link, sizeof link - 1);
    if (n <= 0)
        return false;
    link[n] = '\0';
    const char *slash = std::strrchr(link, '/');
    if (std::strcmp(slash ? slash + 1 : link, "scsi_generic") != 0)
        return false;

    const std::string blockDir = sysDir + "/device/block";
    DIR *dir = ::opendir(blockDir.c_str());
    if (!dir)
        return false; // not a disk (a tape, an enclosure, the bridge's own LUN)
    bool found = false;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        found = ReadDevAttribute(blockDir + "/" + entry->d_name + "/dev", major, minor);
        break;
    }
    ::closedir(dir);
    return found;
}

} // namespace

OpenError OpenErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return OpenError::NotFound;
    case EACCES:
    case EPERM:
        return OpenError::PermissionDenied;
    case EBUSY:
        return OpenError::Busy;
    default:
        return OpenError::Other;
    }
}

SgBackend::SgBackend() : calls_(RealSystemCalls()) {}

SgBackend::SgBackend(SgSystemCalls calls) : calls_(std::move(calls))
{
    const SgSystemCalls real = RealSystemCalls();
    if (!calls_.open)
        calls_.open = real.open;
    if (!calls_.ioctl)
        calls_.ioctl = real.ioctl;
    if (!calls_.close)
        calls_.close = real.close;
}

ScsiOutcome SgBackend::execute(const std::string &path, const ScsiCommand &cmd)
{
    ScsiOutcome o;
    const int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC | (cmd.exclusive ? O_EXCL : 0);
    int fd;
    do {
        fd = calls_.open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        o.sysErrno = errno;
        o.openError = OpenErrorFromErrno(o.sysErrno);
        return o;
    }
    o.opened = true;

    std::uint8_t senseBuffer[kSenseBufferSize] = {};
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    if (cmd.length == 0)
        hdr.dxfer_direction = SG_DXFER_NONE;
    else
        hdr.dxfer_direction = cmd.direction == DataDirection::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    hdr.cmd_len = cmd.cdbLength;
    hdr.cmdp = const_cast<unsigned char *>(cmd.cdb); // the kernel only reads the CDB
    hdr.dxfer_len = cmd.length;
    hdr.dxferp = cmd.length ? cmd.data : nullptr;
    hdr.mx_sb_len = kSenseBufferSize;
    hdr.sbp = senseBuffer;
    hdr.timeout = cmd.timeoutSec > UINT_MAX / 1000 ? UINT_MAX : cmd.timeoutSec * 1000;

    // Not repeated on EINTR: an interrupted SG_IO may leave the command in
    // flight, and sending it again could program or erase twice.
    const int rc = calls_.ioctl(fd, SG_IO, &hdr);
    const int ioctlErrno = rc < 0 ? errno : 0;
    calls_.close(fd);

    if (rc < 0) {
        o.sysErrno = ioctlErrno;
        return o;
    }

    o.scsiStatus = hdr.status;
    const bool hostOk = hdr.host_status == 0 && (hdr.driver_status & ~kDriverSense) == 0;
    o.transportOk = hostOk;
    if (!hostOk)
        o.sysErrno = TransportErrno(hdr.host_status, hdr.driver_status);

    std::uint32_t resid = hdr.resid < 0 ? 0 : static_cast<std::uint32_t>(hdr.resid);
    if (resid > cmd.length)
        resid = cmd.length;
    o.transferred = cmd.length - resid;

    if (cmd.sense && cmd.senseCapacity) {
        std::size_t n = hdr.sb_len_wr;
        if (n > kSenseBufferSize)
            n = kSenseBufferSize;
        if (n > cmd.senseCapacity)
            n = cmd.senseCapacity;
        std::memcpy(cmd.sense, senseBuffer, n);
        o.senseLength = static_cast<std::uint8_t>(n);
    }
    return o;
}

bool SgBackend::storageDeviceNumber(const std::string &path, StorageDeviceNumber &number)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    const unsigned major = ::major(st.st_rdev);
    const unsigned minor = ::minor(st.st_rdev);
    const std::string node = std::to_string(major) + ":" + std::to_string(minor);

    unsigned diskMajor = 0;
    unsigned diskMinor = 0;
    unsigned partition = 0;
    if (S_ISCHR(st.st_mode)) {
        if (!DiskOfScsiGeneric("/sys/dev/char/" + node, diskMajor, diskMinor))
            return false;
    } else if (S_ISBLK(st.st_mode)) {
        const std::string sysDir = "/sys/dev/block/" + node;
        if (::access((sysDir + "/dev").c_str(), F_OK) != 0)
            return false;
        if (ReadUnsigned(sysDir + "/partition", partition)) {
            // The link resolves before "..": the parent is the whole disk.
            if (!ReadDevAttribute(sysDir + "/../dev", diskMajor, diskMinor))
                return false;
        } else {
            diskMajor = major;
            diskMinor = minor;
        }
    } else {
        return false;
    }

    number.deviceType = kDiskDeviceType;
    number.deviceNumber = DiskNumber(diskMajor, diskMinor);
    number.partitionNumber = partition;
    return true;
}

std::string DescribeSgTransportFailure()
{
    const TransportFailure &f = LastTransportFailure();
    if (!f.openFailed && (f.sysErrno == E2BIG || f.sysErrno == ENOMEM || f.sysErrno == EINVAL))
        return "command refused on " + f.path + " (" + std::strerror(f.sysErrno) +
               "): the transfer is larger than the host adapter accepts in one command "
               "(see max_hw_sectors_kb of the disk's queue)";
    return DescribeLastTransportFailure();
}

} // namespace brigant
