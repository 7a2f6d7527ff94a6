#include "cli/station_serials.h"

#include "app/write_guard.h"
#include "common/clock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace brigant::cli
{

namespace fs = std::filesystem;

std::string SerialProblem(const std::string &serial)
{
    if (serial.empty() || serial.size() > 20)
        return "a serial number has 1 to 20 characters";
    for (const char c : serial)
        if (c < 0x21 || c > 0x7E || c == ',' || c == '"')
            return "a serial number is printable ASCII without blanks, commas or quotes";
    return {};
}

std::string StationSerials::StateFile()
{
    return (fs::path(BackupDirectory()).parent_path() / "station-serials").string();
}

std::string StationSerials::open(const std::string &from, const std::string &listFile)
{
    if (from.empty() && listFile.empty())
        return {};
    if (!from.empty() && !listFile.empty())
        return "--serial-from and --serial-list: give one of them";
    // The numbers handed out before: the first word of each line.
    {
        std::ifstream state(StateFile());
        std::string line;
        while (std::getline(state, line))
            if (const std::string word = line.substr(0, line.find_first_of(" \t")); !word.empty())
                used_.insert(word);
    }
    if (!from.empty()) {
        if (std::string why = SerialProblem(from); !why.empty())
            return "--serial-from " + from + ": " + why;
        const std::size_t digits = from.find_last_not_of("0123456789") + 1;
        if (digits == from.size() || from.size() - digits > 18)
            return "--serial-from " + from + ": it ends in the number to count up from (SN0100)";
        prefix_ = from.substr(0, digits);
        width_ = from.size() - digits;
        next_ = std::stoull(from.substr(digits));
        counting_ = true;
        if (used(from))
            return "--serial-from " + from + ": " + from + " was handed out before at this station (" +
                   StateFile() + "); start from a number not used yet";
    } else {
        std::ifstream in(listFile);
        if (!in)
            return "--serial-list " + listFile + ": cannot be read";
        std::set<std::string> seen;
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            const std::size_t start = line.find_first_not_of(" \t\r");
            if (start == std::string::npos || line[start] == '#')
                continue;
            const std::string serial = line.substr(start, line.find_last_not_of(" \t\r") + 1 - start);
            const std::string where = "--serial-list " + listFile + ":" + std::to_string(number) + ": ";
            if (std::string why = SerialProblem(serial); !why.empty())
                return where + serial + ": " + why;
            if (!seen.insert(serial).second)
                return where + serial + " is in the list twice";
            if (!used(serial))
                list_.push_back(serial);
        }
        if (list_.empty())
            return "--serial-list " + listFile +
                   ": every number in it was handed out before at this station (" + StateFile() + ")";
    }
    active_ = true;
    return {};
}

std::string StationSerials::take(const std::string &bridge, std::string &why)
{
    std::string serial;
    if (counting_) {
        for (;;) {
            char number[32];
            std::snprintf(number, sizeof number, "%0*llu", static_cast<int>(width_),
                          static_cast<unsigned long long>(next_));
            serial = prefix_ + number;
            if (std::string(number).size() > width_ || serial.size() > 20) {
                why = "the serial numbers from --serial-from have run out (" + serial + " has more digits)";
                return {};
            }
            ++next_;
            if (!used(serial))
                break;
        }
    } else {
        while (at_ < list_.size() && used(list_[at_]))
            ++at_;
        if (at_ == list_.size()) {
            why = "every serial number of --serial-list has been handed out";
            return {};
        }
        serial = list_[at_++];
    }
    // Kept before the unit is written, so that a crash cannot hand it out again.
    std::error_code ec;
    fs::create_directories(fs::path(StateFile()).parent_path(), ec);
    std::FILE *state = std::fopen(StateFile().c_str(), "a");
    if (!state) {
        why = "cannot record the serial number in " + StateFile() + ": " + std::strerror(errno);
        return {};
    }
    const std::string line = serial + "\t" + (bridge.empty() ? "-" : bridge) + "\t" + UtcTimestamp() + "\n";
    const bool kept =
        std::fputs(line.c_str(), state) >= 0 && std::fflush(state) == 0 && ::fdatasync(::fileno(state)) == 0;
    std::fclose(state);
    if (!kept) {
        why = "cannot record the serial number in " + StateFile();
        return {};
    }
    used_.insert(serial);
    return serial;
}

} // namespace brigant::cli
