#pragma once
// The command line as the host of a run: progress through the view, the
// procedure's status texts and notice boxes only with --verbose (they are the
// window's words), errors always, and what the run told that the user must
// know afterwards kept for the command line to say in its own words.
#include "app/update_journal.h"
#include "cli/progress_view.h"
#include "identify/probe_host.h"

#include <string>

namespace brigant::cli
{

// A probe host too: a bank repair reports through the same host.
class CliRunHost final : public ProbeHost
{
  public:
    CliRunHost(ProgressView &view, const OutputStyle &style, TransferState &transfer)
        : view_(view), style_(style), transfer_(transfer)
    {
    }

    void showStatus(const RunStatus &status) override;
    void setStatus(const RunStatus &status) override;
    void progressDot(const ProgressEvent &step) override;
    void message(const std::string &text, const std::string &title, MessageKind kind) override;
    void notify(Notice what) override;
    void processMessages() override;
    TransferState &transfer() override { return transfer_; }
    void bridgeResetting() override;
    void devicesReattached(const std::vector<DiskInterface> &found, int selected) override;
    void keptSettingsRead(const std::vector<std::uint8_t> &settings) override;
    std::vector<std::uint8_t> journalSettings() override { return journalSettings_; }

    // The journal entry of this write: the settings kept go into it (written
    // at once, before anything is erased). `saved`: the settings of a cut
    // update of this bridge, kept instead of the flash's (empty: none).
    void followJournal(JournalEntry *entry, std::vector<std::uint8_t> saved)
    {
        journal_ = entry;
        journalSettings_ = std::move(saved);
    }

    // The run erases the flash: the bridge restarts without firmware.
    void erasing(bool erase) { erasing_ = erase; }

    // Where the bridge was found again after its reset (empty: not yet, or no reset).
    const std::string &returnedAt() const { return returnedAt_; }

  private:
    bool verbose() const { return style_.verbosity == Verbosity::Verbose; }

    ProgressView &view_;
    OutputStyle style_;
    TransferState &transfer_;
    std::string returnedAt_;
    bool erasing_ = false;
    JournalEntry *journal_ = nullptr;
    std::vector<std::uint8_t> journalSettings_;
};

} // namespace brigant::cli
