#pragma once
// The main window as the starter of a run: the request its check boxes and
// fields stand for, and the host that shows what a procedure reports in the
// window's own controls (status line, message boxes, the boxes a procedure
// changes, the device table after a reset).
#include "flash/run_request.h"
#include "identify/probe_host.h"

namespace brigant
{

class TBrigantFwTool;

// The run the window's controls ask for as they stand now.
RunRequest RequestFromWindow(const TBrigantFwTool &form);

class WindowRunHost final : public ProbeHost
{
  public:
    explicit WindowRunHost(TBrigantFwTool &form) : form_(form) {}

    void showStatus(const RunStatus &status) override;
    void setStatus(const RunStatus &status) override;
    void progressDot(const ProgressEvent &step) override;
    void message(const std::string &text, const std::string &title, MessageKind kind) override;
    void notify(Notice what) override;
    void processMessages() override;
    TransferState &transfer() override;
    void nvramBoxChecked() override;
    void serialNumberBoxHidden() override;
    void devicesReattached(const std::vector<DiskInterface> &found, int selected) override;
    void bridgeResetting() override;
    void keptSettingsRead(const std::vector<std::uint8_t> &settings) override;
    std::vector<std::uint8_t> journalSettings() override;

    void flashMakerShown(const std::string &name) override;
    void nvramBoxHidden() override;
    void bufferPathShown(bool offered) override;
    void runButtonHeld(bool held) override;

  private:
    TBrigantFwTool &form_;
    bool runWasEnabled_ = false;
};

} // namespace brigant
