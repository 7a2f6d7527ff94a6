// The bridge's vendor commands: the DF .. and FF 04 .. families, one handler
// per sub-command, found through a table that says which way the data phase
// may go and whether the command needs the SPI flash.
#include "sim/bridge_wire.h"
#include "sim/sim_bridge.h"

#include <algorithm>
#include <iterator>

namespace brigant::sim
{

// Which bridges take a sub-command: every one, only those with an SPI flash,
// or only those whose firmware lives on the attached disk.
enum class VendorStore : std::uint8_t { Any, Flash, Disk };

struct SimBridge::VendorCommand {
    std::uint8_t sub;
    // A data phase this way round is refused; None: a data phase either way
    // is taken. (A command that moves no data is taken whatever it is.)
    WireDirection refused;
    VendorStore store;
    VendorHandler handler;
};

SimReply SimBridge::runVendorCommand(const VendorCommand *table, std::size_t count, std::uint8_t sub,
                                     const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                                     std::uint32_t length)
{
    const VendorStore store = identity_.flashAttached ? VendorStore::Flash : VendorStore::Disk;
    for (const VendorCommand *c = table; c != table + count; ++c) {
        if (c->sub != sub || (c->store != VendorStore::Any && c->store != store))
            continue;
        if (c->refused != WireDirection::None && dir == c->refused)
            return IllegalRequest();
        return (this->*c->handler)(cdb, dir, data, length);
    }
    // Unknown, or one that needs a flash where there is none (or the other way round).
    return IllegalRequest();
}

SimReply SimBridge::vendorDF(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                             std::uint32_t length)
{
    using D = WireDirection;
    using S = VendorStore;
    static const VendorCommand kCommands[] = {
        {0xFF, D::Out, S::Any, &SimBridge::probe},
        {0xFD, D::Out, S::Any, &SimBridge::readXdata},
        {0xFE, D::In, S::Any, &SimBridge::writeXdata},
        {0xFA, D::Out, S::Flash, &SimBridge::readBlock},
        {0xFB, D::In, S::Flash, &SimBridge::writeBlock},
        {0xFC, D::None, S::Flash, &SimBridge::flashProbeMode},
    };
    return runVendorCommand(kCommands, std::size(kCommands), cdb[11], cdb, dir, data, length);
}

SimReply SimBridge::vendorFF04(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                               std::uint32_t length)
{
    using D = WireDirection;
    using S = VendorStore;
    static const VendorCommand kCommands[] = {
        {0x0F, D::In, S::Flash, &SimBridge::setFlashOpcodes},
        {0x10, D::Out, S::Flash, &SimBridge::readFlash},
        {0x10, D::Out, S::Disk, &SimBridge::readDiskFirmware},
        {0x11, D::In, S::Flash, &SimBridge::writeFlash},
        {0x12, D::Out, S::Flash, &SimBridge::readFlashStatus},
        {0x13, D::In, S::Flash, &SimBridge::eraseChip},
        {0x14, D::In, S::Flash, &SimBridge::eraseBlock},
        {0x15, D::Out, S::Flash, &SimBridge::readFlashId},
        {0x20, D::None, S::Flash, &SimBridge::rawSpi},
        {0x21, D::Out, S::Flash, &SimBridge::spiDataPhase},
        {0x22, D::In, S::Flash, &SimBridge::spiDataPhase},
        {0x23, D::Out, S::Any, &SimBridge::flashVerdict},
        {0x25, D::In, S::Any, &SimBridge::acceptWrite},
        {0x26, D::None, S::Any, &SimBridge::resetCommand},
        {0x30, D::Out, S::Any, &SimBridge::readSignature},
        {0xA0, D::Out, S::Any, &SimBridge::readFirmwareInfo},
    };
    return runVendorCommand(kCommands, std::size(kCommands), cdb[2], cdb, dir, data, length);
}

// DF .. FF: the vendor probe.
SimReply SimBridge::probe(const std::uint8_t *, WireDirection, std::uint8_t *data, std::uint32_t length)
{
    if (!identity_.probeReply)
        return IllegalRequest();
    return wire::CopyIn(data, length, identity_.probeReply->data(), 2);
}

// DF .. FD: controller data space, read.
SimReply SimBridge::readXdata(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                              std::uint32_t length)
{
    const std::uint32_t n = std::min(wire::Be16(cdb + 3), length);
    const std::uint32_t address = wire::Be16(cdb + 6);
    for (std::uint32_t i = 0; i < n; ++i)
        data[i] = xdata_[(address + i) & 0xFFFF];
    return Good(n);
}

// DF .. FE: controller data space, write.
SimReply SimBridge::writeXdata(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                               std::uint32_t length)
{
    const std::uint32_t n = std::min(wire::Be16(cdb + 3), length);
    const std::uint32_t address = wire::Be16(cdb + 6);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint16_t at = static_cast<std::uint16_t>((address + i) & 0xFFFF);
        const auto inverted = identity_.xdataWriteXor.find(at);
        xdata_[at] = static_cast<std::uint8_t>(
            data[i] ^ (inverted == identity_.xdataWriteXor.end() ? 0 : inverted->second));
    }
    return Good(n);
}

// DF .. FA: firmware-mediated flash read.
SimReply SimBridge::readBlock(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                              std::uint32_t length)
{
    const std::uint32_t n = std::min(wire::Be24(cdb + 2), length);
    readArray(wire::Be24(cdb + 8), data, n);
    return Good(n);
}

// DF .. FB: firmware-mediated flash write, erasing first as the mode asks.
SimReply SimBridge::writeBlock(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                               std::uint32_t length)
{
    const std::uint32_t n = std::min(wire::Be24(cdb + 2), length);
    const std::uint32_t address = wire::Be24(cdb + 8);
    return blockWrite(cdb[1], address, data, n) ? Good(n) : wire::HardwareError();
}

// DF .. FC: the flash probe mode.
SimReply SimBridge::flashProbeMode(const std::uint8_t *, WireDirection, std::uint8_t *, std::uint32_t)
{
    if (!identity_.acceptsFlashProbeMode)
        return IllegalRequest();
    return Good(0);
}

// FF 04 0F: the opcodes the firmware's own flash operations use.
SimReply SimBridge::setFlashOpcodes(const std::uint8_t *cdb, WireDirection, std::uint8_t *, std::uint32_t)
{
    opcodes_.chipErase = cdb[3];
    opcodes_.blockErase = cdb[4];
    opcodes_.pageProgram = cdb[5];
    opcodes_.sectorErase = cdb[6];
    opcodes_.parameter = static_cast<std::uint16_t>(wire::Be16(cdb + 7));
    return Good(0);
}

// FF 04 10: read flash.
SimReply SimBridge::readFlash(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                              std::uint32_t length)
{
    readArray(wire::Be24(cdb + 3), data, length);
    return Good(length);
}

// FF 04 10 without a flash: the firmware answers from its copy on the disk.
SimReply SimBridge::readDiskFirmware(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                                     std::uint32_t length)
{
    const std::uint32_t address = wire::Be24(cdb + 3);
    const auto &image = identity_.diskFirmware;
    for (std::uint32_t i = 0; i < length; ++i)
        data[i] = address + i < image.size() ? image[address + i] : 0xFF;
    return Good(length);
}

// FF 04 11: write flash (the area must be erased).
SimReply SimBridge::writeFlash(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                               std::uint32_t length)
{
    return programArray(wire::Be24(cdb + 3), data, length) ? Good(length) : wire::HardwareError();
}

// FF 04 12: the flash status register.
SimReply SimBridge::readFlashStatus(const std::uint8_t *, WireDirection, std::uint8_t *data,
                                    std::uint32_t length)
{
    flash_.select();
    flash_.exchange(wire::kSpiReadStatus);
    for (std::uint32_t i = 0; i < length; ++i)
        data[i] = flash_.exchange(0x00);
    flash_.deselect();
    return Good(length);
}

// FF 04 13: erase the whole flash; the host polls the status for the end.
SimReply SimBridge::eraseChip(const std::uint8_t *, WireDirection, std::uint8_t *, std::uint32_t)
{
    liftSstProtection();
    eraseWith(opcodes_.chipErase, 0, false);
    return Good(0);
}

// FF 04 14: erase the block the address lies in; the host polls as well.
SimReply SimBridge::eraseBlock(const std::uint8_t *cdb, WireDirection, std::uint8_t *, std::uint32_t)
{
    liftSstProtection();
    eraseWith(opcodes_.blockErase, wire::Be24(cdb + 3), false);
    return Good(0);
}

// FF 04 15: opcode, dummy bytes, then the ID bytes.
SimReply SimBridge::readFlashId(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                                std::uint32_t length)
{
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

// FF 04 20: raw SPI: clock the descriptor's bytes, then an optional data
// phase; CDB byte 4 = 1 holds the transaction open for the next command.
SimReply SimBridge::rawSpi(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                           std::uint32_t length)
{
    const bool in = dir == WireDirection::In;
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

// FF 04 21 (read) and 22 (write): the data phase of a held transaction (or
// of a new one), then deselect.
SimReply SimBridge::spiDataPhase(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                                 std::uint32_t length)
{
    const bool read = cdb[2] == 0x21;
    std::uint32_t n = wire::Be16(cdb + 7);
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

// FF 04 23: the flash maker as the firmware identified it.
SimReply SimBridge::flashVerdict(const std::uint8_t *, WireDirection, std::uint8_t *data,
                                 std::uint32_t length)
{
    const std::uint8_t reply[4] = {identity_.flashTypeVerdict, 0, 0, 0};
    return wire::CopyIn(data, length, reply, 4);
}

// FF 04 25: taken, and nothing done.
SimReply SimBridge::acceptWrite(const std::uint8_t *, WireDirection, std::uint8_t *, std::uint32_t)
{
    return Good(0);
}

// FF 04 26 'V' 'K': the bridge restarts.
SimReply SimBridge::resetCommand(const std::uint8_t *cdb, WireDirection, std::uint8_t *, std::uint32_t)
{
    if (cdb[3] != 'V' || cdb[4] != 'K')
        return IllegalRequest();
    restart();
    return Good(0);
}

// FF 04 30: the signature.
SimReply SimBridge::readSignature(const std::uint8_t *, WireDirection, std::uint8_t *data,
                                  std::uint32_t length)
{
    if (!identity_.signature)
        return IllegalRequest();
    return wire::CopyIn(data, length, identity_.signature->data(), 40);
}

// FF 04 A0: the firmware information.
SimReply SimBridge::readFirmwareInfo(const std::uint8_t *cdb, WireDirection, std::uint8_t *data,
                                     std::uint32_t length)
{
    if (!identity_.firmwareInfo)
        return IllegalRequest();
    return wire::CopyIn(data, std::min<std::uint32_t>(length, cdb[3]), identity_.firmwareInfo->data(), 32);
}

} // namespace brigant::sim
