#pragma once
// What an update would do with one identified bridge, decided before
// anything is written: `update`, every plan of `update --all`, `check` with
// a device and the window's confirmation take their verdict from PlanUpdate.
#include "app/bridge_state.h"
#include "app/fwupdate_handlers.h"
#include "app/settings.h"
#include "device/device_entry.h"
#include "flash/run_request.h"
#include "image/firmware_version.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brigant
{

// What the user allows beyond a newer version.
struct VersionOptions {
    bool allowReinstall = false; // write the version that runs already
    bool allowOlder = false;     // write an older version
};

// What a write does to the device's settings (its 4K NVRAM area).
enum class SettingsFate : std::uint8_t {
    Kept,            // the area is not written
    KeptFileHasNone, // kept: the file carries no settings area of its own to take
    Replaced,        // by the file's
    Erased,          // with the rest of the flash
    WrittenAsIs,     // the file goes as it is: no area is kept apart
    NotApplicable,   // the chip keeps no separate settings area
};
// Decided by the procedure the request runs on this chip and bus, as the
// procedure itself treats the area; `nvramOffered` is whether the bridge lets
// the user choose ("Include 4K NVRAM" shown).
SettingsFate DecideSettings(const ChipIdentity &chip, BusKind bus, const RunRequest &req, bool nvramOffered);
// "kept", "replaced", "erased", "written as it is" or "none" (the JSON's words).
const char *SettingsFateName(SettingsFate fate);

enum class PlanAction : std::uint8_t {
    Write,       // the file goes to the flash
    Finish,      // the file of a cut write goes to the flash again, finishing it
    NothingToDo, // the bridge runs the file's version already
    Refused,     // nothing is written, for `refusal`
};

enum class PlanRefusal : std::uint8_t {
    None,
    NotSupported,     // the chip is not one the tool updates
    RunsFromRom,      // the bridge runs from its ROM: its firmware is recovered first
    FileDoesNotFit,   // Load File's checks refuse the file for this chip
    NoNvramArea,      // the settings area was asked for, the chip keeps none
    NoBufferPath,     // the buffer transfer was asked for, the bridge offers none
    FlashRefusesFile, // the run's own checks refuse it (larger than the flash, ...)
    AreaNotFree,      // the disk-stored family's area cannot be written (partitions, mounts, the end)
    BufferNotReady,   // the buffer path's first step would stop: the bridge's buffer is not as it needs
    OlderVersion,     // the file's version is older than the running one
    NoSerialRecord,   // a product serial number was asked, the bridge's update writes none
};

// Why the update of this bridge cannot write a product serial record;
// empty when it can.
std::string ProductSerialRefusal(const BridgeState &state);

// The refusal as JSON names it ("file does not fit"); null for None.
const char *PlanRefusalName(PlanRefusal refusal);

struct PlanRequest {
    std::string file;
    bool includeNvram = false;    // the settings area of the file is written too (asked for)
    bool readWriteBuffer = false; // the buffer transfer (asked for)
    VersionOptions versions;
    RunRequest run; // the run that would write it (its own file checks)
    // The plan may ask the device what only the run asks otherwise (the
    // disk-stored family's area against the disk, the state of the buffer
    // path's buffer): read commands only.
    bool askDevice = true;
    // Reads the firmware store (the flash, or the disk's firmware area, from
    // its start) when the plan needs it: a write whose file carries no
    // version the tool reads is weighed against what the store holds. Null
    // (or no bytes returned): not weighed so.
    std::function<const std::vector<std::uint8_t> *()> readStore;
    // The flash geometry identification learnt, for that comparison.
    TransferState transfer;
    // Only the erase units that differ are to be written, where the
    // procedure can (the store is compared then, whatever the version says).
    bool changedOnly = false;
    // A product serial number was given for the unit (the command line's
    // --serial): the bridge must be one whose update writes the record.
    bool productSerial = false;
};

// Where a write goes in the store (the flash, or the disk's firmware area).
struct PlanLayout {
    StoreRanges erase;     // erased before (or as) it is programmed
    StoreRanges write;     // programmed, then read back and compared
    StoreRanges backup;    // what the backup (the read before the question) holds
    StoreRanges differing; // the 4 KiB sectors of `write` that differ from the file now
};

struct UpdatePlan {
    PlanAction action = PlanAction::Refused;
    PlanRefusal refusal = PlanRefusal::None;
    std::string reason; // why it is refused, in one line; empty when it writes
    std::string from;   // the running version as identification read it; empty: not read
    std::string to;     // the file's version; empty: the file carries none the tool reads
    VersionOrder order = VersionOrder::Unknown;
    bool madeForIt = false; // the file passed the match check (refused, if at all, for another reason)
    LoadCheck check;        // Load File's checks of the file (not made for a cut write's file)
    // Nothing to do, and the bridge would refuse the same file again even with
    // the versions waived: it takes a file only while it runs another version.
    bool reinstallRefused = false;
    std::optional<JournalEntry> finishing; // the cut write of this file that the update finishes
    SettingsFate settings = SettingsFate::NotApplicable; // what the write does to the settings area
    // The store was read and compared with what the update would leave
    // there (the read-only mode's comparison): how much differs. When
    // nothing does, the plan has nothing to do (storeHoldsFile).
    bool storeCompared = false;
    bool storeHoldsFile = false;
    VerifyTally storeDifference;
    // Once compared: where the write erases and programs.
    std::optional<PlanLayout> layout;
    // Only the changed erase units are written (asked, and the procedure
    // can); else, when asked, why the whole image is written.
    bool changedOnly = false;
    std::string wholeImageWhy;
    bool writes() const { return action == PlanAction::Write || action == PlanAction::Finish; }
};

UpdatePlan PlanUpdate(const BridgeState &state, const DeviceEntry &entry, const PlanRequest &request);
// The run of `plan`'s write: with only the changed erase units when the plan
// writes only those.
void ApplyChangedOnly(RunRequest &run, const UpdatePlan &plan);

// The run a verb asks for on the bridge identification found: its mode, its
// file (the firmware file of an update, the backup file of a backup) and
// boxes, and the boxes the bridge fixes (the NVRAM area of a bridge that
// offers no choice goes with every write, as the window leaves its box
// checked; a buffer-path bridge always uses the buffer path).
RunRequest VerbRunRequest(const BridgeState &state, const INI_STATE &settings, int candidateCount,
                          RunMode mode, const std::string &file, bool includeNvram);

} // namespace brigant
