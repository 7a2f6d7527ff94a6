#include "update/staging/conversion_update.h"

#include "bridge/chip_commands.h"
#include "bridge/staging_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "flash/backup_file.h"
#include "flash/program_values.h"
#include "forms/ui_services.h"
#include "image/file_checks.h"
#include "image/image_stamp.h"
#include "model/fwupdate.h"

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
// A file this large cannot be a firmware image of this bridge: treated as
// buffers that cannot be had rather than an allocation of its size.
constexpr std::int64_t kLargestImage = 64LL << 20;

// The two header blocks are rewritten by the bridge; they are not compared.
bool InHeaderBlock(std::uint32_t offset)
{
    return (offset >= 0x200 && offset <= 0x3FF) || (offset >= 0x20200 && offset <= 0x203FF);
}

std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) { return (n + unit - 1) / unit * unit; }

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

constexpr const char *kTurnPowerText = "Please Turn-Off the Power and Turn-On Again!";

} // namespace

int ProgramViaStaging(TBrigantFwTool &form, const std::string &path, const std::uint8_t *image,
                      std::uint32_t length)
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
        AppendProgressDot(form.StatusEdit, "Programming", offset + kStagingChunk, total);
    }
    return 1;
}

int ReadViaStaging(TBrigantFwTool &form, const std::string &path, std::uint8_t *dest, std::uint32_t length)
{
    const std::uint32_t total = RoundUp(length, kStagingChunk);
    TransferBlock block(total);
    if (!block)
        return 0;
    form.StatusEdit.setText("ReadFlash...");
    int ok = 1;
    for (std::uint32_t address = 0;; address += kStagingChunk) {
        PumpMessages();
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
        AppendProgressDot(form.StatusEdit, "ReadFlash", address + kStagingChunk, total);
    }
    if (length)
        std::memcpy(dest, block.data(), length);
    return ok;
}

int ProgramConversionImage(TBrigantFwTool &form, const std::string &path)
{
    const std::string name = form.FwFilenameEdit.text().substr(0, kFileNameLimit);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
    if (!file) {
        form.StatusEdit.setText("Open File Error!!");
        return 0;
    }
    const std::int64_t fileLength = FileLength(file.get());
    if (fileLength < 0 || fileLength > kLargestImage) {
        form.StatusEdit.setText("Allocate buffers Error!!");
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
        form.StatusEdit.setText("Allocate buffers Error!!");
        return 0;
    }
    if (length && std::fread(image.data(), 1, length, file.get()) != length) {
        form.StatusEdit.setText("Open File Error!!");
        return 0;
    }
    ShowStatus(form.StatusEdit, "Programming");
    StampImageHeader(std::span<std::uint8_t>(image.data(), imageSize));

    bool failed = true;
    for (int attempt = 0; attempt < kConversionAttempts && failed; ++attempt) {
        failed = false;
        form.StatusEdit.setText("Programming");
        if (!ProgramViaStaging(form, path, image.data(), padded)) {
            form.StatusEdit.setText("Write Bin File fail!");
            failed = true;
        }
        if (!ReadViaStaging(form, path, readBack.data(), padded)) {
            form.StatusEdit.setText("Read FW fail!");
            failed = true;
        }
        for (std::uint32_t i = 0; i < padded; ++i) {
            if (!InHeaderBlock(i) && image.data()[i] != readBack.data()[i]) {
                form.StatusEdit.setText("Data compare fail !!");
                failed = true;
                break;
            }
        }
    }
    if (!failed) {
        form.StatusEdit.setText("Programming Success!!");
        Ui().messageBox(kTurnPowerText, "Message", MessageKind::Information);
    }
    PumpMessages();
    return failed ? 0 : 1;
}

int EraseFlashOnly(TBrigantFwTool &form, const std::string &path)
{
    ShowStatus(form.StatusEdit, "Start Erase only!");
    const int ok = EraseFlashChip(path);
    ShowStatus(form.StatusEdit, ok ? "Erase flash command success!" : "Erase flash command fail!");
    return ok;
}

int BackupFlashViaStaging(TBrigantFwTool &form, const std::string &path)
{
    std::string name = form.BackupFileEdit.text();
    if (name.empty()) {
        name = "oldFlash.bak";
        Ui().messageBox("Default backup firmware as OldFalsh.bak!", "Message", MessageKind::Information);
    }
    ShowStatus(form.StatusEdit, "Backup ...");
    TransferBlock block(kConversionBackupLength);
    if (!block) {
        form.StatusEdit.setText("Allocate read buffer Error!!");
        return 0;
    }
    if (!ReadViaStaging(form, path, block.data(), kConversionBackupLength)) {
        form.StatusEdit.setText("Read Back to Backup Error!!");
        return 0;
    }
    return SaveBackupFile(form.StatusEdit, name, block.data(), kConversionBackupLength);
}

int RunConversionUpdate(TBrigantFwTool &form, const std::string &path)
{
    TransferChunkSize = kTransferChunkSizeStart;
    if (form.RdCheckBox.checked() && form.EraseOnlyCheck.checked()) {
        if (!EraseFlashOnly(form, path))
            return 0;
        Ui().messageBox(kTurnPowerText, "Message", MessageKind::Information);
        return 1;
    }
    if (form.RdCheckBox.checked() && form.BackupFWCheckBox.checked())
        return BackupFlashViaStaging(form, path);
    return ProgramConversionImage(form, path);
}

} // namespace brigant
