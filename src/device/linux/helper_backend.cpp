#include "device/linux/helper_backend.h"

#include "device/linux/helper_protocol.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace brigant
{

namespace
{

using helper::Reply;
using helper::Request;

// Moves a descriptor above the ones the child is given (0 to 4).
int Above4(int fd)
{
    if (fd < 0 || fd > 4)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

bool SendAll(int fd, const void *buffer, std::size_t size)
{
    const auto *p = static_cast<const std::uint8_t *>(buffer);
    return helper::MoveAll(
        size, [&](std::size_t done, std::size_t rest) { return ::send(fd, p + done, rest, MSG_NOSIGNAL); });
}

bool ReceiveAll(int fd, void *buffer, std::size_t size)
{
    auto *p = static_cast<std::uint8_t *>(buffer);
    return helper::MoveAll(size,
                           [&](std::size_t done, std::size_t rest) { return ::recv(fd, p + done, rest, 0); });
}

ScsiOutcome HelperFailure(int error, OpenError openError)
{
    ScsiOutcome o;
    o.openError = openError;
    o.sysErrno = error;
    return o;
}

} // namespace

std::vector<std::string> DefaultHelperCommand() { return {"pkexec", BRIGANT_HELPER_PATH}; }

HelperBackend::HelperBackend(std::vector<std::string> command, ScsiBackend *deviceEnd)
    : command_(std::move(command)), deviceEnd_(deviceEnd)
{
}

HelperBackend::~HelperBackend() { stop(); }

bool HelperBackend::start()
{
    if (pid_ > 0)
        return true;
    if (failed_ || command_.empty())
        return false;
    int io[2] = {-1, -1};
    int dev[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, io) != 0 ||
        (deviceEnd_ && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, dev) != 0)) {
        for (int fd : {io[0], io[1], dev[0], dev[1]})
            if (fd >= 0)
                ::close(fd);
        failed_ = true;
        return false;
    }
    for (int *fd : {&io[0], &io[1], &dev[0], &dev[1]})
        *fd = Above4(*fd);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, io[1], 0);
    posix_spawn_file_actions_adddup2(&actions, io[1], 1);
    if (deviceEnd_) {
        posix_spawn_file_actions_adddup2(&actions, dev[1], 3);
        posix_spawn_file_actions_adddup2(&actions, dev[1], 4);
    }
    std::vector<char *> argv;
    for (std::string &arg : command_)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(io[1]);
    if (dev[1] >= 0)
        ::close(dev[1]);
    if (rc != 0) {
        ::close(io[0]);
        if (dev[0] >= 0)
            ::close(dev[0]);
        failed_ = true;
        problem_ = rc == ENOENT ? HelperProblem::LauncherMissing : HelperProblem::NotStarted;
        return false;
    }
    pid_ = pid;
    toHelper_ = fromHelper_ = io[0];
    deviceIn_ = deviceOut_ = dev[0];
    return true;
}

void HelperBackend::stop()
{
    if (pid_ <= 0)
        return;
    ::close(toHelper_); // end of input: the helper finishes and exits
    if (deviceIn_ >= 0)
        ::close(deviceIn_);
    int status = 0;
    pid_t waited = -1;
    while ((waited = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    exitStatus_ = waited == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    toHelper_ = fromHelper_ = deviceIn_ = deviceOut_ = -1;
}

// Answers one request the test helper relays to its device end.
bool HelperBackend::serveDeviceRequest()
{
    std::uint8_t head[helper::kRequestHead];
    Request r;
    std::uint32_t pathLength = 0;
    if (!ReceiveAll(deviceIn_, head, sizeof head) || !helper::DecodeRequestHead(head, r, pathLength).empty())
        return false;
    r.path.resize(pathLength);
    std::vector<std::uint8_t> data(r.length);
    if (!ReceiveAll(deviceIn_, r.path.data(), pathLength) ||
        (r.direction == helper::kOut && !ReceiveAll(deviceIn_, data.data(), r.length)))
        return false;
    ScsiCommand cmd;
    cmd.cdb = r.cdb;
    cmd.cdbLength = r.cdbLength;
    cmd.direction = r.direction == helper::kOut ? DataDirection::Out : DataDirection::In;
    cmd.data = r.length ? data.data() : nullptr;
    cmd.length = r.length;
    cmd.timeoutSec = r.timeoutSec;
    cmd.exclusive = (r.flags & 1) != 0;
    Reply reply;
    cmd.sense = reply.sense;
    cmd.senseCapacity = helper::kHelperSenseSize;
    const ScsiOutcome o = deviceEnd_->execute(r.path, cmd);
    reply.opened = o.opened;
    reply.openError = static_cast<std::uint8_t>(o.openError);
    reply.transportOk = o.transportOk;
    reply.scsiStatus = o.scsiStatus;
    reply.senseLength = o.senseLength > helper::kHelperSenseSize ? helper::kHelperSenseSize : o.senseLength;
    reply.sysErrno = o.sysErrno;
    reply.transferred = o.transferred > r.length ? r.length : o.transferred;
    std::uint8_t replyHead[helper::kReplyHead];
    helper::EncodeReplyHead(reply, replyHead);
    return SendAll(deviceOut_, replyHead, sizeof replyHead) &&
           SendAll(deviceOut_, reply.sense, reply.senseLength) &&
           (r.direction != helper::kIn || SendAll(deviceOut_, data.data(), reply.transferred));
}

// Reads from the helper, answering its device requests meanwhile.
bool HelperBackend::readReply(std::uint8_t *buffer, std::size_t size)
{
    while (deviceEnd_) {
        pollfd fds[2] = {{fromHelper_, POLLIN, 0}, {deviceIn_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        if (fds[0].revents)
            break;
        if (fds[1].revents && !serveDeviceRequest())
            return false;
    }
    return ReceiveAll(fromHelper_, buffer, size);
}

ScsiOutcome HelperBackend::execute(const std::string &path, const ScsiCommand &cmd)
{
    if (!start())
        return HelperFailure(EACCES, OpenError::PermissionDenied);
    if (cmd.cdbLength < 6 || cmd.cdbLength > 16 || path.empty() || path.size() > helper::kHelperMaxPath)
        return HelperFailure(EINVAL, OpenError::Other);

    Request r;
    r.direction = cmd.length == 0                      ? helper::kNone
                  : cmd.direction == DataDirection::In ? helper::kIn
                                                       : helper::kOut;
    r.cdbLength = cmd.cdbLength;
    r.flags = cmd.exclusive ? 1 : 0;
    r.length = cmd.length;
    r.timeoutSec = cmd.timeoutSec == 0 ? 1 : cmd.timeoutSec;
    std::memcpy(r.cdb, cmd.cdb, cmd.cdbLength);
    r.path = path;
    std::uint8_t head[helper::kRequestHead];
    helper::EncodeRequestHead(r, head);

    Reply reply;
    std::uint8_t replyHead[helper::kReplyHead];
    std::uint32_t reasonLength = 0;
    const bool sent = SendAll(toHelper_, head, sizeof head) && SendAll(toHelper_, path.data(), path.size()) &&
                      (r.direction != helper::kOut || SendAll(toHelper_, cmd.data, cmd.length));
    if (!sent || !readReply(replyHead, sizeof replyHead) ||
        !helper::DecodeReplyHead(replyHead, reply, reasonLength) ||
        (r.direction == helper::kIn && reply.transferred > cmd.length) ||
        !ReceiveAll(fromHelper_, reply.sense, reply.senseLength)) {
        // The helper did not start as itself (authorisation refused or
        // dismissed: pkexec exits) or went away: nothing more goes to it.
        stop();
        failed_ = true;
        problem_ = exitStatus_ == 126   ? HelperProblem::Dismissed
                   : exitStatus_ == 127 ? HelperProblem::NotAuthorised
                                        : HelperProblem::Exited;
        return HelperFailure(EACCES, OpenError::PermissionDenied);
    }
    if (r.direction == helper::kIn && reply.transferred > 0 &&
        !ReceiveAll(fromHelper_, cmd.data, reply.transferred)) {
        stop();
        failed_ = true;
        return HelperFailure(EIO, OpenError::Other);
    }
    lastRefusal_.assign(reasonLength, '\0');
    if (reasonLength > 0 && !ReceiveAll(fromHelper_, lastRefusal_.data(), reasonLength)) {
        stop();
        failed_ = true;
        return HelperFailure(EIO, OpenError::Other);
    }
    if (reply.verdict == 1) {
        problem_ = HelperProblem::Refused;
        return HelperFailure(ENOTSUP, OpenError::Other);
    }
    lastRefusal_.clear();

    ScsiOutcome o;
    o.opened = reply.opened != 0;
    o.openError = reply.openError <= static_cast<std::uint8_t>(OpenError::Other)
                      ? static_cast<OpenError>(reply.openError)
                      : OpenError::Other;
    o.sysErrno = reply.sysErrno;
    o.transportOk = reply.transportOk != 0;
    o.scsiStatus = reply.scsiStatus;
    o.transferred =
        r.direction == helper::kOut && reply.transferred > cmd.length ? cmd.length : reply.transferred;
    if (cmd.sense && cmd.senseCapacity) {
        const std::uint8_t n = reply.senseLength < cmd.senseCapacity ? reply.senseLength : cmd.senseCapacity;
        std::memcpy(cmd.sense, reply.sense, n);
        o.senseLength = n;
    }
    return o;
}

std::string DescribeHelperProblem(const HelperBackend &helper)
{
    const std::string launcher = helper.launcher();
    switch (helper.problem()) {
    case HelperProblem::None:
        break;
    case HelperProblem::LauncherMissing:
        return "the helper is started with " + launcher + ", which is not installed" +
               (launcher == "pkexec" ? " (polkit is missing): install the pkexec package, or run as root"
                                     : ": install it, or run as root");
    case HelperProblem::NotStarted:
        return "the helper could not be started with " + launcher + ": run as root instead";
    case HelperProblem::Dismissed:
        return "the authorisation dialog was dismissed: nothing was sent to the device; run the command "
               "again "
               "and authorise it";
    case HelperProblem::NotAuthorised:
        return "authorisation was refused (" + launcher +
               " exit 127: not authorised, or the helper is not installed where the policy says): ask an "
               "administrator, or run as root";
    case HelperProblem::Exited:
        return "the helper ended without answering" +
               (helper.exitStatus() >= 0 ? " (exit status " + std::to_string(helper.exitStatus()) + ")"
                                         : std::string(" (killed)")) +
               ": see the system log (journalctl) for its message";
    case HelperProblem::Refused:
        return "the helper refused the command: " + helper.lastRefusal();
    }
    return {};
}

} // namespace brigant
