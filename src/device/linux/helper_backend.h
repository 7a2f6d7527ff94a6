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
    std::string lastRefusal_;
};

} // namespace brigant
