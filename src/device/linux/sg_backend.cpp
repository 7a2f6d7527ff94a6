#include "device/linux/sg_backend.h"

#include "device/linux/sg_io.h"
#include "device/transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace brigant
{

namespace
{

constexpr std::uint8_t kSenseBufferSize = 32;

SgSystemCalls RealSystemCalls()
{
    SgSystemCalls calls;
    calls.open = [](const char *path, int flags) { return ::open(path, flags); };
    calls.ioctl = [](int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); };
    calls.close = [](int fd) { return ::close(fd); };
    return calls;
}

} // namespace

std::string ProcessesHolding(const std::string &node, const std::string &proc)
{
    struct stat target {
    };
    if (::stat(node.c_str(), &target) != 0)
        return {};
    std::string found;
    std::error_code ec;
    for (const auto &pid : std::filesystem::directory_iterator(proc, ec)) {
        const std::string name = pid.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        bool holds = false;
        std::error_code fdError;
        for (const auto &fd : std::filesystem::directory_iterator(pid.path() / "fd", fdError)) {
            struct stat st {
            };
            if (::stat(fd.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == target.st_rdev) {
                holds = true;
                break;
            }
        }
        if (!holds)
            continue;
        std::ifstream commFile(pid.path() / "comm");
        std::string comm;
        std::getline(commFile, comm);
        found += (found.empty() ? "" : ", ") + std::string("PID ") + name +
                 (comm.empty() ? "" : " (" + comm + ")");
    }
    return found.empty() ? std::string() : "held by " + found;
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
        o.openError = sgio::OpenErrorFromErrno(o.sysErrno);
        // Another program has the node to itself: say which, where /proc tells.
        if (o.sysErrno == EBUSY)
            o.heldBy = ProcessesHolding(path);
        return o;
    }
    o.opened = true;

    std::uint8_t senseBuffer[kSenseBufferSize] = {};
    sg_io_hdr_t hdr = sgio::Header(cmd.cdb, cmd.cdbLength,
                                   cmd.direction == DataDirection::In ? sgio::Phase::In : sgio::Phase::Out,
                                   cmd.data, cmd.length, senseBuffer, kSenseBufferSize, cmd.timeoutSec);

    // Not repeated on EINTR: an interrupted SG_IO may leave the command in
    // flight, and sending it again could program or erase twice.
    const int rc = calls_.ioctl(fd, SG_IO, &hdr);
    const int ioctlErrno = rc < 0 ? errno : 0;
    calls_.close(fd);

    if (rc < 0) {
        o.sysErrno = ioctlErrno;
        return o;
    }

    const sgio::Result r = sgio::Decode(hdr);
    o.scsiStatus = r.scsiStatus;
    o.transportOk = r.transportOk;
    o.sysErrno = r.sysErrno;
    o.transferred = r.transferred;
    if (cmd.sense && cmd.senseCapacity) {
        const std::uint8_t n = std::min(r.senseLength, cmd.senseCapacity);
        std::memcpy(cmd.sense, senseBuffer, n);
        o.senseLength = n;
    }
    return o;
}

std::string ScsiGenericNodeProblem(const std::string &path, const SgSystemCalls &calls)
{
    const SgSystemCalls real = RealSystemCalls();
    const auto &open = calls.open ? calls.open : real.open;
    const auto &ioctl = calls.ioctl ? calls.ioctl : real.ioctl;
    const auto &close = calls.close ? calls.close : real.close;
    const std::string notGeneric = path + ": not a SCSI generic device (give the bridge disk's /dev/sgN)";

    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != sgio::kScsiGenericMajor)
        return notGeneric;
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM || error == EBUSY)
            return {};
        return "cannot open " + path + ": " + std::strerror(error);
    }
    int version = 0;
    const bool answers = ioctl(fd, SG_GET_VERSION_NUM, &version) == 0;
    close(fd);
    return answers ? std::string() : notGeneric;
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
