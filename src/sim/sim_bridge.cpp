#include "sim/sim_bridge.h"
#include "sim/sim_disk.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace brigant::sim
{

namespace
{

constexpr std::uint8_t kSpiReadStatus = 0x05;
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

std::uint32_t Be16(const std::uint8_t *p) { return static_cast<std::uint32_t>(p[0] << 8 | p[1]); }
std::uint32_t Be24(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0] << 16 | p[1] << 8 | p[2]);
}

SimReply CopyIn(std::uint8_t *data, std::uint32_t length, const std::uint8_t *from, std::uint32_t available)
{
    const std::uint32_t n = std::min(length, available);
    if (n)
        std::memcpy(data, from, n);
    return Good(n);
}

void PutPadded(std::uint8_t *at, const std::string &text, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i)
        at[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

SimReply HardwareError() { return CheckCondition(0x04, 0x44, 0x00); }

} // namespace

SimBridge::SimBridge(BridgeIdentity identity, const FlashPart &flashPart, Clock &clock)
    : identity_(std::move(identity)), flash_(flashPart, clock), clock_(clock), xdata_(kXdataSize, 0)
{
}

void SimBridge::restart()
{
    ++resets_;
    boot();
    raiseUnitAttention(0x29, 0x00); // power on, reset, or bus device reset occurred
    if (onReset_)
        onReset_();
}

void SimBridge::boot()
{
    endHeldTransaction();
    opcodes_ = FirmwareFlashOpcodes{};
    // The firmware erases with the part's own instructions where it lacks the usual ones.
    const FlashPart &part = flash_.part();
    if (!part.erase(opcodes_.chipErase))
        for (const EraseOp &op : part.erases)
            if (op.sizeBytes == 0) {
                opcodes_.chipErase = op.opcode;
                break;
            }
    if (!part.erase(opcodes_.blockErase)) {
        std::uint32_t largest = 0;
        for (const EraseOp &op : part.erases)
            if (op.sizeBytes > largest) {
                largest = op.sizeBytes;
                opcodes_.blockErase = op.opcode;
            }
    }
    if (bootHook_)
        bootHook_(*this);
    if (firmwareBoot_)
        firmwareBoot_();
}

SimReply SimBridge::execute(const std::uint8_t *cdb, int cdbLength, WireDirection direction,
                            std::uint8_t *data, std::uint32_t length)
{
    if (cdbLength < 6)
        return IllegalRequest();
    const std::uint8_t op = cdb[0];
    if (unitAttention_ && op != 0x12 && op != 0x03 && op != 0xA0) {
        const auto [asc, ascq] = *unitAttention_;
        unitAttention_.reset();
        return CheckCondition(0x06, asc, ascq);
    }
    // A held SPI transaction continues only into the data command that belongs to it.
    const bool continuesSpi =
        op == 0xFF && cdbLength >= 12 && cdb[1] == 0x04 && (cdb[2] == 0x21 || cdb[2] == 0x22);
    if (!continuesSpi)
        endHeldTransaction();
    if (extension_) {
        if (auto reply = extension_(cdb, cdbLength, direction, data, length))
            return *reply;
    }

    // The standard commands a USB disk of this generation answers, as every
    // desktop and sd send them.
    switch (op) {
    case 0x00: // TEST UNIT READY
    case 0x1B: // START STOP UNIT (sent before a USB disk is powered off)
    case 0x1E: // PREVENT ALLOW MEDIUM REMOVAL
    case 0x35: // SYNCHRONIZE CACHE
        return Good(0);
    case 0x12:
        return inquiry(cdb, data, length);
    case 0x25: // READ CAPACITY(10)
    case 0x9E: // SERVICE ACTION IN(16): READ CAPACITY(16)
        return readCapacity(cdb, data, length);
    case 0x1A: { // MODE SENSE(6): header only, no block descriptor
        std::uint8_t hdr[4] = {0x03, 0x00, 0x00, 0x00};
        return CopyIn(data, std::min<std::uint32_t>(length, cdb[4]), hdr, sizeof hdr);
    }
    case 0x5A: { // MODE SENSE(10): the same header in its longer form
        if (cdbLength < 10)
            return IllegalRequest();
        std::uint8_t hdr[8] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        return CopyIn(data, std::min(length, Be16(cdb + 7)), hdr, sizeof hdr);
    }
    case 0x28: // READ(10) and WRITE(10) of the disk
    case 0x2A:
        return cdbLength < 10 ? IllegalRequest() : diskData(cdb, direction, data, length);
    default:
        break;
    }
    if (!identity_.vendorCommands || cdbLength < 12)
        return IllegalRequest();
    switch (op) {
    case 0xE0:
        if (cdb[1] != 0xF4 || cdb[2] != 0xE7)
            return IllegalRequest();
        return CopyIn(data, length, identity_.chipInfo.data(), identity_.chipInfoLength);
    case 0xFE:
        if (!identity_.answersChipInfoFE || cdb[1] != 0xF4 || cdb[2] != 0xE7)
            return IllegalRequest();
        return CopyIn(data, length, identity_.chipInfo.data(), identity_.chipInfoLength);
    case 0xDF:
        return vendorDF(cdb, direction, data, length);
    case 0xFF:
        if (cdb[1] != 0x04)
            return IllegalRequest();
        return vendorFF04(cdb, direction, data, length);
    case 0xB5: {
        if (!identity_.acceptsStagingRead || direction == WireDirection::Out)
            return IllegalRequest();
        std::vector<std::uint8_t> staging(512, 0);
        return CopyIn(data, length, staging.data(), 512);
    }
    default:
        return IllegalRequest();
    }
}

SimReply SimBridge::inquiry(const std::uint8_t *cdb, std::uint8_t *data, std::uint32_t length)
{
    const std::uint32_t allocation = Be16(cdb + 3);
    if (cdb[1] & 0x01)
        return vitalProductData(cdb[2], data, std::min(length, allocation));
    if (cdb[2] != 0 || (cdb[1] & 0x02))
        return InvalidField(); // a page code without EVPD; CmdDt
    std::uint8_t reply[40] = {};
    reply[0] = 0x00; // direct-access block device
    reply[1] = 0x00;
    reply[2] = 0x04; // SPC-2, as USB bridges of this generation claim
    reply[3] = 0x02;
    reply[4] = identity_.inquiryMarker ? 35 : 31; // additional length
    PutPadded(reply + 8, identity_.vendor, 8);
    PutPadded(reply + 16, identity_.product, 16);
    PutPadded(reply + 32, identity_.revision, 4);
    std::uint32_t available = 36;
    if (identity_.inquiryMarker) {
        std::memcpy(reply + 36, identity_.inquiryMarker->data(), 4);
        available = 40;
    }
    return CopyIn(data, std::min(length, allocation), reply, available);
}

SimReply SimBridge::vitalProductData(std::uint8_t page, std::uint8_t *data, std::uint32_t length)
{
    std::vector<std::uint8_t> reply(4, 0);
    reply[1] = page;
    switch (page) {
    case 0x00: // supported pages
        reply.insert(reply.end(), {0x00, 0x80, 0x83});
        break;
    case 0x80: // unit serial number
        reply.insert(reply.end(), identity_.serial.begin(), identity_.serial.end());
        break;
    case 0x83: { // device identification: one T10 vendor ID descriptor, ASCII
        std::string id(8, ' ');
        PutPadded(reinterpret_cast<std::uint8_t *>(id.data()), identity_.vendor, 8);
        id += identity_.product + " " + identity_.serial;
        reply.insert(reply.end(), {0x02, 0x01, 0x00, static_cast<std::uint8_t>(id.size())});
        reply.insert(reply.end(), id.begin(), id.end());
        break;
    }
    default:
        return InvalidField();
    }
    const std::size_t pageLength = reply.size() - 4;
    reply[2] = static_cast<std::uint8_t>(pageLength >> 8);
    reply[3] = static_cast<std::uint8_t>(pageLength);
    return CopyIn(data, length, reply.data(), static_cast<std::uint32_t>(reply.size()));
}

SimReply SimBridge::diskData(const std::uint8_t *cdb, WireDirection direction, std::uint8_t *data,
                             std::uint32_t length)
{
    const std::uint32_t blockSize = identity_.disk ? identity_.disk->sectorSize() : 512;
    const std::uint64_t sectors = identity_.disk ? identity_.disk->sectors() : 0x200000;
    const std::uint64_t lba = static_cast<std::uint64_t>(cdb[2]) << 24 | cdb[3] << 16 | cdb[4] << 8 | cdb[5];
    const std::uint32_t blocks = static_cast<std::uint32_t>(cdb[7] << 8 | cdb[8]);
    if (lba + blocks > sectors)
        return CheckCondition(0x05, 0x21, 0x00); // LOGICAL BLOCK ADDRESS OUT OF RANGE
    const bool writing = cdb[0] == 0x2A;
    if ((writing && direction != WireDirection::Out) || (!writing && direction == WireDirection::Out))
        return IllegalRequest();
    const std::uint32_t n = std::min(length, blocks * blockSize);
    for (std::uint32_t done = 0; done < n; done += blockSize) {
        const std::uint32_t part = std::min(blockSize, n - done);
        const std::uint64_t block = lba + done / blockSize;
        if (writing) {
            std::vector<std::uint8_t> &stored = diskBlocks_[block];
            stored.assign(blockSize, 0);
            std::memcpy(stored.data(), data + done, part);
        } else if (const auto it = diskBlocks_.find(block); it != diskBlocks_.end()) {
            std::memcpy(data + done, it->second.data(), part);
        } else {
            std::memset(data + done, 0, part);
        }
    }
    return Good(n);
}

SimReply SimBridge::readCapacity(const std::uint8_t *cdb, std::uint8_t *data, std::uint32_t length)
{
    // The attached disk where it is modelled; otherwise a 1 GiB disk of
    // 512-byte blocks. Both commands report the same disk; a disk beyond what
    // 32 bits of LBA reach says FFFFFFFF to READ CAPACITY(10), as the standard has it.
    const std::uint64_t sectors = identity_.disk ? identity_.disk->sectors() : 0x200000;
    const std::uint32_t blockSize = identity_.disk ? identity_.disk->sectorSize() : 512;
    const std::uint64_t last = sectors - 1;
    std::uint8_t reply[32] = {};
    auto put = [&reply](std::size_t at, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            reply[at + static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    };
    if (cdb[0] == 0x25) {
        put(0, std::min<std::uint64_t>(last, 0xFFFFFFFF), 4);
        put(4, blockSize, 4);
        return CopyIn(data, length, reply, 8);
    }
    if ((cdb[1] & 0x1F) != 0x10)
        return InvalidField();
    put(0, last, 8);
    put(8, blockSize, 4);
    const std::uint32_t allocation =
        static_cast<std::uint32_t>(cdb[10] << 24 | cdb[11] << 16 | cdb[12] << 8 | cdb[13]);
    return CopyIn(data, std::min(length, allocation), reply, sizeof reply);
}

SimReply SimBridge::vendorDF(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                             std::uint32_t length)
{
    const std::uint8_t sub = cdb[11];
    if (!identity_.flashAttached && (sub == 0xFA || sub == 0xFB || sub == 0xFC))
        return IllegalRequest(); // no flash behind the bridge
    switch (sub) {
    case 0xFF: // probe
        if (!identity_.probeReply || dir == WireDirection::Out)
            return IllegalRequest();
        return CopyIn(data, length, identity_.probeReply->data(), 2);
    case 0xFD: { // controller data space, read
        if (dir == WireDirection::Out)
            return IllegalRequest();
        const std::uint32_t n = std::min(Be16(cdb + 3), length);
        const std::uint32_t address = Be16(cdb + 6);
        for (std::uint32_t i = 0; i < n; ++i)
            data[i] = xdata_[(address + i) & 0xFFFF];
        return Good(n);
    }
    case 0xFE: { // controller data space, write
        if (dir == WireDirection::In)
            return IllegalRequest();
        const std::uint32_t n = std::min(Be16(cdb + 3), length);
        const std::uint32_t address = Be16(cdb + 6);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint16_t at = static_cast<std::uint16_t>((address + i) & 0xFFFF);
            const auto inverted = identity_.xdataWriteXor.find(at);
            xdata_[at] = static_cast<std::uint8_t>(
                data[i] ^ (inverted == identity_.xdataWriteXor.end() ? 0 : inverted->second));
        }
        return Good(n);
    }
    case 0xFA: { // firmware-mediated flash read
        if (dir == WireDirection::Out)
            return IllegalRequest();
        const std::uint32_t n = std::min(Be24(cdb + 2), length);
        readArray(Be24(cdb + 8), data, n);
        return Good(n);
    }
    case 0xFB: { // firmware-mediated flash write, erasing first as the mode asks
        if (dir == WireDirection::In)
            return IllegalRequest();
        const std::uint32_t n = std::min(Be24(cdb + 2), length);
        const std::uint32_t address = Be24(cdb + 8);
        return blockWrite(cdb[1], address, data, n) ? Good(n) : HardwareError();
    }
    case 0xFC:
        if (!identity_.acceptsFlashProbeMode)
            return IllegalRequest();
        return Good(0);
    default:
        return IllegalRequest();
    }
}

SimReply SimBridge::vendorFF04(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                               std::uint32_t length)
{
    // A command that moves no data is taken whatever it is: only a data phase
    // the wrong way round is refused.
    const bool in = dir == WireDirection::In;
    const bool out = dir == WireDirection::Out;
    if (!identity_.flashAttached) {
        switch (cdb[2]) {
        case 0x10: { // the firmware answers from its copy on the disk
            if (out)
                return IllegalRequest();
            const std::uint32_t address = Be24(cdb + 3);
            const auto &image = identity_.diskFirmware;
            for (std::uint32_t i = 0; i < length; ++i)
                data[i] = address + i < image.size() ? image[address + i] : 0xFF;
            return Good(length);
        }
        case 0x0F:
        case 0x11:
        case 0x12:
        case 0x13:
        case 0x14:
        case 0x15:
        case 0x20:
        case 0x21:
        case 0x22:
            return IllegalRequest();
        default:
            break;
        }
    }
    switch (cdb[2]) {
    case 0x10: // read flash
        if (out)
            return IllegalRequest();
        readArray(Be24(cdb + 3), data, length);
        return Good(length);
    case 0x11: // write flash (the area must be erased)
        if (in)
            return IllegalRequest();
        return programArray(Be24(cdb + 3), data, length) ? Good(length) : HardwareError();
    case 0x12: { // flash status register
        if (out)
            return IllegalRequest();
        flash_.select();
        flash_.exchange(kSpiReadStatus);
        for (std::uint32_t i = 0; i < length; ++i)
            data[i] = flash_.exchange(0x00);
        flash_.deselect();
        return Good(length);
    }
    case 0x13: // erase the whole flash; the host polls the status for the end
        if (in)
            return IllegalRequest();
        liftSstProtection();
        eraseWith(opcodes_.chipErase, 0, false);
        return Good(0);
    case 0x14:
        if (in)
            return IllegalRequest();
        liftSstProtection();
        eraseWith(opcodes_.blockErase, Be24(cdb + 3), false);
        return Good(0);
    case 0x15: { // opcode, dummy bytes, then the ID bytes
        if (out)
            return IllegalRequest();
        const std::uint32_t count = std::min<std::uint32_t>(cdb[3], length);
        flash_.select();
        flash_.exchange(cdb[4]);
        for (int i = 0; i < cdb[5]; ++i)
            flash_.exchange(0x00);
        for (std::uint32_t i = 0; i < count; ++i)
            data[i] = flash_.exchange(0x00);
        flash_.deselect();
        return Good(count);
    }
    case 0x20: { // raw SPI: clock the descriptor's bytes, then an optional data phase
        const std::uint32_t count = std::min<std::uint32_t>(cdb[3], 7);
        flash_.select();
        for (std::uint32_t i = 0; i < count; ++i)
            flash_.exchange(cdb[5 + i]);
        for (std::uint32_t i = 0; i < length; ++i) {
            const std::uint8_t miso = flash_.exchange(in ? 0x00 : data[i]);
            if (in)
                data[i] = miso;
        }
        if (cdb[4] == 1)
            spiHeld_ = true;
        else
            flash_.deselect();
        return Good(length);
    }
    case 0x21:
    case 0x22: { // data phase of a held transaction (or a new one), then deselect
        const bool read = cdb[2] == 0x21;
        if (read ? out : in)
            return IllegalRequest();
        std::uint32_t n = Be16(cdb + 7);
        n = n == 0 ? length : std::min(n, length);
        if (!spiHeld_)
            flash_.select();
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint8_t miso = flash_.exchange(read ? 0x00 : data[i]);
            if (read)
                data[i] = miso;
        }
        endHeldTransaction();
        return Good(n);
    }
    case 0x23: {
        if (out)
            return IllegalRequest();
        const std::uint8_t reply[4] = {identity_.flashTypeVerdict, 0, 0, 0};
        return CopyIn(data, length, reply, 4);
    }
    case 0x0F:
        if (in)
            return IllegalRequest();
        opcodes_.chipErase = cdb[3];
        opcodes_.blockErase = cdb[4];
        opcodes_.pageProgram = cdb[5];
        opcodes_.sectorErase = cdb[6];
        opcodes_.parameter = static_cast<std::uint16_t>(Be16(cdb + 7));
        return Good(0);
    case 0x25:
        return in ? IllegalRequest() : Good(0);
    case 0x26:
        if (cdb[3] != 'V' || cdb[4] != 'K')
            return IllegalRequest();
        restart();
        return Good(0);
    case 0x30:
        if (!identity_.signature || out)
            return IllegalRequest();
        return CopyIn(data, length, identity_.signature->data(), 40);
    case 0xA0:
        if (!identity_.firmwareInfo || out)
            return IllegalRequest();
        return CopyIn(data, std::min<std::uint32_t>(length, cdb[3]), identity_.firmwareInfo->data(), 32);
    default:
        return IllegalRequest();
    }
}

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
        flash_.exchange(kSpiReadStatus);
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
    flash_.exchange(kSpiReadStatus);
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
