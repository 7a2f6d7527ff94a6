#include "app/settings.h"

#include "forms/ui_services.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace brigant
{

namespace
{

constexpr const char *kTokenSeparators = " =,\t\n\r";
constexpr const char *kLineSeparators = "=,\t\n\r";

// Upper-cases a-z only; every other byte stays as it is.
std::string UpperAscii(std::string_view text)
{
    std::string upper(text);
    for (char &c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

// Splits like a standard tokenizer: runs of separators count as one and the
// first zero byte ends the text.
class Tokens
{
  public:
    Tokens(const char *text, const char *separators) : p_(text), separators_(separators) {}

    bool next(std::string_view &token)
    {
        while (isSeparator(*p_))
            ++p_;
        if (*p_ == '\0')
            return false;
        const char *start = p_;
        while (*p_ != '\0' && !isSeparator(*p_))
            ++p_;
        token = std::string_view(start, static_cast<std::size_t>(p_ - start));
        return true;
    }

  private:
    bool isSeparator(char c) const { return c != '\0' && std::strchr(separators_, c) != nullptr; }

    const char *p_;
    const char *separators_;
};

void CopyText(char *destination, std::size_t maxSize, std::string_view text)
{
    const std::size_t count = std::min(text.size(), maxSize - 1);
    std::memcpy(destination, text.data(), count);
    destination[count] = '\0';
}

int Lookup(const char *buffer, const char *key, const char *defaultValue, char *destination,
           std::size_t maxSize, const char *separators)
{
    if (!destination || maxSize == 0)
        return 0;
    const std::string wanted = UpperAscii(key);
    Tokens tokens(buffer ? buffer : "", separators);
    std::string_view token;
    while (tokens.next(token)) {
        if (UpperAscii(token) != wanted)
            continue;
        std::string_view value;
        if (tokens.next(value) && value.size() + 1 <= maxSize) {
            CopyText(destination, maxSize, value);
            return 1;
        }
        break; // only the first match counts, accepted or not
    }
    CopyText(destination, maxSize, defaultValue ? defaultValue : "");
    return 0;
}

std::string TokenValue(const char *buffer, const char *key, const char *defaultValue)
{
    char value[kSettingTokenSize];
    GetSettingToken(buffer, key, defaultValue, value, sizeof value);
    return value;
}

std::string LineValue(const char *buffer, const char *key, const char *defaultValue)
{
    char value[kSettingLineSize];
    GetSettingLine(buffer, key, defaultValue, value, sizeof value);
    return value;
}

std::int32_t Decimal(const char *buffer, const char *key, const char *defaultValue)
{
    // Values are at most 7 characters, so they always fit 32 bits.
    return static_cast<std::int32_t>(std::strtol(TokenValue(buffer, key, defaultValue).c_str(), nullptr, 10));
}

// A 16-bit hexadecimal value; false when the text is not one.
bool ParseHex16(const std::string &text, std::uint16_t &value)
{
    if (text.empty())
        return false;
    unsigned long number = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        number = number * 16 +
                 static_cast<unsigned long>(std::isdigit(static_cast<unsigned char>(c))
                                                ? c - '0'
                                                : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
    }
    if (number > 0xFFFF)
        return false;
    value = static_cast<std::uint16_t>(number);
    return true;
}

void ReadHex16(const char *buffer, const char *key, const char *defaultValue, std::uint16_t &target,
               std::string &problems)
{
    const std::string text = TokenValue(buffer, key, defaultValue);
    std::uint16_t value = 0;
    if (ParseHex16(text, value)) {
        target = value;
        return;
    }
    ParseHex16(defaultValue, target);
    if (!problems.empty())
        problems += "\n";
    problems += "The setting " + std::string(key) + " = \"" + text +
                "\" is not a hexadecimal number from 0 to FFFF; the default " + defaultValue + " is used.";
}

} // namespace

int GetSettingToken(const char *buffer, const char *key, const char *defaultValue, char *destination,
                    std::size_t maxSize)
{
    return Lookup(buffer, key, defaultValue, destination, maxSize, kTokenSeparators);
}

int GetSettingLine(const char *buffer, const char *key, const char *defaultValue, char *destination,
                   std::size_t maxSize)
{
    return Lookup(buffer, key, defaultValue, destination, maxSize, kLineSeparators);
}

void ReadSettingsFromBytes(INI_STATE &state, std::span<const std::uint8_t> content)
{
    // Room for the file rounded up to 32 bytes and always one zero byte more,
    // so that the text is terminated even when its size is a multiple of 32.
    const std::size_t rounded = (content.size() + 31) / 32 * 32;
    std::vector<char> text(rounded + 1, '\0');
    std::copy(content.begin(), content.end(), reinterpret_cast<std::uint8_t *>(text.data()));
    const char *buffer = text.data();

    // The keys in the order in which they are looked up.
    state.PmModel = UpperAscii(TokenValue(buffer, "PmModel", "ALL"));
    state.PsModel = UpperAscii(TokenValue(buffer, "PsModel", "ALL"));
    state.CheckPmPsFwFile = Decimal(buffer, "CheckPmPsFwFile", "0");
    for (int i = 0; i < 4; ++i)
        state.PmPsFwVer[i] = TokenValue(buffer, ("PmPsFwVer" + std::to_string(i)).c_str(), "##");
    for (int i = 0; i < 4; ++i)
        state.PmPsDate[i] = TokenValue(buffer, ("PmPsDate" + std::to_string(i)).c_str(), "##");
    state.ShowPassFailWindow = Decimal(buffer, "ShowPassFailWindow", "0");
    state.MainFormCaption = LineValue(buffer, "MainFormCaption", "Velkor Conifer Fw Update Tool");

    std::string problems;
    ReadHex16(buffer, "VID", "3A9C", state.VID, problems);
    ReadHex16(buffer, "PID", "7E21", state.PID, problems);

    char serial[kSettingLineSize] = {};
    GetSettingLine(buffer, "SerialNum", "00000000000000000000", serial, sizeof serial);
    std::memcpy(state.SerialNum.data(), serial, kSerialNumSize);

    state.ChipReset = Decimal(buffer, "ChipReset", "0");

    if (!problems.empty())
        Ui().messageBox(problems, "Warning", MessageKind::Warning);
}

void ReadSettings(INI_STATE &state, const std::string &fileName)
{
    std::vector<std::uint8_t> content;
    // O_NONBLOCK: a FIFO in the file's place must not hang start-up.
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) <= kMaxSettingsFileSize) {
            content.resize(static_cast<std::size_t>(st.st_size));
            std::size_t got = 0;
            while (got < content.size()) {
                const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            content.resize(got);
        }
        ::close(fd);
    }
    ReadSettingsFromBytes(state, content);
}

} // namespace brigant
