#include "update/assisted/sbp2_update.h"
#include "image/firmware_file.h"

#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "flash/chunked_transfer.h"
#include "flash/kept_settings.h"
#include "flash/verify_compare.h"
#include "update/assisted/assisted_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::uint32_t kCodeArea = 0x8000;
constexpr std::uint32_t kDotEvery = 2048;

bool FlaggedAddress(std::uint32_t address) { return address == 0 || address == kSbp2NvramOffset; }

// The settings area's reader for the kept-settings checks.
SettingsRead ReadSbp2Nvram(RunHost &host, const std::string &path)
{
    return [&host, &path](std::uint8_t *dest, std::uint32_t length) {
        return ReadFlashRange(host, path, kSbp2NvramOffset, dest, length);
    };
}

} // namespace

int RunSbp2Update(const RunRequest &req, RunHost &host, const std::string &path)
{
    host.transfer().TransferChunkSize = kSbp2ChunkSize;
    if (req.mode == RunMode::EraseOnly) {
        const int result = EraseAllFlashSbp2(host, path);
        host.notify(Notice::PowerCycle);
        return result;
    }
    if (req.mode == RunMode::BackupOnly)
        return BackupFlashToFile(req, host, path, 0);
    return ProgramFirmwareFileSbp2(req, host, path);
}

int WriteFlashRangeSbp2(RunHost &host, const std::string &path, std::uint32_t address,
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
    host.phaseStarted(RunPhase::Program);
    while (remaining != 0) {
        const std::uint32_t chunk = std::min(remaining, host.transfer().TransferChunkSize);
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
            host.progressDot({"WriteFlash", done, total});
    }
    return 1;
}

int ProgramFirmwareFileSbp2(const RunRequest &req, RunHost &host, const std::string &path)
{
    std::vector<std::uint8_t> bytes;
    if (!ReadFirmwareFileHead(req.firmwareFile.c_str(), SIZE_MAX, bytes)) {
        host.showStatus(StatusCode::OpenFileError);
        return 0;
    }

    bool success = false;
    [&] {
        const auto readLength = std::max<std::uint32_t>(static_cast<std::uint32_t>(bytes.size()), kCodeArea);
        const std::uint32_t imageLength = (readLength + 255) / 256 * 256;
        std::uint32_t bufferLength = imageLength;
        std::vector<std::uint8_t> nvram(kSbp2NvramSize, 0);
        const bool keepsNvram = imageLength <= kCodeArea;
        if (keepsNvram) {
            if (!ReadKeptSettings(host, ReadSbp2Nvram(host, path), nvram.data(), kSbp2NvramSize))
                return;
            bufferLength += kSbp2NvramSize;
        }
        TransferBlock written(bufferLength), readBack(bufferLength);
        if (!written || !readBack) {
            host.showStatus(StatusCode::AllocateBuffersError);
            return;
        }
        std::uint8_t *w = written.data();
        if (keepsNvram)
            std::memcpy(w + kSbp2NvramOffset, nvram.data(), kSbp2NvramSize);
        if (!bytes.empty())
            std::memcpy(w, bytes.data(), bytes.size());

        if (req.mode == RunMode::VerifyOnly) {
            const VerifyRead read = [&](std::uint32_t address, std::uint8_t *dest, std::uint32_t length) {
                return ReadFlashRange(host, path, address, dest, length) == 1;
            };
            success = VerifyRange(host, read, 0, w, imageLength);
            return;
        }
        host.showStatus(StatusCode::Programming);
        if (!WriteFlashRangeSbp2(host, path, 0, w, imageLength)) {
            host.showStatus(StatusCode::WriteBinFileFail);
            return;
        }
        WaitFlashReady(path);
        if (!ReadFlashRange(host, path, 0, readBack.data(), imageLength)) {
            host.showStatus(StatusCode::ReadCommandFail);
            return;
        }
        if (std::memcmp(w, readBack.data(), imageLength) != 0) {
            host.showStatus(StatusCode::DataCompareFail);
            return;
        }
        host.showStatus(StatusCode::ProgrammingSuccess);
        success = true;
    }();
    if (req.mode != RunMode::VerifyOnly)
        host.notify(Notice::PowerCycle);
    return success ? 1 : 0;
}

int EraseAllFlashSbp2(RunHost &host, const std::string &path)
{
    host.showStatus(StatusCode::EraseOnlyStarted);
    const auto length = static_cast<std::uint32_t>(host.transfer().DefaultBackupSize);
    std::vector<std::uint8_t> ff(length, 0xFF);
    std::vector<std::uint8_t> nvram(kSbp2NvramSize, 0);
    if (!ReadKeptSettings(host, ReadSbp2Nvram(host, path), nvram.data(), kSbp2NvramSize))
        return 0;
    WriteBlock16(path, 0, ff.data(), kSbp2ChunkSize, true);
    SleepMs(500);
    const int erased = WriteBlock16(path, kSbp2NvramOffset, ff.data(), kSbp2ChunkSize, true);
    // Once the erase commands were sent the NVRAM area may be blank: the
    // saved settings go back in every case, also after a failed blank check
    // (the flagged writes have already erased their area).
    std::optional<StatusCode> failure;
    if (!erased) {
        failure = StatusCode::EraseFlashCommandFail;
    } else {
        host.showStatus(StatusCode::EraseAllSuccess);
        TransferBlock readBack(length);
        if (!readBack)
            failure = StatusCode::AllocateReadBufferError;
        else if (!ReadFlashRange(host, path, 0, readBack.data(), length))
            failure = StatusCode::ReadBackAfterEraseFail;
        else if (!std::all_of(readBack.data(), readBack.data() + length,
                              [](std::uint8_t b) { return b == 0xFF; }))
            failure = StatusCode::NotBlank;
    }
    WaitFlashReady(path);
    const int restored = WriteFlashRangeSbp2(host, path, kSbp2NvramOffset, nvram.data(), kSbp2NvramSize);
    if (failure) {
        host.showStatus(*failure);
        return 0;
    }
    if (!restored) {
        host.showStatus(StatusCode::NvramWriteBackFail);
        host.failing("the device's settings (NVRAM) could not be written back after the erase");
        return 0;
    }
    WaitFlashReady(path);
    if (!CheckKeptSettings(host, ReadSbp2Nvram(host, path), nvram.data(), kSbp2NvramSize))
        return 0;
    host.showStatus(StatusCode::EraseAllSuccess);
    return 1;
}

} // namespace brigant
