#include "bridge/flash_commands.h"

#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "device/transport.h"

#include <functional>

namespace brigant
{

namespace
{

struct Cdb {
    std::uint8_t b[kVendorCdbLength] = {0xFF, 0x04};
};

Cdb Sub(std::uint8_t subCommand, std::uint32_t address24 = 0)
{
    Cdb c;
    c.b[2] = subCommand;
    c.b[3] = static_cast<std::uint8_t>(address24 >> 16);
    c.b[4] = static_cast<std::uint8_t>(address24 >> 8);
    c.b[5] = static_cast<std::uint8_t>(address24);
    return c;
}

int In(const std::string &path, const Cdb &c, std::uint8_t *buffer, std::uint32_t length)
{
    std::uint32_t transferred = 0;
    return SendScsiIn(path, c.b, kVendorCdbLength, buffer, length, transferred);
}

int Out(const std::string &path, const Cdb &c, const std::uint8_t *data, std::uint32_t length)
{
    std::uint32_t transferred = 0;
    return SendScsiOut(path, c.b, kVendorCdbLength, data, length, transferred);
}

Cdb SpiCdb(const SpiDescriptor &descriptor)
{
    Cdb c;
    c.b[2] = 0x20;
    for (int i = 0; i < 9; ++i)
        c.b[3 + i] = descriptor.bytes[i];
    return c;
}

Cdb SpiDataCdb(std::uint8_t subCommand, std::uint16_t length)
{
    Cdb c;
    c.b[2] = subCommand;
    c.b[7] = static_cast<std::uint8_t>(length >> 8);
    c.b[8] = static_cast<std::uint8_t>(length);
    return c;
}

Cdb FlashParamsCdb(const FlashOpcodeRecord &r)
{
    Cdb c;
    c.b[2] = 0x0F;
    c.b[3] = r.chipErase;
    c.b[4] = r.blockErase;
    c.b[5] = r.pageProgram;
    c.b[6] = static_cast<std::uint8_t>(r.sectorErase);
    return c;
}

// Reads the status, then re-reads it every 10 ms while `waiting` holds.
// Only the first `rereads` re-reads count; the loop still makes two more
// reads before it gives up, the last of them without looking at it.
int Poll(const std::string &path, int rereads, const std::function<bool(std::uint8_t)> &waiting)
{
    std::uint8_t status = 0;
    ReadFlashStatus(path, &status);
    int reread = 0;
    while (waiting(status)) {
        SleepMs(kStatusPollIntervalMs);
        ReadFlashStatus(path, &status);
        if (++reread == rereads + 2)
            break;
    }
    return reread <= rereads ? 1 : 0;
}

} // namespace

int ReadFlash(const std::string &path, std::uint32_t address, std::uint8_t *buffer, std::uint32_t length)
{
    return In(path, Sub(0x10, address), buffer, length);
}

int WriteFlash(const std::string &path, std::uint32_t address, const std::uint8_t *data, std::uint32_t length)
{
    return Out(path, Sub(0x11, address), data, length);
}

int ReadFlashStatus(const std::string &path, std::uint8_t *status) { return In(path, Sub(0x12), status, 1); }

int EraseFlashAll(const std::string &path) { return Out(path, Sub(0x13), nullptr, 0); }

int EraseFlashBlock(const std::string &path, std::uint32_t address)
{
    return Out(path, Sub(0x14, address), nullptr, 0);
}

int ReadFlashIdBytes(const std::string &path, std::uint8_t *buffer, std::uint8_t opcode, std::uint8_t count,
                     bool dummy)
{
    Cdb c = Sub(0x15);
    c.b[3] = count;
    c.b[4] = opcode;
    c.b[5] = dummy ? 3 : 0;
    return In(path, c, buffer, count);
}

int ReadFlashIdBytes3(const std::string &path, std::uint8_t *buffer, std::uint8_t opcode, bool dummy)
{
    return ReadFlashIdBytes(path, buffer, opcode, 3, dummy);
}

int ReadFlashIdBytes4(const std::string &path, std::uint8_t *buffer, std::uint8_t opcode, bool dummy)
{
    return ReadFlashIdBytes(path, buffer, opcode, 4, dummy);
}

int SpiCommand(const std::string &path, const SpiDescriptor &descriptor, const std::uint8_t *data,
               std::uint32_t length)
{
    return Out(path, SpiCdb(descriptor), data, length);
}

int SpiCommandIn(const std::string &path, const SpiDescriptor &descriptor)
{
    return In(path, SpiCdb(descriptor), nullptr, 0);
}

int SpiReadData(const std::string &path, std::uint8_t *buffer, std::uint16_t length)
{
    return In(path, SpiDataCdb(0x21, length), buffer, length);
}

int SpiWriteData(const std::string &path, const std::uint8_t *data, std::uint16_t length)
{
    return Out(path, SpiDataCdb(0x22, length), data, length);
}

int SpiReadDataUnsized(const std::string &path, std::uint8_t *buffer, std::uint32_t length)
{
    return In(path, SpiDataCdb(0x21, 0), buffer, length);
}

int ReadFlashType(const std::string &path, std::uint8_t buffer[4])
{
    Cdb c = Sub(0x23);
    c.b[3] = 0x04;
    return In(path, c, buffer, 4);
}

int SetFlashParams16(const std::string &path, const FlashOpcodeRecord &record, std::uint16_t parameter)
{
    Cdb c = FlashParamsCdb(record);
    c.b[7] = static_cast<std::uint8_t>(parameter >> 8);
    c.b[8] = static_cast<std::uint8_t>(parameter);
    return Out(path, c, nullptr, 0);
}

int SetFlashParams8(const std::string &path, const FlashOpcodeRecord &record, std::uint16_t parameter)
{
    Cdb c = FlashParamsCdb(record);
    c.b[7] = static_cast<std::uint8_t>(parameter >> 2);
    return Out(path, c, nullptr, 0);
}

int SpiQuery(const std::string &path, std::uint8_t opcode, std::uint8_t *buffer, std::uint8_t length)
{
    SpiDescriptor d;
    d.bytes[0] = 1;
    d.bytes[1] = 1;
    d.bytes[2] = opcode;
    if (!SpiCommandIn(path, d))
        return 0;
    return SpiReadData(path, buffer, length);
}

int WriteEnable(const std::string &path)
{
    SpiDescriptor d;
    d.bytes[0] = 1;
    d.bytes[2] = 0x06;
    return SpiCommand(path, d, nullptr, 0);
}

int WriteStatusZero(const std::string &path)
{
    SpiDescriptor d;
    d.bytes[0] = 2;
    d.bytes[2] = 0x01;
    const std::uint8_t data[2] = {0x01, 0x00};
    return SpiCommand(path, d, data, 2);
}

int WaitFlashReady(const std::string &path)
{
    return Poll(path, kBusyPollRereads, [](std::uint8_t s) { return (s & 0x01) != 0; });
}

int WaitStatusSet(const std::string &path, std::uint8_t mask)
{
    return Poll(path, kStatusPollRereads, [mask](std::uint8_t s) { return (s & mask) == 0; });
}

int WaitStatusClear(const std::string &path)
{
    return Poll(path, kStatusPollRereads, [](std::uint8_t s) { return (s & 0x06) != 0; });
}

} // namespace brigant
