#pragma once
// The settings file "FwUpdateTool.ini" in the working directory. It is read as
// a stream of tokens, not as sections: for each key, the token after the first
// token equal to the key's name (letter case aside) is its value. Section
// headers, comments and unknown keys are tokens that match nothing.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brigant
{

inline constexpr const char *kSettingsBaseName = "FwUpdateTool";
inline constexpr const char *kSettingsExtension = ".ini";
// Files larger than this are not settings files; they are treated as missing.
inline constexpr std::size_t kMaxSettingsFileSize = 16u << 20;

// Token values end at a blank, "=", ",", tab or line end and may be at most 7
// characters; line values may contain blanks and be at most 63 characters.
inline constexpr std::size_t kSettingTokenSize = 8;
inline constexpr std::size_t kSettingLineSize = 64;
inline constexpr std::size_t kSerialNumSize = 20;

// Each member starts at its key's default.
struct INI_STATE {
    std::string PmModel = "ALL"; // upper-cased
    std::string PsModel = "ALL"; // upper-cased
    std::int32_t CheckPmPsFwFile = 0;
    std::array<std::string, 4> PmPsFwVer{"##", "##", "##", "##"};
    std::array<std::string, 4> PmPsDate{"##", "##", "##", "##"};
    std::int32_t ShowPassFailWindow = 0;
    std::string MainFormCaption = "Velkor Conifer Fw Update Tool";
    std::uint16_t VID = 0x3A9C; // written as hexadecimal in the file
    std::uint16_t PID = 0x7E21;
    // The first 20 bytes of the value; zero-terminated when shorter.
    std::array<char, kSerialNumSize> SerialNum{'0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                                               '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'};
    std::int32_t ChipReset = 0; // 1: the bridge resets itself after an update

    // SerialNum as text: up to its first zero byte, at most 20 characters.
    std::string SerialText() const;
};

// The two lookups over a zero-terminated buffer. Each copies the value that
// follows the first token equal to `key` into `destination` when there is one
// and it fits `maxSize` bytes with its terminator, and returns 1; otherwise it
// copies `defaultValue` and returns 0. The token lookup splits at blanks too,
// the line lookup does not.
int GetSettingToken(const char *buffer, const char *key, const char *defaultValue, char *destination,
                    std::size_t maxSize);
int GetSettingLine(const char *buffer, const char *key, const char *defaultValue, char *destination,
                   std::size_t maxSize);

// Fills `state` from the contents of a settings file. Values of VID or PID that
// are not 16-bit hexadecimal numbers keep their default, and one warning box
// names them.
void ReadSettingsFromBytes(INI_STATE &state, std::span<const std::uint8_t> content);

// Reads the named file (by default "FwUpdateTool.ini" in the working
// directory). Never fails: a missing or unreadable file gives every default.
void ReadSettings(INI_STATE &state,
                  const std::string &fileName = std::string(kSettingsBaseName) + kSettingsExtension);

} // namespace brigant
