#pragma once
// The product serial numbers a station hands out, one per unit:
// --serial-from PREFIX0001 counts up, --serial-list FILE takes them in turn.
// Every number handed out is written at once to the station's state
// ($XDG_STATE_HOME/brigant/station-serials), so that no number goes to two
// units, in this run or a later one.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace brigant::cli
{

class StationSerials
{
  public:
    // Empty on success, else why these numbers cannot be used (nothing is
    // handed out then). Neither given: inactive.
    std::string open(const std::string &from, const std::string &listFile);
    bool active() const { return active_; }

    // The next number, recorded as used for the unit `bridge` (its bridge
    // serial); empty with `why` when none is left.
    std::string take(const std::string &bridge, std::string &why);

    // Where the numbers handed out are kept.
    static std::string StateFile();

  private:
    bool used(const std::string &serial) const { return used_.count(serial) > 0; }

    bool active_ = false;
    std::set<std::string> used_;
    // --serial-from: the prefix, the next number and its width in digits.
    std::string prefix_;
    std::uint64_t next_ = 0;
    std::size_t width_ = 0;
    bool counting_ = false;
    // --serial-list: the numbers in turn.
    std::vector<std::string> list_;
    std::size_t at_ = 0;
};

// Why `serial` cannot be a product serial number; empty when it can.
std::string SerialProblem(const std::string &serial);

} // namespace brigant::cli
