#include "update/assisted/buffer_transfer.h"

#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "common/hex.h"
#include "device/transport.h"
#include "flash/verify_compare.h"
#include "update/assisted/embedded_images.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::uint32_t kRom0ReadLength = 0x40000;

struct Descriptor {
    std::uint8_t boundary = 0;
    std::uint32_t capacity = 0;
};

bool ReadDescriptor(RunHost &host, const std::string &path, Descriptor &d)
{
    std::uint8_t reply[4] = {};
    if (!ReadBufferCmd(path, kReadBufferDescriptor, 0, 0, reply, 4, [&host] { host.processMessages(); }))
        return false;
    d.boundary = reply[0];
    d.capacity = static_cast<std::uint32_t>(reply[1] << 16 | reply[2] << 8 | reply[3]);
    return true;
}

// Why the bridge's buffer `d` is not in the state the first step of a buffer
// write needs (the download of the manufacturing firmware into a bridge in
// its ROM, or programming through the firmware that runs), with the
// window's status for it; empty when it is.
struct BufferRefusal {
    std::optional<StatusCode> status;
    std::string why;
};
BufferRefusal DescriptorRefusal(const Descriptor &d, bool download)
{
    const std::string step = download ? "the download of the manufacturing firmware" : "programming";
    if (download) {
        if (d.boundary != 0xFF)
            return {StatusCode::OffsetBoundaryError, "the bridge's buffer reports offset boundary " +
                                                         HexNumber(d.boundary) + ", " + step +
                                                         " needs 0xFF (a bridge running from its ROM)"};
        if (d.capacity != 0x10000)
            return {StatusCode::BufferCapacityError, "the bridge's buffer holds " + HexNumber(d.capacity) +
                                                         " bytes, " + step + " needs 0x10000"};
    } else if (d.boundary != 12) {
        return {StatusCode::OffsetBoundaryError, "the bridge's buffer reports offset boundary " +
                                                     HexNumber(d.boundary) + ", " + step +
                                                     " needs 0xC (the manufacturing firmware running)"};
    }
    return {};
}

// The reason as the run gives it: the cause, then the name the window's
// status gives the fault.
std::string RefusalText(const BufferRefusal &r)
{
    const char *fault = "";
    switch (*r.status) {
    case StatusCode::OffsetBoundaryError:
        fault = "Offset Boundary error";
        break;
    case StatusCode::BufferCapacityError:
        fault = "Buffer Capacity error";
        break;
    default:
        fault = "Read Buffer Descriptor error";
        break;
    }
    return r.why + " (\"" + fault + "\")";
}

int ChipErase(const std::string &path, const std::uint8_t *ffBuffer)
{
    return WriteBlock24(path, 0, ffBuffer, 0, 3);
}

// Programs `total` bytes (rounded up to 512) from `buffer` in 4096-byte
// WRITE BUFFER commands at flash offset `offset` onwards.
bool ProgramChunks(RunHost &host, const std::string &path, std::uint32_t offset, const std::uint8_t *buffer,
                   std::uint32_t total)
{
    host.showStatus(StatusCode::ProgrammingFlash);
    const std::uint32_t rounded = (total + 511) / 512 * 512;
    host.phaseStarted(RunPhase::Program);
    for (std::uint32_t done = 0; done < rounded; done += kBufferChunk) {
        const std::uint32_t chunk = std::min(kBufferChunk, rounded - done);
        if (!WriteBufferCmd(path, 0, kWriteBufferDownloadSave, buffer + done, offset + done, chunk,
                            [&host] { host.processMessages(); }))
            return false;
        host.progressDot({"Programming Flash", done + chunk, rounded});
    }
    return true;
}

} // namespace

bool IsRom0Mode(const std::string &path)
{
    std::uint8_t info[16] = {};
    std::uint32_t transferred = 0;
    return ReadChipInfo(path, info, 16, transferred) && info[6] == 2 && info[7] == 0;
}

int ReadFlashViaBuffer(RunHost &host, const std::string &path, std::uint32_t offset, std::uint8_t *dest,
                       std::uint32_t length)
{
    host.showStatus(StatusCode::ReadingFlash);
    Descriptor d;
    if (!ReadDescriptor(host, path, d) || d.boundary != 12)
        return 0;
    const std::uint32_t readLength = IsRom0Mode(path) ? kRom0ReadLength : d.capacity;
    TransferBlock buffer(std::max(readLength, length));
    if (!buffer)
        return 0;
    int ok = 1;
    host.phaseStarted(RunPhase::Read);
    for (std::uint32_t done = 0; done < readLength; done += kBufferChunk) {
        const std::uint32_t chunk = std::min(kBufferChunk, readLength - done);
        ok = ReadBufferCmd(path, kReadBufferData, 0, offset + done, buffer.data() + done, chunk,
                           [&host] { host.processMessages(); });
        if (!ok)
            break;
        host.progressDot({"ReadFlash", done + chunk, readLength});
    }
    std::memcpy(dest, buffer.data(), length);
    return ok;
}

int ReadWholeFlashViaBuffer(RunHost &host, const std::string &path, std::uint8_t *dest, std::uint32_t length)
{
    const std::uint32_t piece = IsRom0Mode(path) ? std::min(kRom0ReadLength, length) : length;
    for (std::uint32_t done = 0; done < length; done += piece)
        if (!ReadFlashViaBuffer(host, path, done, dest + done, std::min(piece, length - done)))
            return 0;
    return 1;
}

std::string BufferUpdateRefusal(const std::string &path)
{
    std::uint8_t info[16] = {};
    std::uint32_t transferred = 0;
    std::uint8_t reply[4] = {};
    if (!ReadChipInfo(path, info, 16, transferred) ||
        !ReadBufferCmd(path, kReadBufferDescriptor, 0, 0, reply, 4, [] {}))
        return {};
    Descriptor d;
    d.boundary = reply[0];
    d.capacity = static_cast<std::uint32_t>(reply[1] << 16 | reply[2] << 8 | reply[3]);
    // A bridge whose running firmware is not the manufacturing one gets that
    // one downloaded first, as ProgramThroughBuffer decides it.
    const BufferRefusal refused = DescriptorRefusal(d, info[6] != 3);
    return refused.status ? RefusalText(refused) : std::string();
}

int ProgramViaBuffer(const RunRequest &req, RunHost &host, const std::string &path, std::uint32_t offset,
                     const std::uint8_t *image, std::uint32_t length, bool download, std::string *notStarted)
{
    if (notStarted)
        notStarted->clear();
    const auto stop = [&](const BufferRefusal &r) {
        host.showStatus(*r.status);
        if (notStarted)
            *notStarted = RefusalText(r);
        return 0;
    };
    std::vector<std::uint8_t> ff(512, 0xFF);
    Descriptor d;
    if (!ReadDescriptor(host, path, d))
        return stop({StatusCode::BufferDescriptorError, "the bridge's buffer descriptor could not be read"});
    if (const BufferRefusal refused = DescriptorRefusal(d, download); refused.status)
        return stop(refused);

    if (!download) {
        host.phaseStarted(RunPhase::Erase);
        if (IsRom0Mode(path) && !ChipErase(path, ff.data())) {
            host.showStatus(StatusCode::ChipEraseFail);
            return 0;
        }
        const std::uint32_t rounded = (d.capacity + 511) / 512 * 512;
        TransferBlock program(rounded);
        if (!program)
            return 0;
        // Beyond `length` the callers' images are zeros; the buffer already is.
        std::memcpy(program.data(), image, std::min(rounded, length));
        return ProgramChunks(host, path, offset, program.data(), d.capacity) ? 1 : 0;
    }

    host.showStatus(StatusCode::DownloadingToRam);
    // The download sends 64 KiB from position `offset` of the image; the buffer
    // covers that whole range so that no offset can read past it.
    std::vector<std::uint8_t> mfg(static_cast<std::size_t>(kMfgImageSize) + offset, 0);
    std::uint8_t info[16] = {};
    std::uint32_t transferred = 0;
    std::uint32_t loaded = 0;
    if (ReadChipInfo(path, info, 16, transferred)) {
        const int selector = MfgImageSelector(req.chip.ChipTypeCode, info[7]);
        loaded = LoadMfgImage(mfg.data(), 0, 0, selector);
    }
    if (loaded != kMfgImageSize)
        return 0;
    if (!WriteBufferCmd(path, 0, kWriteBufferDownloadActivate, mfg.data() + offset, offset, kMfgImageSize,
                        [&host] { host.processMessages(); })) {
        host.showStatus(StatusCode::DownloadToRamFail);
        return 0;
    }
    SleepMs(100);
    host.phaseStarted(RunPhase::Erase);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!ChipErase(path, ff.data())) {
            host.showStatus(StatusCode::ChipEraseFail);
            return 0;
        }
        SleepMs(500);
        Descriptor now;
        if (!ReadDescriptor(host, path, now)) {
            host.showStatus(StatusCode::BufferDescriptorError);
            return 0;
        }
        if (now.boundary != 12) {
            host.showStatus(StatusCode::OffsetBoundaryError);
            return 0;
        }
        const std::uint32_t capacity = now.capacity;
        std::memset(info, 0, sizeof info);
        if (ReadChipInfo(path, info, 16, transferred) && info[6] == 2) {
            if (image[0x15] != info[8] || image[0x16] != info[9] || image[0x17] != info[10]) {
                DebugOut("FW and Chip not match.");
                return 0;
            }
            if (req.serial.write) {
                std::uint8_t record[kProductSerialRecordSize];
                BuildProductSerialRecord(req.serial.text, record);
                WriteProductSerial(path, req.serial.vid, req.serial.pid, record);
            }
        }
        const std::uint32_t rounded = (capacity + 511) / 512 * 512;
        TransferBlock program(std::max(rounded, kProductBlockOffset + kBufferChunk));
        if (!program)
            return 0;
        std::memcpy(program.data(), image, std::min(length, capacity));
        if (req.serial.write && !ReadBufferCmd(path, kReadBufferData, 0, kProductBlockOffset,
                                               program.data() + kProductBlockOffset, kBufferChunk,
                                               [&host] { host.processMessages(); })) {
            host.showStatus(StatusCode::ProductReadBackError);
            return 0;
        }
        if (ProgramChunks(host, path, offset, program.data(), capacity))
            return 1;
    }
    return 0;
}

int ProgramEmbeddedImage(const RunRequest &req, RunHost &host, const std::string &path)
{
    host.serialNumberBoxHidden();
    std::vector<std::uint8_t> staging(512 * 1024, 0);
    const std::uint32_t size = LoadUpdateImage(staging.data(), 0, 0);
    const std::uint32_t padded = (size + 255) / 256 * 256;
    const auto flashKb = static_cast<std::uint32_t>(std::max(req.chip.FlashSizeKb, 0));
    if (padded / 1024 > flashKb)
        return 0;
    const std::uint32_t blockBytes = (flashKb * 1024 + 8191) / 8192 * 8192;
    TransferBlock written(blockBytes), readBack(blockBytes);
    if (!written || !readBack)
        return 0;
    std::memcpy(written.data(), staging.data(), size);
    if (!ProgramViaBuffer(req, host, path, 0, written.data(), padded, false))
        return 0;
    int result = ReadFlashViaBuffer(host, path, 0, readBack.data(), blockBytes);
    // The whole image, not only its first 0x20000 bytes: a read-back
    // corrupted in the second half must fail too.
    const std::uint32_t compared = std::min(padded, blockBytes);
    for (std::uint32_t i = 0; i < compared; ++i) {
        if (InRewrittenHeader(i))
            continue;
        if (written.data()[i] != readBack.data()[i]) {
            result = 0;
            break;
        }
    }
    return result;
}

std::uint32_t BufferWriteLength(RunHost &host, const std::string &path, std::uint32_t flashBytes)
{
    // The running firmware's buffer covers what it programs; a bridge in
    // ROM mode gets the manufacturing firmware first, whose buffer is the flash.
    Descriptor d;
    if (ReadDescriptor(host, path, d) && d.boundary == 12 && d.capacity != 0)
        return std::min(d.capacity, flashBytes);
    return flashBytes;
}

int VerifyEmbeddedImage(const RunRequest &req, RunHost &host, const std::string &path)
{
    std::vector<std::uint8_t> image(512 * 1024, 0);
    const std::uint32_t size = LoadUpdateImage(image.data(), 0, 0);
    const std::uint32_t padded = (size + 255) / 256 * 256;
    const auto flashKb = static_cast<std::uint32_t>(std::max(req.chip.FlashSizeKb, 0));
    if (size == 0 || padded / 1024 > flashKb) {
        host.failing("the built-in image does not fit this bridge's flash");
        return 0;
    }
    // The image and the zeros after it, as far as ProgramViaBuffer writes.
    const std::uint32_t length = std::max(padded, BufferWriteLength(host, path, flashKb * 1024));
    image.resize(length, 0);
    const VerifyRead read = [&](std::uint32_t, std::uint8_t *dest, std::uint32_t n) {
        std::vector<std::uint8_t> whole((n + 8191) / 8192 * 8192, 0);
        if (ReadWholeFlashViaBuffer(host, path, whole.data(), static_cast<std::uint32_t>(whole.size())) != 1)
            return false;
        std::memcpy(dest, whole.data(), n);
        return true;
    };
    return VerifyRange(host, read, 0, image.data(), length, InRewrittenHeader) ? 1 : 0;
}

} // namespace brigant
