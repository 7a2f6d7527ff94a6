#include "sim/disk_firmware.h"

#include <algorithm>
#include <cstring>

namespace brigant::sim
{

namespace
{

constexpr std::size_t kMarkerOffset = 150;

SimReply LbaOutOfRange() { return CheckCondition(0x05, 0x21, 0x00); }
// The ATA command was aborted (a command this disk does not have).
SimReply AtaAborted() { return CheckCondition(0x0B, 0x00, 0x00); }

// An ATA string: two characters per word, the first in the high byte, blank padded.
void PutAtaString(std::uint8_t *at, const std::string &text, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        at[i ^ 1] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

void PutLe16(std::uint8_t *at, std::uint32_t v)
{
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutBe(std::uint8_t *at, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        at[i] = static_cast<std::uint8_t>(v);
}

void PutMarker(std::uint8_t *sector, std::uint64_t base)
{
    sector[kMarkerOffset] = 0x55;
    PutBe(sector + kMarkerOffset + 1, base & 0xFFFFFFFFu, 4);
    sector[kMarkerOffset + 5] = 0xAA;
}

} // namespace

std::uint64_t AreaBase(const SimDisk &disk, const DiskArea &area)
{
    return disk.sectors() - 1 + (area.endFlag ? 1 : 0);
}

std::uint64_t AreaLba(const SimDisk &disk, const DiskArea &area)
{
    const std::uint64_t base = AreaBase(disk, area);
    return ((area.endFlag ? base : base - 1) & ~std::uint64_t{0xFF}) - 256;
}

std::vector<std::uint8_t> ReadFirmwareArea(const SimDisk &disk, const DiskArea &area)
{
    std::vector<std::uint8_t> image(kAreaUnit, 0);
    disk.read(AreaLba(disk, area), kAreaUnit / disk.sectorSize(), image.data());
    return image;
}

void InstallFirmwareArea(SimDisk &disk, const DiskArea &area, const std::vector<std::uint8_t> &image)
{
    std::vector<std::uint8_t> unit(kAreaUnit, 0);
    std::copy_n(image.begin(), std::min<std::size_t>(image.size(), kAreaUnit), unit.begin());
    PutMarker(unit.data(), AreaBase(disk, area));
    disk.write(AreaLba(disk, area), kAreaUnit / disk.sectorSize(), unit.data());
    if (area.marker) {
        std::vector<std::uint8_t> own(disk.sectorSize(), 0);
        PutMarker(own.data(), AreaBase(disk, area));
        disk.write(disk.sectors(), 1, own.data());
    }
}

void DiskFirmware::Attach(SimBridge &bridge, std::shared_ptr<SimDisk> disk)
{
    auto fw = std::make_shared<DiskFirmware>(std::move(disk));
    bridge.setCommandExtension(
        [fw](const std::uint8_t *cdb, int cdbLength, WireDirection dir, std::uint8_t *data,
             std::uint32_t length) { return fw->execute(cdb, cdbLength, dir, data, length); });
}

std::optional<SimReply> DiskFirmware::execute(const std::uint8_t *cdb, int cdbLength, WireDirection dir,
                                              std::uint8_t *data, std::uint32_t length)
{
    switch (cdb[0]) {
    case 0xA1: // ATA PASS-THROUGH(12)
        if (cdbLength < 12)
            return IllegalRequest();
        return cdb[9] == 0xEC ? identify(dir, data, length) : AtaAborted();
    case 0x85: // ATA PASS-THROUGH(16)
        if (cdbLength < 16)
            return IllegalRequest();
        return cdb[14] == 0xEC ? identify(dir, data, length) : transfer(cdb, dir, data, length);
    default:
        return std::nullopt;
    }
}

std::string SimDiskSerial(const SimDisk &disk) { return "SD" + std::to_string(disk.sectors()); }

SimReply DiskFirmware::identify(WireDirection dir, std::uint8_t *data, std::uint32_t length) const
{
    if (dir == WireDirection::Out || length < 512)
        return IllegalRequest();
    std::uint8_t words[512] = {};
    PutLe16(words + 0, 0x0040); // fixed, not removable
    PutAtaString(words + 20, SimDiskSerial(*disk_), 20);
    PutAtaString(words + 46, "SIM1", 8);
    PutAtaString(words + 54, kSimDiskModel, 40);
    PutLe16(words + 98, 0x0200);  // LBA
    PutLe16(words + 160, 0x00F0); // ATA/ATAPI-4 to -7
    PutLe16(words + 166, 0x4400); // 48-bit addressing supported
    PutLe16(words + 172, 0x0400); // and enabled
    const std::uint64_t sectors = disk_->sectors();
    const std::uint64_t lba28 = std::min<std::uint64_t>(sectors, 0x0FFFFFFF);
    PutLe16(words + 120, static_cast<std::uint32_t>(lba28 & 0xFFFF));
    PutLe16(words + 122, static_cast<std::uint32_t>(lba28 >> 16));
    for (int w = 0; w < 4; ++w)
        PutLe16(words + 200 + 2 * w, static_cast<std::uint32_t>((sectors >> (16 * w)) & 0xFFFF));
    if (disk_->sectorSize() != 512) {
        PutLe16(words + 212, 0x6000); // logical sector longer than 256 words
        const std::uint32_t wordsPerSector = disk_->sectorSize() / 2;
        PutLe16(words + 234, wordsPerSector & 0xFFFF);
        PutLe16(words + 236, wordsPerSector >> 16);
    }
    // Integrity word: signature A5, and a checksum that makes the 512 bytes sum to 0.
    words[510] = 0xA5;
    std::uint8_t sum = 0;
    for (int i = 0; i < 511; ++i)
        sum = static_cast<std::uint8_t>(sum + words[i]);
    words[511] = static_cast<std::uint8_t>(-sum);
    std::memcpy(data, words, 512);
    return Good(512);
}

SimReply DiskFirmware::transfer(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                                std::uint32_t length)
{
    const bool read = cdb[14] == 0x25;
    const bool write = cdb[14] == 0x35;
    if (!read && !write)
        return IllegalRequest();
    if ((read && (cdb[1] != 0x15 || cdb[2] != 0x0B || dir == WireDirection::Out)) ||
        (write && (cdb[1] != 0x17 || cdb[2] != 0x03 || dir == WireDirection::In)))
        return IllegalRequest();
    const std::uint32_t count = static_cast<std::uint32_t>(cdb[5] << 8 | cdb[6]);
    // The 48-bit LBA in the places the extended form gives its bytes.
    const std::uint64_t lba = std::uint64_t{cdb[8]} | std::uint64_t{cdb[10]} << 8 |
                              std::uint64_t{cdb[12]} << 16 | std::uint64_t{cdb[7]} << 24 |
                              std::uint64_t{cdb[9]} << 32 | std::uint64_t{cdb[11]} << 40;
    if (std::uint64_t{count} * disk_->sectorSize() != length || count == 0)
        return IllegalRequest();
    const bool ok = read ? disk_->read(lba, count, data) : disk_->write(lba, count, data);
    return ok ? Good(length) : LbaOutOfRange();
}

} // namespace brigant::sim
