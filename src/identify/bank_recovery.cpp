#include "identify/bank_recovery.h"

#include "device/transport.h"
#include "flash/chunked_transfer.h"
#include "forms/ui_services.h"
#include "identify/flash_identify.h"
#include "image/bank_image.h"
#include "image/chip_types.h"
#include "model/fwupdate.h"

#include <cstring>
#include <span>

namespace brigant
{

namespace
{

// A 64 KiB transfer block with the bank view the image checks take.
struct BankBuffer : TransferBlock {
    BankBuffer() : TransferBlock(kFirmwareBankSize) {}
    std::span<const std::uint8_t> bytes() const { return {data(), kFirmwareBankSize}; }
};

// Step 2 to 8 with the UpdateBtn state restored on every way out.
class UpdateBtnHold
{
  public:
    explicit UpdateBtnHold(TBrigantFwTool &window) : window_(window), wasEnabled_(window.UpdateBtn.enabled())
    {
        window_.UpdateBtn.setEnabled(false);
    }
    ~UpdateBtnHold() { window_.UpdateBtn.setEnabled(wasEnabled_); }
    UpdateBtnHold(const UpdateBtnHold &) = delete;
    UpdateBtnHold &operator=(const UpdateBtnHold &) = delete;

  private:
    TBrigantFwTool &window_;
    bool wasEnabled_;
};

std::uint32_t UnitIndex(std::uint32_t address, std::uint32_t unitSize)
{
    return unitSize != 0 ? address / unitSize : 0;
}

} // namespace

int RecoverFirmwareBank(TBrigantFwTool &window, const std::string &path, std::uint8_t chipTypeCode)
{
    DeviceEntry &entry = window.selectedEntry();
    if (window.chip.FlashSizeKb <= 127 || entry.bankCheckDone == 1 || !ChipTypeOf(chipTypeCode).dualBank)
        return 1;
    entry.damagedBank = -1;

    // Buffers are released before UpdateBtn gets its state back (step 8).
    UpdateBtnHold hold(window);
    BankBuffer scratch;
    BankBuffer good;
    if (!scratch || !good)
        return 0;

    std::uint32_t target = 0;
    const int read0 = ReadFlashRange(window, path, kBank0Address, scratch.data(), kFirmwareBankSize);
    window.StatusEdit.setText("");
    if (!read0)
        return 0;
    const bool valid0 = CheckBankImage(scratch.bytes(), chipTypeCode);
    if (valid0) {
        std::memcpy(good.data(), scratch.data(), kFirmwareBankSize);
        target = kBank1Address;
    }

    std::memset(scratch.data(), 0, kFirmwareBankSize);
    const int read1 = ReadFlashRange(window, path, kBank1Address, scratch.data(), kFirmwareBankSize);
    window.StatusEdit.setText("");
    if (!read1)
        return 0;
    const bool valid1 = CheckBankImage(scratch.bytes(), chipTypeCode);
    if (valid1) {
        std::memcpy(good.data(), scratch.data(), kFirmwareBankSize);
        target = kBank0Address;
    }

    if (valid0 == valid1) {
        entry.bankCheckDone = 1;
        return 0;
    }
    if (!window.repairBankOnSelect) {
        // Only told, not repaired: the mark stays unset so that a repair
        // asked for later in the same session still runs.
        entry.damagedBank = valid0 ? 1 : 0;
        return 0;
    }
    entry.bankCheckDone = 1;

    NextBlockIndex = UnitIndex(target, FlashBlockSize);
    NextSectorIndex = UnitIndex(target, FlashSectorSize);
    bool repaired = false;
    for (const std::uint8_t mode : {std::uint8_t{2}, std::uint8_t{1}}) {
        std::memset(scratch.data(), 0, kFirmwareBankSize);
        const int written = WriteFlashRange(window, path, target, good.data(), kFirmwareBankSize, mode);
        const int readBack = ReadFlashRange(window, path, target, scratch.data(), kFirmwareBankSize);
        window.StatusEdit.setText("");
        if (written && readBack && std::memcmp(scratch.data(), good.data(), kFirmwareBankSize) == 0) {
            repaired = true;
            break;
        }
    }
    ShowStatus(window.StatusEdit, repaired ? "FW Recovery successful!!" : "FW Recovery Fail!!");
    return repaired ? 1 : 0;
}

} // namespace brigant
