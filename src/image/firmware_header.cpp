#include "image/firmware_header.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace brigant
{

int HeaderRecord::startsWith(const std::array<std::uint8_t, 4> &signature, std::size_t count) const
{
    count = std::min(count, signature.size());
    return std::memcmp(bytes.data(), signature.data(), count) == 0 ? 1 : 0;
}

std::size_t ReadHeaderRecord(std::span<const std::uint8_t> file, std::uint64_t offset, HeaderRecord &record)
{
    if (offset >= file.size())
        return 0;
    const std::size_t count = std::min<std::size_t>(kHeaderRecordSize, file.size() - offset);
    std::memcpy(record.bytes.data(), file.data() + offset, count);
    return count;
}

std::string HeaderTagText(const std::uint8_t *bytes, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
            text += static_cast<char>(bytes[i]);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", bytes[i]);
            text += hex;
        }
    }
    return text;
}

} // namespace brigant
