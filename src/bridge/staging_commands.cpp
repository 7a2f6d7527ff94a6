#include "bridge/staging_commands.h"

#include "bridge/cdb.h"

namespace brigant
{

int WriteStagingBuffer(const std::string &path, const std::uint8_t data[kStagingChunk])
{
    return SendOut(path, Cdb(0xB2).put8(5, 0x64).put8(8, 0x01), data, kStagingChunk);
}

int ProgramFlashPage(const std::string &path, std::uint32_t address, std::uint16_t staging)
{
    const Cdb cdb =
        Cdb(0xB3).put32(2, address).put16(6, kStagingPage).put16(8, staging).put8(10, 0xE5).put8(11, 0x02);
    return SendIn(path, cdb, nullptr, 0);
}

int EraseFlashChip(const std::string &path)
{
    return SendIn(path, Cdb(0xB4).put8(9, 0x31).put8(11, 0x60), nullptr, 0);
}

int FetchFlashBlock(const std::string &path, std::uint32_t address)
{
    return SendIn(path, Cdb(0xB6).put32(2, address).put16(6, kStagingChunk).put16(8, kStagingArea), nullptr,
                  0);
}

} // namespace brigant
