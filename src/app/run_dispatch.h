#pragma once
// The Run button: which update procedure a selected bridge gets, and the
// handler that runs it. The choice is a pure function of what identification
// found, so that every chip type code and variant can be checked on its own.
#include "app/window_texts.h"
#include "device/device_entry.h"
#include "flash/run_host.h"
#include "flash/run_request.h"
#include "image/chip_identity.h"
#include "image/chip_types.h"

#include <functional>
#include <string>

namespace brigant
{

class TBrigantFwTool;

struct RunInputs {
    ChipIdentity chip;
    BusKind bus = BusKind::Usb;
    // The answer of the probe at 0x505E (1 or 0, -1 when the read failed);
    // asked only when NeedsXdataProbe.
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
    // The probe the choice depends on got no answer: nothing runs.
    bool refusedUnanswered = false;
    // ProgressBar1 goes back to 0 when the procedure returns.
    bool resetsProgress = true;
};

bool NeedsXdataProbe(const ChipIdentity &chip);
bool NeedsSizeCheck(const ChipIdentity &chip, bool serviceMode);
RunChoice ChooseUpdateProcedure(const RunInputs &in);

// The probe of bridge memory at 0x505E: 1 when four bytes read there have
// byte 1 equal to 0 and byte 2 equal to 1, 0 when not, -1 when the read failed.
int ProbeXdata505E(const std::string &path);

// Every procedure takes the request, the host and the selected entry's device
// path and returns 1 only when its work was done and verified; Run keeps the
// value in the window's runResult.
using UpdateProcedureFn = int (*)(const RunRequest &req, RunHost &host, const std::string &path);
// The procedure the table holds for `procedure` (None: a function that does nothing).
UpdateProcedureFn ProcedureFor(UpdateProcedure procedure);

// What `procedure`'s update of `req` erases, given the ranges it writes (as
// its read-only mode compares them) and the bytes of the store read.
StoreRanges PlannedErase(const RunRequest &req, UpdateProcedure procedure, const TransferState &x,
                         const StoreRanges &writes, std::uint64_t storeBytes);

// Why `procedure` writes the whole image even when only the changed erase
// units are asked for (RunRequest::onlyChanged); empty when it writes only
// those.
std::string WholeImageOnlyReason(const RunRequest &req, UpdateProcedure procedure, const TransferState &x);
// The erase units such a procedure erases and programs for `differing` (the
// flash geometry `x` that identification learnt).
StoreRanges ChangedOnlyErase(const RunRequest &req, UpdateProcedure procedure, const TransferState &x,
                             const StoreRanges &differing);

// Runs what `req` asks on the bridge at `path`, with the procedure its chip
// identity picks (the probe at 0x505E asked first where the choice needs it).
RunOutcome RunRequested(const RunRequest &req, BusKind bus, const std::string &path, RunHost &host);
// The read-only comparison of the flash of the code-16 bridge at `path` with
// the built-in image (the one-button update's), as a run's outcome.
RunOutcome RunEmbeddedVerify(const RunRequest &req, const std::string &path, RunHost &host);
// A run that is not one of the families' procedures (the one-button update),
// watched as those are: its outcome names the step it failed in and why.
RunOutcome RunWatched(RunHost &host, const std::function<bool(RunHost &)> &run);

// Why `req` must not write its file to the bridge, in words; empty when
// nothing speaks against it, when it writes no file, when no procedure takes
// the bridge, or when the file cannot be read (the procedure reports that
// itself).
std::string RunFileRefusal(const RunRequest &req, BusKind bus);
// The smallest flash a bridge carries: a file no larger is written without
// asking the flash its size.
inline constexpr std::uint64_t kSmallestFlashBytes = 64 * 1024;
// Why `req`'s file must not go to the bridge at `path` because the flash is
// smaller, when identification did not measure the flash: a file larger than
// kSmallestFlashBytes makes the flash tell its size (its JEDEC answer), and a
// flash that does not tell it takes no such file. Empty when nothing speaks
// against the file, also when the size was measured (RunFileRefusal judges
// then) or the family checks its size itself.
std::string RunFlashSizeRefusal(const RunRequest &req, BusKind bus, const std::string &path);
// The flash size RunFlashSizeRefusal asks for: `asked` when the file is
// larger than kSmallestFlashBytes and the size was not measured, with the
// size the flash told (0: it told none).
struct FlashSizeAsked {
    bool asked = false;
    std::uint32_t sizeKb = 0;
    std::uint64_t fileLength = 0;
};
FlashSizeAsked AskFlashSize(const RunRequest &req, BusKind bus, const std::string &path);
// Why `req` must not write to the bridge because identification missed an
// answer that decides how its flash is written (failedIdentifyRead); empty
// when nothing is missing or nothing is written (a backup).
std::string RunIdentityRefusal(const RunRequest &req);
// Why a run of `req` would refuse the file before any procedure runs, in
// words: the size check of NeedsSizeCheck, RunFileRefusal, or (with the
// bridge's `path`) RunFlashSizeRefusal. Empty when nothing speaks against it
// or `req` writes no file.
std::string RunRefusalText(const RunRequest &req, BusKind bus, const std::string &path = {});
// Whether RunRefusalText has a reason.
bool RunRefusesFile(const RunRequest &req, BusKind bus, const std::string &path = {});
// For the disk-stored family, which checks its area only once it runs: why
// the area `req`'s file needs on the disk behind `path` cannot be written
// (DiskAreaRefusal, read commands only); empty for every other family.
std::string RunDiskAreaRefusal(const RunRequest &req, BusKind bus, const std::string &path);

// The Run button's click handler.
void UpdateBtnClick(TBrigantFwTool &form);

} // namespace brigant
