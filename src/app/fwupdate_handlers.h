#pragma once
// The main window's start-up, close and control handlers.
#include "forms/controls.h"
#include "image/chip_identity.h"
#include "model/fwupdate.h"

#include <string>

namespace brigant
{

class TBrigantFwTool;

// Construction after the form exists: empty settings texts, the mode flags,
// the settings file, the first Refresh Device action, then RdCheckBoxClick.
void ConstructMainWindow(TBrigantFwTool &form, const std::string &settingsFile = "FwUpdateTool.ini");
// Runs right after construction: device notifications, drop target, the
// caption from the program's version and the update button's caption from the
// embedded image.
void FormCreate(TBrigantFwTool &form);
// Removes "ExChangeData.tmp" from the program's directory and closes.
void FormClose(TBrigantFwTool &form);
void ExitBtnClick(TBrigantFwTool &form);
void LoadBtnClick(TBrigantFwTool &form);
void BackupBtnClick(TBrigantFwTool &form);
// Shared by EraseOnlyCheck (tag 0) and BackupFWCheckBox (tag 1).
void EraseOnlyCheckClick(TBrigantFwTool &form, forms::CheckBox &sender);
void RdCheckBoxClick(TBrigantFwTool &form);
void NVRAMCheckClick(TBrigantFwTool &form);

// Connects the controls' click handlers to the functions above.
void WireMainWindowHandlers(TBrigantFwTool &form);
// Every handler of the window: the click handlers above and the selection
// handler on DeviceList and FwFilenameEdit. The window record itself wires
// none; whoever builds a working window calls this right after constructing it.
void WireMainWindow(TBrigantFwTool &form);

// Whether the selection handler tells the user that a file does not match a
// chip of this type (buffer-path bridges judge a file when it is loaded;
// staging files never match).
bool FileMismatchIsShown(std::uint8_t type);

// The checks Load File applies to `file` for the bridge at `device`, without
// the window: its size, the match against the chip identification and, for
// the buffer-path bridges, the verdict of the firmware running on it.
struct LoadCheck {
    LoadResult result = LoadResult::None;
    std::string reason; // what does not fit (Mismatch), when it can be said
    // The file is this bridge's, and only the version the bridge runs keeps
    // it from taking the file (codes 15-18 take one only from 1F 19 01 05).
    bool refusedByRunningVersion = false;
};
LoadCheck CheckFileForBridge(const std::string &file, const ChipIdentity &chip, const std::string &device);

// "SSI_Quince_v%d.%d.%d.%d" with the program's four-part version.
std::string MainWindowCaption();
// "Update firmware to version %02d.%02d.%02d.%02d" from bytes 25-28 of the image header.
std::string UpdateButtonCaption(const std::uint8_t header[32]);
// The built-in update image's version ("01.01.01.00"), empty when there is none.
std::string EmbeddedImageVersion();

// The directory the running program lives in (the working directory when it
// cannot be found), and the directory the window may override for tests.
std::string ProgramDirectory();
// The user's home directory ($HOME, else the password database's, else the
// working directory): where the file dialogs open first.
std::string UserHomeDirectory();

} // namespace brigant
