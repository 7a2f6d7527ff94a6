#include "update/staging/conversion_update.h"

#include "bridge/chip_commands.h"
#include "bridge/staging_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "flash/backup_file.h"
#include "flash/verify_compare.h"
#include "image/file_checks.h"
#include "image/firmware_file.h"
#include "image/image_stamp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

namespace brigant
{

namespace
{

constexpr std::uint32_t kLoadSettleMs = 1;
constexpr std::uint32_t kPageSettleMs = 20;
constexpr std::uint32_t kFetchSettleMs = 3;
constexpr std::size_t kFileNameLimit = 259;

std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) { return (n + unit - 1) / unit * unit; }

} // namespace

int ProgramViaStaging(RunHost &host, const std::string &path, const std::uint8_t *image, std::uint32_t length)
{
    if (!EraseFlashChip(path))
        return 0;
    SleepMs(kConversionEraseSettleMs);
    const std::uint32_t total = RoundUp(length, kStagingChunk);
    TransferBlock block(total);
    if (!block)
        return 0;
    if (length)
        std::memcpy(block.data(), image, length);
    std::uint32_t address = 0;
    host.phaseStarted(RunPhase::Program);
    for (std::uint32_t offset = 0; offset < total; offset += kStagingChunk) {
        if (!WriteStagingBuffer(path, block.data() + offset))
            return 0;
        SleepMs(kLoadSettleMs);
        if (!ProgramFlashPage(path, address, kStagingArea))
            return 0;
        address += kStagingPage;
        SleepMs(kPageSettleMs);
        if (!ProgramFlashPage(path, address, kStagingSecondPage))
            return 0;
        address += kStagingPage;
        host.progressDot({"Programming", offset + kStagingChunk, total});
    }
    return 1;
}

int ReadViaStaging(RunHost &host, const std::string &path, std::uint8_t *dest, std::uint32_t length)
{
    const std::uint32_t total = RoundUp(length, kStagingChunk);
    TransferBlock block(total);
    if (!block)
        return 0;
    host.setStatus(StatusCode::ReadingFlash);
    int ok = 1;
    host.phaseStarted(RunPhase::Read);
    for (std::uint32_t address = 0;; address += kStagingChunk) {
        host.processMessages();
        if (address >= total)
            break;
        if (!FetchFlashBlock(path, address)) {
            ok = 0;
            break;
        }
        SleepMs(kFetchSettleMs);
        if (!ReadStagingBuffer(path, block.data() + address)) {
            ok = 0;
            break;
        }
        SleepMs(kFetchSettleMs);
        host.progressDot({"ReadFlash", address + kStagingChunk, total});
    }
    if (length)
        std::memcpy(dest, block.data(), length);
    return ok;
}

int ProgramConversionImage(const RunRequest &req, RunHost &host, const std::string &path)
{
    const std::string name = req.firmwareFile.substr(0, kFileNameLimit);
    const FilePtr file = OpenFirmwareFile(name.c_str());
    if (!file) {
        host.setStatus(StatusCode::OpenFileError);
        return 0;
    }
    const std::int64_t fileLength = FileLength(file.get());
    // A file larger than any flash is treated as buffers that cannot be had,
    // rather than an allocation of its size.
    if (fileLength < 0 || static_cast<std::uint64_t>(fileLength) > kLargestFirmwareFile) {
        host.setStatus(StatusCode::AllocateBuffersError);
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(fileLength);
    const std::uint32_t padded = RoundUp(length, kStagingPage);
    const std::uint32_t blockSize = RoundUp(padded, 8192);
    // The stamp covers both 128 KiB halves, so the image block holds at least that.
    const std::uint32_t imageSize = std::max(blockSize, static_cast<std::uint32_t>(kStampedImageSize));
    TransferBlock image(imageSize);
    TransferBlock readBack(blockSize);
    if (!image || !readBack) {
        host.setStatus(StatusCode::AllocateBuffersError);
        return 0;
    }
    if (length && std::fread(image.data(), 1, length, file.get()) != length) {
        host.setStatus(StatusCode::OpenFileError);
        return 0;
    }
    StampImageHeader(std::span<std::uint8_t>(image.data(), imageSize));
    if (req.mode == RunMode::VerifyOnly) {
        const VerifyRead read = [&](std::uint32_t, std::uint8_t *dest, std::uint32_t n) {
            return ReadViaStaging(host, path, dest, n) == 1;
        };
        return VerifyRange(host, read, 0, image.data(), padded, InRewrittenHeader) ? 1 : 0;
    }
    host.showStatus(StatusCode::Programming);

    bool failed = true;
    for (int attempt = 0; attempt < kConversionAttempts && failed; ++attempt) {
        failed = false;
        host.setStatus(StatusCode::Programming);
        if (!ProgramViaStaging(host, path, image.data(), padded)) {
            host.setStatus(StatusCode::WriteBinFileFail);
            failed = true;
        }
        if (!ReadViaStaging(host, path, readBack.data(), padded)) {
            host.setStatus(StatusCode::ReadFwFail);
            failed = true;
        }
        for (std::uint32_t i = 0; i < padded; ++i) {
            if (!InRewrittenHeader(i) && image.data()[i] != readBack.data()[i]) {
                host.setStatus(StatusCode::DataCompareFail);
                failed = true;
                break;
            }
        }
    }
    if (!failed) {
        host.setStatus(StatusCode::ProgrammingSuccess);
        host.notify(Notice::PowerCycle);
    }
    host.processMessages();
    return failed ? 0 : 1;
}

int EraseFlashOnly(RunHost &host, const std::string &path)
{
    host.showStatus(StatusCode::EraseOnlyStarted);
    const int ok = EraseFlashChip(path);
    host.showStatus(ok ? StatusCode::EraseFlashCommandSuccess : StatusCode::EraseFlashCommandFail);
    return ok;
}

int BackupFlashViaStaging(const RunRequest &req, RunHost &host, const std::string &path)
{
    const std::string name = BackupFileFor(req, host);
    host.showStatus(StatusCode::BackingUp);
    TransferBlock block(kConversionBackupLength);
    if (!block) {
        host.setStatus(StatusCode::AllocateReadBufferError);
        return 0;
    }
    if (!ReadViaStaging(host, path, block.data(), kConversionBackupLength)) {
        host.setStatus(StatusCode::ReadBackToBackupError);
        return 0;
    }
    return SaveBackupFile(host, name, block.data(), kConversionBackupLength);
}

int RunConversionUpdate(const RunRequest &req, RunHost &host, const std::string &path)
{
    host.transfer().TransferChunkSize = kTransferChunkSizeStart;
    if (req.mode == RunMode::EraseOnly) {
        if (!EraseFlashOnly(host, path))
            return 0;
        host.notify(Notice::PowerCycle);
        return 1;
    }
    if (req.mode == RunMode::BackupOnly)
        return BackupFlashViaStaging(req, host, path);
    return ProgramConversionImage(req, host, path);
}

} // namespace brigant
