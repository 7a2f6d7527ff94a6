#include "identify/bank_recovery.h"

#include "device/transport.h"
#include "flash/chunked_transfer.h"
#include "identify/flash_identify.h"
#include "image/bank_image.h"
#include "image/chip_types.h"

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

// Run held for the whole check and repair, given back on every way out.
class RunButtonHold
{
  public:
    explicit RunButtonHold(ProbeHost &host) : host_(host) { host_.runButtonHeld(true); }
    ~RunButtonHold() { host_.runButtonHeld(false); }
    RunButtonHold(const RunButtonHold &) = delete;
    RunButtonHold &operator=(const RunButtonHold &) = delete;

  private:
    ProbeHost &host_;
};

std::uint32_t UnitIndex(std::uint32_t address, std::uint32_t unitSize)
{
    return unitSize != 0 ? address / unitSize : 0;
}

} // namespace

int RecoverFirmwareBank(ProbeHost &host, const ChipIdentity &chip, DeviceEntry &entry, bool repair,
                        const std::string &path, std::uint8_t chipTypeCode)
{
    if (chip.FlashSizeKb <= 127 || entry.bankCheckDone == 1 || !ChipTypeOf(chipTypeCode).dualBank)
        return 1;
    entry.damagedBank = -1;

    // Buffers are released before Run gets its state back.
    RunButtonHold hold(host);
    BankBuffer scratch;
    BankBuffer good;
    if (!scratch || !good)
        return 0;

    std::uint32_t target = 0;
    const int read0 = ReadFlashRange(host, path, kBank0Address, scratch.data(), kFirmwareBankSize);
    host.setStatus(StatusCode::Clear);
    if (!read0)
        return 0;
    const bool valid0 = CheckBankImage(scratch.bytes(), chipTypeCode);
    if (valid0) {
        std::memcpy(good.data(), scratch.data(), kFirmwareBankSize);
        target = kBank1Address;
    }

    std::memset(scratch.data(), 0, kFirmwareBankSize);
    const int read1 = ReadFlashRange(host, path, kBank1Address, scratch.data(), kFirmwareBankSize);
    host.setStatus(StatusCode::Clear);
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
    if (!repair) {
        // Only told, not repaired: the mark stays unset so that a repair
        // asked for later in the same session still runs.
        entry.damagedBank = valid0 ? 1 : 0;
        return 0;
    }
    entry.bankCheckDone = 1;

    TransferState &x = host.transfer();
    x.NextBlockIndex = UnitIndex(target, x.FlashBlockSize);
    x.NextSectorIndex = UnitIndex(target, x.FlashSectorSize);
    bool repaired = false;
    for (const std::uint8_t mode : {std::uint8_t{2}, std::uint8_t{1}}) {
        std::memset(scratch.data(), 0, kFirmwareBankSize);
        const int written = WriteFlashRange(host, chip, path, target, good.data(), kFirmwareBankSize, mode);
        const int readBack = ReadFlashRange(host, path, target, scratch.data(), kFirmwareBankSize);
        host.setStatus(StatusCode::Clear);
        if (written && readBack && std::memcmp(scratch.data(), good.data(), kFirmwareBankSize) == 0) {
            repaired = true;
            break;
        }
    }
    host.showStatus(repaired ? StatusCode::RecoverySucceeded : StatusCode::RecoveryFailed);
    if (repaired)
        host.bankRepaired();
    return repaired ? 1 : 0;
}

} // namespace brigant
