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

std::string Quoted(const std::uint8_t *bytes, std::size_t count)
{
    return "\"" + HeaderTagText(bytes, count) + "\"";
}

std::string DescribeProbe(const HeaderProbe &probe)
{
    const HeaderRecord &r = probe.record;
    std::string line = "header record at " + Hex(probe.offset) + ": ";
    if (probe.bytesRead == 0)
        line += "beyond the end of the file, record unchanged: ";
    else if (probe.bytesRead < kHeaderRecordSize)
        line += "only " + std::to_string(probe.bytesRead) + " of 10 bytes in the file: ";
    line += "signature " + HexBytes(r.bytes.data(), 4) + ", tag " + Quoted(r.tag(), 4) + ", revision " +
            Hex(r.revision(), 2);
    return line;
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
    return true;
}

FileCheckOutcome DescribeFirmwareFileCheck(const std::string &path, ChipChoice chip, std::string &text)
{
    std::vector<std::uint8_t> head;
    std::uint64_t length = 0;
    std::string error;
    if (!ReadFirmwareFileHead(path.c_str(), kBankSize, head, &length, &error)) {
        text = "cannot read " + path + ": " + error + "\n";
        return FileCheckOutcome::Unreadable;
    }

    text = "file: " + path + ", " + std::to_string(length) + " bytes\n";
    text += "chip: type code " + std::to_string(chip.code);
    if (chip.code < kChipTypeCount)
        text += std::string(" (") + ChipNameTable[chip.code] + ", tag \"" + ModelTagOf(chip.code) + "\")";
    text += ", sub-revision " + std::to_string(chip.subRevision) + "\n";

    MatchReport report;
    const int fits = CheckFirmwareFileMatchesChip(head, PackChip(chip.code, chip.subRevision), &report);
    for (const HeaderProbe &probe : report.probes)
        text += DescribeProbe(probe) + "\n";
    if (report.comparisonTaken)
        text += "comparison text: " + Quoted(report.comparisonText.data(), 4) + " from the record at " +
                Hex(report.comparisonOffset) + "\n";

    if (const std::size_t end = BankImageEnd(chip.code); end != 0) {
        if (head.size() < end) {
            text += "bank image: none, the file ends before " + Hex(static_cast<std::uint32_t>(end)) + "\n";
        } else {
            const auto recordAt = static_cast<std::uint32_t>(end - 16);
            HeaderRecord record;
            ReadHeaderRecord(head, recordAt, record);
            const std::uint16_t stored = StoredBankChecksum(head, end);
            const std::uint16_t computed = BankImageChecksum(head, end);
            if (!record.startsWith(kHeaderSignature) || !TagMatchesModel(record.tag(), chip.code))
                text += "bank image: not valid, no 55 AA AA 55 \"" + std::string(ModelTagOf(chip.code)) +
                        "\" record at " + Hex(recordAt) + "\n";
            else
                text += std::string("bank image: ") +
                        (CheckBankImage(head, chip.code) ? "valid" : "not valid") + " (checksum stored " +
                        Hex(stored, 4) + ", computed " + Hex(computed, 4) + ")\n";
        }
    }
    if (length > std::uint64_t{kLargestFlashKb} * 1024) {
        text += "result: does not fit (the file is larger than the largest flash a bridge carries, " +
                std::to_string(kLargestFlashKb) + " KiB)\n";
        return FileCheckOutcome::DoesNotFit;
    }
    text += std::string("result: ") + (fits ? "fits" : "does not fit") + " (" + report.reason + ")\n";
    return fits ? FileCheckOutcome::Fits : FileCheckOutcome::DoesNotFit;
}

} // namespace brigant
