#pragma once
// Shared by the benchmarks that drive brigant-fw as a user would: run a
// command line, read back the command trace it wrote (one line per SCSI
// command) and the "simulated time" it printed.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brigant::bench
{

struct TraceLine {
    bool out = false;              // "out" (data-out) or "in"
    std::vector<std::uint8_t> cdb; // the CDB bytes as sent
    std::uint32_t length = 0;      // len=
    bool ok = false;               // ok / fail
    std::uint8_t at(std::size_t i) const { return i < cdb.size() ? cdb[i] : 0; }
};

// Runs `command` through the shell; true when it exited with `expectedExit`.
bool RunCommand(const std::string &command, int expectedExit = 0);

// Parses a trace file; nullopt when it cannot be read or a line is malformed.
std::optional<std::vector<TraceLine>> ReadTrace(const std::string &file);

// The milliseconds of the "simulated time: S.CC s" line in a file (10 ms
// resolution, as printed); nullopt when there is none.
std::optional<std::uint64_t> ReadSimulatedMs(const std::string &file);

// The text of a file, or empty.
std::string ReadText(const std::string &file);

// Single-quoted for the shell.
std::string Quote(const std::string &text);

} // namespace brigant::bench
