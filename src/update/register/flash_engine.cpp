#include "update/register/flash_engine.h"

#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "device/transport.h"
#include "flash/backup_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace brigant
{

namespace
{

constexpr std::uint8_t kSizeFromFlashCode = 11; // the code whose own flash size and chip erase count
constexpr std::uint32_t kSpiStepPauseMs = 10;
constexpr int kReadyRounds = 5;

// Block-verify erase of the part that answers 8C 21 15: fixed count and size.
constexpr std::uint32_t kVerifyBlocks = 512;
constexpr std::uint32_t kVerifyBlockSize = 32768;
constexpr std::uint32_t kVerifyHalf = 16384;

constexpr const char *kNotReadyTrace = "0.1 Device initial not ready!!";

bool AllErased(const std::uint8_t *data, std::uint32_t length)
{
    return std::all_of(data, data + length, [](std::uint8_t b) { return b == 0xFF; });
}

std::uint32_t ChunkCount(const TransferState &x, std::uint32_t length)
{
    const std::uint32_t chunk = x.TransferChunkSize;
    return chunk == 0 ? 0 : length / chunk + (length % chunk ? 1 : 0);
}

SpiDescriptor Spi(std::uint8_t count, std::uint8_t hold, std::uint8_t opcode, std::uint8_t b1 = 0,
                  std::uint8_t b2 = 0, std::uint8_t b3 = 0)
{
    SpiDescriptor d;
    d.bytes[0] = count;
    d.bytes[1] = hold;
    d.bytes[2] = opcode;
    d.bytes[3] = b1;
    d.bytes[4] = b2;
    d.bytes[5] = b3;
    return d;
}

int SpiSend(const std::string &path, const SpiDescriptor &d) { return SpiCommand(path, d, nullptr, 0); }

std::uint8_t AddressByte(std::uint32_t address, int shift)
{
    return static_cast<std::uint8_t>(address >> shift);
}

// The erase-only mode's blank check for the part that answers 8C 21 15: each
// block erased on its own, its two halves read back at the read address,
// which moves only with checked halves.
int VerifyBlockByBlock(RunHost &host, const std::string &path, std::uint8_t *buffer)
{
    host.showStatus(StatusCode::Erasing);
    std::uint32_t readAddress = 0;
    host.phaseStarted(RunPhase::Erase);
    for (std::uint32_t j = 0; j < kVerifyBlocks; ++j) {
        host.progressDot({"Erasing", j + 1, kVerifyBlocks});
        WaitFlashReady(path);
        if (!EraseFlashBlock(path, j * kVerifyBlockSize))
            continue; // not verified, not reported
        for (int half = 0; half < 2; ++half) {
            WaitFlashReady(path);
            if (!ReadFlash(path, readAddress, buffer, kVerifyHalf)) {
                host.showStatus(StatusCode::ReadBackAfterEraseFail);
                return 0;
            }
            if (!AllErased(buffer, kVerifyHalf)) {
                host.showStatus(StatusCode::NotBlank);
                return 0;
            }
            readAddress += kVerifyHalf;
        }
    }
    return 1;
}

} // namespace

int ReadFlashChunked(RunHost &host, const std::string &path, std::uint32_t offset, std::uint8_t *buffer,
                     std::uint32_t length)
{
    if (!WaitFlashReady(path))
        DebugOut(kNotReadyTrace);
    const std::uint32_t chunks = ChunkCount(host.transfer(), length);
    const std::uint32_t chunk = host.transfer().TransferChunkSize;
    host.showStatus(StatusCode::ReadingFlash);
    host.phaseStarted(RunPhase::Read);
    for (std::uint32_t k = 0; k < chunks; ++k) {
        WaitFlashReady(path);
        const std::uint32_t at = k * chunk;
        // The last piece asks only for what is left, so the buffer never overflows.
        const std::uint32_t n = std::min(chunk, length - at);
        if (!ReadFlash(path, offset + at, buffer + at, n))
            return 0;
        host.progressDot({"ReadFlash", k + 1, chunks});
    }
    return chunks != 0 ? 1 : 0;
}

int EraseFlashChunked(RunHost &host, const std::string &path, std::uint32_t length)
{
    if (!WaitFlashReady(path))
        DebugOut(kNotReadyTrace);
    const std::uint32_t chunks = ChunkCount(host.transfer(), length);
    host.showStatus(StatusCode::EraseStarted);
    host.phaseStarted(RunPhase::Erase);
    for (std::uint32_t k = 0; k < chunks; ++k) {
        WaitFlashReady(path);
        if (!EraseFlashBlock(path, k * host.transfer().TransferChunkSize))
            return 0;
        if (!WaitFlashReady(path))
            DebugOut("Not ready after Erase flash success");
        host.progressDot({"Erase", k + 1, chunks});
    }
    return chunks != 0 ? 1 : 0;
}

int EraseWholeFlash(const RunRequest &req, RunHost &host, const std::string &path)
{
    const ChipIdentity &chip = req.chip;
    host.showStatus(StatusCode::EraseOnlyStarted);
    host.phaseStarted(RunPhase::Erase);
    const auto size = static_cast<std::uint32_t>(host.transfer().DefaultBackupSize);
    WaitFlashReady(path);

    const bool erasedAll = (chip.AtmelType != -1 && EraseFlashAll(path)) ||
                           (chip.ChipTypeCode == kSizeFromFlashCode && EraseFlashAll(path));
    if (!erasedAll && !EraseFlashChunked(host, path, size)) {
        host.showStatus(StatusCode::EraseCommandFail);
        return 0;
    }
    SleepMs(kAfterEraseMs);
    if (!WaitFlashReady(path))
        host.showStatus(StatusCode::NotReadyAfterEraseCommand);
    if (chip.ChipTypeCode == kSizeFromFlashCode && chip.FlashKind == kFlashSst)
        SpiChipErase(path);

    TransferBlock buffer(std::max(size, kVerifyHalf));
    if (!buffer) {
        host.showStatus(StatusCode::AllocateReadBufferError);
        return 0;
    }
    for (int round = 0; round < kReadyRounds; ++round) {
        if (WaitFlashReady(path))
            break;
        WaitFlashReady(path);
    }

    std::uint8_t id[4] = {};
    if (chip.ChipTypeCode == kSizeFromFlashCode && SpiQuery(path, 0x9F, id, 4) && id[0] == 0x8C &&
        id[1] == 0x21 && id[2] == 0x15) {
        if (!VerifyBlockByBlock(host, path, buffer.data()))
            return 0;
    } else {
        if (!ReadFlash(path, 0, buffer.data(), size)) {
            host.showStatus(StatusCode::ReadBackAfterEraseFail);
            return 0;
        }
        if (!AllErased(buffer.data(), size)) {
            host.showStatus(StatusCode::NotBlank);
            return 0;
        }
    }
    host.showStatus(StatusCode::EraseAllSuccess);
    return 1;
}

int SaveFlashBackup(const RunRequest &req, RunHost &host, const std::string &path, std::uint32_t leaveOut)
{
    const std::string name = BackupFileFor(req, host, kRegisterBackupName);
    // The whole flash where its size is known and the whole is asked (the
    // backup before a write, which must hold all the write may change).
    const bool ownSize =
        req.chip.ChipTypeCode == kSizeFromFlashCode || (req.wholeFlash && req.chip.FlashSizeKb > 0);
    std::uint32_t size = ownSize ? static_cast<std::uint32_t>(std::max(req.chip.FlashSizeKb, 0)) * 1024
                                 : static_cast<std::uint32_t>(host.transfer().DefaultBackupSize);
    host.showStatus(StatusCode::BackingUp);
    TransferBlock buffer(std::max<std::uint32_t>(size, 1));
    if (!buffer) {
        host.showStatus(StatusCode::AllocateReadBufferError);
        return 0;
    }
    const int read = ownSize ? ReadFlashChunked(host, path, 0, buffer.data(), size)
                             : ReadFlash(path, 0, buffer.data(), size);
    if (!read || size == 0) {
        host.showStatus(StatusCode::ReadBackToBackupError);
        return 0;
    }
    const std::uint8_t *from = buffer.data();
    if (leaveOut > 0) {
        const std::uint32_t dropped = std::min(leaveOut, size);
        from += dropped;
        size -= dropped;
    }
    return SaveBackupFile(host, name, from, size);
}

VerifyRead ReadFlashAt(const std::string &path)
{
    return [path](std::uint32_t address, std::uint8_t *dest, std::uint32_t length) {
        return ReadFlash(path, address, dest, length) == 1;
    };
}

int UnprotectFlash(const std::string &path)
{
    const int enabled = WriteEnable(path);
    const int latched = WaitStatusSet(path, 0x02);
    const int cleared = WriteStatusZero(path);
    const int settled = WaitStatusClear(path);
    return enabled && latched && cleared && settled ? 1 : 0;
}

int SpiUnlockWriteEnable(const std::string &path)
{
    SpiSend(path, Spi(1, 0, 0x50));
    SpiSend(path, Spi(1, 1, 0x01));
    const std::uint8_t zero[2] = {0x00, 0x00};
    SpiWriteData(path, zero, 2);
    SleepMs(kSpiStepPauseMs);
    const int result = SpiSend(path, Spi(1, 0, 0x06));
    SleepMs(kSpiStepPauseMs);
    return result;
}

int SpiWriteDisable(const std::string &path)
{
    const int result = SpiSend(path, Spi(1, 0, 0x04));
    SleepMs(kSpiStepPauseMs);
    return result;
}

int SpiChipErase(const std::string &path)
{
    SpiUnlockWriteEnable(path);
    const int result = SpiSend(path, Spi(1, 0, 0xC7));
    SpiWriteDisable(path);
    return result;
}

int SpiAaiProgram(const std::string &path, std::uint32_t address, const std::uint8_t *source,
                  std::uint32_t length, std::uint32_t segment, const AaiMode &mode)
{
    int result = 0;
    const std::uint32_t step = mode.bytesPerStep;
    const std::uint32_t segments = segment ? length / segment : 0;
    for (std::uint32_t i = 0; i < segments; ++i) {
        const std::uint8_t *bytes = source + i * segment;
        SpiUnlockWriteEnable(path);
        // Where the mode runs on from the previous segment, the segment starts
        // without an address.
        const SpiDescriptor start = mode.addressedEvery == 0 || address % mode.addressedEvery == 0
                                        ? Spi(4, 1, mode.opcode, AddressByte(address, 16),
                                              AddressByte(address, 8), AddressByte(address, 0))
                                        : Spi(1, 1, mode.opcode);
        result = SpiSend(path, start);
        if (result) {
            const std::uint8_t first[2] = {bytes[0], step == 2 ? bytes[1] : std::uint8_t{0x00}};
            result = SpiWriteData(path, first, 2);
        }
        for (std::uint32_t b = step; result && b + step <= segment; b += step)
            result = SpiSend(path, step == 2 ? Spi(3, 0, mode.opcode, bytes[b], bytes[b + 1])
                                             : Spi(2, 0, mode.opcode, bytes[b]));
        if (!result)
            break;
        address += segment;
    }
    if (mode.disablesAtEnd)
        SpiWriteDisable(path);
    return result;
}

int SpiProgramRange(const std::string &path, std::uint32_t address, const std::uint8_t *source,
                    std::uint32_t length, int wordMode)
{
    if (length == 0)
        return 0;
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t n = std::min(kSpiChunkSize, length - done);
        WaitFlashReady(path);
        int result = 0;
        if (wordMode) {
            result = SpiAaiProgram(path, address + done, source + done, n, kSpiSegmentSize, kAaiWord);
            // The write disable ends the mode after the last chunk, and after a
            // failed one; a good write disable does not hide a failed chunk.
            if (done + n == length || !result)
                result = SpiWriteDisable(path) && result;
        } else {
            result = SpiAaiProgram(path, address + done, source + done, n, kSpiSegmentSize, kAaiByte);
        }
        if (!result)
            return 0;
        SleepMs(kSpiStepPauseMs);
        done += n;
    }
    return 1;
}

} // namespace brigant
