#include "bridge/chip_commands.h"

#include "device/transport.h"
#include "forms/ui_services.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brigant
{

namespace
{

struct Cdb {
    std::uint8_t b[kVendorCdbLength] = {};
};

Cdb VendorDF(std::uint8_t flags, std::uint8_t subCommand)
{
    Cdb c;
    c.b[0] = 0xDF;
    c.b[1] = flags;
    c.b[11] = subCommand;
    return c;
}

Cdb VendorFF04(std::uint8_t subCommand)
{
    Cdb c;
    c.b[0] = 0xFF;
    c.b[1] = 0x04;
    c.b[2] = subCommand;
    return c;
}

void Put16(std::uint8_t *at, std::uint32_t v)
{
    at[0] = static_cast<std::uint8_t>(v >> 8);
    at[1] = static_cast<std::uint8_t>(v);
}

void Put24(std::uint8_t *at, std::uint32_t v)
{
    at[0] = static_cast<std::uint8_t>(v >> 16);
    Put16(at + 1, v);
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

} // namespace

int ReadInquiry(const std::string &path, std::uint8_t *buffer, std::uint32_t length)
{
    Cdb c;
    c.b[0] = 0x12;
    c.b[4] = static_cast<std::uint8_t>(length);
    return In(path, c, buffer, length);
}

int ReadChipInfo(const std::string &path, std::uint8_t *buffer, std::uint32_t length,
                 std::uint32_t &transferred)
{
    const std::uint8_t cdb[kVendorCdbLength] = {0xE0, 0xF4, 0xE7};
    return SendScsiIn(path, cdb, kVendorCdbLength, buffer, length, transferred);
}

int ReadChipInfoFE(const std::string &path, std::uint8_t *buffer, std::uint32_t length,
                   std::uint32_t &transferred)
{
    const std::uint8_t cdb[kVendorCdbLength] = {0xFE, 0xF4, 0xE7};
    return SendScsiIn(path, cdb, kVendorCdbLength, buffer, length, transferred);
}

int ReadXdata(const std::string &path, std::uint8_t *buffer, std::uint16_t address, std::uint16_t length)
{
    Cdb c = VendorDF(0x10, 0xFD);
    Put16(c.b + 3, length);
    Put16(c.b + 6, address);
    return In(path, c, buffer, length);
}

int WriteXdata(const std::string &path, const std::uint8_t *data, std::uint16_t address, std::uint16_t length)
{
    Cdb c = VendorDF(0x00, 0xFE);
    Put16(c.b + 3, length);
    Put16(c.b + 6, address);
    return Out(path, c, data, length);
}

int ReadBlock24(const std::string &path, std::uint32_t address, std::uint8_t *buffer, std::uint32_t length)
{
    Cdb c = VendorDF(0x10, 0xFA);
    Put24(c.b + 2, length);
    Put24(c.b + 8, address);
    return In(path, c, buffer, length);
}

int WriteBlock24(const std::string &path, std::uint32_t address, const std::uint8_t *data,
                 std::uint32_t length, std::uint8_t mode)
{
    Cdb c = VendorDF(static_cast<std::uint8_t>(mode & 0x87), 0xFB);
    Put24(c.b + 2, length);
    Put24(c.b + 8, address);
    return Out(path, c, data, length);
}

int WriteBlock16(const std::string &path, std::uint32_t address, const std::uint8_t *data,
                 std::uint16_t length, bool flag)
{
    Cdb c = VendorDF(flag ? 0x01 : 0x00, 0xFB);
    Put16(c.b + 3, length);
    Put24(c.b + 8, address);
    return Out(path, c, data, length);
}

int FlashProbeMode(const std::string &path) { return In(path, VendorDF(0x01, 0xFC), nullptr, 0); }

int ReadChipSignature(const std::string &path, std::uint8_t *buffer, std::uint32_t length)
{
    if (length < 0x08) {
        // A programming error, not a device condition: stop in every build type.
        std::fputs("Assertion failed: length >= 0x08 (ReadChipSignature)\n", stderr);
        std::abort();
    }
    Cdb c = VendorFF04(0x30);
    c.b[3] = 0x08;
    return In(path, c, buffer, length);
}

int ReadFirmwareInfo(const std::string &path, std::uint8_t *buffer, std::uint8_t length)
{
    Cdb c = VendorFF04(0xA0);
    c.b[3] = length;
    return In(path, c, buffer, length);
}

std::uint8_t ReadFirmwareInfoLevel(const std::string &path, std::uint8_t length)
{
    std::uint8_t reply[256] = {};
    return ReadFirmwareInfo(path, reply, length) ? reply[8] : 0;
}

std::uint8_t ReadFirmwareInfoReleaseFlag(const std::string &path, std::uint8_t length)
{
    std::uint8_t reply[256] = {};
    return ReadFirmwareInfo(path, reply, length) ? reply[19] : 0;
}

int ResetChip(const std::string &path)
{
    Cdb c = VendorFF04(0x26);
    c.b[3] = 'V';
    c.b[4] = 'K';
    return In(path, c, nullptr, 0);
}

int PrepareFlashUpdate(const std::string &path) { return Out(path, VendorFF04(0x25), nullptr, 0); }

int ProbeReadBuffer(const std::string &path)
{
    const std::uint8_t cdb[10] = {0x3C, 0x03, 0, 0, 0, 0, 0, 0, 0x04, 0};
    std::uint8_t reply[4] = {};
    std::uint8_t sense[18] = {};
    std::uint32_t transferred = 0;
    int ok = SendScsiInSense(path, cdb, 10, reply, 4, transferred, sense, sizeof sense);
    for (int retry = 0; !ok && retry < kBecomingReadyRetries && IsBecomingReady(sense, sizeof sense);
         ++retry) {
        Ui().processMessages();
        std::memset(sense, 0, sizeof sense);
        ok = SendScsiInSense(path, cdb, 10, reply, 4, transferred, sense, sizeof sense);
    }
    return ok;
}

int ReadStagingBuffer(const std::string &path, std::uint8_t buffer[512])
{
    Cdb c;
    c.b[0] = 0xB5;
    c.b[5] = 0x64;
    c.b[8] = 0x01;
    return In(path, c, buffer, 512);
}

SenseCode DecodeSense(const std::uint8_t *sense, std::uint32_t length)
{
    SenseCode s;
    if (!sense || length < 1)
        return s;
    const std::uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        if (length > 1)
            s.key = sense[1] & 0x0F;
        if (length > 2)
            s.asc = sense[2];
        if (length > 3)
            s.ascq = sense[3];
    } else if (code == 0x70 || code == 0x71) {
        if (length > 2)
            s.key = sense[2] & 0x0F;
        if (length > 12)
            s.asc = sense[12];
        if (length > 13)
            s.ascq = sense[13];
    }
    return s;
}

bool IsBecomingReady(const std::uint8_t *sense, std::uint32_t length)
{
    const SenseCode s = DecodeSense(sense, length);
    return s.key == 0x02 && s.asc == 0x04 && s.ascq == 0x01;
}

} // namespace brigant
