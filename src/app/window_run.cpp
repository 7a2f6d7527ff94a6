#include "app/window_run.h"

#include "app/one_button.h"
#include "app/status_texts.h"
#include "forms/ui_services.h"
#include "model/fwupdate.h"

namespace brigant
{

namespace
{

// Where "Read/Write Buffer" moves when the bridge offers the buffer path.
constexpr int kReadWriteBufferTop = 8;

} // namespace

RunRequest RequestFromWindow(const TBrigantFwTool &form)
{
    RunRequest req;
    const bool rd = form.RdCheckBox.checked();
    if (rd && (form.EraseOnlyCheck.checked() || form.eraseOnly != 0))
        req.mode = RunMode::EraseOnly;
    else if (rd && form.BackupFWCheckBox.checked())
        req.mode = RunMode::BackupOnly;
    req.includeNvram = form.NVRAMCheck.checked();
    req.readWriteBuffer = form.ReadWriteBufferChk.checked();
    req.serial.write = form.SetPrdSNchk.checked();
    req.serial.vid = form.settings.VID;
    req.serial.pid = form.settings.PID;
    req.serial.text = form.settings.SerialText();
    req.chipResetsItself = form.settings.ChipReset == 1;
    req.firmwareFile = form.FwFilenameEdit.text();
    req.backupFile = form.BackupFileEdit.text();
    req.chip = form.chip;
    req.candidateCount = form.candidateCount;
    return req;
}

void WindowRunHost::showStatus(const RunStatus &status) { ShowStatus(form_.StatusEdit, StatusLine(status)); }
void WindowRunHost::setStatus(const RunStatus &status) { form_.StatusEdit.setText(StatusLine(status)); }
void WindowRunHost::progressDot(const ProgressEvent &step)
{
    AppendProgressDot(form_.StatusEdit, step.phase, step.done, step.total);
}
void WindowRunHost::message(const std::string &text, const std::string &title, MessageKind kind)
{
    Ui().messageBox(text, title, kind);
}
void WindowRunHost::notify(Notice what) { message(NoticeText(what), "Message", MessageKind::Information); }
void WindowRunHost::processMessages() { Ui().processMessages(); }
TransferState &WindowRunHost::transfer() { return form_.transfer; }
void WindowRunHost::nvramBoxChecked() { form_.NVRAMCheck.setChecked(true); }

void WindowRunHost::keptSettingsRead(const std::vector<std::uint8_t> &settings)
{
    if (form_.keptSettingsSink)
        form_.keptSettingsSink(settings);
}

std::vector<std::uint8_t> WindowRunHost::journalSettings() { return form_.journalSettings; }
void WindowRunHost::serialNumberBoxHidden() { form_.SetPrdSNchk.hide(); }

void WindowRunHost::bridgeResetting()
{
    // The one-button face says what its bar waits for: the bridge's return
    // can take many seconds.
    if (!form_.updateRunning)
        return;
    form_.ProgressBar2.setBusy(true);
    ShowOneButtonWait(form_, "Waiting for the bridge to come back after its reset...");
}

void WindowRunHost::devicesReattached(const std::vector<DiskInterface> &found, int selected)
{
    form_.ProgressBar2.setBusy(false);
    for (std::size_t i = 0; i < found.size() && i < form_.devices.size(); ++i) {
        form_.devices[i].path = found[i].path;
        form_.devices[i].bus = found[i].bus;
    }
    // The selected item follows the bridge that was reset, wherever the list put it.
    if (selected >= 0 && selected < static_cast<int>(form_.devices.size()) &&
        static_cast<std::size_t>(selected) < form_.DeviceList.items().size())
        form_.DeviceList.setItemIndex(selected);
}

void WindowRunHost::flashMakerShown(const std::string &name)
{
    form_.selected.flashMaker = name;
    form_.SFlashTypeLable.setText(name);
}
void WindowRunHost::nvramBoxHidden()
{
    form_.selected.nvramOffered = false;
    form_.NVRAMCheck.hide();
}

void WindowRunHost::bufferPathShown(bool offered)
{
    form_.selected.bufferPath = offered;
    if (offered) {
        forms::Bounds b = form_.ReadWriteBufferChk.bounds();
        b.top = kReadWriteBufferTop;
        form_.ReadWriteBufferChk.setBounds(b);
        form_.ReadWriteBufferChk.show();
        form_.ReadWriteBufferChk.setChecked(true);
        form_.ReadWriteBufferChk.setEnabled(false);
        form_.SetPrdSNchk.show();
    } else {
        form_.ReadWriteBufferChk.setChecked(false);
        form_.SetPrdSNchk.setChecked(false);
    }
}

void WindowRunHost::runButtonHeld(bool held)
{
    if (held) {
        runWasEnabled_ = form_.UpdateBtn.enabled();
        form_.UpdateBtn.setEnabled(false);
    } else {
        form_.UpdateBtn.setEnabled(runWasEnabled_);
    }
}

} // namespace brigant
