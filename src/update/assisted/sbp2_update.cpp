#include "update/assisted/sbp2_update.h"

#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "flash/chunked_transfer.h"
#include "forms/ui_services.h"
#include "model/fwupdate.h"
#include "update/assisted/assisted_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::uint32_t kCodeArea = 0x8000;
constexpr std::uint32_t kDotEvery = 2048;

void PowerCycleMessage() { Ui().messageBox(kPowerCycleText, "Message", MessageKind::Information); }

bool FlaggedAddress(std::uint32_t address) { return address == 0 || address == kSbp2NvramOffset; }

} // namespace

int RunSbp2Update(TBrigantFwTool &form, const std::string &path)
{
    TransferChunkSize = kSbp2ChunkSize;
    if (form.RdCheckBox.checked() && form.EraseOnlyCheck.checked()) {
        const int result = EraseAllFlashSbp2(form, path);
        PowerCycleMessage();
        return result;
    }
    if (form.RdCheckBox.checked() && form.BackupFWCheckBox.checked())
        return BackupFlashToFile(form, path, 0);
    return ProgramFirmwareFileSbp2(form, path);
}

int WriteFlashRangeSbp2(TBrigantFwTool &form, const std::string &path, std::uint32_t address,
                        const std::uint8_t *source, std::uint32_t length)
{
    std::uint32_t remaining = (length + kSbp2ChunkSize - 1) / kSbp2ChunkSize * kSbp2ChunkSize;
    TransferBlock buffer(remaining);
    if (!buffer)
        return 0;
    if (length)
        std::memcpy(buffer.data(), source, length);
    const std::uint32_t total = remaining;
    std::uint32_t done = 0;
    while (remaining != 0) {
        const std::uint32_t chunk = std::min(remaining, TransferChunkSize);
        if (chunk == 0)
            return 0;
        const std::uint32_t at = address + done;
        WaitFlashReady(path);
        if (!WriteBlock16(path, at, buffer.data() + done, static_cast<std::uint16_t>(chunk),
                          FlaggedAddress(at)))
            return 0;
        done += chunk;
        remaining -= chunk;
        if ((address + done) % kDotEvery == kSbp2ChunkSize)
            AppendProgressDot(form.StatusEdit, "WriteFlash", done, total);
    }
    return 1;
}

int ProgramFirmwareFileSbp2(TBrigantFwTool &form, const std::string &path)
{
    std::FILE *file = std::fopen(form.FwFilenameEdit.text().c_str(), "rb");
    if (!file) {
        ShowStatus(form.StatusEdit, "Open File Error!!");
        return 0;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[8192];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(file);

    bool success = false;
    [&] {
        const auto readLength = std::max<std::uint32_t>(static_cast<std::uint32_t>(bytes.size()), kCodeArea);
        const std::uint32_t imageLength = (readLength + 255) / 256 * 256;
        std::uint32_t bufferLength = imageLength;
        std::vector<std::uint8_t> nvram(kSbp2NvramSize, 0);
        const bool keepsNvram = imageLength <= kCodeArea;
        if (keepsNvram) {
            if (!ReadFlashRange(form, path, kSbp2NvramOffset, nvram.data(), kSbp2NvramSize)) {
                ShowStatus(form.StatusEdit, "Backup NVRAM command fail!");
                return;
            }
            bufferLength += kSbp2NvramSize;
        }
        TransferBlock written(bufferLength), readBack(bufferLength);
        if (!written || !readBack) {
            ShowStatus(form.StatusEdit, "Allocate buffers Error!!");
            return;
        }
        std::uint8_t *w = written.data();
        if (keepsNvram)
            std::memcpy(w + kSbp2NvramOffset, nvram.data(), kSbp2NvramSize);
        if (!bytes.empty())
            std::memcpy(w, bytes.data(), bytes.size());

        ShowStatus(form.StatusEdit, "Programming");
        if (!WriteFlashRangeSbp2(form, path, 0, w, imageLength)) {
            ShowStatus(form.StatusEdit, "Write Bin File fail!");
            return;
        }
        WaitFlashReady(path);
        if (!ReadFlashRange(form, path, 0, readBack.data(), imageLength)) {
            ShowStatus(form.StatusEdit, "Read command fail!");
            return;
        }
        if (std::memcmp(w, readBack.data(), imageLength) != 0) {
            ShowStatus(form.StatusEdit, "Data compare fail !!");
            return;
        }
        ShowStatus(form.StatusEdit, kProgrammingSuccessText);
        success = true;
    }();
    PowerCycleMessage();
    return success ? 1 : 0;
}

int EraseAllFlashSbp2(TBrigantFwTool &form, const std::string &path)
{
    ShowStatus(form.StatusEdit, "Start Erase only!");
    const auto length = static_cast<std::uint32_t>(DefaultBackupSize);
    std::vector<std::uint8_t> ff(length, 0xFF);
    std::vector<std::uint8_t> nvram(kSbp2NvramSize, 0);
    if (!ReadFlashRange(form, path, kSbp2NvramOffset, nvram.data(), kSbp2NvramSize)) {
        ShowStatus(form.StatusEdit, "Backup NVRAM command fail!");
        return 0;
    }
    WriteBlock16(path, 0, ff.data(), kSbp2ChunkSize, true);
    SleepMs(500);
    const int erased = WriteBlock16(path, kSbp2NvramOffset, ff.data(), kSbp2ChunkSize, true);
    // Once the erase commands were sent the NVRAM area may be blank: the
    // saved settings go back in every case, also after a failed blank check
    // (the flagged writes have already erased their area).
    const char *failure = nullptr;
    if (!erased) {
        failure = "Erase flash command fail!";
    } else {
        ShowStatus(form.StatusEdit, "Erase flash all success!");
        TransferBlock readBack(length);
        if (!readBack)
            failure = "Allocate read buffer Error!!";
        else if (!ReadFlashRange(form, path, 0, readBack.data(), length))
            failure = "Read back after erase fail!!";
        else if (!std::all_of(readBack.data(), readBack.data() + length,
                              [](std::uint8_t b) { return b == 0xFF; }))
            failure = "Data not 0xff !!";
    }
    WaitFlashReady(path);
    const int restored = WriteFlashRangeSbp2(form, path, kSbp2NvramOffset, nvram.data(), kSbp2NvramSize);
    if (failure) {
        ShowStatus(form.StatusEdit, failure);
        return 0;
    }
    if (!restored) {
        ShowStatus(form.StatusEdit, "Write NVRAM back command fail!");
        return 0;
    }
    ShowStatus(form.StatusEdit, "Erase flash all success!");
    return 1;
}

} // namespace brigant
