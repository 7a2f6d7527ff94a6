#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "device/transport.h"
#include "flash/program_values.h"
#include "forms/ui_services.h"
#include "image/file_checks.h"
#include "model/fwupdate.h"
#include "update/register/flash_engine.h"
#include "update/register/register_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace brigant
{

namespace
{

constexpr std::uint32_t kMinimumImage = 32768;
constexpr std::uint32_t kSmallFlash = 65536;
constexpr std::uint32_t kNvramBlockAddress = 0x8000;
constexpr std::uint32_t kNvramBlockSize = 512;
constexpr std::uint32_t kAfterEraseMs = 500;
constexpr std::uint32_t kBeforeReadBackMs = 1000;
constexpr std::uint32_t kUpperEraseUniform = 32768;
constexpr std::uint32_t kUpperEraseBootSector = 61440;
// The boot sectors of the AMIC parts that have them: 4, 8, 16 and 32 KiB from 0.
constexpr std::uint32_t kBootSectorAddresses[] = {0, 4096, 12288, 28672};

constexpr const char *kEraseFail = "Erase command fail!!";
constexpr const char *kNotReadyAfterErase = "Not ready after Erase flash success";

bool IsBootSectorAmic(int amicType) { return amicType == 1 || amicType == 3 || amicType == 5; }
bool IsUniformAmic(int amicType) { return amicType == -1 || amicType == 4; }

void WaitAfterErase(TBrigantFwTool &form, const std::string &path)
{
    SleepMs(kAfterEraseMs);
    if (!WaitFlashReady(path))
        ShowStatus(form.StatusEdit, kNotReadyAfterErase);
}

// Erases what an image of `fileLength` bytes occupies in a 64 KiB flash.
bool EraseSmallFlash(TBrigantFwTool &form, const std::string &path, int amicType, std::uint32_t fileLength)
{
    const bool upperHalf = fileLength > kMinimumImage;
    if (IsBootSectorAmic(amicType)) {
        for (std::uint32_t address : kBootSectorAddresses)
            if (EraseFlashBlock(path, address))
                WaitAfterErase(form, path);
        if (upperHalf) {
            if (!EraseFlashBlock(path, kUpperEraseBootSector)) {
                ShowStatus(form.StatusEdit, kEraseFail);
                return false;
            }
            SleepMs(kAfterEraseMs);
            WaitFlashReady(path);
        }
        return true;
    }
    if (!IsUniformAmic(amicType)) {
        ShowStatus(form.StatusEdit, "Not Support this AMIC Flash Type!!");
        return false;
    }
    if (!EraseFlashBlock(path, 0)) {
        ShowStatus(form.StatusEdit, kEraseFail);
        return false;
    }
    WaitAfterErase(form, path);
    if (upperHalf) {
        if (!EraseFlashBlock(path, kUpperEraseUniform)) {
            ShowStatus(form.StatusEdit, kEraseFail);
            return false;
        }
        SleepMs(kAfterEraseMs);
        WaitFlashReady(path);
    }
    return true;
}

} // namespace

int UpdateWholeImage(TBrigantFwTool &form, const std::string &path)
{
    const ChipIdentity &chip = form.chip;
    if (chip.AtmelType != -1) {
        WriteEnable(path);
        if (!WaitStatusSet(path, 0x02)) {
            ShowStatus(form.StatusEdit, "Enable ATMEL flash write enable fail!!");
            return 0;
        }
    }
    if (chip.FlashKind == 3 || chip.FlashKind == 5)
        UnprotectFlash(path);

    if (form.RdCheckBox.checked()) {
        if (form.eraseOnly != 0) {
            const int erased = EraseWholeFlash(form, path);
            if (erased)
                Ui().messageBox("Please Turn-Off the Power and Turn-On Again!", "Message",
                                MessageKind::Information);
            return erased;
        }
        if (form.BackupFWCheckBox.checked())
            return SaveFlashBackup(form, path, 0);
    }

    std::FILE *file = std::fopen(form.FwFilenameEdit.text().c_str(), "rb");
    if (!file) {
        ShowStatus(form.StatusEdit, "Open File Error!!");
        return 0;
    }
    const std::int64_t length = FileLength(file);
    const std::uint32_t chunk = TransferChunkSize;
    if (length < 0 || chunk == 0 || length > 0xFFFFFF) {
        std::fclose(file);
        ShowStatus(form.StatusEdit, "Open File Error!!");
        return 0;
    }
    std::uint32_t size = std::max(static_cast<std::uint32_t>(length), kMinimumImage);
    size = (size + chunk - 1) / chunk * chunk;
    const std::uint32_t chunks = size / chunk;

    TransferBlock readBack(size);
    if (!readBack) {
        std::fclose(file);
        ShowStatus(form.StatusEdit, "Allocate read buffer Error!!");
        return 0;
    }
    TransferBlock image(size);
    if (!image) {
        std::fclose(file);
        ShowStatus(form.StatusEdit, "Allocate write buffer Error!!");
        return 0;
    }
    std::memset(image.data(), 0, size);
    const auto n = static_cast<std::uint32_t>(std::fread(image.data(), 1, size, file));
    std::fclose(file);

    if (!WaitFlashReady(path))
        DebugOut("0.1 Device initial not ready!!");

    std::uint8_t nvram[kNvramBlockSize] = {};
    bool nvramSaved = false;
    if (size <= kSmallFlash) {
        nvramSaved = ReadFlash(path, kNvramBlockAddress, nvram, kNvramBlockSize) != 0;
        DebugOut(nvramSaved ? "NVRAM O.K.\n" : "NVRAM fail\n");
        if (!EraseSmallFlash(form, path, chip.AmicType, n))
            return 0;
    } else {
        if (!EraseFlashAll(path)) {
            ShowStatus(form.StatusEdit, kEraseFail);
            return 0;
        }
        WaitAfterErase(form, path);
    }

    if (!ReadFlash(path, 0, readBack.data(), size)) {
        ShowStatus(form.StatusEdit, "Read Back Erased Flash Error!!");
        return 0;
    }
    if (!std::all_of(readBack.data(), readBack.data() + size, [](std::uint8_t b) { return b == 0xFF; })) {
        ShowStatus(form.StatusEdit, "Data not 0xff !!");
        return 0;
    }

    for (std::uint32_t k = 0; k < chunks; ++k) {
        if (!WriteFlash(path, k * chunk, image.data() + k * chunk, chunk)) {
            ShowStatus(form.StatusEdit, "Programming Fail!!");
            return 0;
        }
        AppendProgressDot(form.StatusEdit, "Programming", k + 1, chunks);
    }

    // The erase took the NVRAM block with it; it goes back and is checked
    // with the image, so that lost settings never pass for a good update.
    const bool restoreNvram = size <= kMinimumImage && nvramSaved;
    if (restoreNvram) {
        if (!WriteFlash(path, kNvramBlockAddress, nvram, kNvramBlockSize)) {
            ShowStatus(form.StatusEdit, "Programming Fail!!");
            return 0;
        }
        DebugOut("write NVRAM O.K.\n");
    }

    SleepMs(kBeforeReadBackMs);
    WaitFlashReady(path);
    std::uint8_t nvramBack[kNvramBlockSize] = {};
    if (!ReadFlash(path, 0, readBack.data(), size) ||
        (restoreNvram && !ReadFlash(path, kNvramBlockAddress, nvramBack, kNvramBlockSize))) {
        ShowStatus(form.StatusEdit, "Read Fail!!\r\n");
        return 0;
    }
    if (std::memcmp(readBack.data(), image.data(), size) != 0 ||
        (restoreNvram && std::memcmp(nvramBack, nvram, kNvramBlockSize) != 0)) {
        ShowStatus(form.StatusEdit, "Compare Fail!!\r\n\r\n");
        return 0;
    }
    ShowStatus(form.StatusEdit, "Programming Success!!");
    Ui().messageBox("Please Turn-Off the Power and Turn-On Again !", "Message", MessageKind::Information);
    return 1;
}

} // namespace brigant
