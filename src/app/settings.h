#pragma once
// The settings file "FwUpdateTool.ini" in the working directory. It is read as
// a stream of tokens, not as sections: for each key, the token after the first
// token equal to the key's name (letter case aside) is its value. Section
// headers, comments and unknown keys are tokens that match nothing.
#include "model/ini_state.h"

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
