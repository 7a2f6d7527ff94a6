#include "common/hex.h"

#include <cctype>
#include <cstdio>

namespace brigant
{

std::string HexBytes(const std::uint8_t *data, std::size_t len, const char *sep)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < len; ++i) {
        if (i)
            out += sep;
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        out += buf;
    }
    return out;
}

std::string HexDump(const std::uint8_t *data, std::size_t len)
{
    std::string out;
    char buf[24]; // room for a 16-digit offset: GCC checks the worst case
    for (std::size_t row = 0; row < len; row += 16) {
        std::snprintf(buf, sizeof buf, "%08zX ", row);
        out += buf;
        for (std::size_t i = row; i < row + 16; ++i) {
            if (i < len) {
                std::snprintf(buf, sizeof buf, " %02X", data[i]);
                out += buf;
            } else {
                out += "   ";
            }
        }
        out += "  ";
        for (std::size_t i = row; i < row + 16 && i < len; ++i)
            out += std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
        out += '\n';
    }
    return out;
}

namespace
{
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::vector<std::string> &tokens)
{
    std::vector<std::uint8_t> out;
    for (std::string tok : tokens) {
        if (tok.size() > 2 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X'))
            tok = tok.substr(2);
        if (tok.empty() || tok.size() % 2 != 0)
            return std::nullopt;
        for (std::size_t i = 0; i < tok.size(); i += 2) {
            int hi = HexDigit(tok[i]), lo = HexDigit(tok[i + 1]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
    }
    return out;
}

std::string HexNumber(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::optional<std::uint64_t> ParseNumber(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    std::size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < text.size(); ++i) {
        int d = base == 16 ? HexDigit(text[i])
                           : (std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0' : -1);
        if (d < 0)
            return std::nullopt;
        if (value > (UINT64_MAX - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
            return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    return value;
}

} // namespace brigant
