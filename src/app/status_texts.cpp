#include "app/status_texts.h"

#include "app/window_texts.h"

namespace brigant
{

const char *StatusText(StatusCode code)
{
    switch (code) {
    case StatusCode::Clear:
        return "";
    case StatusCode::ReadingFlash:
        return "ReadFlash...";
    case StatusCode::BackingUp:
        return "Backup ...";
    case StatusCode::BackupSaved:
        return "Read flash and backup success!";
    case StatusCode::OpenBackupFileError:
        return "Open Backup File Error!!";
    case StatusCode::ReadBackToBackupError:
        return "Read Back to Backup Error!!";
    case StatusCode::AllocateReadBufferError:
        return "Allocate read buffer Error!!";
    case StatusCode::AllocateWriteBufferError:
        return "Allocate write buffer Error!!";
    case StatusCode::AllocateBuffersError:
        return "Allocate buffers Error!!";
    case StatusCode::OpenFileError:
        return "Open File Error!!";
    case StatusCode::FileLargerThanFlash:
        return "FW size > flash size!!";
    case StatusCode::FileEmpty:
        return "The firmware file is empty; nothing was written.";
    case StatusCode::EraseStarted:
        return "Erase...";
    case StatusCode::Erasing:
        return "Erasing";
    case StatusCode::EraseOnlyStarted:
        return "Start Erase only!";
    case StatusCode::EraseCommandFail:
        return "Erase command fail!!";
    case StatusCode::EraseFlashCommandFail:
        return "Erase flash command fail!";
    case StatusCode::EraseFlashCommandSuccess:
        return "Erase flash command success!";
    case StatusCode::EraseAllSuccess:
        return "Erase flash all success!";
    case StatusCode::NotReadyAfterErase:
        return "Not ready after Erase flash success";
    case StatusCode::NotReadyAfterEraseCommand:
        return "Not ready after Erase flash cmd success";
    case StatusCode::ReadBackAfterEraseFail:
        return "Read back after erase fail!!";
    case StatusCode::ReadBackErasedFlashError:
        return "Read Back Erased Flash Error!!";
    case StatusCode::NotBlank:
        return "Data not 0xff !!";
    case StatusCode::Programming:
        return "Programming";
    case StatusCode::ProgrammingFlash:
        return "Programming Flash...";
    case StatusCode::ProgrammingSuccess:
        return kProgrammingSuccessText;
    case StatusCode::ProgrammingFail:
        return "Programming Fail!!";
    case StatusCode::WriteBinFileFail:
        return "Write Bin File fail!";
    case StatusCode::WriteCommandFail:
        return "Write command fail!";
    case StatusCode::ReadFwFail:
        return "Read FW fail!";
    case StatusCode::ReadCommandFail:
        return "Read command fail!";
    case StatusCode::ReadBackFail:
        return "Read back fail!!";
    case StatusCode::ReadFail:
        return "Read Fail!!\r\n";
    case StatusCode::DataCompareFail:
        return "Data compare fail !!";
    case StatusCode::CompareFail:
        return "Compare Fail!!\r\n\r\n";
    case StatusCode::NvramBackupFail:
        return "Backup NVRAM command fail!";
    case StatusCode::NvramWriteBackFail:
        return "Write NVRAM back command fail!";
    case StatusCode::AmicFlashNotSupported:
        return "Not Support this AMIC Flash Type!!";
    case StatusCode::AtmelWriteEnableFail:
        return "Enable ATMEL flash write enable fail!!";
    case StatusCode::DownloadingToRam:
        return "Download to RAM...";
    case StatusCode::DownloadToRamFail:
        return "Download to RAM fail...";
    case StatusCode::ChipEraseFail:
        return "Chip erase fail...";
    case StatusCode::BufferDescriptorError:
        return "Read Buffer Descriptor error...";
    case StatusCode::OffsetBoundaryError:
        return "Offset Boundary error...";
    case StatusCode::BufferCapacityError:
        return "Buffer Capacity error...";
    case StatusCode::ProductReadBackError:
        return "Read back Product Error!!";
    case StatusCode::RecoverySucceeded:
        return "FW Recovery successful!!";
    case StatusCode::RecoveryFailed:
        return "FW Recovery Fail!!";
    case StatusCode::DiskEraseSuccess:
        return "Erase all data in HDD success!!";
    case StatusCode::DiskEraseCompareFail:
        return "Compare data in HDD fail!!";
    case StatusCode::DiskWriteFail:
        return "Write Data To HDD FAIL!!";
    case StatusCode::DiskWrite16Fail:
        return "Write Data SCSI16 To HDD FAIL!!";
    case StatusCode::DiskReadFail:
        return "Read Data From HDD FAIL!!";
    case StatusCode::DiskRead16Fail:
        return "Read Data SCSI16 From HDD FAIL!!";
    case StatusCode::DiskCompareFail:
        return "Compare Data in HDD FAIL!!";
    case StatusCode::ReattachTimedOut:
        return "";
    case StatusCode::DiskAreaRefused:
        return "";
    case StatusCode::RunRefused:
        return "Refused: ";
    case StatusCode::FileRefused:
        return kFileRefusedText;
    }
    return "";
}

std::string StatusLine(const RunStatus &status)
{
    std::string line = StatusText(status.code) + status.detail;
    switch (status.code) {
    case StatusCode::RunRefused:
        return line + ".";
    case StatusCode::FileRefused:
        return line + "; nothing was written.";
    default:
        return line;
    }
}

const char *NoticeText(Notice what)
{
    switch (what) {
    case Notice::PowerCycle:
        return kPowerCycleText;
    case Notice::PowerCycleWholeImage:
        return kPowerCycleSpacedText;
    case Notice::AutoReset:
        return kAutoResetText;
    case Notice::DefaultBackup:
        return kDefaultBackupText;
    }
    return "";
}

} // namespace brigant
