#include "update/diskarea/disk_update.h"

#include "bridge/ata_commands.h"
#include "bridge/chip_commands.h"
#include "common/hex.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "flash/backup_file.h"
#include "flash/verify_compare.h"
#include "image/chip_types.h"
#include "image/file_checks.h"
#include "image/firmware_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace brigant
{

namespace
{

constexpr std::size_t kMarkerOffset = 150;
constexpr std::uint16_t kMarkerXdata = 0xC000;
constexpr std::uint8_t kFirmwareInfoLength = 18;
// A firmware file larger than this is no firmware of this bridge.
constexpr std::int64_t kLargestFile = 16LL << 20;
constexpr std::uint64_t kPrimaryTableSectors = 34;
constexpr std::uint64_t kBackupTableSectors = 33;

std::uint32_t Le16(const std::uint8_t *p) { return static_cast<std::uint32_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t *p) { return Le16(p) | Le16(p + 2) << 16; }
std::uint32_t Be32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

std::uint32_t SectorSize(const std::string &path)
{
    std::uint8_t identify[kIdentifyLength] = {};
    return IdentifyDevice(path, identify) ? SectorSizeOf(identify) : 512;
}

std::uint64_t DriveCapacity(const std::string &path)
{
    std::uint8_t identify[kIdentifyLength] = {};
    return IdentifyDevice(path, identify) ? CapacityOf(identify) : 0;
}

std::uint32_t LastLba(const std::string &path)
{
    std::uint8_t reply[kReadCapacity16Length] = {};
    return ReadCapacity16(path, reply) ? Be32(reply + 4) : 0;
}

bool EndFlag(const std::string &path)
{
    std::uint8_t info[kFirmwareInfoLength] = {};
    return ReadFirmwareInfo(path, info, kFirmwareInfoLength) && info[17] == 1;
}

bool AreaMarkerPresent(const std::string &path, std::uint8_t code)
{
    const ChipType &row = ChipTypeOf(code);
    if (row.bankEnd != 0)
        return false;
    if (row.variant == RunVariant::DiskWithoutFlash) {
        std::uint8_t info[kFirmwareInfoLength] = {};
        return ReadFirmwareInfo(path, info, kFirmwareInfoLength) && info[16] == 1;
    }
    std::uint8_t reply[4] = {};
    return ReadXdata(path, reply, kMarkerXdata, 4) && reply[0] == 0x55 && reply[1] == 0xAA;
}

// Sector size, area base, drive capacity and end flag, in that order.
DiskValues QueryDisk(const std::string &path, std::uint8_t code)
{
    DiskValues v;
    v.sectorSize = SectorSize(path);
    v.base = FindDiskAreaBase(path, v.sectorSize, code);
    v.capacity = DriveCapacity(path);
    v.endFlag = EndFlag(path);
    return v;
}

std::uint32_t High(std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); }

std::uint64_t AreaLbaOf(const DiskValues &v) { return DiskAreaLba(v.base, High(v.capacity), v.endFlag); }

void Refuse(RunHost &host, const std::string &why)
{
    host.refusing(why);
    host.showStatus({StatusCode::DiskAreaRefused, why});
    host.message(why, "Error", MessageKind::Error);
}

} // namespace

std::uint32_t SectorSizeOf(const std::uint8_t identify[512])
{
    const std::uint32_t word106 = Le16(identify + 212);
    if (word106 == 0x5000 || word106 == 0x6000) {
        const std::uint32_t size = 2 * Le32(identify + 234);
        // A length no disk has would turn every transfer into nonsense.
        if (size >= 512 && size <= kDiskAreaUnit && kDiskAreaUnit % size == 0)
            return size;
    }
    return 512;
}

std::uint64_t CapacityOf(const std::uint8_t identify[512])
{
    const std::uint64_t lba28 = Le32(identify + 120);
    if (lba28 != 0x0FFFFFFF)
        return lba28;
    return std::uint64_t{Le32(identify + 200)} | std::uint64_t{Le32(identify + 204) & 0xFFFF} << 32;
}

std::uint64_t DiskAreaLba(std::uint32_t base, std::uint32_t capacityHigh, bool endFlag)
{
    if (capacityHigh != 0) {
        std::uint64_t v = std::uint64_t{capacityHigh} << 32 | base;
        if (!endFlag)
            v -= 1;
        return (v & ~std::uint64_t{0xFF}) - 256;
    }
    std::uint32_t v = base;
    if (!endFlag)
        v -= 1;
    return static_cast<std::uint32_t>((v & ~0xFFu) - 256);
}

std::uint32_t FindDiskAreaBase(const std::string &path, std::uint32_t sectorSize, std::uint8_t code)
{
    const bool marker = AreaMarkerPresent(path, code);
    const std::uint64_t capacity = DriveCapacity(path);
    const std::uint32_t hi = High(capacity);
    const auto lo = static_cast<std::uint32_t>(capacity);
    if (marker) {
        std::vector<std::uint8_t> sectors(4 * static_cast<std::size_t>(sectorSize), 0);
        if (AtaReadDmaExt(path, sectors.data(), capacity, 4 * sectorSize, sectorSize)) {
            const std::uint32_t base = Be32(sectors.data() + kMarkerOffset + 1);
            if (base != 0)
                return base;
            return hi != 0 ? (lo & 0xFF) : 257;
        }
    }
    std::uint32_t base = hi != 0 ? lo - 1 : LastLba(path);
    if (EndFlag(path))
        base += 1;
    return base;
}

bool DiskAreaIsFree(const std::string &path, std::uint64_t areaLba, std::uint32_t units,
                    const DiskValues &disk, std::string &why)
{
    const std::string at = "The firmware area at LBA " + HexNumber(areaLba);
    const std::uint64_t ss = disk.sectorSize;
    const std::uint64_t first = areaLba * ss;
    const std::uint64_t end = first + std::uint64_t{units} * kDiskAreaUnit;
    // The partition tables: the MBR and the primary GPT in LBA 0-33, the
    // backup GPT in the disk's last 33 sectors.
    if (first < kPrimaryTableSectors * ss) {
        why = at + " overlaps the partition table in LBA 0-33; nothing was written.";
        return false;
    }
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    std::vector<DiskInterface> disks;
    const DiskInterface *found = nullptr;
    if (enumerator && enumerator->listDisks(disks))
        for (const DiskInterface &d : disks)
            if (d.path == path)
                found = &d;
    if (!found || !found->identity.extentsKnown) {
        why = at + ": the partitions of the disk behind " + path + " cannot be read; nothing was written.";
        return false;
    }
    std::string mounted;
    FindDriveLetters(found->identity, mounted);
    if (!mounted.empty()) {
        why = at + ": a filesystem of the disk behind " + path + " is mounted at " + mounted +
              "; nothing was written.";
        return false;
    }
    for (const PartitionExtent &p : found->identity.extents) {
        const std::uint64_t pFirst = p.start * 512;
        const std::uint64_t pEnd = (p.start + p.sectors) * 512;
        if (first < pEnd && pFirst < end) {
            why = at + " overlaps partition " + p.name + " (LBA " + std::to_string(pFirst / ss) + " to " +
                  std::to_string(pEnd / ss - 1) + "); nothing was written.";
            return false;
        }
    }
    if (disk.capacity == 0 || end > disk.capacity * ss) {
        why = at + " runs past the end of the disk (" + std::to_string(disk.capacity) +
              " sectors); nothing was written.";
        return false;
    }
    if (disk.capacity > kBackupTableSectors && end > (disk.capacity - kBackupTableSectors) * ss) {
        why = at + " overlaps the backup partition table in the disk's last " +
              std::to_string(kBackupTableSectors) + " sectors; nothing was written.";
        return false;
    }
    // The area ends where its base is.
    const std::uint64_t areaEnd = (std::uint64_t{High(disk.capacity)} << 32 | disk.base) * ss;
    if (end > areaEnd) {
        why = at + " holds " + std::to_string(areaEnd > first ? areaEnd - first : 0) +
              " bytes; the file needs " + std::to_string(end - first) + "; nothing was written.";
        return false;
    }
    return true;
}

int EraseDiskFirmwareArea(RunHost &host, const std::string &path, std::uint8_t code)
{
    const DiskValues disk = QueryDisk(path, code);
    TransferBlock image(kDiskAreaUnit), readBack(kDiskAreaUnit);
    if (!image || !readBack) {
        host.showStatus(StatusCode::AllocateReadBufferError);
        return 0;
    }
    const std::uint64_t lba = AreaLbaOf(disk);
    std::string why;
    if (!DiskAreaIsFree(path, lba, 1, disk, why)) {
        Refuse(host, why);
        return 0;
    }
    if (AreaMarkerPresent(path, code)) {
        // The area's marker record stays as it is.
        if (AtaReadDmaExt(path, readBack.data(), lba, disk.sectorSize, disk.sectorSize))
            std::memcpy(image.data() + kMarkerOffset, readBack.data() + kMarkerOffset, 6);
        std::memset(readBack.data(), 0, kDiskAreaUnit);
    }
    // A write or read that failed leaves nothing to compare: a dead disk would
    // otherwise compare two buffers of zeros as equal.
    const bool written = AtaWriteDmaExt(path, image.data(), lba, kDiskAreaUnit, disk.sectorSize) == 1;
    const bool read = AtaReadDmaExt(path, readBack.data(), lba, kDiskAreaUnit, disk.sectorSize) == 1;
    if (written && read && std::memcmp(image.data(), readBack.data(), kDiskAreaUnit) == 0) {
        host.showStatus(StatusCode::DiskEraseSuccess);
        return 1;
    }
    host.showStatus(StatusCode::DiskEraseCompareFail);
    return 0;
}

int BackupDiskFirmwareArea(const RunRequest &req, RunHost &host, const std::string &path, std::uint8_t code)
{
    const std::string name = BackupFileFor(req, host);
    const DiskValues disk = QueryDisk(path, code);
    host.showStatus(StatusCode::BackingUp);
    auto failed = [&host] {
        host.showStatus(StatusCode::ReadBackToBackupError);
        return 0;
    };
    TransferBlock block(static_cast<std::uint32_t>(host.transfer().DefaultBackupSize));
    if (!block) {
        host.showStatus(StatusCode::AllocateReadBufferError);
        return failed();
    }
    // A read that failed would save zeros as the device's firmware.
    if (!AtaReadDmaExt(path, block.data(), AreaLbaOf(disk), kDiskAreaUnit, disk.sectorSize))
        return failed();
    if (!SaveBackupFile(host, name, block.data(), kDiskAreaUnit))
        return failed();
    return 1;
}

std::string DiskAreaRefusal(const std::string &path, std::uint8_t code, std::uint64_t fileLength)
{
    if (fileLength == 0 || fileLength > static_cast<std::uint64_t>(kLargestFile))
        return {}; // the file checks say why
    const DiskValues disk = QueryDisk(path, code);
    const std::uint64_t padded = (fileLength + 255) / 256 * 256;
    const auto units = static_cast<std::uint32_t>((padded + kDiskAreaUnit - 1) / kDiskAreaUnit);
    std::string why;
    if (DiskAreaIsFree(path, AreaLbaOf(disk), units, disk, why))
        return {};
    // The run's reason ends with a sentence of its own: the plan's is one clause.
    const std::string tail = "; nothing was written.";
    if (why.size() >= tail.size() && why.compare(why.size() - tail.size(), tail.size(), tail) == 0)
        why.erase(why.size() - tail.size());
    return why;
}

int ProgramDiskFirmwareArea(const RunRequest &req, RunHost &host, const std::string &path, std::uint8_t code)
{
    const DiskValues disk = QueryDisk(path, code);
    const FilePtr file = OpenFirmwareFile(req.firmwareFile.c_str());
    if (!file) {
        host.showStatus(StatusCode::OpenFileError);
        return 0;
    }
    const std::int64_t size = FileLength(file.get());
    if (size <= 0 || size > kLargestFile) {
        // Nothing to program, or no firmware of this bridge.
        host.showStatus(size == 0 ? StatusCode::FileEmpty : StatusCode::AllocateReadBufferError);
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(size);
    const std::uint32_t padded = (length + 255) / 256 * 256;
    const std::uint32_t units = (padded + kDiskAreaUnit - 1) / kDiskAreaUnit;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(units) * kDiskAreaUnit, 0);
    if (std::fread(image.data(), 1, length, file.get()) != length) {
        host.showStatus(StatusCode::OpenFileError);
        return 0;
    }
    if (req.mode != RunMode::VerifyOnly)
        host.showStatus(StatusCode::Programming);
    image[kMarkerOffset] = 0x55;
    for (int i = 0; i < 4; ++i)
        image[kMarkerOffset + 1 + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(disk.base >> (24 - 8 * i));
    image[kMarkerOffset + 5] = 0xAA;

    std::uint64_t lba = AreaLbaOf(disk);
    if (req.mode == RunMode::VerifyOnly) {
        // Offsets within the area, read a unit at a time from its first LBA.
        const VerifyRead read = [&](std::uint32_t offset, std::uint8_t *dest, std::uint32_t n) {
            for (std::uint32_t done = 0; done < n; done += kDiskAreaUnit) {
                const std::uint64_t at = lba + (offset + done) / disk.sectorSize;
                if (!AtaReadDmaExt(path, dest + done, at, kDiskAreaUnit, disk.sectorSize))
                    return false;
            }
            return true;
        };
        return VerifyRange(host, read, 0, image.data(), units * kDiskAreaUnit) ? 1 : 0;
    }
    std::string why;
    if (!DiskAreaIsFree(path, lba, units, disk, why)) {
        Refuse(host, why);
        return 0;
    }
    TransferBlock out(kDiskAreaUnit), back(kDiskAreaUnit);
    if (!out || !back) {
        host.showStatus(StatusCode::AllocateReadBufferError);
        return 0;
    }
    const bool big = High(disk.capacity) != 0;
    host.phaseStarted(RunPhase::Program);
    for (std::uint32_t i = 0; i < units; ++i) {
        std::memset(back.data(), 0, kDiskAreaUnit);
        std::memcpy(out.data(), image.data() + static_cast<std::size_t>(i) * kDiskAreaUnit, kDiskAreaUnit);
        if (!AtaWriteDmaExt(path, out.data(), lba, kDiskAreaUnit, disk.sectorSize)) {
            host.showStatus(big ? StatusCode::DiskWrite16Fail : StatusCode::DiskWriteFail);
            return 0;
        }
        if (!AtaReadDmaExt(path, back.data(), lba, kDiskAreaUnit, disk.sectorSize)) {
            host.showStatus(big ? StatusCode::DiskRead16Fail : StatusCode::DiskReadFail);
            return 0;
        }
        if (std::memcmp(out.data(), back.data(), kDiskAreaUnit) != 0) {
            host.showStatus(StatusCode::DiskCompareFail);
            return 0;
        }
        lba += kDiskAreaUnit / disk.sectorSize;
        host.progressDot({"Programming", i + 1, units});
    }
    host.showStatus(StatusCode::ProgrammingSuccess);
    return 1;
}

int RunDiskFirmwareUpdate(const RunRequest &req, RunHost &host, const std::string &path)
{
    const std::uint8_t code = req.chip.ChipTypeCode;
    if (req.mode == RunMode::EraseOnly) {
        if (!EraseDiskFirmwareArea(host, path, code))
            return 0;
        host.notify(Notice::PowerCycle);
        return 1;
    }
    if (req.mode == RunMode::BackupOnly)
        return BackupDiskFirmwareArea(req, host, path, code);
    if (!ProgramDiskFirmwareArea(req, host, path, code))
        return 0;
    if (req.mode == RunMode::VerifyOnly)
        return 1;
    host.notify(Notice::PowerCycle);
    return 1;
}

} // namespace brigant
