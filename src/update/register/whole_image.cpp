#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "device/transport.h"
#include "flash/kept_settings.h"
#include "flash/verify_compare.h"
#include "image/file_checks.h"
#include "image/firmware_file.h"
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
constexpr std::uint32_t kBeforeReadBackMs = 1000;
constexpr std::uint32_t kUpperEraseUniform = 32768;
constexpr std::uint32_t kUpperEraseBootSector = 61440;
// The boot sectors of the AMIC parts that have them: 4, 8, 16 and 32 KiB from 0.
constexpr std::uint32_t kBootSectorAddresses[] = {0, 4096, 12288, 28672};

bool IsBootSectorAmic(int amicType) { return amicType == 1 || amicType == 3 || amicType == 5; }
bool IsUniformAmic(int amicType) { return amicType == -1 || amicType == 4; }

void WaitAfterErase(RunHost &host, const std::string &path)
{
    SleepMs(kAfterEraseMs);
    if (!WaitFlashReady(path))
        host.showStatus(StatusCode::NotReadyAfterErase);
}

// Erases what an image of `fileLength` bytes occupies in a 64 KiB flash.
bool EraseSmallFlash(RunHost &host, const std::string &path, int amicType, std::uint32_t fileLength)
{
    const bool upperHalf = fileLength > kMinimumImage;
    if (IsBootSectorAmic(amicType)) {
        for (std::uint32_t address : kBootSectorAddresses)
            if (EraseFlashBlock(path, address))
                WaitAfterErase(host, path);
        if (upperHalf) {
            if (!EraseFlashBlock(path, kUpperEraseBootSector)) {
                host.showStatus(StatusCode::EraseCommandFail);
                return false;
            }
            SleepMs(kAfterEraseMs);
            WaitFlashReady(path);
        }
        return true;
    }
    if (!IsUniformAmic(amicType)) {
        host.showStatus(StatusCode::AmicFlashNotSupported);
        return false;
    }
    if (!EraseFlashBlock(path, 0)) {
        host.showStatus(StatusCode::EraseCommandFail);
        return false;
    }
    WaitAfterErase(host, path);
    if (upperHalf) {
        if (!EraseFlashBlock(path, kUpperEraseUniform)) {
            host.showStatus(StatusCode::EraseCommandFail);
            return false;
        }
        SleepMs(kAfterEraseMs);
        WaitFlashReady(path);
    }
    return true;
}

} // namespace

int UpdateWholeImage(const RunRequest &req, RunHost &host, const std::string &path)
{
    const ChipIdentity &chip = req.chip;
    const bool verifying = req.mode == RunMode::VerifyOnly;
    // A backup or a verify only reads: the flash's protection stays as it is.
    const bool readsOnly = verifying || req.mode == RunMode::BackupOnly;
    if (chip.AtmelType != -1 && !readsOnly) {
        WriteEnable(path);
        if (!WaitStatusSet(path, 0x02)) {
            host.showStatus(StatusCode::AtmelWriteEnableFail);
            return 0;
        }
    }
    if ((chip.FlashKind == kFlashStEonMxic || chip.FlashKind == kFlashMxic) && !readsOnly)
        UnprotectFlash(path);

    if (req.mode != RunMode::Update && !verifying) {
        if (req.mode == RunMode::EraseOnly) {
            const int erased = EraseWholeFlash(req, host, path);
            if (erased)
                host.notify(Notice::PowerCycle);
            return erased;
        }
        if (req.mode == RunMode::BackupOnly)
            return SaveFlashBackup(req, host, path, 0);
    }

    FilePtr file = OpenFirmwareFile(req.firmwareFile.c_str());
    if (!file) {
        host.showStatus(StatusCode::OpenFileError);
        return 0;
    }
    const std::int64_t length = FileLength(file.get());
    const std::uint32_t chunk = host.transfer().TransferChunkSize;
    if (length < 0 || chunk == 0 || length > 0xFFFFFF) {
        host.showStatus(StatusCode::OpenFileError);
        return 0;
    }
    std::uint32_t size = std::max(static_cast<std::uint32_t>(length), kMinimumImage);
    size = (size + chunk - 1) / chunk * chunk;
    const std::uint32_t chunks = size / chunk;

    TransferBlock readBack(size);
    if (!readBack) {
        host.showStatus(StatusCode::AllocateReadBufferError);
        return 0;
    }
    TransferBlock image(size);
    if (!image) {
        host.showStatus(StatusCode::AllocateWriteBufferError);
        return 0;
    }
    std::memset(image.data(), 0, size);
    const auto n = static_cast<std::uint32_t>(std::fread(image.data(), 1, size, file.get()));
    file.reset();

    // The image goes to 0 whole; the settings block it may keep lies past it.
    if (verifying)
        return VerifyRange(host, ReadFlashAt(path), 0, image.data(), size) ? 1 : 0;

    if (!WaitFlashReady(path))
        DebugOut("0.1 Device initial not ready!!");

    // An image of at most kMinimumImage bytes leaves the NVRAM block to the
    // device: its settings are read (and must read the same twice) before
    // anything is erased, and go back after the image.
    const SettingsRead readNvram = [&path](std::uint8_t *dest, std::uint32_t length) {
        return ReadFlash(path, kNvramBlockAddress, dest, length);
    };
    const bool restoreNvram = size <= kMinimumImage;
    std::uint8_t nvram[kNvramBlockSize] = {};
    host.phaseStarted(RunPhase::Erase);
    if (size <= kSmallFlash) {
        if (restoreNvram) {
            if (!ReadKeptSettings(host, readNvram, nvram, kNvramBlockSize))
                return 0;
            DebugOut("NVRAM O.K.\n");
        }
        if (!EraseSmallFlash(host, path, chip.AmicType, n))
            return 0;
    } else {
        if (!EraseFlashAll(path)) {
            host.showStatus(StatusCode::EraseCommandFail);
            return 0;
        }
        WaitAfterErase(host, path);
    }

    if (!ReadFlash(path, 0, readBack.data(), size)) {
        host.showStatus(StatusCode::ReadBackErasedFlashError);
        return 0;
    }
    if (!std::all_of(readBack.data(), readBack.data() + size, [](std::uint8_t b) { return b == 0xFF; })) {
        host.showStatus(StatusCode::NotBlank);
        return 0;
    }

    host.phaseStarted(RunPhase::Program);
    for (std::uint32_t k = 0; k < chunks; ++k) {
        if (!WriteFlash(path, k * chunk, image.data() + k * chunk, chunk)) {
            host.showStatus(StatusCode::ProgrammingFail);
            return 0;
        }
        host.progressDot({"Programming", k + 1, chunks});
    }

    // The erase took the NVRAM block with it; it goes back and is checked
    // with the image, so that lost settings never pass for a good update.
    if (restoreNvram) {
        if (!WriteFlash(path, kNvramBlockAddress, nvram, kNvramBlockSize)) {
            host.showStatus(StatusCode::ProgrammingFail);
            return 0;
        }
        DebugOut("write NVRAM O.K.\n");
    }

    SleepMs(kBeforeReadBackMs);
    WaitFlashReady(path);
    if (!ReadFlash(path, 0, readBack.data(), size)) {
        host.showStatus(StatusCode::ReadFail);
        return 0;
    }
    if (std::memcmp(readBack.data(), image.data(), size) != 0) {
        host.showStatus(StatusCode::CompareFail);
        return 0;
    }
    if (restoreNvram && !CheckKeptSettings(host, readNvram, nvram, kNvramBlockSize))
        return 0;
    host.showStatus(StatusCode::ProgrammingSuccess);
    host.notify(Notice::PowerCycleWholeImage);
    return 1;
}

} // namespace brigant
