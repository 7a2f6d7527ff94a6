#include "cli/station_log.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

constexpr const char *kHeader = "time,slot,port,device,chip,from,to,file,file_sha256,result,verify,reason,"
                                "duration_s,backup\n";

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
    }
    return {};
}

void StationLog::add(const StationRow &row)
{
    if (csv_) {
        const std::string fields[] = {row.time,
                                      row.slot,
                                      row.port,
                                      row.device,
                                      row.chip,
                                      row.from,
                                      row.to,
                                      row.file,
                                      row.fileSha256,
                                      row.result,
                                      row.verify,
                                      row.reason,
                                      Seconds(row.durationMs),
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

} // namespace brigant::cli
