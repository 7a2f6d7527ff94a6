#include "bridge/ata_commands.h"

#include "bridge/cdb.h"

namespace brigant
{

namespace
{

// ATA PASS-THROUGH(16) with the extend bit: the sector count in bytes 5-6 and
// the 48-bit LBA spread over bytes 7-12 as the extended registers go (byte 7
// bits 31-24, 8 bits 7-0, 9 bits 39-32, 10 bits 15-8, 11 bits 47-40, 12 bits
// 23-16), device 0x60 and the command in byte 14.
Cdb DmaExt(std::uint8_t protocol, std::uint8_t flags, std::uint8_t command, std::uint64_t lba,
           std::uint32_t sectors)
{
    auto byte = [lba](int shift) { return static_cast<std::uint8_t>(lba >> shift); };
    return Cdb(0x85, 16)
        .put8(1, protocol)
        .put8(2, flags)
        .put16(5, sectors)
        .put8(7, byte(24))
        .put8(8, byte(0))
        .put8(9, byte(32))
        .put8(10, byte(8))
        .put8(11, byte(40))
        .put8(12, byte(16))
        .put8(13, 0x60)
        .put8(14, command);
}

std::uint32_t Sectors(std::uint32_t length, std::uint32_t sectorSize)
{
    return sectorSize ? length / sectorSize : 0;
}

} // namespace

int IdentifyDevice(const std::string &path, std::uint8_t reply[kIdentifyLength])
{
    return SendIn(path, Cdb(0xA1).put8(1, 0x08).put8(2, 0x0B).put8(8, 0x40).put8(9, 0xEC), reply,
                  kIdentifyLength);
}

int ReadCapacity16(const std::string &path, std::uint8_t reply[kReadCapacity16Length])
{
    return SendIn(path, Cdb(0x9E, 16).put8(1, 0x10).put8(13, kReadCapacity16Length), reply,
                  kReadCapacity16Length);
}

int AtaReadDmaExt(const std::string &path, std::uint8_t *buffer, std::uint64_t lba, std::uint32_t length,
                  std::uint32_t sectorSize)
{
    return SendInWhole(path, DmaExt(0x15, 0x0B, 0x25, lba, Sectors(length, sectorSize)), buffer, length);
}

int AtaWriteDmaExt(const std::string &path, const std::uint8_t *data, std::uint64_t lba, std::uint32_t length,
                   std::uint32_t sectorSize)
{
    return SendOut(path, DmaExt(0x17, 0x03, 0x35, lba, Sectors(length, sectorSize)), data, length);
}

} // namespace brigant
