#pragma once
// The bridge whose firmware lives in an area near the end of the attached
// disk: the area is found from what the disk and the bridge report, and
// written, read back and compared 64 KiB at a time with ATA commands passed
// through to the disk. Nothing is written before the area has been checked
// against the disk's partitions, its mounted filesystems and its end.
#include "flash/run_host.h"
#include "flash/run_request.h"
#include <cstdint>
#include <string>

namespace brigant
{

inline constexpr std::uint32_t kDiskAreaUnit = 0x10000;

// What the disk and the bridge report.
struct DiskValues {
    std::uint32_t sectorSize = 512;
    std::uint64_t capacity = 0; // sectors, from IDENTIFY DEVICE
    std::uint32_t base = 0;     // the area base
    bool endFlag = false;
};

// The logical sector size that IDENTIFY DEVICE data give (512 unless word 106
// says the sector is longer and words 117-118 say how long).
std::uint32_t SectorSizeOf(const std::uint8_t identify[512]);
// The drive capacity: words 60-61, or words 100-103 when 60-61 read 0x0FFFFFFF.
std::uint64_t CapacityOf(const std::uint8_t identify[512]);
// Where the area starts, from its base, the capacity's high half and the end flag.
std::uint64_t DiskAreaLba(std::uint32_t base, std::uint32_t capacityHigh, bool endFlag);

std::uint32_t FindDiskAreaBase(const std::string &path, std::uint32_t sectorSize, std::uint8_t chipTypeCode);

// Whether `units` 64 KiB units from `areaLba` may be written: false with the
// reason (ending "nothing was written.") when the disk behind `path` cannot be
// matched to its partitions, has a mounted filesystem, or the area overlaps a
// partition or runs past the disk's end.
bool DiskAreaIsFree(const std::string &path, std::uint64_t areaLba, std::uint32_t units,
                    const DiskValues &disk, std::string &why);

// Why a file of `fileLength` bytes cannot go to the area of the disk behind
// `path` (DiskAreaIsFree's reason); empty when it can. Sends only reads.
std::string DiskAreaRefusal(const std::string &path, std::uint8_t chipTypeCode, std::uint64_t fileLength);

int RunDiskFirmwareUpdate(const RunRequest &req, RunHost &host, const std::string &path);
int EraseDiskFirmwareArea(RunHost &host, const std::string &path, std::uint8_t chipTypeCode);
int BackupDiskFirmwareArea(const RunRequest &req, RunHost &host, const std::string &path,
                           std::uint8_t chipTypeCode);
int ProgramDiskFirmwareArea(const RunRequest &req, RunHost &host, const std::string &path,
                            std::uint8_t chipTypeCode);

} // namespace brigant
