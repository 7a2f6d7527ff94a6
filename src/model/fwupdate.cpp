#include "model/fwupdate.h"

namespace brigant
{

namespace
{
// Controls that the form places beyond the client area start here.
constexpr int kOutside = kClientWidth + 40;
// The one-button face's hint (app/window_texts.h names it too: the face
// shows it and tells it from a result line by it).
constexpr const char *kFaceHintCaption = "Full tool: brigant-fwtool --advanced, or brigant-fw update FILE";
} // namespace

TBrigantFwTool::TBrigantFwTool()
    : Panel1("Panel1", "", {0, 0, kClientWidth, 4}, false),
      RdPanel("RdPanel", "", {0, kClientHeight, kClientWidth, 120}, false),
      BackupFWCheckBox("BackupFWCheckBox", "Backup Old Firmware Only", {8, 8, 180, 17}),
      EraseOnlyCheck("EraseOnlyCheck", "Erase All Flash Only ", {200, 8, 180, 17}),
      BackupFileEdit("BackupFileEdit", "Backup FileName ", {8, 44, 300, 21}, false),
      BackupBtn("BackupBtn", "Browse", {316, 42, 75, 25}),
      ChipLabelEdit("ChipLabelEdit", "Chip ", {8, 20, 180, 21}, true, false),
      RefreshBtn("RefreshBtn", "Refresh Device", {300, 20, 90, 25}, false),
      FwFilenameEdit("FwFilenameEdit", "Firmware File ", {kOutside, 20, 300, 21}, true),
      LoadBtn("LoadBtn", "Load File", {kOutside + 310, 18, 75, 25}),
      DeviceList("DeviceList", {8, 60, 280, 21}, false),
      diskLabel("diskLabel", "USB Disk", {8, 44, 80, 13}, false),
      DiskLetterLable("DiskLetterLable", "Drives ", {200, 100, 190, 21}, true, false),
      // Identification shows these two; they sit beyond the client area so
      // that the one-button face stays as it is.
      FwVerLableEdit("FwVerLableEdit", "Firmware Ver. ", {kOutside, 60, 180, 21}, true, false),
      SFlashTypeLable("SFlashTypeLable", "Flash Type", {kOutside + 190, 60, 190, 21}, true, false),
      StatusEdit("StatusEdit", "Status ", {8, 120, 382, 21}, true, false),
      RdCheckBox("RdCheckBox", "RD Version", {300, 0, 90, 17}, false, false),
      ExitBtn("ExitBtn", "Exit", {300, 56, 90, 30}),
      UpdateBtn("UpdateBtn", "Run", {kOutside + 310, 56, 75, 25}, true, false),
      NVRAMCheck("NVRAMCheck", "Include 4K NVRAM", {8, 26, 180, 17}),
      ReadWriteBufferChk("ReadWriteBufferChk", "Read/Write Buffer", {200, 26, 180, 17}, false, false),
      ProgressBar1("ProgressBar1", {8, 130, 382, 10}, 10, false),
      SetPrdSNchk("SetPrdSNchk", "Setting ProductSN(In-Code)", {8, 76, 200, 17}, true),
      YesBtn("YesBtn", "Update firmware to version", {8, 56, 280, 30}, true, false),
      replugLable("replugLable", "replugLable", {kOutside, 100, 300, 24}),
      ProgressBar2("ProgressBar2", {8, 100, 382, 20}, 30),
      devpnl("devpnl", "Click Update firmware button to proceed.", {8, 8, 382, 40}),
      faceHint("faceHint", kFaceHintCaption, {8, 122, 382, 18}, false)
{
    for (forms::Control *c :
         {static_cast<forms::Control *>(&BackupFWCheckBox), static_cast<forms::Control *>(&EraseOnlyCheck),
          static_cast<forms::Control *>(&BackupFileEdit), static_cast<forms::Control *>(&BackupBtn),
          static_cast<forms::Control *>(&NVRAMCheck), static_cast<forms::Control *>(&ReadWriteBufferChk),
          static_cast<forms::Control *>(&SetPrdSNchk)})
        c->setParent(&RdPanel);
    BackupFWCheckBox.setTag(1);
    EraseOnlyCheck.setTag(0);
    FwVerLableEdit.hint = "Firmware version";
    replugLable.fontName = "Arial";
    replugLable.fontSize = 14;
    devpnl.fontSize = 14;
    devpnl.bordered = false;
    devpnl.setFontColour(forms::kBlue);
}

std::vector<forms::Control *> TBrigantFwTool::controls()
{
    return {&Panel1,          &RdPanel,        &BackupFWCheckBox,
            &EraseOnlyCheck,  &BackupFileEdit, &BackupBtn,
            &ChipLabelEdit,   &RefreshBtn,     &FwFilenameEdit,
            &LoadBtn,         &DeviceList,     &diskLabel,
            &DiskLetterLable, &FwVerLableEdit, &SFlashTypeLable,
            &StatusEdit,      &RdCheckBox,     &ExitBtn,
            &UpdateBtn,       &NVRAMCheck,     &ReadWriteBufferChk,
            &ProgressBar1,    &SetPrdSNchk,    &YesBtn,
            &replugLable,     &ProgressBar2,   &devpnl,
            &faceHint};
}

DeviceEntry &TBrigantFwTool::selectedEntry()
{
    return const_cast<DeviceEntry &>(static_cast<const TBrigantFwTool &>(*this).selectedEntry());
}

const DeviceEntry &TBrigantFwTool::selectedEntry() const
{
    int i = DeviceList.itemIndex();
    if (i < 0 || i >= kDeviceTableSize)
        i = 0;
    return devices[static_cast<std::size_t>(i)];
}

} // namespace brigant
