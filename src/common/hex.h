#pragma once
// Hexadecimal text helpers shared by the trace, the command-line tool and the simulator.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brigant
{

// "E0 F4 E7" style: two upper-case digits per byte, separated by `sep`.
std::string HexBytes(const std::uint8_t *data, std::size_t len, const char *sep = " ");

// Classic 16-bytes-per-line dump with offsets and an ASCII column.
std::string HexDump(const std::uint8_t *data, std::size_t len);

// "0x1F2": a number in upper-case hexadecimal with its prefix.
std::string HexNumber(std::uint64_t value);

// Parses byte tokens such as "DF", "0xdf", or a run such as "DF1000"; returns
// nothing when a token is not whole hexadecimal bytes.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::vector<std::string> &tokens);

// Parses an unsigned number in decimal or with a 0x prefix.
std::optional<std::uint64_t> ParseNumber(const std::string &text);

} // namespace brigant
