#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "device/transport.h"
#include "flash/kept_settings.h"
#include "image/file_checks.h"
#include "image/firmware_file.h"
#include "update/register/flash_engine.h"
#include "update/register/register_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::uint32_t kBlock = 16384;
constexpr std::uint32_t kSector = kBlockwiseEraseSector;
constexpr std::uint32_t kNvram = kNvramAreaSize;
constexpr std::uint8_t kPreparedCode = 12;      // told before its flash is erased; always has an NVRAM area
constexpr std::uint8_t kOwnNvramBytesCode = 11; // its file's bytes 128-207 replace the saved ones
constexpr std::uint32_t kOwnNvramBytesAt = 128;
constexpr std::uint32_t kOwnNvramBytesCount = 80;

// The three block buffers of a block-wise run.
struct BlockBuffers {
    TransferBlock readBack{kBlock};
    TransferBlock write{kBlock};
    TransferBlock chunk{kBlock};
    explicit operator bool() const { return readBack && write && chunk; }
};

std::uint32_t RoundUp(std::uint32_t value, std::uint32_t unit) { return (value + unit - 1) / unit * unit; }

// Which 32 KiB sectors a run erases and programs: all of the image's, or
// with only the changed units asked, those whose erase unit holds a
// differing byte.
struct SectorChoice {
    const std::optional<StoreRanges> *changed = nullptr;
    bool operator()(std::uint32_t sector) const
    {
        if (!changed || !*changed)
            return true;
        const std::uint64_t unit =
            std::uint64_t(sector) * kSector / kBlockwiseEraseUnit * kBlockwiseEraseUnit;
        return Touches(**changed, unit, unit + kBlockwiseEraseUnit);
    }
};

// Erases the chosen of `sectors` 32 KiB sectors from 0 and reads both blocks
// of each back blank.
bool EraseSectors(RunHost &host, const std::string &path, std::uint32_t sectors, std::uint8_t *readBack,
                  const SectorChoice &chosen)
{
    host.phaseStarted(RunPhase::Erase);
    for (std::uint32_t s = 0; s < sectors; ++s) {
        if (!chosen(s))
            continue;
        WaitFlashReady(path);
        if (!EraseFlashBlock(path, s * kSector)) {
            host.showStatus(StatusCode::EraseCommandFail);
            return false;
        }
        host.progressDot({"Erasing", s + 1, sectors});
        for (std::uint32_t b = 0; b < kSector / kBlock; ++b) {
            WaitFlashReady(path);
            if (!ReadFlash(path, s * kSector + b * kBlock, readBack, kBlock)) {
                host.showStatus(StatusCode::ReadBackAfterEraseFail);
                return false;
            }
            if (!std::all_of(readBack, readBack + kBlock, [](std::uint8_t v) { return v == 0xFF; })) {
                host.showStatus(StatusCode::NotBlank);
                return false;
            }
        }
    }
    return true;
}

// Writes `length` bytes with WriteFlash, reads them back and compares.
bool WriteAndVerify(RunHost &host, const std::string &path, std::uint32_t address, const std::uint8_t *data,
                    std::uint32_t length, std::uint8_t *readBack)
{
    WaitFlashReady(path);
    if (!WriteFlash(path, address, data, length)) {
        host.showStatus(StatusCode::WriteCommandFail);
        return false;
    }
    WaitFlashReady(path);
    if (!ReadFlash(path, address, readBack, length)) {
        host.showStatus(StatusCode::WriteCommandFail);
        return false;
    }
    if (std::memcmp(readBack, data, length) != 0) {
        host.showStatus(StatusCode::DataCompareFail);
        return false;
    }
    return true;
}

// After a write of the changed sectors only: the whole image read back and
// compared, block by block.
bool ReadBackWhole(RunHost &host, const std::string &path, const std::vector<std::uint8_t> &image,
                   std::uint8_t *readBack)
{
    host.phaseStarted(RunPhase::Verify);
    const auto blocks = static_cast<std::uint32_t>((image.size() + kBlock - 1) / kBlock);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t at = b * kBlock;
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(kBlock, image.size() - at));
        WaitFlashReady(path);
        if (!ReadFlash(path, at, readBack, n)) {
            host.showStatus(StatusCode::ReadBackFail);
            return false;
        }
        if (std::memcmp(readBack, image.data() + at, n) != 0) {
            host.showStatus(StatusCode::DataCompareFail);
            return false;
        }
        host.progressDot({"Verifying", b + 1, blocks});
    }
    return true;
}

std::uint32_t ImageLength(std::int64_t fileLength, bool nvramInFront)
{
    std::uint32_t length = std::max(static_cast<std::uint32_t>(fileLength), kBlock);
    if (nvramInFront)
        length += kNvram;
    return RoundUp(length, kBlock);
}

FilePtr OpenFirmware(const RunRequest &req, RunHost &host, std::int64_t &length)
{
    FilePtr file = OpenFirmwareFile(req.firmwareFile.c_str());
    length = file ? FileLength(file.get()) : -1;
    if (file && (length < 0 || length > 0xFFFFFF))
        file.reset();
    if (!file)
        host.showStatus(StatusCode::OpenFileError);
    return file;
}

} // namespace

bool BlockwiseSstErasesChip(const ChipIdentity &chip)
{
    return chip.ChipTypeCode == kOwnNvramBytesCode && chip.FlashKind == kFlashSst;
}

int HasNvramArea(unsigned chipTypeCode, const std::string &fileName)
{
    if (chipTypeCode == kPreparedCode)
        return 1;
    return CheckNvramHeader(fileName.c_str(), chipTypeCode);
}

bool KeepNvram(int hasNvramArea, bool includeNvramChecked)
{
    return !(hasNvramArea == 1 && includeNvramChecked);
}

int UpdateBlockwise(const RunRequest &req, RunHost &host, const std::string &path)
{
    const ChipIdentity &chip = req.chip;
    const bool include = req.includeNvram;
    const int hasNvram = HasNvramArea(chip.ChipTypeCode, req.firmwareFile);
    const bool keep = KeepNvram(hasNvram, include);

    const SettingsRead readNvram = [&path](std::uint8_t *dest, std::uint32_t length) {
        return ReadFlash(path, 0, dest, length);
    };
    TransferBlock nvram(kNvram);
    if (keep) {
        if (!nvram) {
            host.showStatus(StatusCode::AllocateBuffersError);
            return 0;
        }
        std::memset(nvram.data(), 0, kNvram);
        WaitFlashReady(path);
        if (!ReadKeptSettings(host, readNvram, nvram.data(), kNvram))
            return 0;
    }
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
    if ((chip.FlashKind == kFlashStEonMxic || chip.FlashKind == kFlashMxic) &&
        chip.ChipTypeCode != kOwnNvramBytesCode && !readsOnly)
        UnprotectFlash(path);

    if (req.mode == RunMode::EraseOnly) {
        if (chip.ChipTypeCode == kPreparedCode)
            PrepareFlashUpdate(path);
        int result = EraseWholeFlash(req, host, path);
        if (result && !include) {
            WaitFlashReady(path);
            if (!WriteFlash(path, 0, nvram.data(), kNvram)) {
                host.showStatus(StatusCode::NvramWriteBackFail);
                result = 0;
            } else {
                WaitFlashReady(path);
                result = CheckKeptSettings(host, readNvram, nvram.data(), kNvram) ? 1 : 0;
            }
        }
        if (result)
            host.notify(Notice::PowerCycle);
        return result;
    }
    if (req.mode == RunMode::BackupOnly)
        return SaveFlashBackup(req, host, path, include ? 0 : kNvram);

    std::int64_t fileLength = 0;
    const FilePtr file = OpenFirmware(req, host, fileLength);
    if (!file.get())
        return 0;
    const std::uint32_t imageLength = ImageLength(fileLength, hasNvram == 0);
    const std::uint32_t sectors = RoundUp(imageLength, kSector) / kSector;
    BlockBuffers buffers;
    if (!buffers) {
        host.showStatus(StatusCode::AllocateBuffersError);
        return 0;
    }
    const SectorChoice chosen{&req.onlyChanged};
    std::vector<std::uint8_t> image; // what the write leaves, kept for the whole read-back
    // Each block goes to the flash and is read back (in a chosen sector), or
    // in the read-only mode is only read and compared.
    const auto put = [&](std::uint32_t address, const std::uint8_t *data, std::uint32_t length) {
        if (verifying)
            return VerifyRange(host, ReadFlashAt(path), address, data, length);
        if (req.onlyChanged)
            image.insert(image.end(), data, data + length);
        return !chosen(address / kSector) ||
               WriteAndVerify(host, path, address, data, length, buffers.readBack.data());
    };
    if (!verifying) {
        if (chip.ChipTypeCode == kPreparedCode)
            PrepareFlashUpdate(path);
        host.showStatus(StatusCode::Erasing);
        host.phaseStarted(RunPhase::Erase);
        if (!EraseSectors(host, path, sectors, buffers.readBack.data(), chosen))
            return 0;
    }

    host.showStatus(StatusCode::Programming);
    if (hasNvram == 1 && !include) {
        if (chip.ChipTypeCode == kOwnNvramBytesCode) {
            std::uint8_t own[kOwnNvramBytesCount] = {};
            if (std::fseek(file.get(), kOwnNvramBytesAt, SEEK_SET) == 0 &&
                std::fread(own, 1, sizeof own, file.get()) == sizeof own)
                std::memcpy(nvram.data() + kOwnNvramBytesAt, own, sizeof own);
        }
        std::fseek(file.get(), kNvram, SEEK_SET);
    }

    const std::uint32_t blocks = imageLength / kBlock;
    std::uint32_t address = 0;
    host.phaseStarted(verifying ? RunPhase::Verify : RunPhase::Program);
    for (;;) {
        std::uint8_t *write = buffers.write.data();
        if (keep) {
            std::memset(buffers.chunk.data(), 0, kBlock);
            if (std::fread(buffers.chunk.data(), 1, kBlock, file.get()) == 0)
                break;
            std::memcpy(write, nvram.data(), kNvram);
            std::memcpy(write + kNvram, buffers.chunk.data(), kBlock - kNvram);
        } else {
            std::memset(write, 0, kBlock);
            if (std::fread(write, 1, kBlock, file.get()) == 0)
                break;
        }
        if (!put(address, write, kBlock))
            return 0;
        host.progressDot({verifying ? "Verifying" : "Programming", address / kBlock + 1, blocks});
        if (keep)
            std::memcpy(nvram.data(), buffers.chunk.data() + kBlock - kNvram, kNvram);
        address += kBlock;
    }
    if (keep && imageLength != address && !put(address, nvram.data(), kNvram))
        return 0;
    if (verifying)
        return 1;
    if (req.onlyChanged && !ReadBackWhole(host, path, image, buffers.readBack.data()))
        return 0;

    host.showStatus(StatusCode::ProgrammingSuccess);
    host.notify(Notice::PowerCycle);
    return 1;
}

int UpdateBlockwiseSst(const RunRequest &req, RunHost &host, const std::string &path)
{
    const ChipIdentity &chip = req.chip;
    const bool verifying = req.mode == RunMode::VerifyOnly;
    host.nvramBoxChecked();
    if (chip.FlashKind == kFlashMxic && !verifying && req.mode != RunMode::BackupOnly)
        UnprotectFlash(path);

    if (req.mode == RunMode::EraseOnly) {
        const int result = EraseWholeFlash(req, host, path);
        if (result)
            host.notify(Notice::PowerCycle);
        return result;
    }
    if (req.mode == RunMode::BackupOnly)
        return SaveFlashBackup(req, host, path, 0);

    std::int64_t fileLength = 0;
    const FilePtr file = OpenFirmware(req, host, fileLength);
    if (!file.get())
        return 0;
    const std::uint32_t imageLength = ImageLength(fileLength, false);
    const std::uint32_t sectors = RoundUp(imageLength, kSector) / kSector;
    BlockBuffers buffers;
    if (!buffers) {
        host.showStatus(StatusCode::AllocateBuffersError);
        return 0;
    }

    // A chip erase leaves nothing to keep: the whole image goes.
    const std::optional<StoreRanges> none;
    const SectorChoice chosen{BlockwiseSstErasesChip(chip) ? &none : &req.onlyChanged};
    std::vector<std::uint8_t> image; // what the write leaves, kept for the whole read-back
    if (!verifying) {
        host.showStatus(StatusCode::Erasing);
        host.phaseStarted(RunPhase::Erase);
        if (BlockwiseSstErasesChip(chip))
            SpiChipErase(path);
        if (!EraseSectors(host, path, sectors, buffers.readBack.data(), chosen))
            return 0;
    }

    host.showStatus(StatusCode::Programming);
    const std::uint32_t blocks = imageLength / kBlock;
    std::uint8_t *write = buffers.write.data();
    host.phaseStarted(verifying ? RunPhase::Verify : RunPhase::Program);
    for (std::uint32_t address = 0;; address += kBlock) {
        std::memset(write, 0, kBlock);
        if (std::fread(write, 1, kBlock, file.get()) == 0)
            break;
        if (verifying) {
            if (!VerifyRange(host, ReadFlashAt(path), address, write, kBlock))
                return 0;
            host.progressDot({"Verifying", address / kBlock + 1, blocks});
            continue;
        }
        if (*chosen.changed)
            image.insert(image.end(), write, write + kBlock);
        if (!chosen(address / kSector))
            continue;
        WaitFlashReady(path);
        if (!SpiProgramRange(path, address, write, kBlock, chip.SstWordMode)) {
            host.showStatus(StatusCode::WriteCommandFail);
            return 0;
        }
        host.processMessages();
        WaitFlashReady(path);
        if (!ReadFlash(path, address, buffers.readBack.data(), kBlock)) {
            host.showStatus(StatusCode::WriteCommandFail);
            return 0;
        }
        if (std::memcmp(buffers.readBack.data(), write, kBlock) != 0) {
            host.showStatus(StatusCode::DataCompareFail);
            return 0;
        }
        host.progressDot({"Programming", address / kBlock + 1, blocks});
    }
    if (verifying)
        return 1;
    if (*chosen.changed && !ReadBackWhole(host, path, image, buffers.readBack.data()))
        return 0;
    host.showStatus(StatusCode::ProgrammingSuccess);
    host.notify(Notice::PowerCycle);
    return 1;
}

} // namespace brigant
