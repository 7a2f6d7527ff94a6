#pragma once
// What a procedure's status line says, as a code: the window words each code
// in its catalogue (app/status_texts.h), other front ends their own way.
#include <cstdint>
#include <string>
#include <utility>

namespace brigant
{

enum class StatusCode : std::uint16_t {
    Clear, // the status line emptied

    // Reading the store and backing it up.
    ReadingFlash,          // the flash is being read
    BackingUp,             // the backup read begins
    BackupSaved,           // the backup file holds what was read
    OpenBackupFileError,   // the backup file could not be written
    ReadBackToBackupError, // the read for the backup failed

    // Buffers and the firmware file.
    AllocateReadBufferError,
    AllocateWriteBufferError,
    AllocateBuffersError,
    OpenFileError,       // the firmware file could not be opened or read
    FileLargerThanFlash, // the firmware file does not fit the flash
    FileEmpty,           // the firmware file holds nothing to write

    // Erasing.
    EraseStarted,              // the erase step begins
    Erasing,                   // an erase is under way
    EraseOnlyStarted,          // the erase-only mode begins
    EraseCommandFail,          // an erase command failed
    EraseFlashCommandFail,     // the whole-flash erase command failed
    EraseFlashCommandSuccess,  // the whole-flash erase command succeeded
    EraseAllSuccess,           // the flash was erased and reads back blank
    NotReadyAfterErase,        // the flash stays busy after the whole-image erase
    NotReadyAfterEraseCommand, // the flash stays busy after the erase command
    ReadBackAfterEraseFail,    // the blank check could not read the flash
    ReadBackErasedFlashError,  // the whole-image blank check could not read the flash
    NotBlank,                  // the erased flash does not read back blank

    // Programming and verifying.
    Programming,        // programming begins
    ProgrammingFlash,   // programming through the buffer begins
    ProgrammingSuccess, // programmed and read back equal
    ProgrammingFail,    // a program command of the whole-image family failed
    WriteBinFileFail,   // a write of the firmware failed
    WriteCommandFail,   // a write command of the block-wise family failed
    ReadFwFail,         // the read-back of the firmware failed
    ReadCommandFail,    // a read command of the read-back failed
    ReadBackFail,       // the block-wise read-back failed
    ReadFail,           // the whole-image read-back failed
    DataCompareFail,    // what was read back differs from the file
    CompareFail,        // the whole-image read-back differs from the file

    // The device's settings kept across the write.
    NvramBackupFail,    // the settings could not be read before erasing
    NvramWriteBackFail, // the settings could not be written back

    // Flash parts that need a step of their own.
    AmicFlashNotSupported,
    AtmelWriteEnableFail,

    // The buffer path.
    DownloadingToRam,      // the manufacturing firmware is downloaded
    DownloadToRamFail,     // its download failed
    ChipEraseFail,         // the chip erase through the buffer failed
    BufferDescriptorError, // the buffer descriptor could not be read
    OffsetBoundaryError,   // the buffer's offset boundary is not the one the step needs
    BufferCapacityError,   // the buffer's capacity is not the one the step needs
    ProductReadBackError,  // the product block could not be read back

    // A bank repair.
    RecoverySucceeded,
    RecoveryFailed,

    // The disk's firmware area.
    DiskEraseSuccess,     // the area was erased and reads back blank
    DiskEraseCompareFail, // the erased area does not read back blank
    DiskWriteFail,        // a WRITE(10) to the area failed
    DiskWrite16Fail,      // a WRITE(16) to the area failed
    DiskReadFail,         // a READ(10) of the area failed
    DiskRead16Fail,       // a READ(16) of the area failed
    DiskCompareFail,      // the area read back differs from the file

    // Statuses that carry a sentence of the tool's own (the detail).
    ReattachTimedOut, // the bridge did not come back after its reset: detail says how
    DiskAreaRefused,  // the disk area will not be written: detail says why
    RunRefused,       // the run will not start: detail says why
    FileRefused,      // the firmware file is refused before anything is sent: detail says why
};

// A status: its code, and for the codes that carry one, the tool's sentence.
struct RunStatus {
    // Implicit: a procedure says host.showStatus(StatusCode::Programming).
    RunStatus(StatusCode status, std::string sentence = {}) // NOLINT(google-explicit-constructor)
        : code(status), detail(std::move(sentence))
    {
    }
    StatusCode code;
    std::string detail;
};

} // namespace brigant
