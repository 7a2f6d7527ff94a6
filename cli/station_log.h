#pragma once
// The log of a station run (`update --all --log FILE`, `--log-json FILE`):
// one row per bridge as its update ends, appended and flushed to the disk at
// once, so that a run that dies loses no row written before.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace brigant::cli
{

struct StationRow {
    std::string time;           // when the row was written (UtcTimestamp)
    std::string slot;           // its --slots label (empty: none)
    std::string port;           // its port path (empty: not known)
    std::string bridgeSerial;   // the bridge's own serial number, its USB iSerial (empty: not known)
    std::string unitSerial;     // the product serial number the update wrote (empty: none)
    std::string unitSerialRead; // that serial as read back from the flash (empty: not read)
    std::string device;
    std::string chip;
    std::string from, to; // versions as the user reads them ("unknown": not read)
    std::string file;     // the firmware file (empty: the built-in image)
    std::string fileSha256;
    std::string result; // success, failed, nothing to do, skipped, not started, crashed, ...
    std::string verify; // "verified", "holds the file", "not verified" or "-" (nothing was to be written)
    std::string reason; // why it did not succeed (empty: it did)
    std::uint64_t durationMs = 0;
    std::string backup; // the backup file taken before the write (empty: none)
};

class StationLog
{
  public:
    StationLog() = default;
    ~StationLog();
    StationLog(const StationLog &) = delete;
    StationLog &operator=(const StationLog &) = delete;

    // Opens the files asked for (empty: none) to append; the CSV gets its
    // header line when it is new or empty. Empty on success, else why not.
    std::string open(const std::string &csvFile, const std::string &jsonFile);
    // Appends the row to each file and syncs it to the disk.
    void add(const StationRow &row);
    bool active() const { return csv_ || json_; }

    // The rows of a log this class wrote, CSV or JSON Lines (told apart by
    // their first character); empty on success, else why it cannot be read.
    static std::string read(const std::string &file, std::vector<StationRow> &rows);
    // The units whose last row in the log `file` says the update failed
    // (or never finished): their bridge serial, and the product serial
    // number that row gave them (empty: none). Empty on success, else why not.
    static std::string failedUnits(const std::string &file, std::map<std::string, std::string> &units);

  private:
    std::FILE *csv_ = nullptr;
    std::FILE *json_ = nullptr;
};

} // namespace brigant::cli
