#include "flash/chunked_transfer.h"

#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "device/transport.h"
#include "image/chip_types.h"

#include <algorithm>
#include <cstring>

namespace brigant
{

namespace
{

constexpr std::uint8_t kMxicEraseFlag = 0x80;

std::uint32_t RoundUpTo512(std::uint32_t n) { return (n + (kTransferPadding - 1)) & ~(kTransferPadding - 1); }

// The buffer-path bridges take an erase as a command of its own, before the data.
bool SeparateEraseCode(std::uint8_t code) { return ChipTypeOf(code).bufferPath; }

} // namespace

std::uint8_t NextEraseFlag(TransferState &x, std::uint32_t address, std::uint8_t mode)
{
    switch (mode & 0x7F) {
    case 1:
    case 4:
        if (address >= x.FlashSectorSize * x.NextSectorIndex) {
            ++x.NextSectorIndex;
            return static_cast<std::uint8_t>(mode & 7);
        }
        return 0;
    case 2:
    case 5:
        if (address >= x.FlashBlockSize * x.NextBlockIndex) {
            ++x.NextBlockIndex;
            return static_cast<std::uint8_t>(mode & 7);
        }
        return 0;
    case 3:
    case 6:
    case 7:
        return address == 0 ? static_cast<std::uint8_t>(mode & 7) : 0;
    default:
        return 0;
    }
}

std::uint32_t ClipAtEraseBoundary(const TransferState &x, std::uint32_t address, std::uint32_t length,
                                  std::uint8_t mode)
{
    std::uint32_t boundary = 0;
    switch (mode) {
    case 1:
    case 4:
        boundary = x.FlashSectorSize * x.NextSectorIndex;
        break;
    case 2:
    case 5:
        boundary = x.FlashBlockSize * x.NextBlockIndex;
        break;
    default:
        return length;
    }
    return address + length >= boundary ? boundary - address : length;
}

int ReadFlashRange(RunHost &host, const std::string &path, std::uint32_t address, std::uint8_t *dest,
                   std::uint32_t length)
{
    std::uint32_t remaining = RoundUpTo512(length);
    TransferBlock buffer(remaining);
    if (!buffer)
        return 0;

    host.showStatus(StatusCode::ReadingFlash);
    const std::uint32_t total = remaining;

    int ok = 1;
    std::uint32_t done = 0;
    host.phaseStarted(RunPhase::Read);
    while (remaining != 0) {
        const std::uint32_t chunk = std::min(remaining, host.transfer().TransferChunkSize);
        if (chunk == 0) { // a chunk size of 0 would never end the loop
            ok = 0;
            break;
        }
        WaitFlashReady(path);
        if (!ReadBlock24(path, address + done, buffer.data() + done, chunk)) {
            ok = 0;
            break;
        }
        done += chunk;
        remaining -= chunk;
        host.progressDot({"ReadFlash", done, total});
    }
    if (length)
        std::memcpy(dest, buffer.data(), length);
    return ok;
}

int WriteFlashRange(RunHost &host, const ChipIdentity &chip, const std::string &path, std::uint32_t address,
                    const std::uint8_t *src, std::uint32_t length, std::uint8_t mode)
{
    std::uint32_t remaining = RoundUpTo512(length);
    TransferBlock buffer(remaining);
    if (!buffer)
        return 0;
    if (length)
        std::memcpy(buffer.data(), src, length);
    const std::uint32_t total = remaining;

    std::uint32_t done = 0;
    host.phaseStarted(RunPhase::Program);
    while (remaining != 0) {
        const std::uint32_t at = address + done;
        std::uint32_t chunk = std::min(remaining, host.transfer().TransferChunkSize);
        if (at == 0 && chunk > kFirstChunkAtZero)
            chunk = kFirstChunkAtZero;
        std::uint8_t flag = NextEraseFlag(host.transfer(), at, mode);
        if (at == 0 && chip.FlashKind == kFlashMxic && flag != 0)
            flag |= kMxicEraseFlag;
        chunk = ClipAtEraseBoundary(host.transfer(), at, chunk, mode);
        // Erase counters that lag behind the address (a caller that did not
        // set them for this pass) make the clip wrap around: send nothing
        // rather than a command that runs past the buffer.
        if (chunk == 0 || chunk > remaining)
            return 0;

        WaitFlashReady(path);
        if (SeparateEraseCode(chip.ChipTypeCode) && flag >= 1 && flag <= 3) {
            if (!WriteBlock24(path, at, nullptr, 0, flag))
                return 0;
            flag = 0;
        }
        if (!WriteBlock24(path, at, buffer.data() + done, chunk, flag))
            return 0;
        done += chunk;
        remaining -= chunk;
        host.progressDot({"WriteFlash", done, total});
    }
    return 1;
}

} // namespace brigant
