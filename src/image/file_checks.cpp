#include "image/file_checks.h"

#include "image/firmware_file.h"
#include "image/firmware_header.h"
#include "image/model_tags.h"

#include <sys/stat.h>
#include <vector>

namespace brigant
{

std::int64_t FileLength(std::FILE *file)
{
    if (!file)
        return -1;
    struct stat st {
    };
    if (::fstat(::fileno(file), &st) == 0 && S_ISREG(st.st_mode))
        return static_cast<std::int64_t>(st.st_size);
    const off_t here = ::ftello(file);
    if (here < 0 || ::fseeko(file, 0, SEEK_END) != 0)
        return -1;
    const off_t end = ::ftello(file);
    ::fseeko(file, here, SEEK_SET);
    return end;
}

bool FileFitsFlash(const char *fileName, std::uint32_t flashSizeKb, bool *unreadable)
{
    FilePtr file = OpenFirmwareFile(fileName);
    if (unreadable)
        *unreadable = !file;
    if (!file)
        return false;
    const std::int64_t length = FileLength(file.get());
    const std::uint64_t limit = std::uint64_t(flashSizeKb & 0xFFFFFFu) * 1024u;
    return length >= 0 && static_cast<std::uint64_t>(length) <= limit;
}

int CheckNvramHeader(std::span<const std::uint8_t> file, unsigned code)
{
    int result = 0;
    HeaderRecord record;
    ReadHeaderRecord(file, 0, record);
    if (!record.startsWith(kHeaderSignature)) {
        ReadHeaderRecord(file, kNvramAreaSize, record);
        if (record.startsWith(kHeaderSignature) && TagMatchesModel(record.tag(), code))
            result = 1;
    }
    if (code == 11) {
        ReadHeaderRecord(file, 0x80, record);
        if (record.startsWith(kLarchSignature) && TagMatchesModel(record.tag(), code))
            result = 1;
    }
    return result;
}

int CheckNvramHeader(const char *fileName, unsigned code)
{
    std::vector<std::uint8_t> head;
    if (!ReadFirmwareFileHead(fileName, kNvramAreaSize + kHeaderRecordSize, head))
        return 0;
    return CheckNvramHeader(head, code);
}

} // namespace brigant
