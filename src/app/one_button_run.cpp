#include "app/one_button_run.h"

#include "app/one_button.h"
#include "app/window_run.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "identify/candidates.h"
#include "model/fwupdate.h"
#include "update/assisted/buffer_transfer.h"

#include <string>
#include <vector>

namespace brigant
{

bool RunEmbeddedUpdate(const RunRequest &req, RunHost &host, const std::string &path,
                       const std::function<void()> &stage)
{
    std::vector<DiskInterface> candidates;
    EnumerateDiskInterfaces(candidates, 1);
    if (candidates.empty())
        return false;
    stage();
    bool ok = ProgramEmbeddedImage(req, host, path) != 0;
    stage();
    if (ok) {
        host.bridgeResetting();
        ok = ResetAndWaitReattach(req, host, path) != 0;
    }
    return ok;
}

void YesBtnClick(TBrigantFwTool &form)
{
    form.YesBtn.setEnabled(false);
    form.ExitBtn.setEnabled(false);
    form.ProgressBar2.setPosition(0);
    form.updateRunning = 1;
    ShowOneButtonStatus(form, OneButtonState::Updating);

    const unsigned code = form.chip.ChipTypeCode;
    const std::string path = form.selectedEntry().path;
    if (code == kOneButtonChipType) {
        WindowRunHost host(form);
        const bool ok =
            RunEmbeddedUpdate(RequestFromWindow(form), host, path, [&form] { form.ProgressBar2.stepIt(); });
        if (ok) {
            form.ProgressBar2.setPosition(100);
            ShowOneButtonStatus(form, OneButtonState::Passed);
        } else {
            ShowOneButtonStatus(form, OneButtonState::Failed);
        }
    } else {
        ShowOneButtonStatus(form, OneButtonState::NotSupported);
    }
    form.ProgressBar2.setBusy(false);
    SleepMs(kResultPauseMs);
    form.updateRunning = 0;
    form.ExitBtn.setEnabled(true);
}

} // namespace brigant
