#pragma once
// A transport back end that hands every command to brigant-fw-helper, the
// small privileged program (started through pkexec), over a pipe in the frames
// of helper_protocol.h. What the helper refuses comes back as a failed open
// with ENOTSUP; its reason is kept in lastRefusal() and the helper also
// writes it to standard error.
#include "device/scsi_backend.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace brigant
{

// pkexec and the installed helper under the package's libexec directory.
std::vector<std::string> DefaultHelperCommand();

// Why the helper could not carry the commands.
enum class HelperProblem : std::uint8_t {
    None,            // it did, or it was not needed yet
    LauncherMissing, // its launcher (pkexec: polkit) is not installed
    NotStarted,      // it could not be started for another reason
    Dismissed,       // the authorisation dialog was dismissed (pkexec exit 126)
    NotAuthorised,   // authorisation was refused, or the launcher failed (pkexec exit 127)
    Exited,          // it started and ended without answering (exitStatus())
    Refused,         // it refused a command (lastRefusal())
};

class HelperBackend final : public ScsiBackend
{
  public:
    // `command` is the program and its arguments, started on the first
    // command. When `deviceEnd` is given, the helper's own device requests on
    // descriptors 4 and 3 are answered from it (the test helper's relay).
    explicit HelperBackend(std::vector<std::string> command, ScsiBackend *deviceEnd = nullptr);
    ~HelperBackend() override;
    HelperBackend(const HelperBackend &) = delete;
    HelperBackend &operator=(const HelperBackend &) = delete;

    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override;

    const std::string &lastRefusal() const { return lastRefusal_; }
    HelperProblem problem() const { return problem_; }
    // The helper's exit status (-1: killed by a signal or not known).
    int exitStatus() const { return exitStatus_; }
    const std::string &launcher() const { return command_.front(); }

  private:
    bool start();
    void stop();
    bool serveDeviceRequest();
    bool readReply(std::uint8_t *buffer, std::size_t size);

    std::vector<std::string> command_;
    ScsiBackend *deviceEnd_;
    pid_t pid_ = -1;
    int toHelper_ = -1, fromHelper_ = -1; // its standard input and output
    int deviceIn_ = -1, deviceOut_ = -1;  // its descriptors 4 (read here) and 3 (written here)
    bool failed_ = false;
    HelperProblem problem_ = HelperProblem::None;
    int exitStatus_ = -1;
    std::string lastRefusal_;
};

// One sentence on `problem` with what to do next (empty for None).
std::string DescribeHelperProblem(const HelperBackend &helper);

} // namespace brigant
