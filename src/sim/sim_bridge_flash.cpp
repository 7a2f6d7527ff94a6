// The simulated bridge's firmware-side flash routines: every erase, program
// and status poll built from SPI transactions clocked through the flash model.
#include "sim/bridge_wire.h"
#include "sim/sim_bridge.h"

#include <algorithm>

namespace brigant::sim
{

namespace
{

constexpr std::uint8_t kSpiWriteEnable = 0x06;
constexpr std::uint8_t kSpiRead = 0x03;
constexpr std::uint8_t kSpiWriteDisable = 0x04;
constexpr std::uint8_t kSpiEnableWriteStatus = 0x50;
constexpr std::uint8_t kSpiWriteStatus = 0x01;
constexpr std::uint8_t kSpiAaiByte = 0xAF;
constexpr std::uint8_t kSpiAaiWord = 0xAD;
constexpr std::uint8_t kBlockProtectMask = 0x3C;
constexpr std::uint8_t kMxicUnprotectFlag = 0x80;
constexpr std::uint32_t k1394EraseUnit = 0x8000;
constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kPollStepMs = 10;

} // namespace

void SimBridge::endHeldTransaction()
{
    if (spiHeld_)
        flash_.deselect();
    spiHeld_ = false;
}

void SimBridge::spiSimple(std::uint8_t opcode)
{
    flash_.select();
    flash_.exchange(opcode);
    flash_.deselect();
}

void SimBridge::spiAddressed(std::uint8_t opcode, std::uint32_t address)
{
    flash_.exchange(opcode);
    flash_.exchange(static_cast<std::uint8_t>(address >> 16));
    flash_.exchange(static_cast<std::uint8_t>(address >> 8));
    flash_.exchange(static_cast<std::uint8_t>(address));
}

bool SimBridge::waitFlashIdle()
{
    for (std::uint32_t waited = 0;; waited += kPollStepMs) {
        flash_.select();
        flash_.exchange(wire::kSpiReadStatus);
        const std::uint8_t status = flash_.exchange(0x00);
        flash_.deselect();
        if ((status & 0x01) == 0)
            return true;
        if (waited >= kFirmwareFlashTimeoutMs)
            return false;
        clock_.sleepMs(kPollStepMs);
    }
}

void SimBridge::readArray(std::uint32_t address, std::uint8_t *out, std::uint32_t length)
{
    flash_.select();
    spiAddressed(kSpiRead, address);
    for (std::uint32_t i = 0; i < length; ++i)
        out[i] = flash_.exchange(0x00);
    flash_.deselect();
}

bool SimBridge::programArray(std::uint32_t address, const std::uint8_t *in, std::uint32_t length)
{
    // The firmware programs page by page in the part's own page size.
    const std::uint32_t page = flash_.part().pageSize ? flash_.part().pageSize : kPageSize;
    std::uint32_t done = 0;
    while (done < length) {
        const std::uint32_t at = address + done;
        const std::uint32_t chunk = std::min(length - done, page - at % page);
        spiSimple(kSpiWriteEnable);
        flash_.select();
        spiAddressed(opcodes_.pageProgram, at);
        for (std::uint32_t i = 0; i < chunk; ++i)
            flash_.exchange(in[done + i]);
        flash_.deselect();
        if (!waitFlashIdle())
            return false;
        done += chunk;
    }
    return true;
}

bool SimBridge::eraseWith(std::uint8_t opcode, std::uint32_t address, bool wait)
{
    const bool wholeChip = opcode == opcodes_.chipErase;
    spiSimple(kSpiWriteEnable);
    flash_.select();
    if (wholeChip)
        flash_.exchange(opcode);
    else
        spiAddressed(opcode, address);
    flash_.deselect();
    return wait ? waitFlashIdle() : true;
}

std::uint8_t SimBridge::readStatus()
{
    flash_.select();
    flash_.exchange(wire::kSpiReadStatus);
    const std::uint8_t status = flash_.exchange(0x00);
    flash_.deselect();
    return status;
}

bool SimBridge::liftProtection()
{
    if ((readStatus() & kBlockProtectMask) == 0)
        return true;
    // Write enable, then the SST enable-write-status (other parts ignore it),
    // then a zero status byte.
    spiSimple(kSpiWriteEnable);
    spiSimple(kSpiEnableWriteStatus);
    flash_.select();
    flash_.exchange(kSpiWriteStatus);
    flash_.exchange(0x00);
    flash_.deselect();
    return waitFlashIdle();
}

void SimBridge::liftSstProtection()
{
    // The firmware clears the block protection of an auto-address-increment
    // part itself before its own erases: such a part needs the
    // enable-write-status step the host's unprotect does not send. Other
    // protected parts stay the host's to unprotect.
    if (flash_.part().aai != kAaiNone)
        liftProtection();
}

const EraseOp *SimBridge::eraseOp(EraseUnit unit) const
{
    const FlashPart &part = flash_.part();
    const EraseOp *wanted = nullptr;
    switch (unit) {
    case EraseUnit::Sector:
        wanted = part.erase(opcodes_.sectorErase);
        break;
    case EraseUnit::Block:
        wanted = part.erase(opcodes_.blockErase);
        break;
    case EraseUnit::Chip:
        wanted = part.erase(opcodes_.chipErase);
        if (wanted && wanted->sizeBytes != 0)
            wanted = nullptr;
        break;
    }
    if (wanted)
        return wanted;
    // The instruction the part does not have: the part's own nearest one.
    const EraseOp *best = nullptr;
    for (const EraseOp &op : part.erases) {
        const bool whole = op.sizeBytes == 0;
        if ((unit == EraseUnit::Chip) != whole)
            continue;
        if (!best ||
            (unit == EraseUnit::Sector ? op.sizeBytes < best->sizeBytes : op.sizeBytes > best->sizeBytes))
            best = &op;
    }
    return best;
}

bool SimBridge::eraseArea(std::uint32_t start, std::uint32_t length)
{
    const FlashPart &part = flash_.part();
    for (std::uint32_t at = start; at < start + length;) {
        const EraseOp *use = nullptr;
        for (const EraseOp &op : part.erases) {
            if (op.sizeBytes == 0 || at % op.sizeBytes != 0 || at + op.sizeBytes > start + length)
                continue;
            if (!use || op.sizeBytes > use->sizeBytes)
                use = &op;
        }
        if (!use)
            return false;
        if (!eraseWith(use->opcode, at, true))
            return false;
        at += use->sizeBytes;
    }
    return true;
}

bool SimBridge::blockWrite(std::uint8_t mode, std::uint32_t address, const std::uint8_t *data,
                           std::uint32_t length)
{
    if (!waitFlashIdle())
        return false;
    const bool protectedAtPowerUp = (flash_.part().powerUpStatus & kBlockProtectMask) != 0;
    if ((protectedAtPowerUp || (mode & kMxicUnprotectFlag)) && !liftProtection())
        return false;
    bool ok = true;
    if (identity_.bus == BusKind::Ieee1394) {
        // The 16-bit form: bit 0 erases the 32 KiB half of the first 64 KiB
        // the address lies in.
        if (mode & 0x01)
            ok = eraseArea(address / k1394EraseUnit * k1394EraseUnit, k1394EraseUnit);
    } else {
        const EraseOp *op = nullptr;
        switch (mode & 0x07) {
        case 1:
        case 4:
            op = eraseOp(EraseUnit::Sector);
            break;
        case 2:
        case 5:
            op = eraseOp(EraseUnit::Block);
            break;
        case 3:
        case 6:
        case 7:
            op = eraseOp(EraseUnit::Chip);
            break;
        default:
            break;
        }
        if (op)
            ok = eraseWith(op->opcode, address, true);
    }
    if (ok && length)
        ok = flash_.part().aai ? programAai(address, data, length) : programArray(address, data, length);
    return ok;
}

bool SimBridge::programAai(std::uint32_t address, const std::uint8_t *in, std::uint32_t length)
{
    const bool word = (flash_.part().aai & kAaiWord) != 0;
    const std::uint32_t width = word ? 2 : 1;
    std::uint32_t done = 0;
    // A word sequence starts on an even address; a stray byte is programmed alone.
    if (word && (address & 1)) {
        if (!programSingle(address, in[0]))
            return false;
        done = 1;
    }
    if (length - done >= width) {
        spiSimple(kSpiWriteEnable);
        bool first = true;
        for (; length - done >= width; done += width) {
            flash_.select();
            if (first)
                spiAddressed(word ? kSpiAaiWord : kSpiAaiByte, address + done);
            else
                flash_.exchange(word ? kSpiAaiWord : kSpiAaiByte);
            for (std::uint32_t k = 0; k < width; ++k)
                flash_.exchange(in[done + k]);
            flash_.deselect();
            first = false;
            if (!waitFlashIdle())
                return false;
        }
        spiSimple(kSpiWriteDisable);
        if (!waitFlashIdle())
            return false;
    }
    if (done < length && !programSingle(address + done, in[done]))
        return false;
    return true;
}

bool SimBridge::programSingle(std::uint32_t address, std::uint8_t value)
{
    spiSimple(kSpiWriteEnable);
    flash_.select();
    spiAddressed(opcodes_.pageProgram, address);
    flash_.exchange(value);
    flash_.deselect();
    return waitFlashIdle();
}
} // namespace brigant::sim
