#pragma once
// Whether a firmware file was built for a chip: where its header record sits,
// what it must contain and how strictly it is compared all depend on the chip
// type code.
#include "image/firmware_header.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace brigant
{

// No header record lies beyond this many bytes from the start of a file.
inline constexpr std::size_t kChipMatchProbeEnd = 0xC000;

// The packed chip argument: low byte chip type code, high byte sub-revision.
constexpr std::uint16_t PackChip(std::uint8_t code, std::uint8_t subRevision)
{
    return static_cast<std::uint16_t>(code | subRevision << 8);
}

struct HeaderProbe {
    std::uint32_t offset = 0;
    std::size_t bytesRead = 0; // fewer than 10: the rest is left from the read before
    HeaderRecord record;       // the record as it stood after this read
};

// How a match check came to its answer.
struct MatchReport {
    std::vector<HeaderProbe> probes; // every read, in order
    std::array<std::uint8_t, 4> comparisonText{};
    bool comparisonTaken = false;       // false when the check ended before taking one
    std::uint32_t comparisonOffset = 0; // record whose bytes 4-7 are the comparison text
    std::string reason;                 // what decided, in words
};

// 1 when the file contents fit the chip, else 0. Reads only header records.
int CheckFirmwareFileMatchesChip(std::span<const std::uint8_t> file, std::uint16_t chip,
                                 MatchReport *report = nullptr);

// The same for a file by name; a file that cannot be opened gives 0 and sets
// `*unreadable` (the window then shows "Open Firmware File Error!!").
int CheckFirmwareFileMatchesChip(const char *fileName, std::uint16_t chip, bool *unreadable = nullptr);
// Why the file does not fit the chip, in one line ("tag mismatch: "S3N"
// at 0xBFF0, expected "S6Q""); empty when it fits or cannot be read.
std::string FileMismatchReason(const char *fileName, std::uint16_t chip);

} // namespace brigant
