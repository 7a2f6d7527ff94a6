#pragma once
// The version a firmware image carries, written the way the window writes
// the version a bridge runs, and how two such versions stand to each other.
#include <cstdint>
#include <span>
#include <string>

namespace brigant
{

// The version in the first bytes of a firmware image for `chipTypeCode`,
// as the window shows that chip's running version: "1.1.0.8" when the four
// version bytes are characters, "01.01.00.08" when they are numbers. Empty
// when the chip's files carry no version the tool knows of, or `head` is too
// short to hold it.
std::string FirmwareImageVersion(unsigned chipTypeCode, std::span<const std::uint8_t> head);
// The same for a firmware file; empty also when the file cannot be read.
std::string FirmwareFileVersion(const std::string &path, unsigned chipTypeCode);
// A version text in one form whatever the chip's own: dot-separated fields,
// numbers without leading zeros ("01.01.01.00" and "1.1.1.0" both read
// "1.1.1.0"). In fields that are not numbers, a byte that is not a visible
// ASCII character is written in hex ("0x1F"); the rest stays as it is.
std::string PlainVersion(const std::string &text);

enum class VersionOrder : std::uint8_t {
    Same,
    Older,   // the candidate is older than the installed version
    Newer,   // the candidate is newer
    Unknown, // a version is missing, or the two are not written alike
};
// How the version `candidate` stands to `installed`, both as the window writes
// versions: field by field from the left, numbers by value ("01" is "1"),
// single characters by their code. Unknown: texts with a different number of
// fields, a field that is a number in one and not in the other, and a text of
// characters ("1.1.0.8") against one of two-digit numbers ("01.01.00.08"),
// which come from other bytes and tell nothing of each other.
VersionOrder CompareVersions(const std::string &candidate, const std::string &installed);

} // namespace brigant
