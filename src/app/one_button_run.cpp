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
        std::vector<DiskInterface> candidates;
        EnumerateDiskInterfaces(candidates, 1);
        bool ok = false;
        if (!candidates.empty()) {
            const RunRequest req = RequestFromWindow(form);
            WindowRunHost host(form);
            form.ProgressBar2.stepIt();
            ok = ProgramEmbeddedImage(req, host, path) != 0;
            form.ProgressBar2.stepIt();
            if (ok)
                ok = ResetAndWaitReattach(req, host, path) != 0;
        }
        if (ok) {
            form.ProgressBar2.setPosition(100);
            ShowOneButtonStatus(form, OneButtonState::Passed);
        } else {
            ShowOneButtonStatus(form, OneButtonState::Failed);
        }
    } else {
        ShowOneButtonStatus(form, OneButtonState::NotSupported);
    }
    SleepMs(kResultPauseMs);
    form.updateRunning = 0;
    form.ExitBtn.setEnabled(true);
}

} // namespace brigant
