#include "bridge/buffer_commands.h"

#include "common/debug_log.h"
#include "device/transport.h"

#include <cstdio>
#include <cstring>

namespace brigant
{

namespace
{

void TraceSense(const char *what, const std::uint8_t *sense, int count)
{
    DebugOut(what);
    std::string line = "SenseData 12: ";
    char byte[4];
    for (int i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, i ? ".%02X" : "%02X", sense[i]);
        line += byte;
    }
    DebugOut(line);
}

} // namespace

int ReadBufferCmd(const std::string &path, std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset,
                  std::uint8_t *dest, std::uint32_t length, const MessagePump &pump)
{
    const Cdb cdb = Cdb(0x3C, 10).put8(1, mode).put8(2, bufferId).put24(3, offset).put24(6, length);
    std::uint8_t sense[kRetrySenseLength];
    std::uint32_t transferred = 0;
    const int ok = SendWhileBecomingReady(
        [&](std::uint8_t *s) {
            return SendScsiInSense(path, cdb.data(), cdb.length(), dest, length, transferred, s,
                                   kRetrySenseLength);
        },
        sense, pump);
    if (!ok)
        TraceSense("VK_ReadBuffer.", sense, 17);
    return ok;
}

int WriteBufferCmd(const std::string &path, std::uint8_t bufferId, std::uint8_t mode,
                   const std::uint8_t *data, std::uint32_t offset, std::uint32_t length,
                   const MessagePump &pump)
{
    Cdb cdb = Cdb(0x3B, 10).put8(1, mode);
    if (mode != kWriteBufferActivate)
        cdb.put8(2, bufferId).put24(3, offset).put24(6, length);
    std::uint8_t sense[kRetrySenseLength];
    std::uint32_t transferred = 0;
    const int ok = SendWhileBecomingReady(
        [&](std::uint8_t *s) {
            return SendScsiOutSense(path, cdb.data(), cdb.length(), data, length, transferred, s,
                                    kRetrySenseLength);
        },
        sense, pump);
    if (!ok)
        TraceSense("VK_WriteBuffer.", sense, 18);
    return ok;
}

int ProbeReadBuffer(const std::string &path, const MessagePump &pump, std::uint8_t *boundary)
{
    std::uint8_t reply[4] = {};
    const int offered = ReadBufferCmd(path, kReadBufferDescriptor, 0, 0, reply, 4, pump);
    if (boundary)
        *boundary = offered ? reply[0] : 0;
    return offered;
}

void BuildProductSerialRecord(const std::string &serial, std::uint8_t record[kProductSerialRecordSize])
{
    std::memset(record, 0, kProductSerialRecordSize);
    record[0] = 0x42;
    for (std::size_t i = 0; i < 20; ++i)
        record[52 + i] = i < serial.size() ? static_cast<std::uint8_t>(serial[i]) : ' ';
}

std::string ProductSerialOf(const std::uint8_t *record)
{
    if (record[0] != 0x42)
        return {};
    std::string serial(reinterpret_cast<const char *>(record + 52), 20);
    while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0'))
        serial.pop_back();
    return serial;
}

int WriteProductSerial(const std::string &path, std::uint16_t vendorId, std::uint16_t productId,
                       const std::uint8_t record[kProductSerialRecordSize])
{
    const Cdb cdb =
        Cdb(0xC3).put8(1, 0x30).put16(4, vendorId).put16(6, productId).put8(9, kProductSerialRecordSize);
    return SendOut(path, cdb, record, kProductSerialRecordSize);
}

} // namespace brigant
