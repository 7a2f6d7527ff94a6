#pragma once
// The offline firmware-file check of the command-line tool: runs the chip
// match check on a file and describes what it found, record by record.
#include <cstdint>
#include <string>
#include <vector>

namespace brigant
{

struct ChipChoice {
    std::uint8_t code = 0;
    std::uint8_t subRevision = 0;
    // The sub-revision was given ("CODE:REV"); without it a file that fits
    // another sub-revision of the chip is said to fit that one.
    bool revisionGiven = false;
};

// Parses "CODE" or "CODE:REV": CODE a chip type code (0-255) or a series name
// from the chip name table, REV a sub-revision (0-255, default 0).
bool ParseChipChoice(const std::string &text, ChipChoice &chip, std::string &error);

enum class FileCheckOutcome { Fits, DoesNotFit, Unreadable };

// One header record the check read: where, how many of its bytes the file
// held, its signature bytes ("55 AA AA 55"), tag and revision.
struct CheckedRecord {
    std::uint32_t offset = 0;
    std::uint32_t bytesRead = 0;
    std::string signature;
    std::string tag;
    std::uint8_t revision = 0;
};

// What the check of a file against a chip found.
struct FileCheckReport {
    FileCheckOutcome outcome = FileCheckOutcome::Unreadable;
    std::string file;
    std::string error; // why the file could not be read (Unreadable)
    std::uint64_t size = 0;
    ChipChoice chip;
    std::string series;   // empty for a code the chip table does not name
    std::string modelTag; // the tag the chip's files carry
    std::vector<CheckedRecord> records;
    bool comparisonTaken = false;
    std::string comparisonText;
    std::uint32_t comparisonOffset = 0;
    // The bank image of a bank-layout chip: "" (the chip has none), "none"
    // (the file ends before it), "no record", "valid" or "not valid".
    std::string bankImage;
    std::uint32_t bankEnd = 0;
    std::uint32_t bankRecordAt = 0;
    std::int32_t checksumStored = -1;
    std::int32_t checksumComputed = -1;
    bool tooLarge = false; // larger than the largest flash a bridge carries
    std::string reason;    // why it fits or does not
};
FileCheckReport CheckFirmwareFile(const std::string &path, ChipChoice chip);
// The report as text, one line per finding (for an unreadable file: the reason).
std::string FileCheckText(const FileCheckReport &report);

// Checks the file against the chip and writes a description, one line per
// finding, into `text` (for an unreadable file: the reason).
FileCheckOutcome DescribeFirmwareFileCheck(const std::string &path, ChipChoice chip, std::string &text);

} // namespace brigant
