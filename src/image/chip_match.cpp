#include "image/chip_match.h"
#include "common/hex.h"

#include "image/chip_types.h"
#include "image/firmware_file.h"
#include "image/model_tags.h"

#include <cstdio>
#include <cstring>

namespace brigant
{

namespace
{

// A tag in quotes when it is text, else its bytes in hex ("bytes 5A A5 0F F0").
std::string Quoted(const std::uint8_t *bytes, std::size_t count)
{
    bool text = true;
    for (std::size_t i = 0; i < count; ++i)
        text = text && bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\';
    if (text)
        return "\"" + HeaderTagText(bytes, count) + "\"";
    std::string hex = "bytes";
    for (std::size_t i = 0; i < count; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, " %02X", bytes[i]);
        hex += b;
    }
    return hex;
}

// Compares the leading `count` characters of the comparison text.
struct Expectation {
    std::uint8_t text[4];
    std::size_t count;
};

int Compare(MatchReport &r, const Expectation &want)
{
    const bool same = std::memcmp(r.comparisonText.data(), want.text, want.count) == 0;
    r.reason = std::string(same ? "tag " : "tag mismatch: ") + Quoted(r.comparisonText.data(), want.count) +
               (same ? " as expected" : ", expected " + Quoted(want.text, want.count));
    return same ? 1 : 0;
}

Expectation TagWithRevision(const char *tag, unsigned rev)
{
    // The revision character of rev - 1, as a byte.
    const auto revChar = static_cast<std::uint8_t>(rev - 1 + '0');
    return {{std::uint8_t(tag[0]), std::uint8_t(tag[1]), std::uint8_t(tag[2]), revChar}, 4};
}

Expectation ModelTag(unsigned code)
{
    const char *tag = ModelTagOf(code);
    return {{std::uint8_t(tag[0]), std::uint8_t(tag[1]), std::uint8_t(tag[2]), 0}, 3};
}

bool ChecksTag(unsigned code) { return ChipTypeOf(code).tagChecked; }

int Decide(MatchReport &r, const HeaderRecord &record, unsigned code, unsigned rev)
{
    switch (code) {
    case 1:
        if (rev == 1)
            return Compare(r, {{0x5A, 0xA5, 0x0F, 0xF0}, 4});
        return Compare(r, TagWithRevision("Q7A", rev));
    case 2:
    case 35:
        if (std::memcmp(r.comparisonText.data(), "Q7", 2) == 0) {
            r.reason = "tag starts \"Q7\", which this chip refuses";
            return 0;
        }
        r.reason = "tag " + Quoted(r.comparisonText.data(), 2) + " does not start \"Q7\"";
        return 1;
    case 3:
    case 4:
    case 31:
    case 32:
    case 33:
    case 34:
        r.reason = "this chip takes any file";
        return 1;
    case 5:
        return Compare(r, TagWithRevision("Q7E", rev));
    case 6:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 27:
    case 28:
        return Compare(r, ModelTag(code));
    case 7: {
        int revision = record.revision();
        if (revision != 0)
            revision -= '0';
        const bool same = revision == static_cast<int>(rev) - 1;
        r.reason = "revision byte " + HexNumber(record.revision()) + (same ? " fits" : " does not fit") +
                   " sub-revision " + std::to_string(rev);
        return same ? 1 : 0;
    }
    case 8: {
        static constexpr std::uint8_t kRev1[8] = {0x55, 0xAA, 0xAA, 0x55, 'v', 'Q', '5', 'H'};
        static constexpr std::uint8_t kRev2[8] = {0x55, 0xAA, 0xAA, 0x55, 'Q', '5', 'H', '1'};
        const std::uint8_t *want = rev == 1 ? kRev1 : rev == 2 ? kRev2 : nullptr;
        if (!want) {
            r.reason = "sub-revision " + std::to_string(rev) + " takes no file (only 1 and 2 do)";
            return 0;
        }
        const bool same = std::memcmp(record.bytes.data(), want, 8) == 0;
        r.reason = "header " + Quoted(record.bytes.data(), 8) + (same ? " as expected" : ", expected ") +
                   (same ? "" : Quoted(want, 8));
        return same ? 1 : 0;
    }
    case 30:
        return Compare(r, {{'Q', '7', 'E', 'E'}, 4});
    default:
        r.reason = "chip type code " + std::to_string(code) + " takes no firmware file";
        return 0;
    }
}

} // namespace

int CheckFirmwareFileMatchesChip(std::span<const std::uint8_t> file, std::uint16_t chip, MatchReport *report)
{
    const unsigned code = chip & 0xFFu;
    const unsigned rev = chip >> 8;
    MatchReport local;
    MatchReport &r = report ? *report : local;
    r = MatchReport{};

    HeaderRecord record;
    auto probe = [&](std::uint32_t offset) {
        r.probes.push_back({offset, ReadHeaderRecord(file, offset, record), record});
    };
    auto takeText = [&](std::uint32_t offset) {
        std::memcpy(r.comparisonText.data(), record.tag(), 4);
        r.comparisonOffset = offset;
        r.comparisonTaken = true;
    };
    auto refuse = [&](std::string why) {
        r.reason = std::move(why);
        return 0;
    };

    // First probe: where the header record of the code's layout sits.
    const std::uint32_t first = ChipTypeOf(code).headerOffset;
    probe(first);
    if (first != 0 && !record.startsWith(kHeaderSignature, 2))
        return refuse("no 55 AA signature at " + HexNumber(first));
    takeText(first);

    // Tag check of the codes whose files carry a model tag.
    if (code == 11) {
        probe(0x80);
        if (!record.startsWith(kLarchSignature, 3))
            return refuse("no E9 AC 67 signature at 0x80");
        takeText(0x80);
    } else if (ChecksTag(code)) {
        if (record.startsWith(kHeaderSignature)) {
            if (!TagMatchesModel(r.comparisonText.data(), code))
                return refuse("tag at " + HexNumber(first) + " is " + Quoted(r.comparisonText.data(), 3) +
                              ", not " + Quoted(reinterpret_cast<const std::uint8_t *>(ModelTagOf(code)), 3));
        } else {
            probe(0x1000);
            if (record.startsWith(kHeaderSignature)) {
                takeText(0x1000);
                if (!TagMatchesModel(r.comparisonText.data(), code))
                    return refuse("tag at 0x1000 is " + Quoted(r.comparisonText.data(), 3) + ", not " +
                                  Quoted(reinterpret_cast<const std::uint8_t *>(ModelTagOf(code)), 3));
            }
        }
    }
    return Decide(r, record, code, rev);
}

std::string FileMismatchReason(const char *fileName, std::uint16_t chip)
{
    std::vector<std::uint8_t> head;
    if (!ReadFirmwareFileHead(fileName, kChipMatchProbeEnd, head))
        return {};
    MatchReport report;
    if (CheckFirmwareFileMatchesChip(head, chip, &report))
        return {};
    std::string why = report.reason;
    if (report.comparisonTaken && why.find("at 0x") == std::string::npos) {
        char at[32];
        std::snprintf(at, sizeof at, " (record at 0x%X)", static_cast<unsigned>(report.comparisonOffset));
        why += at;
    }
    return why;
}

int CheckFirmwareFileMatchesChip(const char *fileName, std::uint16_t chip, bool *unreadable)
{
    std::vector<std::uint8_t> head;
    const bool read = ReadFirmwareFileHead(fileName, kChipMatchProbeEnd, head) != 0;
    if (unreadable)
        *unreadable = !read;
    if (!read)
        return 0;
    return CheckFirmwareFileMatchesChip(head, chip);
}

} // namespace brigant
