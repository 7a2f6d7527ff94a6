#include "bridge/flash_commands.h"

#include "bridge/cdb.h"
#include "common/clock.h"

#include <functional>

namespace brigant
{

namespace
{

// FF 04 SUB with a 24-bit flash address in bytes 3-5.
Cdb Sub(std::uint8_t subCommand, std::uint32_t address24 = 0)
{
    return Cdb(0xFF).put8(1, 0x04).put8(2, subCommand).put24(3, address24);
}

Cdb SpiCdb(const SpiDescriptor &descriptor)
{
    Cdb c = Sub(0x20);
    for (std::size_t i = 0; i < 9; ++i)
        c.put8(3 + i, descriptor.bytes[i]);
    return c;
}

Cdb SpiDataCdb(std::uint8_t subCommand, std::uint16_t length) { return Sub(subCommand).put16(7, length); }

Cdb FlashParamsCdb(const FlashOpcodeRecord &r)
{
    return Sub(0x0F)
        .put8(3, r.chipErase)
        .put8(4, r.blockErase)
        .put8(5, r.pageProgram)
        .put8(6, static_cast<std::uint8_t>(r.sectorErase));
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
    return SendInWhole(path, Sub(0x10, address), buffer, length);
}

int WriteFlash(const std::string &path, std::uint32_t address, const std::uint8_t *data, std::uint32_t length)
{
    return SendOut(path, Sub(0x11, address), data, length);
}

int ReadFlashStatus(const std::string &path, std::uint8_t *status)
{
    return SendIn(path, Sub(0x12), status, 1);
}

int EraseFlashAll(const std::string &path) { return SendOut(path, Sub(0x13), nullptr, 0); }

int EraseFlashBlock(const std::string &path, std::uint32_t address)
{
    return SendOut(path, Sub(0x14, address), nullptr, 0);
}

int ReadFlashIdBytes(const std::string &path, std::uint8_t *buffer, std::uint8_t opcode, std::uint8_t count,
                     bool dummy)
{
    return SendIn(path, Sub(0x15).put8(3, count).put8(4, opcode).put8(5, dummy ? 3 : 0), buffer, count);
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
    return SendOut(path, SpiCdb(descriptor), data, length);
}

int SpiCommandIn(const std::string &path, const SpiDescriptor &descriptor)
{
    return SendIn(path, SpiCdb(descriptor), nullptr, 0);
}

int SpiReadData(const std::string &path, std::uint8_t *buffer, std::uint16_t length)
{
    return SendInWhole(path, SpiDataCdb(0x21, length), buffer, length);
}

int SpiWriteData(const std::string &path, const std::uint8_t *data, std::uint16_t length)
{
    return SendOut(path, SpiDataCdb(0x22, length), data, length);
}

int SpiReadDataUnsized(const std::string &path, std::uint8_t *buffer, std::uint32_t length)
{
    return SendIn(path, SpiDataCdb(0x21, 0), buffer, length);
}

int ReadFlashType(const std::string &path, std::uint8_t buffer[4])
{
    return SendIn(path, Sub(0x23).put8(3, 0x04), buffer, 4);
}

int SetFlashParams16(const std::string &path, const FlashOpcodeRecord &record, std::uint16_t parameter)
{
    return SendOut(path, FlashParamsCdb(record).put16(7, parameter), nullptr, 0);
}

int SetFlashParams8(const std::string &path, const FlashOpcodeRecord &record, std::uint16_t parameter)
{
    return SendOut(path, FlashParamsCdb(record).put8(7, static_cast<std::uint8_t>(parameter >> 2)), nullptr,
                   0);
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
