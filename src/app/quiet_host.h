#pragma once
// The host of a run nobody watches (the flash read of a recording or of a
// plan, a write on a twin): it shows nothing, and keeps what the run said
// that matters afterwards: why it refused or failed, its error boxes, and
// where the bridge came back after a reset. Given a store read earlier, the
// read-only mode compares with it instead of reading the device.
#include "identify/probe_host.h"

#include <cstdint>
#include <string>
#include <vector>

namespace brigant
{

class QuietHost final : public ProbeHost
{
  public:
    explicit QuietHost(TransferState transfer = {}, const std::vector<std::uint8_t> *store = nullptr)
        : transfer_(transfer), store_(store)
    {
    }

    void showStatus(const RunStatus &status) override { (void)status; }
    void setStatus(const RunStatus &status) override { (void)status; }
    void progressDot(const ProgressEvent &step) override { (void)step; }
    void message(const std::string &text, const std::string &title, MessageKind kind) override
    {
        (void)title;
        if (kind == MessageKind::Error && firstError.empty())
            firstError = text;
    }
    void notify(Notice what) override { (void)what; }
    void processMessages() override {}
    TransferState &transfer() override { return transfer_; }
    const std::vector<std::uint8_t> *storeRead() override { return store_; }
    void refusing(const std::string &why) override { reason = why; }
    void failing(const std::string &why) override
    {
        if (reason.empty())
            reason = why;
    }
    void devicesReattached(const std::vector<DiskInterface> &found, int selected) override
    {
        if (selected >= 0 && static_cast<std::size_t>(selected) < found.size())
            returnedAt = found[static_cast<std::size_t>(selected)].path;
    }

    std::string reason;     // why the run refused or failed, as it said
    std::string firstError; // its first error box
    std::string returnedAt; // where the bridge was found after its reset

  private:
    TransferState transfer_;
    const std::vector<std::uint8_t> *store_;
};

} // namespace brigant
