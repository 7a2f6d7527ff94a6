#include "flash/program_values.h"

namespace brigant
{

std::uint32_t TransferChunkSize = kTransferChunkSizeStart;
std::int32_t DefaultBackupSize = kDefaultBackupSize;
std::uint32_t NextBlockIndex = 0;
std::uint32_t NextSectorIndex = 0;
std::uint32_t FlashBlockSize = kFlashBlockSizeStart;
std::uint32_t FlashSectorSize = kFlashSectorSizeStart;
std::int32_t WriteEraseMode = kWriteEraseModeStart;
std::int32_t EraseDataLength = kEraseDataLengthStart;

void ResetProgramValues()
{
    TransferChunkSize = kTransferChunkSizeStart;
    DefaultBackupSize = kDefaultBackupSize;
    NextBlockIndex = 0;
    NextSectorIndex = 0;
    FlashBlockSize = kFlashBlockSizeStart;
    FlashSectorSize = kFlashSectorSizeStart;
    WriteEraseMode = kWriteEraseModeStart;
    EraseDataLength = kEraseDataLengthStart;
}

} // namespace brigant
