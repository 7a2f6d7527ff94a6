#pragma once
// One run of an update procedure, decided once by whoever starts it (the
// window's Run button, a command-line verb): what to do, with which files,
// on which chip. Procedures read nothing else of the window.
#include "flash/run_host.h"
#include "image/chip_identity.h"
#include "image/chip_types.h"

#include <cstdint>
#include <optional>
#include <string>

namespace brigant
{

enum class RunMode : std::uint8_t {
    Update,     // program the firmware file
    EraseOnly,  // erase the flash (or the disk area)
    BackupOnly, // save the flash (or the disk area) to the backup file
    // Read the flash (or the disk area) where Update would write the file and
    // compare it with what Update would leave there; nothing is written.
    VerifyOnly,
};

// The product serial record the buffer path writes after programming.
struct ProductSerial {
    bool write = false;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string text;
};

struct RunRequest {
    RunMode mode = RunMode::Update;
    bool includeNvram = false;    // write (or erase, or save) the NVRAM area too
    bool readWriteBuffer = false; // program through READ/WRITE BUFFER (codes 15 to 18)
    ProductSerial serial;
    bool chipResetsItself = false; // the settings say the bridge resets itself after an update
    std::string firmwareFile;
    std::string backupFile; // empty: the family's default backup name
    // The backup-only mode reads the whole flash when its size is known, not
    // only the family's usual backup length (the backup before a write, which
    // must hold everything the write may change).
    bool wholeFlash = false;
    // An update of the changed erase units only: the 4 KiB sectors whose
    // bytes differ from what the update leaves (the plan's comparison). A
    // procedure that writes by erase units erases and programs only the units
    // holding them, then reads back and compares the whole image; the others
    // write the whole image (ChangedOnlyFits says which).
    std::optional<StoreRanges> onlyChanged;
    ChipIdentity chip;
    // Disks listed when the run started; a bridge waited for after its reset
    // is known by the list coming back to this many when it has no location.
    std::int32_t candidateCount = 0;
};

// How a run ended, beside the texts the procedure showed.
struct RunOutcome {
    enum class Result : std::uint8_t {
        Success, // the procedure did its work and verified it
        Failed,  // it failed; nothing says the flash holds what was asked
        Refused, // nothing was started (`reason` says why)
    };
    Result result = Result::Failed;
    UpdateProcedure procedure = UpdateProcedure::None;
    std::string reason; // why it was refused, or why it failed when the procedure said
    // The long step the run was in at its end, in the user's words
    // ("programming", see PhaseWords): where a failed run stopped; empty
    // when no long step had started.
    std::string lastPhase;
    // The bridge was told to reset and leaves the bus for a while.
    bool bridgeReattaches = false;
    // The file the backup-only mode wrote (empty: none).
    std::string backupFile;
    // The procedure said the new firmware starts after a power cycle.
    bool powerCycleAdvised = false;
    // Refused because the bridge did not answer a question that decides how
    // its flash is written (not because of the user's file or options).
    bool deviceUnanswered = false;
    // The comparison of the read-only mode (all of it, summed).
    VerifyTally verify;
    // The product serial number read back from the flash after a write of
    // the record (unset: not read).
    std::optional<std::string> productSerialRead;
    bool ok() const { return result == Result::Success; }
};

} // namespace brigant
