#pragma once
// The Run button: which update procedure a selected bridge gets, and the
// handler that runs it. The choice is a pure function of what identification
// found, so that every chip type code and variant can be checked on its own.
#include "device/device_entry.h"
#include "image/chip_types.h"
#include "model/chip_identity.h"

#include <string>

namespace brigant
{

class TBrigantFwTool;

struct RunInputs {
    ChipIdentity chip;
    BusKind bus = BusKind::Usb;
    // The answer of the probe at 0x505E (1 or 0); asked only when NeedsXdataProbe.
    int xdataProbe = 0;
    // Whether the chosen file fits FlashSizeKb; asked only when NeedsSizeCheck.
    bool fileFitsFlash = true;
    // "Erase All Flash Only " or "Backup Old Firmware Only" is checked: no file is written.
    bool serviceMode = false;
};

struct RunChoice {
    UpdateProcedure procedure = UpdateProcedure::None;
    // The file is larger than the flash: nothing runs and Run stays disabled.
    bool refusedTooLarge = false;
    // ProgressBar1 goes back to 0 when the procedure returns.
    bool resetsProgress = true;
};

bool NeedsXdataProbe(const ChipIdentity &chip);
bool NeedsSizeCheck(const ChipIdentity &chip, bool serviceMode);
RunChoice ChooseUpdateProcedure(const RunInputs &in);

// The probe of bridge memory at 0x505E: 1 when four bytes read there have
// byte 1 equal to 0 and byte 2 equal to 1.
int ProbeXdata505E(const std::string &path);

// Every procedure takes the window and the selected entry's device path and
// returns 1 only when its work was done and verified; Run keeps the value in
// the window's runResult.
using UpdateProcedureFn = int (*)(TBrigantFwTool &form, const std::string &path);
// The procedure the table holds for `procedure` (None: a function that does nothing).
UpdateProcedureFn ProcedureFor(UpdateProcedure procedure);
const char *ProcedureName(UpdateProcedure procedure);

// Whether Run, with the window's check boxes as they are, writes the chosen
// firmware file (rather than erasing or backing up only).
bool RunWritesFile(const TBrigantFwTool &form);
// Why Run must not write the chosen file to the selected bridge, in words;
// empty when nothing speaks against it, when Run writes no file, when no
// procedure takes the bridge, or when the file cannot be read (the
// procedure reports that itself).
std::string RunFileRefusal(TBrigantFwTool &form);
// Whether Run, pressed now, would refuse the chosen file before any
// procedure runs: RunFileRefusal, or the size check of NeedsSizeCheck.
bool RunRefusesFile(TBrigantFwTool &form);

// The Run button's click handler.
void UpdateBtnClick(TBrigantFwTool &form);

inline constexpr const char *kFileTooLargeText = "The firmware file size is bigger than the flash size!";
// Leads the status line when Run refuses a file; the reason follows.
inline constexpr const char *kFileRefusedText = "FW file refused: ";

} // namespace brigant
