#pragma once
// ATA commands to the disk behind the bridge, carried by the SCSI ATA
// PASS-THROUGH commands, and READ CAPACITY(16). Each is one CDB and one
// transport call.
#include <cstdint>
#include <string>

namespace brigant
{

inline constexpr std::uint32_t kIdentifyLength = 512;
inline constexpr std::uint32_t kReadCapacity16Length = 16;

// IDENTIFY DEVICE (0xEC) through ATA PASS-THROUGH(12), PIO data-in: 512 bytes.
int IdentifyDevice(const std::string &path, std::uint8_t reply[kIdentifyLength]);
// READ CAPACITY(16): 16 bytes, the last LBA in bytes 0-7.
int ReadCapacity16(const std::string &path, std::uint8_t reply[kReadCapacity16Length]);
// READ DMA EXT (0x25) / WRITE DMA EXT (0x35) through ATA PASS-THROUGH(16):
// `length` bytes at the 48-bit `lba`, length / sectorSize sectors.
int AtaReadDmaExt(const std::string &path, std::uint8_t *buffer, std::uint64_t lba, std::uint32_t length,
                  std::uint32_t sectorSize);
int AtaWriteDmaExt(const std::string &path, const std::uint8_t *data, std::uint64_t lba, std::uint32_t length,
                   std::uint32_t sectorSize);

} // namespace brigant
