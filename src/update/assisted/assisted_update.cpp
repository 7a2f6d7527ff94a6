#include "update/assisted/assisted_update.h"

#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "flash/backup_file.h"
#include "flash/chunked_transfer.h"
#include "flash/kept_settings.h"
#include "flash/verify_compare.h"
#include "image/bank_image.h"
#include "image/checksums.h"
#include "image/chip_types.h"
#include "image/firmware_file.h"
#include "image/image_stamp.h"
#include "update/assisted/buffer_transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::uint32_t kNvramSize = 4096;

std::uint8_t CodeOf(const RunRequest &req) { return req.chip.ChipTypeCode; }
bool BufferCode(std::uint8_t code) { return ChipTypeOf(code).bufferPath; }
// The bank-layout bridges reset themselves.
bool AutoResetCode(std::uint8_t code) { return ChipTypeOf(code).bankEnd != 0; }
std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) { return (n + unit - 1) / unit * unit; }
std::uint32_t FlashBytes(const RunRequest &req)
{
    return static_cast<std::uint32_t>(std::max(req.chip.FlashSizeKb, 0)) * 1024;
}

bool AllFF(const std::uint8_t *data, std::uint32_t length)
{
    return std::all_of(data, data + length, [](std::uint8_t b) { return b == 0xFF; });
}

// Whole-file read; false when the file cannot be opened as a regular file.
bool ReadWholeFile(const std::string &name, std::vector<std::uint8_t> &bytes)
{
    return ReadFirmwareFileHead(name.c_str(), SIZE_MAX, bytes) == 1;
}

// Copies `from` into the image at `at`, as far as the image reaches.
void Put(std::uint8_t *image, std::uint32_t imageSize, std::uint32_t at, const std::uint8_t *from,
         std::size_t length)
{
    if (at >= imageSize)
        return;
    const std::size_t n = std::min<std::size_t>(length, imageSize - at);
    if (n)
        std::memcpy(image + at, from, n);
}

// The comparison of the buffer path: `length` bytes, skipping both header areas.
bool SameOutsideHeaders(const std::uint8_t *a, const std::uint8_t *b, std::uint32_t length)
{
    for (std::uint32_t i = 0; i < length; ++i) {
        if (InRewrittenHeader(i))
            continue;
        if (a[i] != b[i])
            return false;
    }
    return true;
}

// Programming through READ BUFFER / WRITE BUFFER (codes 15 to 18).
// Returns true when the last attempt left no failure mark.
bool ProgramThroughBuffer(const RunRequest &req, RunHost &host, const std::string &path, std::uint8_t *w,
                          std::uint8_t *v, std::uint32_t bufferSize, std::uint32_t imageLength, bool &aborted)
{
    std::uint8_t info[16] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(path, info, 16, transferred)) {
        host.refusing("the bridge's chip information could not be read; nothing was written");
        aborted = true;
        return false;
    }
    bool download = false;
    if (info[6] != 3) {
        StampImageHeader(std::span<std::uint8_t>(w, bufferSize));
        download = true;
    }
    bool failed = true;
    // Whether a step got past its checks of the bridge's buffer (and may
    // have written); while none did, the flash is as it was.
    bool started = false;
    std::string notStarted;
    const bool holdsProductBlock = req.serial.write && bufferSize >= kProductBlockOffset + kBufferChunk;
    // What each step takes from the image: the product block too, once it holds the record.
    const std::uint32_t programLength =
        holdsProductBlock ? std::max(imageLength, kProductBlockOffset + kBufferChunk) : imageLength;
    for (int attempt = 0; attempt < 3 && failed; ++attempt) {
        failed = false;
        host.showStatus(StatusCode::Programming);
        for (int step = 0; step < 2; ++step) {
            const bool downloading = download;
            if (!ProgramViaBuffer(req, host, path, 0, w, programLength, download, &notStarted)) {
                started = started || notStarted.empty();
                host.showStatus(StatusCode::WriteBinFileFail);
                failed = true;
            } else {
                started = true;
                // The manufacturing firmware now runs from RAM and refuses a
                // second download: later steps program through it.
                download = false;
            }
            if (failed)
                continue;
            if (!ReadFlashViaBuffer(host, path, 0, v, bufferSize)) {
                host.showStatus(StatusCode::ReadFwFail);
                failed = true;
            }
            // The whole image is compared (outside the header areas), so a
            // fault in its second half cannot pass.
            if (!SameOutsideHeaders(w, v, std::min(imageLength, bufferSize))) {
                host.showStatus(StatusCode::DataCompareFail);
                failed = true;
            }
            // The download step left the product serial record in the flash's
            // product block; the next step programs the whole flash from the
            // image again, so the image takes that block as it now is.
            if (!failed && downloading && holdsProductBlock)
                std::memcpy(w + kProductBlockOffset, v + kProductBlockOffset, kBufferChunk);
        }
    }
    if (failed && !started)
        host.refusing(notStarted + "; nothing was written");
    if (!failed && holdsProductBlock)
        host.productSerialRead(ProductSerialOf(v + kProductBlockOffset));
    return !failed;
}

// The erase unit of `mode` (0: the mode erases the whole chip).
std::uint32_t EraseUnitOf(const TransferState &x, std::uint8_t mode)
{
    switch (mode) {
    case 1:
        return x.FlashSectorSize;
    case 2:
        return x.FlashBlockSize;
    default:
        return 0;
    }
}

// The changed units of `units` that lie in [offset, offset + length) go to
// the flash from `w` (which holds that range), each entered with its erase;
// the erase counters are left where a write of the whole range leaves them.
bool WriteChangedUnits(RunHost &host, const ChipIdentity &chip, const std::string &path, std::uint32_t offset,
                       const std::uint8_t *w, std::uint32_t length, std::uint8_t mode,
                       const StoreRanges &units)
{
    TransferState &x = host.transfer();
    const std::uint32_t unit = EraseUnitOf(x, mode);
    const std::uint64_t end = std::uint64_t(offset) + length;
    for (const StoreRange &r : units) {
        const std::uint64_t from = std::max<std::uint64_t>(r.start, offset);
        const std::uint64_t to = std::min(r.end, end);
        if (from >= to)
            continue;
        x.NextSectorIndex = static_cast<std::uint32_t>(from / x.FlashSectorSize);
        x.NextBlockIndex = static_cast<std::uint32_t>(from / x.FlashBlockSize);
        if (!WriteFlashRange(host, chip, path, static_cast<std::uint32_t>(from), w + (from - offset),
                             static_cast<std::uint32_t>(to - from), mode))
            return false;
    }
    if (mode == 1)
        x.NextSectorIndex = static_cast<std::uint32_t>((end + unit - 1) / unit);
    else
        x.NextBlockIndex = static_cast<std::uint32_t>((end + unit - 1) / unit);
    return true;
}

// Programming with the DF block commands, one or two passes of up
// to three attempts each, the erase mode going 2 -> 1 -> 3. With only the
// changed units asked, the first attempt writes those; a retry writes the
// whole image. Each attempt reads back and compares the whole image.
bool ProgramThroughCommands(const RunRequest &req, RunHost &host, const std::string &path, std::uint8_t *w,
                            std::uint8_t *v, std::uint32_t bufferSize, std::uint32_t imageLength,
                            std::uint32_t fileSize, int passes, std::uint8_t mode,
                            const std::optional<StoreRanges> &changedUnits)
{
    if (BufferCode(CodeOf(req)) && ProbeReadBuffer(path, [&host] { host.processMessages(); }))
        StampImageHeader(std::span<std::uint8_t>(w, bufferSize));
    const bool onlyChanged = changedUnits.has_value();
    const StoreRanges units = changedUnits.value_or(StoreRanges{});
    std::uint32_t offset = 0;
    bool failed = true;
    for (int pass = 0; pass < passes; ++pass) {
        if (pass == 1) {
            offset = kBankSize;
            host.transfer().NextBlockIndex = kBankSize / host.transfer().FlashBlockSize;
            host.transfer().NextSectorIndex = kBankSize / host.transfer().FlashSectorSize;
        }
        failed = true;
        for (int attempt = 0; attempt < 3 && failed; ++attempt) {
            failed = false;
            host.showStatus(StatusCode::Programming);
            if (pass == 1 && fileSize >= 2 * kBankSize)
                std::memmove(w, w + kBankSize, kBankSize);
            if (!(onlyChanged && attempt == 0
                      ? WriteChangedUnits(host, req.chip, path, offset, w, imageLength, mode, units)
                      : WriteFlashRange(host, req.chip, path, offset, w, imageLength, mode))) {
                host.showStatus(StatusCode::WriteBinFileFail);
                failed = true;
            }
            WaitFlashReady(path);
            if (!ReadFlashRange(host, path, offset, v, imageLength)) {
                host.showStatus(StatusCode::ReadCommandFail);
                failed = true;
            }
            if (std::memcmp(w, v, imageLength) != 0) {
                host.showStatus(StatusCode::DataCompareFail);
                failed = true;
            }
            if (failed)
                mode = attempt == 0 ? 1 : 3;
        }
        // A pass that failed every attempt ends the run: a second pass that
        // succeeded would otherwise be reported although the first 64 KiB
        // were never verified.
        if (failed)
            break;
    }
    return !failed;
}

// The read-only mode: the flash against what ProgramThroughBuffer or
// ProgramThroughCommands would leave there (`w` as they get it).
int VerifyAssistedImage(const RunRequest &req, RunHost &host, const std::string &path, std::uint8_t *w,
                        std::uint32_t bufferSize, std::uint32_t imageLength, std::uint32_t fileSize,
                        int passes)
{
    const bool bufferCode = BufferCode(CodeOf(req));
    const SkipByte headers = bufferCode ? SkipByte(InRewrittenHeader) : SkipByte{};
    if (req.readWriteBuffer && bufferCode) {
        // The buffer path writes the zeros after the image too (`w` holds
        // them up to `bufferSize`).
        const std::uint32_t length =
            std::max(imageLength, std::min(bufferSize, BufferWriteLength(host, path, bufferSize)));
        const VerifyRead read = [&](std::uint32_t, std::uint8_t *dest, std::uint32_t n) {
            std::vector<std::uint8_t> whole(RoundUp(n, 8192), 0);
            if (ReadWholeFlashViaBuffer(host, path, whole.data(), static_cast<std::uint32_t>(whole.size())) !=
                1)
                return false;
            std::memcpy(dest, whole.data(), n);
            // A product block that holds the unit's serial record stays as it
            // is when an update writes the record: it is the unit's, not the file's.
            if (n >= kProductBlockOffset + kBufferChunk && length >= kProductBlockOffset + kBufferChunk &&
                !ProductSerialOf(dest + kProductBlockOffset).empty())
                std::memcpy(w + kProductBlockOffset, dest + kProductBlockOffset, kBufferChunk);
            return true;
        };
        return VerifyRange(host, read, 0, w, length, headers) ? 1 : 0;
    }
    const VerifyRead read = [&](std::uint32_t address, std::uint8_t *dest, std::uint32_t length) {
        return ReadFlashRange(host, path, address, dest, length) == 1;
    };
    for (int pass = 0; pass < passes; ++pass) {
        if (pass == 1 && fileSize >= 2 * kBankSize)
            std::memmove(w, w + kBankSize, kBankSize);
        if (!VerifyRange(host, read, pass == 0 ? 0 : kBankSize, w, imageLength, headers))
            return 0;
    }
    return 1;
}

} // namespace

std::uint32_t AssistedFlashLength(const RunRequest &req, const TransferState &x)
{
    const std::uint8_t code = CodeOf(req);
    std::uint32_t length = static_cast<std::uint32_t>(x.DefaultBackupSize);
    if (AutoResetCode(code) && req.chip.FlashSizeKb > 64) {
        if (BufferCode(code))
            length = req.chip.FlashSizeKb >= 512 ? 0x80000 : FlashBytes(req);
        else
            length = 0x20000;
    }
    if (req.wholeFlash && req.mode == RunMode::BackupOnly && !BufferCode(code))
        length = std::max(length, FlashBytes(req));
    return length;
}

std::uint8_t AssistedEraseMode(const RunRequest &req, const TransferState &x)
{
    return req.chip.FlashKind == kFlashAmic ? 3 : static_cast<std::uint8_t>(x.WriteEraseMode);
}

std::string AssistedWholeImageReason(const RunRequest &req, const TransferState &x)
{
    if (BufferCode(CodeOf(req)))
        return "the buffer-path bridges take the whole image (they rewrite its headers themselves)";
    const std::uint32_t unit = EraseUnitOf(x, AssistedEraseMode(req, x));
    if (unit == 0)
        return "its erase mode erases the whole chip at the first command";
    if (unit % kTransferPadding != 0)
        return "the flash's erase unit is not known";
    return "";
}

StoreRanges AssistedChangedUnits(const RunRequest &req, const TransferState &x, const StoreRanges &differing)
{
    const std::uint32_t unit = EraseUnitOf(x, AssistedEraseMode(req, x));
    if (unit == 0)
        return {};
    return RoundOut(differing, unit);
}

int RunAssistedUpdate(const RunRequest &req, RunHost &host, const std::string &path)
{
    host.transfer().TransferChunkSize = 8192;
    if (req.mode == RunMode::EraseOnly) {
        if (!EraseAllFlash(req, host, path))
            return 0;
        if (AutoResetCode(CodeOf(req))) {
            ResetChip(path);
            host.bridgeResetting();
            host.notify(Notice::AutoReset);
        } else {
            host.notify(Notice::PowerCycle);
        }
        return 1;
    }
    if (req.mode == RunMode::BackupOnly)
        return BackupFlashToFile(req, host, path, req.includeNvram ? 0 : kNvramSize);
    return ProgramFirmwareFile(req, host, path);
}

int BackupFlashToFile(const RunRequest &req, RunHost &host, const std::string &path,
                      std::uint32_t stripLength)
{
    const std::uint8_t code = CodeOf(req);
    const std::uint32_t length = AssistedFlashLength(req, host.transfer());
    const std::string name = BackupFileFor(req, host);
    host.showStatus(StatusCode::BackingUp);
    TransferBlock buffer(length);
    if (!buffer) {
        host.showStatus(StatusCode::AllocateReadBufferError);
        return 0;
    }
    const std::uint8_t *from = buffer.data();
    std::uint32_t writeLength = length;
    int read = 0;
    if (req.readWriteBuffer && BufferCode(code)) {
        read = ReadWholeFlashViaBuffer(host, path, buffer.data(), length);
    } else {
        read = ReadFlashRange(host, path, 0, buffer.data(), length);
        if (stripLength > 0 && !BufferCode(code)) {
            // A bank-layout bridge's backup ends with its code area.
            if (ChipTypeOf(code).bankEnd != 0)
                writeLength = ChipTypeOf(code).bankEnd;
            else {
                from = buffer.data() + stripLength;
                writeLength = length - stripLength;
            }
        }
    }
    if (!read) {
        host.showStatus(StatusCode::ReadBackToBackupError);
        return 0;
    }
    return SaveBackupFile(host, name, from, writeLength);
}

int FillFlashWithFF(const RunRequest &req, RunHost &host, const std::string &path, std::uint32_t length)
{
    std::vector<std::uint8_t> ff(length, 0xFF);
    host.showStatus(StatusCode::EraseStarted);
    host.phaseStarted(RunPhase::Erase);
    return WriteFlashRange(host, req.chip, path, 0, ff.data(), length, 1);
}

int EraseAllFlash(const RunRequest &req, RunHost &host, const std::string &path)
{
    const std::uint8_t code = CodeOf(req);
    const std::int32_t kind = req.chip.FlashKind;
    host.showStatus(StatusCode::EraseOnlyStarted);
    host.transfer().NextBlockIndex = 0;
    host.transfer().NextSectorIndex = 0;
    if (code == 12)
        PrepareFlashUpdate(path);

    const std::uint32_t length = AssistedFlashLength(req, host.transfer());
    std::vector<std::uint8_t> ff(std::max(length, kNvramSize), 0xFF);

    const bool keepNvram = !req.includeNvram;
    const auto nvramOffset = static_cast<std::uint32_t>(std::max(ChipTypeOf(code).eraseNvramOffset, 0));
    std::vector<std::uint8_t> nvram(kNvramSize, 0);
    const SettingsRead readNvram = [&](std::uint8_t *dest, std::uint32_t n) {
        return ReadFlashRange(host, path, nvramOffset, dest, n);
    };
    if (keepNvram && !ReadKeptSettings(host, readNvram, nvram.data(), kNvramSize))
        return 0;

    std::uint8_t mode = 3;
    if (kind == kFlashMxic)
        mode |= 0x80;
    if (kind == kFlashAtmel || kind == kFlashEon)
        mode = 2;
    // The buffer-path bridges take the erase without data. Every other code
    // sends the 4096 bytes again, rather than keeping 0 for the rest of the
    // process after one erase of a buffer-path bridge.
    host.transfer().EraseDataLength = BufferCode(code) ? 0 : kEraseDataLengthStart;
    const auto eraseLength = static_cast<std::uint32_t>(host.transfer().EraseDataLength);

    if (!WriteBlock24(path, 0, ff.data(), eraseLength, mode)) {
        host.showStatus(StatusCode::EraseCommandFail);
        return 0;
    }
    SleepMs(500);
    if (kind == kFlashAtmel) {
        WriteBlock24(path, 0x8000, ff.data(), eraseLength, mode);
        SleepMs(500);
    }

    // From here on the NVRAM area is erased: whatever the blank check finds,
    // the saved settings go back before the result is reported.
    std::optional<StatusCode> failure;
    TransferBlock readBack(length);
    if (!readBack) {
        failure = StatusCode::AllocateReadBufferError;
    } else if (!ReadFlashRange(host, path, 0, readBack.data(), length)) {
        failure = StatusCode::ReadBackAfterEraseFail;
    } else if (!AllFF(readBack.data(), length)) {
        if (kind == kFlashMxic) {
            mode &= 0x7F;
            if (WriteBlock24(path, 0, ff.data(), eraseLength, mode)) {
                SleepMs(500);
                host.showStatus(StatusCode::EraseAllSuccess);
            }
        } else if (FillFlashWithFF(req, host, path, length)) {
            SleepMs(500);
            host.showStatus(StatusCode::EraseAllSuccess);
        }
        if (!ReadFlashRange(host, path, 0, readBack.data(), length))
            failure = StatusCode::ReadBackAfterEraseFail;
        else if (!AllFF(readBack.data(), length))
            failure = StatusCode::NotBlank;
    }

    // Settings that did not go back fail the run: an erase that lost them
    // is not the erase that was asked for.
    bool settingsKept = true;
    if (keepNvram) {
        WaitFlashReady(path);
        if (!WriteFlashRange(host, req.chip, path, nvramOffset, nvram.data(), kNvramSize, 0)) {
            host.showStatus(StatusCode::NvramWriteBackFail);
            host.failing("the device's settings (NVRAM) could not be written back after the erase");
            settingsKept = false;
        } else {
            WaitFlashReady(path);
            settingsKept = CheckKeptSettings(host, readNvram, nvram.data(), kNvramSize);
        }
    }
    if (failure) {
        host.showStatus(*failure);
        return 0;
    }
    if (!settingsKept)
        return 0;
    host.showStatus(StatusCode::EraseAllSuccess);
    return 1;
}

int ProgramFirmwareFile(const RunRequest &req, RunHost &host, const std::string &path)
{
    const std::uint8_t code = CodeOf(req);
    const bool bufferCode = BufferCode(code);
    const ChipType &row = ChipTypeOf(code);

    // The device's own NVRAM area, unless the file's is to be written.
    const bool handlesNvram = !bufferCode;
    bool haveNvram = false;
    std::vector<std::uint8_t> nvram(kNvramSize, 0);
    const auto nvramOffset = static_cast<std::uint32_t>(std::max(row.nvramOffset, 0));
    const bool verifying = req.mode == RunMode::VerifyOnly;
    if (handlesNvram) {
        if (code == 12 && !verifying)
            PrepareFlashUpdate(path);
        if (!req.includeNvram) {
            const SettingsRead readNvram = [&](std::uint8_t *dest, std::uint32_t n) {
                return ReadFlashRange(host, path, nvramOffset, dest, n);
            };
            if (!ReadKeptSettings(host, readNvram, nvram.data(), kNvramSize))
                return 0;
            haveNvram = true;
        }
    }

    // The file, whole.
    std::vector<std::uint8_t> file;
    if (!ReadWholeFile(req.firmwareFile, file)) {
        host.showStatus(StatusCode::OpenFileError);
        return 0;
    }
    const auto fileSize = static_cast<std::uint32_t>(file.size());
    std::uint32_t imageLength = RoundUp(fileSize, 256);
    if (bufferCode && imageLength / 1024 > static_cast<std::uint32_t>(std::max(req.chip.FlashSizeKb, 0))) {
        host.showStatus(StatusCode::FileLargerThanFlash);
        return 0;
    }
    const std::uint32_t bufferSize = RoundUp(bufferCode ? FlashBytes(req) : imageLength, 8192);
    TransferBlock written(bufferSize), readBack(bufferSize);
    if (bufferSize == 0 || !written || !readBack) {
        host.showStatus(StatusCode::AllocateBuffersError);
        return 0;
    }
    std::uint8_t *w = written.data();
    std::uint8_t *v = readBack.data();

    // The image.
    if (handlesNvram && req.includeNvram) {
        Put(w, bufferSize, 0, file.data(), file.size());
    } else if (AutoResetCode(code)) {
        Put(w, bufferSize, 0, file.data(), file.size());
        if (haveNvram)
            Put(w, bufferSize, nvramOffset, nvram.data(), kNvramSize);
        if (bufferCode && fileSize == 0x20000) {
            Put(w, bufferSize, 0x20000, file.data(), file.size());
            imageLength *= 2;
        }
    } else {
        if (haveNvram)
            Put(w, bufferSize, 0, nvram.data(), kNvramSize);
        if (file.size() > kNvramSize)
            Put(w, bufferSize, kNvramSize, file.data() + kNvramSize, file.size() - kNvramSize);
    }
    imageLength = std::min(imageLength, bufferSize);

    // The checksum of the code area, and the passes.
    int passes = 1;
    if (row.bankEnd != 0 && !row.bufferPath) {
        const std::uint32_t end = row.bankEnd;
        if (end <= bufferSize && fileSize <= kBankSize) {
            const std::uint16_t crc = ImageCrc16(w, end - 4, 0);
            w[end - 2] = static_cast<std::uint8_t>(crc >> 8);
            w[end - 1] = static_cast<std::uint8_t>(crc);
        }
        if (row.dualBank) {
            passes = req.chip.FlashSizeKb >= 128 ? 2 : 1;
            imageLength = std::min<std::uint32_t>(imageLength, kBankSize);
        }
    }

    if (verifying)
        return VerifyAssistedImage(req, host, path, w, bufferSize, imageLength, fileSize, passes);

    // Only the erase units that differ, where asked and where the erase mode
    // addresses units.
    std::optional<StoreRanges> changedUnits;
    if (req.onlyChanged && AssistedWholeImageReason(req, host.transfer()).empty())
        changedUnits = AssistedChangedUnits(req, host.transfer(), *req.onlyChanged);

    // An MXIC part gets its first block erased on its own before the writing,
    // unless only other units are written.
    host.showStatus(StatusCode::Programming);
    host.phaseStarted(RunPhase::Program);
    host.transfer().NextBlockIndex = 0;
    host.transfer().NextSectorIndex = 0;
    const bool viaBuffer = req.readWriteBuffer && bufferCode;
    const bool firstBlockWritten = !changedUnits || Touches(*changedUnits, 0, 1);
    if (req.chip.FlashKind == kFlashMxic && firstBlockWritten) {
        int accepted = 0;
        if (bufferCode) {
            if (!req.readWriteBuffer) {
                WaitFlashReady(path);
                accepted = WriteBlock24(path, 0, nullptr, 0, 2);
            }
        } else {
            WaitFlashReady(path);
            accepted = WriteBlock24(path, 0, w, 4096, 2);
        }
        if (accepted)
            SleepMs(500);
    }
    const std::uint8_t mode = AssistedEraseMode(req, host.transfer());

    // Program, read back and compare.
    bool success = false;
    if (viaBuffer) {
        bool aborted = false;
        success = ProgramThroughBuffer(req, host, path, w, v, bufferSize, imageLength, aborted);
        if (aborted)
            return 0;
    } else {
        success = ProgramThroughCommands(req, host, path, w, v, bufferSize, imageLength, fileSize, passes,
                                         mode, changedUnits);
    }

    // The closing reset or advice; after a failure the status line
    // keeps the failure text and no box is shown.
    if (success) {
        host.showStatus(StatusCode::ProgrammingSuccess);
        if (AutoResetCode(code)) {
            const bool autoReset = req.chipResetsItself;
            if (viaBuffer) {
                if (autoReset)
                    WriteBufferCmd(path, 0, kWriteBufferActivate, nullptr, 0, 0,
                                   [&host] { host.processMessages(); });
            } else {
                ResetChip(path);
            }
            if (autoReset)
                host.bridgeResetting();
            host.notify(autoReset ? Notice::AutoReset : Notice::PowerCycle);
        } else {
            host.notify(Notice::PowerCycle);
        }
    }
    host.processMessages();
    return success ? 1 : 0;
}

} // namespace brigant
