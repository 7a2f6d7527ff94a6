#pragma once
// SG_IO on the SCSI generic node of a disk: one open, one ioctl, one close per command.
#include "device/scsi_backend.h"

#include <functional>
#include <string>

namespace brigant
{

// The system calls the back end makes. The defaults are the real ones; tests
// replace them where a mocked device tree cannot behave like the kernel (an
// exclusive open that another opener already holds, an interrupted call).
struct SgSystemCalls {
    std::function<int(const char *path, int flags)> open;
    std::function<int(int fd, unsigned long request, void *arg)> ioctl;
    std::function<int(int fd)> close;
};

class SgBackend final : public ScsiBackend
{
  public:
    SgBackend();
    explicit SgBackend(SgSystemCalls calls);

    // Opens `path` read-write and non-blocking (exclusively when cmd.exclusive),
    // runs one SG_IO and closes it again.
    //
    // transportOk is true when the ioctl returned 0 and neither the host adapter
    // nor the driver reported an error (DRIVER_SENSE alone is not an error: it
    // only says sense data came back). When the ioctl itself fails, sysErrno is
    // its errno; when the host adapter or driver fails the command, sysErrno is
    // the nearest errno (ENODEV for a vanished target, ETIMEDOUT for a time-out,
    // EIO otherwise) so that a description can name the cause.
    //
    // transferred is the requested length minus the residual, within 0..length;
    // it is 0 when the ioctl failed. Only a successful command's count means
    // anything: adapters disagree about the residual of a failed one.
    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override;

  private:
    SgSystemCalls calls_;
};

// Why `path` cannot be the SCSI generic node that commands are sent to, or
// empty when it can: it must be a character device of the sg major that
// answers SG_GET_VERSION_NUM. A node this process may not open (no access, or
// held exclusively elsewhere) passes, since the command that opens it explains
// that better. `calls` replace the open, ioctl and close made (stat is real).
std::string ScsiGenericNodeProblem(const std::string &path, const SgSystemCalls &calls = {});

// A sentence about the most recent failed transport operation: the generic
// description, except that the errors the sg driver gives for a transfer larger
// than the host adapter accepts (E2BIG, ENOMEM, EINVAL from the pass-through
// call) are named as such.
std::string DescribeSgTransportFailure();

// "held by PID 812 (smartd)": the processes with `node` open, from the fd
// links under `proc`; empty when none can be seen (another user's processes
// are hidden from an unprivileged caller).
std::string ProcessesHolding(const std::string &node, const std::string &proc = "/proc");

} // namespace brigant
