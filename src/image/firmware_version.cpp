#include "image/firmware_version.h"

#include "image/chip_types.h"
#include "image/firmware_file.h"

#include <cstdio>
#include <optional>
#include <vector>

namespace brigant
{

namespace
{

constexpr std::size_t kVersionBytes = 4;

// A byte the version text can hold as a character without being mistaken
// for its separator.
bool VersionCharacter(std::uint8_t c) { return c > 0x20 && c < 0x7F && c != '.'; }

std::vector<std::string> Fields(const std::string &text)
{
    std::vector<std::string> fields(1);
    for (const char c : text) {
        if (c == '.')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// A field of decimal digits, a minus sign allowed in front (the signed last
// field of some chips); nothing when it is not a number.
std::optional<long> Number(const std::string &field)
{
    const std::size_t start = !field.empty() && field[0] == '-' ? 1 : 0;
    if (field.size() == start || field.size() - start > 9)
        return std::nullopt;
    long value = 0;
    for (std::size_t i = start; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9')
            return std::nullopt;
        value = value * 10 + (field[i] - '0');
    }
    return start ? -value : value;
}

// How a version text was written: four characters, or numbers of at least
// two digits each, the two forms of the same version bytes.
enum class Form : std::uint8_t { Characters, TwoDigits, Other };
Form FormOf(const std::vector<std::string> &fields)
{
    bool characters = true, twoDigits = true;
    for (const std::string &f : fields) {
        characters = characters && f.size() == 1;
        twoDigits = twoDigits && f.size() >= 2;
    }
    return characters ? Form::Characters : twoDigits ? Form::TwoDigits : Form::Other;
}

// -1, 0 or 1 as `a` stands to `b`; nothing when the two cannot be ordered.
std::optional<int> CompareField(const std::string &a, const std::string &b)
{
    const auto na = Number(a), nb = Number(b);
    if (na && nb)
        return *na < *nb ? -1 : *na > *nb ? 1 : 0;
    if (na || nb)
        return std::nullopt;
    if (a.size() == 1 && b.size() == 1) {
        const auto ca = static_cast<unsigned char>(a[0]), cb = static_cast<unsigned char>(b[0]);
        return ca < cb ? -1 : ca > cb ? 1 : 0;
    }
    return a == b ? std::optional<int>(0) : std::nullopt;
}

// `field` with every byte that is not a visible ASCII character written as
// "0xNN" (a version byte shown as a character may be any byte).
std::string Printable(const std::string &field)
{
    std::string out;
    for (const char c : field) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte > 0x20 && byte < 0x7F) {
            out += c;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", byte);
        out += hex;
    }
    return out;
}

} // namespace

std::string FirmwareImageVersion(unsigned chipTypeCode, std::span<const std::uint8_t> head)
{
    const std::uint32_t at = ChipTypeOf(chipTypeCode).versionOffset;
    if (at == 0 || head.size() < at + kVersionBytes)
        return {};
    const std::uint8_t *v = head.data() + at;
    bool characters = true;
    for (std::size_t i = 0; i < kVersionBytes; ++i)
        characters = characters && VersionCharacter(v[i]);
    char text[32];
    std::snprintf(text, sizeof text, characters ? "%c.%c.%c.%c" : "%.2d.%.2d.%.2d.%.2d", v[0], v[1], v[2],
                  v[3]);
    return text;
}

std::string PlainVersion(const std::string &text)
{
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('.', start);
        if (end == std::string::npos)
            end = text.size();
        std::string field = text.substr(start, end - start);
        const bool number = !field.empty() && field.find_first_not_of("0123456789") == std::string::npos;
        if (number) {
            const std::size_t nonzero = field.find_first_not_of('0');
            field = nonzero == std::string::npos ? "0" : field.substr(nonzero);
        } else {
            field = Printable(field);
        }
        out += (start == 0 ? "" : ".") + field;
        start = end + 1;
    }
    return text.empty() ? "" : out;
}

std::string FirmwareFileVersion(const std::string &path, unsigned chipTypeCode)
{
    const std::uint32_t at = ChipTypeOf(chipTypeCode).versionOffset;
    if (at == 0)
        return {};
    std::vector<std::uint8_t> head;
    if (!ReadFirmwareFileHead(path.c_str(), at + kVersionBytes, head))
        return {};
    return FirmwareImageVersion(chipTypeCode, head);
}

VersionOrder CompareVersions(const std::string &candidate, const std::string &installed)
{
    if (candidate.empty() || installed.empty())
        return VersionOrder::Unknown;
    const std::vector<std::string> a = Fields(candidate), b = Fields(installed);
    if (a.size() != b.size())
        return VersionOrder::Unknown;
    const Form fa = FormOf(a), fb = FormOf(b);
    if (fa != fb && fa != Form::Other && fb != Form::Other)
        return VersionOrder::Unknown;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::optional<int> order = CompareField(a[i], b[i]);
        if (!order)
            return VersionOrder::Unknown;
        if (*order != 0)
            return *order < 0 ? VersionOrder::Older : VersionOrder::Newer;
    }
    return VersionOrder::Same;
}

} // namespace brigant
