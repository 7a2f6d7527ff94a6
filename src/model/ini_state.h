#pragma once
// The settings the program runs with, each member at its key's default until
// the settings file is read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace brigant
{

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

} // namespace brigant
