#include "cli/station_log.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

constexpr const char *kHeader = "time,slot,port,bridge_serial,unit_serial,unit_serial_read,device,chip,from,"
                                "to,file,file_sha256,result,verify,reason,duration_s,backup\n";

// A CSV field: quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Seconds(std::uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(ms) / 1000.0);
    return text;
}

void Sync(std::FILE *file)
{
    std::fflush(file);
    ::fdatasync(::fileno(file));
}

std::string OpenAppend(const std::string &name, std::FILE *&file)
{
    if (name.empty())
        return {};
    file = std::fopen(name.c_str(), "a");
    if (!file)
        return name + ": cannot be opened to append (" + std::strerror(errno) + ")";
    return {};
}

} // namespace

StationLog::~StationLog()
{
    for (std::FILE *file : {csv_, json_})
        if (file)
            std::fclose(file);
}

std::string StationLog::open(const std::string &csvFile, const std::string &jsonFile)
{
    if (std::string why = OpenAppend(csvFile, csv_); !why.empty())
        return "--log " + why;
    if (std::string why = OpenAppend(jsonFile, json_); !why.empty())
        return "--log-json " + why;
    if (csv_ && std::ftell(csv_) == 0) {
        std::fputs(kHeader, csv_);
        Sync(csv_);
    } else if (csv_) {
        // Rows go under the header they belong to, or not at all.
        std::ifstream in(csvFile);
        std::string first;
        std::getline(in, first);
        if (first + "\n" != kHeader)
            return "--log " + csvFile + ": its columns are not the ones this version writes (" + first +
                   "); give a new file";
    }
    return {};
}

namespace
{

// The fields of one CSV line (quoted fields may hold commas and quotes).
std::vector<std::string> CsvFields(const std::string &line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else if (c != '\r' || quoted) {
            fields.back() += c;
        }
    }
    return fields;
}

} // namespace

std::string StationLog::read(const std::string &file, std::vector<StationRow> &rows)
{
    // The fields read back, by their JSON key and their CSV column.
    const auto fill = [](StationRow &row, const std::function<std::string(const char *, const char *)> &get) {
        row.time = get("time", "time");
        row.port = get("port", "port");
        row.bridgeSerial = get("bridgeSerial", "bridge_serial");
        row.unitSerial = get("unitSerial", "unit_serial");
        row.unitSerialRead = get("unitSerialRead", "unit_serial_read");
        row.device = get("device", "device");
        row.result = get("result", "result");
    };
    rows.clear();
    std::ifstream in(file);
    if (!in)
        return file + ": cannot be read";
    std::string line;
    std::vector<std::string> columns;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty())
            continue;
        StationRow row;
        if (line[0] == '{') {
            const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
            if (!j.is_object())
                return file + ":" + std::to_string(number) + ": not a JSON object";
            fill(row, [&](const char *key, const char *) {
                const auto it = j.find(key);
                return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
            });
        } else if (columns.empty()) {
            columns = CsvFields(line);
            if (line + "\n" != kHeader)
                return file + ": its columns are not the ones this version writes";
            continue;
        } else {
            const std::vector<std::string> fields = CsvFields(line);
            if (fields.size() != columns.size())
                return file + ":" + std::to_string(number) + ": " + std::to_string(fields.size()) +
                       " fields where the header has " + std::to_string(columns.size());
            fill(row, [&](const char *, const char *name) {
                for (std::size_t i = 0; i < columns.size(); ++i)
                    if (columns[i] == name)
                        return fields[i];
                return std::string();
            });
        }
        rows.push_back(std::move(row));
    }
    return {};
}

void StationLog::add(const StationRow &row)
{
    if (csv_) {
        const std::string fields[] = {row.time,       row.slot,
                                      row.port,       row.bridgeSerial,
                                      row.unitSerial, row.unitSerialRead,
                                      row.device,     row.chip,
                                      row.from,       row.to,
                                      row.file,       row.fileSha256,
                                      row.result,     row.verify,
                                      row.reason,     Seconds(row.durationMs),
                                      row.backup};
        std::string line;
        for (const std::string &field : fields)
            line += (line.empty() ? "" : ",") + CsvField(field);
        std::fputs((line + "\n").c_str(), csv_);
        Sync(csv_);
    }
    if (json_) {
        const auto orNull = [](const std::string &text) {
            return text.empty() ? nlohmann::json() : nlohmann::json(text);
        };
        const nlohmann::json line = {{"time", row.time},
                                     {"slot", orNull(row.slot)},
                                     {"port", orNull(row.port)},
                                     {"bridgeSerial", orNull(row.bridgeSerial)},
                                     {"unitSerial", orNull(row.unitSerial)},
                                     {"unitSerialRead", orNull(row.unitSerialRead)},
                                     {"device", row.device},
                                     {"chip", orNull(row.chip == "unknown" ? "" : row.chip)},
                                     {"from", orNull(row.from == "unknown" ? "" : row.from)},
                                     {"to", orNull(row.to == "unknown" ? "" : row.to)},
                                     {"file", orNull(row.file)},
                                     {"fileSha256", orNull(row.fileSha256)},
                                     {"result", row.result},
                                     {"verify", row.verify},
                                     {"reason", orNull(row.reason)},
                                     {"durationMs", row.durationMs},
                                     {"backup", orNull(row.backup)}};
        std::fputs((line.dump() + "\n").c_str(), json_);
        Sync(json_);
    }
}

std::string StationLog::failedUnits(const std::string &file, std::map<std::string, std::string> &units)
{
    std::vector<StationRow> rows;
    if (std::string why = read(file, rows); !why.empty())
        return "--retry-failed " + why;
    std::map<std::string, const StationRow *> last;
    for (const StationRow &row : rows)
        if (!row.bridgeSerial.empty())
            last[row.bridgeSerial] = &row;
    for (const auto &[serial, row] : last)
        if (row->result == "failed" || row->result == "crashed" || row->result == "stopped" ||
            row->result == "not started")
            units[serial] = row->unitSerial;
    return {};
}

} // namespace brigant::cli
