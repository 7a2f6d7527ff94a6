#include "app/update_journal.h"
#include "image/firmware_version.h"

#include "app/fwupdate_handlers.h"
#include "app/write_guard.h"
#include "common/claim_file.h"
#include "common/hex.h"
#include "device/enumerator.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

namespace brigant
{

namespace fs = std::filesystem;
using nlohmann::json;

namespace
{

// Where the journal applies (see SetJournalForSimulation).
struct JournalScope {
    bool enabled = false;
    std::string simState; // the kept state of simulated bridges, absolute
};
JournalScope &Scope()
{
    static JournalScope scope;
    return scope;
}

// Lower-case hex, as sha256sum prints digests.
std::string Hex(const std::uint8_t *bytes, std::size_t n)
{
    std::string text = HexBytes(bytes, n, "");
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool FromHex(const std::string &text, std::vector<std::uint8_t> &bytes)
{
    bytes.clear();
    if (text.empty())
        return true;
    const auto parsed = ParseHexBytes({text});
    if (parsed)
        bytes = *parsed;
    return parsed.has_value();
}

json ToJson(const JournalEntry &e)
{
    json j = {{"bridge", e.bridge},
              {"device", e.device},
              {"series", e.series},
              {"chip_code", e.chipCode},
              {"action", e.action},
              {"started", JournalTimeText(e.started)},
              {"started_epoch", static_cast<std::int64_t>(e.started)}};
    if (!e.firmware.empty()) {
        j["firmware"] = e.firmware;
        j["sha256"] = e.sha256;
    }
    if (!e.builtIn.empty())
        j["built_in_image"] = e.builtIn;
    if (!e.backup.empty())
        j["backup"] = e.backup;
    if (!e.backupSha256.empty())
        j["backup_sha256"] = e.backupSha256;
    if (!e.from.empty())
        j["from_version"] = e.from;
    if (!e.to.empty())
        j["to_version"] = e.to;
    if (!e.settings.empty())
        j["settings"] = Hex(e.settings.data(), e.settings.size());
    j["finished"] = e.finished ? json(JournalTimeText(e.finished)) : json(nullptr);
    if (e.finished)
        j["finished_epoch"] = static_cast<std::int64_t>(e.finished);
    if (!e.closedBy.empty())
        j["closed_by"] = e.closedBy;
    return j;
}

bool FromJson(const json &j, JournalEntry &e)
{
    if (!j.is_object() || !j.contains("bridge") || !j.contains("started_epoch"))
        return false;
    e.bridge = j.value("bridge", "");
    e.device = j.value("device", "");
    e.series = j.value("series", "");
    e.chipCode = j.value("chip_code", 0);
    e.action = j.value("action", "update");
    e.firmware = j.value("firmware", "");
    e.sha256 = j.value("sha256", "");
    e.builtIn = j.value("built_in_image", "");
    e.backup = j.value("backup", "");
    e.backupSha256 = j.value("backup_sha256", "");
    e.from = j.value("from_version", "");
    e.to = j.value("to_version", "");
    e.started = static_cast<std::time_t>(j.value("started_epoch", std::int64_t{0}));
    e.finished = static_cast<std::time_t>(j.value("finished_epoch", std::int64_t{0}));
    e.closedBy = j.value("closed_by", "");
    return FromHex(j.value("settings", ""), e.settings);
}

} // namespace

bool RepeatsCutWrite(const JournalEntry &open, const PlannedWrite &write)
{
    if (open.chipCode != write.chipCode)
        return false;
    if (write.builtIn)
        return !open.builtIn.empty();
    if (write.erase)
        return open.action == "erase";
    return !open.firmware.empty() && open.sha256 == FileSha256(write.firmware);
}

JournalEntry NewJournalEntry(const PlannedWrite &write, const std::string &backup)
{
    JournalEntry e;
    e.bridge = write.bridge;
    e.device = write.device;
    e.series = write.series;
    e.chipCode = write.chipCode;
    e.action = write.erase ? "erase" : "update";
    if (write.builtIn) {
        e.builtIn = PlainVersion(EmbeddedImageVersion());
    } else if (!write.erase) {
        std::error_code ec;
        e.firmware = fs::absolute(write.firmware, ec).string();
        e.sha256 = FileSha256(write.firmware);
    }
    e.backup = backup;
    if (!backup.empty())
        e.backupSha256 = FileSha256(backup);
    e.from = write.from;
    e.to = write.to;
    e.started = std::time(nullptr);
    return e;
}

std::string JournalDirectory()
{
    // Beside the backups, in the program's state folder.
    return (fs::path(BackupDirectory()).parent_path() / "journal").string();
}

void EnableJournalForRealBridges()
{
    Scope().enabled = true;
    Scope().simState.clear();
}

void SetJournalForSimulation(const std::string &simState)
{
    std::error_code ec;
    Scope().enabled = !simState.empty();
    Scope().simState = simState.empty() ? "" : fs::absolute(simState, ec).lexically_normal().string();
}

ScopedJournalOff::ScopedJournalOff() : enabled_(Scope().enabled), simState_(Scope().simState)
{
    Scope().enabled = false;
}

ScopedJournalOff::~ScopedJournalOff()
{
    Scope().enabled = enabled_;
    Scope().simState = simState_;
}

std::string BridgeJournalKey(const std::string &path)
{
    if (!Scope().enabled)
        return {};
    std::string key = path;
    std::vector<DiskInterface> disks;
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    if (enumerator && enumerator->listDisks(disks))
        for (const DiskInterface &disk : disks)
            if (disk.path == path && !disk.location.empty())
                key = disk.location;
    return Scope().simState.empty() ? key : key + " in " + Scope().simState;
}

std::vector<JournalEntry> ReadJournal()
{
    std::vector<JournalEntry> entries;
    std::error_code ec;
    for (const auto &item : fs::directory_iterator(JournalDirectory(), ec)) {
        if (item.path().extension() != ".json")
            continue;
        std::ifstream in(item.path());
        const json j = json::parse(in, nullptr, false);
        JournalEntry e;
        if (!j.is_discarded() && FromJson(j, e)) {
            e.file = item.path().string();
            entries.push_back(std::move(e));
        }
    }
    std::sort(entries.begin(), entries.end(), [](const JournalEntry &a, const JournalEntry &b) {
        return a.started != b.started ? a.started < b.started : a.file < b.file;
    });
    return entries;
}

std::optional<JournalEntry> OpenJournalEntry(const std::string &key)
{
    std::optional<JournalEntry> newest;
    if (key.empty())
        return newest;
    for (JournalEntry &e : ReadJournal())
        if (e.open() && e.bridge == key)
            newest = std::move(e);
    return newest;
}

bool WriteJournalEntry(JournalEntry &entry, std::string &error)
{
    if (entry.bridge.empty()) // a bridge without a journal
        return true;
    std::error_code ec;
    const fs::path dir = JournalDirectory();
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot make " + dir.string() + ": " + ec.message();
        return false;
    }
    if (entry.file.empty()) {
        char stamp[32];
        std::tm local{};
        localtime_r(&entry.started, &local);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        // Claimed, not only looked up: the workers of update --all start
        // their entries in the same second.
        for (int n = 0; entry.file.empty(); ++n) {
            const std::string name =
                (dir / (std::string(stamp) + (n ? "-" + std::to_string(n) : "") + ".json")).string();
            if (ClaimNewFile(name))
                entry.file = name;
            else if (errno != EEXIST || n > 1000) {
                error = "cannot create an entry in " + dir.string();
                return false;
            }
        }
    }
    const std::string temporary = entry.file + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << ToJson(entry).dump(2) << "\n";
        out.flush();
        if (!out) {
            error = "cannot write " + temporary;
            return false;
        }
    }
    fs::rename(temporary, entry.file, ec);
    if (ec) {
        error = "cannot write " + entry.file + ": " + ec.message();
        return false;
    }
    return true;
}

std::string FileSha256(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return {};
    std::vector<char> chunk(1 << 16);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (in.gcount() > 0 &&
            EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(in.gcount())) != 1)
            return {};
    }
    if (in.bad())
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        return {};
    return Hex(digest, length);
}

std::string TextSha256(const std::string &bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return Hex(digest, length);
}

std::string JournalTimeText(std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string JournalWriteText(const JournalEntry &entry)
{
    if (entry.action == "erase")
        return "an erase";
    if (!entry.builtIn.empty())
        return "the built-in image " + PlainVersion(entry.builtIn);
    return entry.firmware;
}

std::string UnfinishedText(const JournalEntry &entry)
{
    return "the " + std::string(entry.action == "erase" ? "erase" : "update") + " of " +
           JournalTimeText(entry.started) + " did not finish (it was writing " + JournalWriteText(entry) +
           ")";
}

std::string FinishingCommand(const JournalEntry &entry)
{
    if (entry.action == "erase")
        return "brigant-fw erase";
    if (!entry.builtIn.empty())
        return "brigant-fw update --embedded";
    return "brigant-fw update " + entry.firmware;
}

bool FinishJournalEntries(const std::string &key, std::time_t when, const std::string &closedBy)
{
    bool ok = true;
    if (key.empty())
        return ok;
    std::string error;
    for (JournalEntry &e : ReadJournal()) {
        if (!e.open() || e.bridge != key)
            continue;
        e.finished = when;
        e.closedBy = closedBy;
        ok = WriteJournalEntry(e, error) && ok;
    }
    return ok;
}

std::string JournalStateText(const JournalEntry &entry)
{
    if (entry.open())
        return "NOT FINISHED";
    if (entry.closedBy == "superseded")
        return "superseded by a later write " + JournalTimeText(entry.finished) + " (not itself finished)";
    if (!entry.closedBy.empty())
        return "closed by " + entry.closedBy + " " + JournalTimeText(entry.finished);
    return "finished and verified " + JournalTimeText(entry.finished);
}

// Whether `later`, verified, wrote what the cut `earlier` was writing.
bool WroteTheSame(const JournalEntry &earlier, const JournalEntry &later)
{
    return earlier.chipCode == later.chipCode && earlier.action == later.action &&
           earlier.sha256 == later.sha256 && earlier.builtIn == later.builtIn;
}

void CloseJournalEntry(JournalEntry &entry, bool verified, bool refused, bool finishing)
{
    std::string error;
    if (verified) {
        entry.finished = std::time(nullptr);
        entry.closedBy.clear();
        WriteJournalEntry(entry, error);
        // Earlier cut writes of the same content are finished by this one;
        // the others did not happen as they were meant to: superseded.
        for (JournalEntry &e : ReadJournal()) {
            if (!e.open() || e.bridge != entry.bridge || e.file == entry.file)
                continue;
            e.finished = entry.finished;
            e.closedBy = WroteTheSame(e, entry) ? "" : "superseded";
            WriteJournalEntry(e, error);
        }
    } else if (refused && !finishing && !entry.file.empty()) {
        std::error_code ec;
        fs::remove(entry.file, ec);
    }
}

} // namespace brigant
