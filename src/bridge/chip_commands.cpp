#include "bridge/chip_commands.h"

#include "bridge/cdb.h"
#include "device/transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brigant
{

namespace
{

constexpr std::uint8_t kCheckCondition = 0x02; // SCSI status

Cdb VendorDF(std::uint8_t flags, std::uint8_t subCommand)
{
    return Cdb(0xDF).put8(1, flags).put8(11, subCommand);
}

Cdb VendorFF04(std::uint8_t subCommand) { return Cdb(0xFF).put8(1, 0x04).put8(2, subCommand); }

} // namespace

int ReadInquiry(const std::string &path, std::uint8_t *buffer, std::uint32_t length)
{
    return SendIn(path, Cdb(0x12).put8(4, static_cast<std::uint8_t>(length)), buffer, length);
}

int ReadChipInfo(const std::string &path, std::uint8_t *buffer, std::uint32_t length,
                 std::uint32_t &transferred)
{
    const Cdb cdb = Cdb(0xE0).put8(1, 0xF4).put8(2, 0xE7);
    return SendScsiIn(path, cdb.data(), cdb.length(), buffer, length, transferred);
}

int ReadChipInfoFE(const std::string &path, std::uint8_t *buffer, std::uint32_t length,
                   std::uint32_t &transferred)
{
    const Cdb cdb = Cdb(0xFE).put8(1, 0xF4).put8(2, 0xE7);
    return SendScsiIn(path, cdb.data(), cdb.length(), buffer, length, transferred);
}

int ReadXdata(const std::string &path, std::uint8_t *buffer, std::uint16_t address, std::uint16_t length)
{
    return SendIn(path, VendorDF(0x10, 0xFD).put16(3, length).put16(6, address), buffer, length);
}

int WriteXdata(const std::string &path, const std::uint8_t *data, std::uint16_t address, std::uint16_t length)
{
    return SendOut(path, VendorDF(0x00, 0xFE).put16(3, length).put16(6, address), data, length);
}

int ReadBlock24(const std::string &path, std::uint32_t address, std::uint8_t *buffer, std::uint32_t length)
{
    return SendInWhole(path, VendorDF(0x10, 0xFA).put24(2, length).put24(8, address), buffer, length);
}

int WriteBlock24(const std::string &path, std::uint32_t address, const std::uint8_t *data,
                 std::uint32_t length, std::uint8_t mode)
{
    const Cdb cdb = VendorDF(static_cast<std::uint8_t>(mode & 0x87), 0xFB).put24(2, length).put24(8, address);
    return SendOut(path, cdb, data, length);
}

int WriteBlock16(const std::string &path, std::uint32_t address, const std::uint8_t *data,
                 std::uint16_t length, bool flag)
{
    return SendOut(path, VendorDF(flag ? 0x01 : 0x00, 0xFB).put16(3, length).put24(8, address), data, length);
}

int FlashProbeMode(const std::string &path) { return SendIn(path, VendorDF(0x01, 0xFC), nullptr, 0); }

int ReadChipSignature(const std::string &path, std::uint8_t *buffer, std::uint32_t length)
{
    if (length < 0x08) {
        // A programming error, not a device condition: stop in every build type.
        std::fputs("Assertion failed: length >= 0x08 (ReadChipSignature)\n", stderr);
        std::abort();
    }
    return SendIn(path, VendorFF04(0x30).put8(3, 0x08), buffer, length);
}

int ReadFirmwareInfo(const std::string &path, std::uint8_t *buffer, std::uint8_t length)
{
    return SendIn(path, VendorFF04(0xA0).put8(3, length), buffer, length);
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
    return SendIn(path, VendorFF04(0x26).put8(3, 'V').put8(4, 'K'), nullptr, 0);
}

int PrepareFlashUpdate(const std::string &path) { return SendOut(path, VendorFF04(0x25), nullptr, 0); }

int ProbeVendorCommand(const std::string &path, std::uint8_t reply[2])
{
    return SendIn(path, Cdb(0xDF).put8(1, 0x10).put8(4, 0x02).put8(11, 0xFF), reply, 2);
}

int ReadStagingBuffer(const std::string &path, std::uint8_t buffer[512])
{
    return SendIn(path, Cdb(0xB5).put8(5, 0x64).put8(8, 0x01), buffer, 512);
}

int AskStagingBuffer(const std::string &path, std::uint8_t buffer[512])
{
    const Cdb cdb = Cdb(0xB5).put8(5, 0x64).put8(8, 0x01);
    // "Becoming ready" is one of the answers asked for again below.
    const ScopedSensePolicy policy(SensePolicy::UnitAttentionOnly);
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::uint8_t sense[kRetrySenseLength] = {};
        std::uint32_t transferred = 0;
        if (SendScsiInSense(path, cdb.data(), cdb.length(), buffer, 512, transferred, sense, sizeof sense))
            return 1;
        const TransportFailure &f = LastTransportFailure();
        if (!f.openFailed && f.scsiStatus == kCheckCondition && !IsBecomingReady(sense, sizeof sense))
            return 0;
    }
    return -1;
}

bool IsBecomingReady(const std::uint8_t *sense, std::uint32_t length)
{
    const SenseCode s = DecodeSense(sense, length);
    return s.key == 0x02 && s.asc == 0x04 && s.ascq == 0x01;
}

int SendIn(const std::string &path, const Cdb &cdb, std::uint8_t *buffer, std::uint32_t length)
{
    std::uint32_t transferred = 0;
    return SendScsiIn(path, cdb.data(), cdb.length(), buffer, length, transferred);
}

int SendInWhole(const std::string &path, const Cdb &cdb, std::uint8_t *buffer, std::uint32_t length)
{
    std::uint32_t transferred = 0;
    return SendScsiIn(path, cdb.data(), cdb.length(), buffer, length, transferred) && transferred == length;
}

int SendOut(const std::string &path, const Cdb &cdb, const std::uint8_t *data, std::uint32_t length)
{
    std::uint32_t transferred = 0;
    return SendScsiOut(path, cdb.data(), cdb.length(), data, length, transferred);
}

int SendWhileBecomingReady(const std::function<int(std::uint8_t *sense)> &send, std::uint8_t *sense,
                           const MessagePump &pump)
{
    int ok = 0;
    // The loop below is the wait for "becoming ready" of these commands.
    const ScopedSensePolicy policy(SensePolicy::UnitAttentionOnly);
    for (int sends = 0; sends <= kBecomingReadyRetries; ++sends) {
        std::memset(sense, 0, kRetrySenseLength);
        ok = send(sense);
        if (pump)
            pump();
        if (ok || !IsBecomingReady(sense, kRetrySenseLength))
            break;
    }
    return ok;
}

} // namespace brigant
