#pragma once
// The bridge that keeps its firmware in an area near the end of the disk
// attached behind it, and the disk commands it passes through as a SAT
// bridge does: IDENTIFY DEVICE in ATA PASS-THROUGH(12) and (16), and READ /
// WRITE DMA EXT in ATA PASS-THROUGH(16). (READ CAPACITY comes from the
// bridge's own standard commands, from the same disk.)
//
// Where the area lies is the bridge's own design: from the base B = the last
// LBA (plus one with the end flag), the area starts at B - 1 (B with the end
// flag) rounded down to 256 sectors, less 256 sectors; it holds 64 KiB units.
// With the area marker, the bridge also keeps B in bytes 151-154 (most
// significant first, between 0x55 and 0xAA) of the first sector past the
// ones it reports, a sector of its own.
#include "sim/sim_bridge.h"
#include "sim/sim_disk.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brigant::sim
{

struct DiskArea {
    bool endFlag = false;
    bool marker = false;
};

// What the disk's IDENTIFY DEVICE names it: a model and a serial number
// made of the sector count, so that a disk of another size is another disk.
inline constexpr const char *kSimDiskModel = "Brigant SimDisk";
std::string SimDiskSerial(const SimDisk &disk);

// Sectors beyond the reported ones that the bridge keeps for itself.
inline constexpr std::uint32_t kBridgeReservedSectors = 16;
inline constexpr std::uint32_t kAreaUnit = 0x10000;

std::uint64_t AreaBase(const SimDisk &disk, const DiskArea &area);
std::uint64_t AreaLba(const SimDisk &disk, const DiskArea &area);
// The first 64 KiB of the area, as the bridge loads it when it starts.
std::vector<std::uint8_t> ReadFirmwareArea(const SimDisk &disk, const DiskArea &area);
// Writes a firmware image into the area as the factory does, with the marker
// record in the first sector and, with the marker, the bridge's own copy of
// the base.
void InstallFirmwareArea(SimDisk &disk, const DiskArea &area, const std::vector<std::uint8_t> &image);

class DiskFirmware
{
  public:
    DiskFirmware(std::shared_ptr<SimDisk> disk) : disk_(std::move(disk)) {}
    // Answers the disk commands of `bridge` from `disk`.
    static void Attach(SimBridge &bridge, std::shared_ptr<SimDisk> disk);

  private:
    std::optional<SimReply> execute(const std::uint8_t *cdb, int cdbLength, WireDirection dir,
                                    std::uint8_t *data, std::uint32_t length);
    SimReply identify(WireDirection dir, std::uint8_t *data, std::uint32_t length) const;
    SimReply transfer(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);

    std::shared_ptr<SimDisk> disk_;
};

} // namespace brigant::sim
