#pragma once
// The 10-byte header record of a firmware file: a signature, three model-tag
// characters and a revision character, a revision byte and one spare byte.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brigant
{

inline constexpr std::size_t kHeaderRecordSize = 10;
// Most layouts start the record with this signature.
inline constexpr std::array<std::uint8_t, 4> kHeaderSignature = {0x55, 0xAA, 0xAA, 0x55};
// The Larch layout's record at file offset 0x80.
inline constexpr std::array<std::uint8_t, 4> kLarchSignature = {0xE9, 0xAC, 0x67, 0x32};

struct HeaderRecord {
    std::array<std::uint8_t, kHeaderRecordSize> bytes{};

    // Bytes 4-7: three tag characters and the revision character.
    const std::uint8_t *tag() const { return bytes.data() + 4; }
    std::uint8_t revision() const { return bytes[8]; }
    // 1 when the record starts with the first `count` bytes of `signature`.
    int startsWith(const std::array<std::uint8_t, 4> &signature, std::size_t count = 4) const;
};

// Reads the record at `offset` of a file's contents the way a seek followed by
// one 10-byte read does: only the bytes that exist are copied, so a read that
// runs past the end leaves the rest of the record as the previous read left
// it. Returns the number of bytes copied.
std::size_t ReadHeaderRecord(std::span<const std::uint8_t> file, std::uint64_t offset, HeaderRecord &record);

// Bytes as text for messages: printable ASCII as it is, anything else as \xNN.
std::string HeaderTagText(const std::uint8_t *bytes, std::size_t count);

} // namespace brigant
