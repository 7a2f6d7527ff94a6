#pragma once
// The offline firmware-file check of the command-line tool: runs the chip
// match check on a file and describes what it found, record by record.
#include <cstdint>
#include <string>

namespace brigant
{

struct ChipChoice {
    std::uint8_t code = 0;
    std::uint8_t subRevision = 0;
};

// Parses "CODE" or "CODE:REV": CODE a chip type code (0-255) or a series name
// from the chip name table, REV a sub-revision (0-255, default 0).
bool ParseChipChoice(const std::string &text, ChipChoice &chip, std::string &error);

enum class FileCheckOutcome { Fits, DoesNotFit, Unreadable };

// Checks the file against the chip and writes a description, one line per
// finding, into `text` (for an unreadable file: the reason).
FileCheckOutcome DescribeFirmwareFileCheck(const std::string &path, ChipChoice chip, std::string &text);

} // namespace brigant
