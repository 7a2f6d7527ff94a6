// brigant-fw record: what listing and identifying a device asks it and what
// it answers, with its disk's extents and the firmware it holds, in one JSON
// file (docs/recording.md). Nothing is written to the device: the verbs it
// runs are list, info and the flash read of backup.
#include "cli/captured_stream.h"
#include "cli/cli_context.h"
#include "cli/json_report.h"
#include "cli/say.h"
#include "common/hex.h"
#include "common/version.h"
#include "device/enumerator.h"
#include "device/transport.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

using Json = nlohmann::json;

struct RecordArgs {
    std::string output;
    int index = 0;
};

// Passes every command on, and keeps it and its answer while `on`. While
// `guard` is set, a data-out command that listing and identifying did not
// send is not passed on: it is refused as if the node could not be opened,
// and kept in `refused`.
class TapBackend final : public ScsiBackend
{
  public:
    explicit TapBackend(ScsiBackend &inner) : inner_(inner) {}
    bool on = true;
    bool guard = false;
    Json commands = Json::array();
    std::set<std::string> sentOut;
    std::string refused;

    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override
    {
        const std::string cdb = HexBytes(cmd.cdb, cmd.cdbLength);
        if (cmd.direction == DataDirection::Out) {
            if (guard && !sentOut.count(cdb)) {
                if (refused.empty())
                    refused = cdb;
                ScsiOutcome o;
                o.openError = OpenError::PermissionDenied;
                o.sysErrno = EPERM;
                return o;
            }
            sentOut.insert(cdb);
        }
        const ScsiOutcome o = inner_.execute(path, cmd);
        if (!on)
            return o;
        Json c = {{"path", path},
                  {"dir", cmd.direction == DataDirection::In ? "in" : "out"},
                  {"cdb", cdb},
                  {"len", cmd.length}};
        if (!o.opened) {
            c["result"] = "not opened";
        } else {
            const bool ok = o.transportOk && o.sysErrno == 0 && o.scsiStatus == 0;
            c["result"] = ok ? "ok" : "fail";
            c["status"] = o.scsiStatus;
            c["xfer"] = o.transferred;
            if (cmd.direction == DataDirection::In && cmd.data && o.transferred)
                c["data"] = HexBytes(cmd.data, std::min(o.transferred, cmd.length), "");
            if (cmd.sense && o.senseLength)
                c["sense"] = HexBytes(cmd.sense, o.senseLength, "");
        }
        commands.push_back(std::move(c));
        return o;
    }

  private:
    ScsiBackend &inner_;
};

// The image as stretches that are not blank (0xFF): a flash is mostly blank.
Json Segments(const std::vector<std::uint8_t> &image)
{
    constexpr std::size_t kBlankRun = 64;
    Json segments = Json::array();
    std::size_t i = 0;
    while (i < image.size()) {
        if (image[i] == 0xFF) {
            ++i;
            continue;
        }
        std::size_t end = i, blank = 0;
        while (end < image.size() && blank < kBlankRun) {
            blank = image[end] == 0xFF ? blank + 1 : 0;
            ++end;
        }
        end -= blank;
        segments.push_back({{"at", i}, {"hex", HexBytes(image.data() + i, end - i, "")}});
        i = end;
    }
    return segments;
}

std::string UtcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

} // namespace

int RecordDevice(CliContext &ctx, int index, nlohmann::json &doc)
{
    RecordArgs a;
    a.index = index;
    ScsiBackend *inner = TransportBackend();
    if (!inner) {
        std::string path;
        if (!ctx.attachDevice(path))
            return kExitNoDevice;
        inner = TransportBackend();
    }
    TapBackend tap(*inner);
    SetTransportBackend(&tap);
    struct Restore {
        ScsiBackend *backend;
        ~Restore() { SetTransportBackend(backend); }
    } restore{inner};
    const bool verbose = ctx.verbose;
    ctx.verbose = false;

    // info --json names the device and what identification found.
    Json info;
    {
        CapturedStream out(std::cout);
        const int rc = InfoVerb(ctx, a.index, true);
        if (rc != kExitOk && rc != kExitNoDevice)
            return rc;
        try {
            info = Json::parse(out.text());
        } catch (const Json::exception &) {
            SayError() << "no device to record";
            return kExitNoDevice;
        }
    }
    const std::string path = info.value("path", "");
    Json outputs;
    {
        CapturedStream out(std::cout);
        InfoVerb(ctx, a.index, false);
        outputs["info"] = out.text();
    }
    {
        CapturedStream out(std::cout);
        ListVerb(ctx);
        outputs["list"] = out.text();
    }
    // The disk's size, as sd asks it.
    Json capacity = Json::object();
    for (const auto &[name, cdb, length] :
         {std::tuple{"readCapacity10", std::vector<std::uint8_t>{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8u},
          std::tuple{"readCapacity16",
                     std::vector<std::uint8_t>{0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0},
                     32u}}) {
        std::uint8_t reply[32] = {};
        std::uint32_t got = 0;
        capacity[name] = SendScsiIn(path, cdb.data(), static_cast<int>(cdb.size()), reply, length, got)
                             ? Json(HexBytes(reply, got, ""))
                             : Json();
    }
    Json partitions = Json::array();
    Json device = {
        {"path", path}, {"bus", info.value("bus", "USB")}, {"index", a.index}, {"location", nullptr}};
    std::vector<DiskInterface> disks;
    if (DiskEnumerator *enumerator = CurrentDiskEnumerator(); enumerator && enumerator->listDisks(disks))
        for (const DiskInterface &disk : disks)
            if (disk.path == path) {
                device["location"] = disk.location;
                for (const PartitionExtent &p : disk.identity.extents)
                    partitions.push_back({{"name", p.name}, {"start", p.start}, {"sectors", p.sectors}});
            }

    // The firmware the device holds: the flash, or the disk's firmware area
    // (never the user's data), read as backup reads it; its commands are
    // left out of the list (the image holds what they read). A read that
    // would first send a command that writes is not made.
    Json image = nullptr;
    if (info.value("chip", Json::object()).value("supported", false)) {
        tap.on = false;
        tap.guard = true;
        char dir[] = "/tmp/brigant-record-XXXXXX";
        if (::mkdtemp(dir)) {
            const std::string file = std::string(dir) + "/image.bin";
            int rc;
            {
                CapturedStream out(std::cout);
                ctx.lastRun = {};
                rc = BackupVerb(ctx, a.index, file);
            }
            std::ifstream in(file, std::ios::binary);
            const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                                  std::istreambuf_iterator<char>());
            const bool ofFlash = !ctx.lastRun.diskArea;
            if (!tap.refused.empty())
                image = {{"notRead", "reading this bridge's flash starts with " + tap.refused +
                                         ", a command that writes: record does not send it"}};
            else if (rc == kExitOk && !bytes.empty())
                image = {{"of", ofFlash ? "flash" : "disk area"},
                         {"size", bytes.size()},
                         {"segments", Segments(bytes)}};
            std::filesystem::remove_all(dir);
        }
        tap.on = true;
        tap.guard = false;
    }
    ctx.verbose = verbose;

    Json commands = Json::array();
    for (Json &c : tap.commands)
        if (c.value("path", "") == path) {
            c.erase("path");
            commands.push_back(std::move(c));
        }
    const Json flash = info.value("flash", Json());
    doc = {{"format", "brigant-fw recording"},
           {"formatVersion", 1},
           {"tool", std::string("brigant-fw ") + kVersionText},
           {"date", UtcNow()},
           {"device", device},
           {"identity",
            {{"product", info.value("product", "")},
             {"chip", info.value("chip", Json())},
             {"firmwareVersion", info.value("firmwareVersion", Json())},
             {"runsFromRom", info.value("runsFromRom", false)},
             {"flashSizeKb", flash.is_object() ? flash.value("sizeKb", Json()) : Json()},
             {"jedecId", flash.is_object() ? flash.value("jedecId", Json()) : Json()}}},
           {"capacity", capacity},
           {"partitions", partitions},
           {"mountPoints", info.value("mountPoints", Json::array())},
           {"image", image},
           {"output", outputs},
           {"commands", commands}};
    return kExitOk;
}

namespace
{

int RunRecord(CliContext &ctx, const RecordArgs &a)
{
    Json doc;
    if (const int rc = RecordDevice(ctx, a.index, doc); rc != kExitOk)
        return rc;
    const std::size_t commands = doc.at("commands").size();
    const std::string path = doc.at("device").value("path", "");
    const std::string text = doc.dump(1) + "\n";
    if (a.output.empty() || a.output == "-") {
        std::cout << text;
    } else {
        std::ofstream out(a.output, std::ios::trunc);
        if (!(out << text) || !out.flush()) {
            SayError() << "cannot write " << a.output;
            return kExitFailed;
        }
        std::cerr << "record: " << commands << " commands of " << path << " recorded in " << a.output << "\n";
    }
    return kExitOk;
}

} // namespace

void RegisterRecordCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<RecordArgs>();
    auto *cmd = app.add_subcommand("record", "Record what listing and identifying a device asks and what it "
                                             "answers, and the firmware it holds (read-only; "
                                             "--simulate @FILE builds its twin)");
    cmd->add_option("-o,--output", args->output, "Where to write the recording (default: standard output)")
        ->type_name("FILE");
    cmd->add_option("--index", args->index, "Which entry of the device list: 0 (the default) is the first")
        ->type_name("N");
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunRecord(ctx, *args); }; });
}

} // namespace brigant::cli
