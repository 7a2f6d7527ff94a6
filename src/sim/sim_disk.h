#pragma once
// The disk behind a bridge, kept sparse: only the 64 KiB chunks that were
// ever written hold memory, so a disk of half a terabyte costs nothing until
// it is used. Beyond the sectors the host sees, the bridge keeps a few of its
// own (the disk is that much larger than it reports).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brigant::sim
{

class SimDisk
{
  public:
    SimDisk(std::uint64_t sectors, std::uint32_t sectorSize, std::uint32_t reservedSectors);

    std::uint64_t sectors() const { return sectors_; } // what IDENTIFY and READ CAPACITY report
    std::uint64_t physicalSectors() const { return sectors_ + reserved_; }
    std::uint32_t sectorSize() const { return sectorSize_; }

    // False (nothing moved) when the range runs past the physical end.
    bool read(std::uint64_t lba, std::uint64_t count, std::uint8_t *out) const;
    bool write(std::uint64_t lba, std::uint64_t count, const std::uint8_t *in);
    std::uint64_t chunksHeld() const { return chunks_.size(); }

    // The disk as a sparse image file of the physical size (byte offset = LBA
    // x sector size). A missing file leaves the disk as it is; a file of
    // another size is an error.
    bool load(const std::string &file, std::string &error);
    bool save(const std::string &file, std::string &error) const;

    static constexpr std::uint64_t kChunk = 0x10000;

  private:
    void readBytes(std::uint64_t offset, std::uint64_t length, std::uint8_t *out) const;
    void writeBytes(std::uint64_t offset, std::uint64_t length, const std::uint8_t *in);

    std::uint64_t sectors_;
    std::uint32_t sectorSize_;
    std::uint32_t reserved_;
    std::map<std::uint64_t, std::vector<std::uint8_t>> chunks_; // by byte offset / kChunk
};

} // namespace brigant::sim
