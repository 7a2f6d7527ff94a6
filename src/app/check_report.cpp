#include "app/check_report.h"

#include "common/hex.h"
#include "identify/flash_identify.h"
#include "image/bank_image.h"
#include "image/chip_match.h"
#include "image/chip_names.h"
#include "image/firmware_file.h"
#include "image/model_tags.h"

#include <cstdio>
#include <vector>

namespace brigant
{

namespace
{

std::string Hex(std::uint32_t value, int digits = 0)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

bool ParseByte(const std::string &text, unsigned &value)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<unsigned>(std::stoul(text));
    return value <= 255;
}

} // namespace

bool ParseChipChoice(const std::string &text, ChipChoice &chip, std::string &error)
{
    const std::size_t colon = text.rfind(':');
    const std::string codeText = colon == std::string::npos ? text : text.substr(0, colon);
    unsigned rev = 0;
    if (colon != std::string::npos && !ParseByte(text.substr(colon + 1), rev)) {
        error = "sub-revision \"" + text.substr(colon + 1) + "\" is not a number from 0 to 255";
        return false;
    }
    unsigned code = 0;
    if (!codeText.empty() && codeText.find_first_not_of("0123456789") == std::string::npos &&
        !ParseByte(codeText, code)) {
        error = "chip type code " + codeText + " is not from 0 to 255";
        return false;
    }
    if (!ParseByte(codeText, code)) {
        const int found = FindChipByName(codeText);
        if (found < 0) {
            error = "\"" + codeText + "\" is neither a chip type code (0-255) nor a series name";
            return false;
        }
        code = static_cast<unsigned>(found);
    }
    chip.code = static_cast<std::uint8_t>(code);
    chip.subRevision = static_cast<std::uint8_t>(rev);
    chip.revisionGiven = colon != std::string::npos;
    return true;
}

FileCheckReport CheckFirmwareFile(const std::string &path, ChipChoice chip)
{
    FileCheckReport r;
    r.file = path;
    r.chip = chip;
    if (chip.code < kChipTypeCount) {
        r.series = ChipNameTable[chip.code];
        r.modelTag = ModelTagOf(chip.code);
    }
    std::vector<std::uint8_t> head;
    if (!ReadFirmwareFileHead(path.c_str(), kBankSize, head, &r.size, &r.error))
        return r;

    MatchReport match;
    int fits = CheckFirmwareFileMatchesChip(head, PackChip(chip.code, chip.subRevision), &match);
    // Some chips take files by their sub-revision: with none given, the
    // first one the file is made for is the answer (and named).
    for (unsigned rev = 1; !fits && !chip.revisionGiven && rev <= 255; ++rev) {
        MatchReport other;
        if (CheckFirmwareFileMatchesChip(head, PackChip(chip.code, static_cast<std::uint8_t>(rev)), &other)) {
            fits = 1;
            match = other;
            r.chip.subRevision = static_cast<std::uint8_t>(rev);
        }
    }
    for (const HeaderProbe &probe : match.probes)
        r.records.push_back({probe.offset, static_cast<std::uint32_t>(probe.bytesRead),
                             HexBytes(probe.record.bytes.data(), 4), HeaderTagText(probe.record.tag(), 4),
                             probe.record.revision()});
    r.comparisonTaken = match.comparisonTaken;
    if (match.comparisonTaken) {
        r.comparisonText = HeaderTagText(match.comparisonText.data(), 4);
        r.comparisonOffset = match.comparisonOffset;
    }
    if (const std::size_t end = BankImageEnd(chip.code); end != 0) {
        r.bankEnd = static_cast<std::uint32_t>(end);
        r.bankRecordAt = static_cast<std::uint32_t>(end - 16);
        if (head.size() < end) {
            r.bankImage = "none";
        } else {
            HeaderRecord record;
            ReadHeaderRecord(head, r.bankRecordAt, record);
            if (!record.startsWith(kHeaderSignature) || !TagMatchesModel(record.tag(), chip.code)) {
                r.bankImage = "no record";
            } else {
                r.checksumStored = StoredBankChecksum(head, end);
                r.checksumComputed = BankImageChecksum(head, end);
                r.bankImage = CheckBankImage(head, chip.code) ? "valid" : "not valid";
            }
        }
    }
    if (r.size > std::uint64_t{kLargestFlashKb} * 1024) {
        r.tooLarge = true;
        r.reason = "the file is larger than the largest flash a bridge carries, " +
                   std::to_string(kLargestFlashKb) + " KiB";
        r.outcome = FileCheckOutcome::DoesNotFit;
        return r;
    }
    r.reason = match.reason;
    if (fits && r.chip.subRevision != chip.subRevision)
        r.reason += " for sub-revision " + std::to_string(r.chip.subRevision) +
                    " (CODE:REV checks another sub-revision)";
    r.outcome = fits ? FileCheckOutcome::Fits : FileCheckOutcome::DoesNotFit;
    return r;
}

std::string FileCheckText(const FileCheckReport &r)
{
    if (r.outcome == FileCheckOutcome::Unreadable)
        return "cannot read " + r.file + ": " + r.error + "\n";
    std::string text = "file: " + r.file + ", " + std::to_string(r.size) + " bytes\n";
    text += "chip: type code " + std::to_string(r.chip.code);
    if (!r.series.empty())
        text += " (" + r.series + ", tag \"" + r.modelTag + "\")";
    text += ", sub-revision " + std::to_string(r.chip.subRevision) + "\n";
    for (const CheckedRecord &c : r.records) {
        text += "header record at " + Hex(c.offset) + ": ";
        if (c.bytesRead == 0)
            text += "beyond the end of the file, record unchanged: ";
        else if (c.bytesRead < kHeaderRecordSize)
            text += "only " + std::to_string(c.bytesRead) + " of 10 bytes in the file: ";
        text += "signature " + c.signature + ", tag \"" + c.tag + "\", revision " + Hex(c.revision, 2) + "\n";
    }
    if (r.comparisonTaken)
        text += "comparison text: \"" + r.comparisonText + "\" from the record at " +
                Hex(r.comparisonOffset) + "\n";
    if (r.bankImage == "none")
        text += "bank image: none, the file ends before " + Hex(r.bankEnd) + "\n";
    else if (r.bankImage == "no record")
        text += "bank image: not valid, no 55 AA AA 55 \"" + r.modelTag + "\" record at " +
                Hex(r.bankRecordAt) + "\n";
    else if (!r.bankImage.empty())
        text += "bank image: " + r.bankImage + " (checksum stored " +
                Hex(static_cast<std::uint32_t>(r.checksumStored), 4) + ", computed " +
                Hex(static_cast<std::uint32_t>(r.checksumComputed), 4) + ")\n";
    text += std::string("result: ") + (r.outcome == FileCheckOutcome::Fits ? "fits" : "does not fit") + " (" +
            r.reason + ")\n";
    return text;
}

FileCheckOutcome DescribeFirmwareFileCheck(const std::string &path, ChipChoice chip, std::string &text)
{
    const FileCheckReport report = CheckFirmwareFile(path, chip);
    text = FileCheckText(report);
    return report.outcome;
}

} // namespace brigant
