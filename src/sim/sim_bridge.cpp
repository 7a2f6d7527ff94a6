// The simulated bridge itself: how it starts, how it takes a command, and the
// standard SCSI commands a USB disk answers. Its vendor commands are in
// sim_bridge_vendor.cpp, its firmware's flash routines in sim_bridge_flash.cpp.
#include "sim/sim_bridge.h"

#include "sim/bridge_wire.h"
#include "sim/sim_disk.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace brigant::sim
{

namespace
{

void PutPadded(std::uint8_t *at, const std::string &text, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i)
        at[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

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
        return wire::CopyIn(data, std::min<std::uint32_t>(length, cdb[4]), hdr, sizeof hdr);
    }
    case 0x5A: { // MODE SENSE(10): the same header in its longer form
        if (cdbLength < 10)
            return IllegalRequest();
        std::uint8_t hdr[8] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        return wire::CopyIn(data, std::min(length, wire::Be16(cdb + 7)), hdr, sizeof hdr);
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
        return wire::CopyIn(data, length, identity_.chipInfo.data(), identity_.chipInfoLength);
    case 0xFE:
        if (!identity_.answersChipInfoFE || cdb[1] != 0xF4 || cdb[2] != 0xE7)
            return IllegalRequest();
        return wire::CopyIn(data, length, identity_.chipInfo.data(), identity_.chipInfoLength);
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
        return wire::CopyIn(data, length, staging.data(), 512);
    }
    default:
        return IllegalRequest();
    }
}

SimReply SimBridge::inquiry(const std::uint8_t *cdb, std::uint8_t *data, std::uint32_t length)
{
    const std::uint32_t allocation = wire::Be16(cdb + 3);
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
    return wire::CopyIn(data, std::min(length, allocation), reply, available);
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
    return wire::CopyIn(data, length, reply.data(), static_cast<std::uint32_t>(reply.size()));
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
        return wire::CopyIn(data, length, reply, 8);
    }
    if ((cdb[1] & 0x1F) != 0x10)
        return InvalidField();
    put(0, last, 8);
    put(8, blockSize, 4);
    const std::uint32_t allocation =
        static_cast<std::uint32_t>(cdb[10] << 24 | cdb[11] << 16 | cdb[12] << 8 | cdb[13]);
    return wire::CopyIn(data, std::min(length, allocation), reply, sizeof reply);
}

} // namespace brigant::sim
