#include "sim/sim_disk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brigant::sim
{

SimDisk::SimDisk(std::uint64_t sectors, std::uint32_t sectorSize, std::uint32_t reservedSectors)
    : sectors_(sectors), sectorSize_(sectorSize), reserved_(reservedSectors)
{
}

void SimDisk::readBytes(std::uint64_t offset, std::uint64_t length, std::uint8_t *out) const
{
    while (length > 0) {
        const std::uint64_t index = offset / kChunk;
        const std::uint64_t within = offset % kChunk;
        const std::uint64_t n = std::min(length, kChunk - within);
        const auto it = chunks_.find(index);
        if (it == chunks_.end())
            std::memset(out, 0, n);
        else
            std::memcpy(out, it->second.data() + within, n);
        out += n;
        offset += n;
        length -= n;
    }
}

void SimDisk::writeBytes(std::uint64_t offset, std::uint64_t length, const std::uint8_t *in)
{
    while (length > 0) {
        const std::uint64_t index = offset / kChunk;
        const std::uint64_t within = offset % kChunk;
        const std::uint64_t n = std::min(length, kChunk - within);
        auto &chunk = chunks_[index];
        if (chunk.empty())
            chunk.assign(kChunk, 0);
        std::memcpy(chunk.data() + within, in, n);
        in += n;
        offset += n;
        length -= n;
    }
}

bool SimDisk::read(std::uint64_t lba, std::uint64_t count, std::uint8_t *out) const
{
    if (lba > physicalSectors() || count > physicalSectors() - lba)
        return false;
    readBytes(lba * sectorSize_, count * sectorSize_, out);
    return true;
}

bool SimDisk::write(std::uint64_t lba, std::uint64_t count, const std::uint8_t *in)
{
    if (lba > physicalSectors() || count > physicalSectors() - lba)
        return false;
    writeBytes(lba * sectorSize_, count * sectorSize_, in);
    return true;
}

bool SimDisk::load(const std::string &file, std::string &error)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot open " + file + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {
    };
    const std::uint64_t size = physicalSectors() * sectorSize_;
    if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != size) {
        error = file + " is not a disk image of " + std::to_string(size) + " bytes";
        ::close(fd);
        return false;
    }
    chunks_.clear();
    std::vector<std::uint8_t> chunk(kChunk);
    // Only the parts of the file that hold data are read; holes read as zeros.
    off_t at = 0;
    while (static_cast<std::uint64_t>(at) < size) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break; // no data after `at`
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        const std::uint64_t end = hole < 0 ? size : static_cast<std::uint64_t>(hole);
        for (std::uint64_t offset = static_cast<std::uint64_t>(data) / kChunk * kChunk; offset < end;
             offset += kChunk) {
            const std::uint64_t n = std::min<std::uint64_t>(kChunk, size - offset);
            std::fill(chunk.begin(), chunk.end(), 0);
            if (::pread(fd, chunk.data(), n, static_cast<off_t>(offset)) != static_cast<ssize_t>(n)) {
                error = "cannot read " + file;
                ::close(fd);
                return false;
            }
            if (std::any_of(chunk.begin(), chunk.end(), [](std::uint8_t b) { return b != 0; }))
                chunks_[offset / kChunk] = chunk;
        }
        at = static_cast<off_t>(end);
    }
    ::close(fd);
    return true;
}

bool SimDisk::save(const std::string &file, std::string &error) const
{
    const std::string temp = file + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::ftruncate(fd, static_cast<off_t>(physicalSectors() * sectorSize_)) == 0;
    for (const auto &[index, chunk] : chunks_) {
        const std::uint64_t offset = index * kChunk;
        const std::uint64_t n = std::min<std::uint64_t>(kChunk, physicalSectors() * sectorSize_ - offset);
        ok = ok && ::pwrite(fd, chunk.data(), n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
    }
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
        error = "cannot write " + file;
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace brigant::sim
