#include "rehearse/recording.h"

#include "app/bridge_state.h"
#include "app/device_list.h"
#include "app/one_button.h"
#include "app/quiet_host.h"
#include "app/run_dispatch.h"
#include "app/settings.h"
#include "app/update_plan.h"
#include "app/write_guard.h"
#include "common/clock.h"
#include "common/hex.h"
#include "common/version.h"
#include "device/discovery.h"
#include "device/enumerator.h"
#include "device/transport.h"
#include "identify/flash_identify.h"
#include "image/chip_types.h"
#include "image/firmware_version.h"

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace brigant
{

CommandRecorder::CommandRecorder() : inner_(TransportBackend()) { SetTransportBackend(this); }

CommandRecorder::~CommandRecorder() { SetTransportBackend(inner_); }

ScsiOutcome CommandRecorder::execute(const std::string &path, const ScsiCommand &cmd)
{
    const std::string cdb = HexBytes(cmd.cdb, cmd.cdbLength);
    const bool out = cmd.direction == DataDirection::Out;
    if (out) {
        if (guard && !sentOut_.count(cdb)) {
            if (refused.empty())
                refused = cdb;
            ScsiOutcome o;
            o.openError = OpenError::PermissionDenied;
            o.sysErrno = EPERM;
            return o;
        }
        sentOut_.insert(cdb);
    }
    ScsiOutcome o;
    if (inner_) {
        o = inner_->execute(path, cmd);
    } else {
        o.openError = OpenError::NotFound;
        o.sysErrno = ENODEV;
    }
    if (!on)
        return o;
    RecordedCommand c;
    c.path = path;
    c.dataOut = out;
    c.cdb = cdb;
    c.length = cmd.length;
    if (!o.opened) {
        c.result = RecordedCommand::Result::NotOpened;
    } else {
        const bool ok = o.transportOk && o.sysErrno == 0 && o.scsiStatus == 0;
        c.result = ok ? RecordedCommand::Result::Ok : RecordedCommand::Result::Failed;
        c.status = o.scsiStatus;
        c.transferred = o.transferred;
        if (!out && cmd.data && o.transferred)
            c.data.assign(cmd.data, cmd.data + std::min(o.transferred, cmd.length));
        if (cmd.sense && o.senseLength)
            c.sense.assign(cmd.sense, cmd.sense + o.senseLength);
    }
    commands.push_back(std::move(c));
    return o;
}

bool ListedTarget(const std::string &path, RecordTarget &target)
{
    const BridgeList list = DiscoverBridges();
    for (std::size_t i = 0; i < list.listed.size(); ++i)
        if (list.listed[i].entry.path == path) {
            target.entry = list.listed[i].entry;
            target.item = list.listed[i].item;
            target.index = static_cast<int>(i);
            target.candidateCount = list.candidateCount;
            return true;
        }
    return false;
}

namespace
{

// The firmware store as a backup reads it, whole: the flash, or the disk's
// firmware area (never the user's data). Fills the recording's image, or
// says why it was not read.
void ReadImage(CommandRecorder &recorder, const RecordTarget &target, const BridgeState &state,
               const TransferState &transfer, Recording &rec)
{
    INI_STATE settings;
    ReadSettings(settings);
    const RunRequest req =
        VerbRunRequest(state, settings, target.candidateCount, RunMode::BackupOnly, "", true);
    QuietHost host(transfer);
    recorder.on = false;
    recorder.guard = true;
    StoreRead read = ReadStore(req, target.entry.bus, target.entry.path, host, state.bridge.series, false);
    recorder.on = true;
    recorder.guard = false;
    if (!recorder.refused.empty()) {
        rec.imageNotRead = "reading this bridge's flash starts with " + recorder.refused +
                           ", a command that writes: record does not send it";
    } else if (!read.bytes.empty()) {
        rec.imageOf = read.backup.area == "flash" ? Recording::ImageOf::Flash : Recording::ImageOf::DiskArea;
        rec.image = std::move(read.bytes);
    } else {
        rec.imageNotRead = read.backup.reason.empty() ? "the firmware could not be read" : read.backup.reason;
    }
}

} // namespace

Recording RecordBridge(CommandRecorder &recorder, const RecordTarget &target)
{
    Recording rec;
    rec.tool = std::string("brigant-fw ") + kVersionText;
    rec.date = UtcTimestamp();
    DeviceEntry entry = target.entry;
    rec.path = entry.path;
    rec.bus = entry.bus;
    rec.index = target.index;
    rec.product = ProductText(target.item);

    // Identified as listing and info identify it (a damaged bank told, not
    // repaired), with the flash's JEDEC ID and the one-button decision.
    PlainProbeHost probes;
    IdentifyOptions options;
    options.repairBank = false;
    const BridgeState state = IdentifyBridge(probes, entry, options);
    const ChipIdentity &chip = state.chip;
    if (chip.ChipTypeCode == 0 && LastTransportFailure().path == entry.path &&
        LastTransportFailure().openFailed) {
        rec.failure = DescribeLastTransportFailure();
        return rec;
    }
    rec.supported = IsSupportedChip(chip.ChipTypeCode);
    rec.chipName = state.bridge.series;
    rec.chipTypeCode = chip.ChipTypeCode;
    rec.chipSubRevision = chip.ChipSubRevision;
    if (state.bridge.versionShown && !state.bridge.version.empty())
        rec.firmwareVersion = PlainVersion(state.bridge.version);
    rec.runsFromRom = state.bridge.runsFromRom;
    if (rec.supported) {
        rec.flashSizeKb = chip.FlashSizeKb;
        bool throughBridge = false;
        if (std::string jedec = ReadJedecText(entry.path, throughBridge); !jedec.empty())
            rec.jedecId = jedec;
    }
    DecideOneButton(entry, chip.ChipTypeCode, false);

    // The disk's size, as sd asks it.
    struct Capacity {
        std::vector<std::uint8_t> cdb;
        std::uint32_t length;
        std::optional<std::vector<std::uint8_t>> &into;
    };
    for (const Capacity &c :
         {Capacity{{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8u, rec.readCapacity10},
          Capacity{{0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32u, rec.readCapacity16}}) {
        std::uint8_t reply[32] = {};
        std::uint32_t got = 0;
        if (SendScsiIn(entry.path, c.cdb.data(), static_cast<int>(c.cdb.size()), reply, c.length, got))
            c.into = std::vector<std::uint8_t>(reply, reply + got);
    }
    std::vector<DiskInterface> disks;
    if (DiskEnumerator *enumerator = CurrentDiskEnumerator(); enumerator && enumerator->listDisks(disks))
        for (const DiskInterface &disk : disks)
            if (disk.path == entry.path) {
                rec.location = disk.location;
                if (!disk.serial.empty())
                    rec.serial = disk.serial;
                for (const PartitionExtent &p : disk.identity.extents)
                    rec.partitions.push_back({p.name, p.start, p.sectors});
            }
    rec.mountPoints = MountPointsOf(entry.path, RootMount::LeftOut).value_or(std::vector<std::string>{});

    // The firmware it holds, read as a backup reads it; the commands of that
    // read are left out (the image holds what they read).
    if (rec.supported)
        ReadImage(recorder, target, state, probes.transfer(), rec);

    for (const RecordedCommand &c : recorder.commands)
        if (c.path == entry.path)
            rec.commands.push_back(c);
    return rec;
}

namespace
{

using Json = nlohmann::json;

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

template <class T> Json OrNull(const std::optional<T> &value) { return value ? Json(*value) : Json(); }

Json HexOrNull(const std::optional<std::vector<std::uint8_t>> &bytes)
{
    return bytes ? Json(HexBytes(bytes->data(), bytes->size(), "")) : Json();
}

Json CommandJson(const RecordedCommand &c)
{
    Json j = {{"dir", c.dataOut ? "out" : "in"}, {"cdb", c.cdb}, {"len", c.length}};
    if (c.result == RecordedCommand::Result::NotOpened) {
        j["result"] = "not opened";
        return j;
    }
    j["result"] = c.result == RecordedCommand::Result::Ok ? "ok" : "fail";
    j["status"] = c.status;
    j["xfer"] = c.transferred;
    if (!c.data.empty())
        j["data"] = HexBytes(c.data.data(), c.data.size(), "");
    if (!c.sense.empty())
        j["sense"] = HexBytes(c.sense.data(), c.sense.size(), "");
    return j;
}

} // namespace

nlohmann::json RecordingJson(const Recording &r)
{
    Json image = nullptr;
    if (r.imageRead())
        image = {{"of", r.imageOf == Recording::ImageOf::Flash ? "flash" : "disk area"},
                 {"size", r.image.size()},
                 {"segments", Segments(r.image)}};
    else if (r.supported && !r.imageNotRead.empty())
        image = {{"notRead", r.imageNotRead}};
    Json partitions = Json::array();
    for (const Recording::Partition &p : r.partitions)
        partitions.push_back({{"name", p.name}, {"start", p.start}, {"sectors", p.sectors}});
    Json commands = Json::array();
    for (const RecordedCommand &c : r.commands)
        commands.push_back(CommandJson(c));
    return {
        {"format", "brigant-fw recording"},
        {"formatVersion", 1},
        {"tool", r.tool},
        {"date", r.date},
        {"device",
         {{"path", r.path}, {"bus", BusName(r.bus)}, {"index", r.index}, {"location", OrNull(r.location)}}},
        {"identity",
         {{"product", r.product},
          {"serial", OrNull(r.serial)},
          {"chip",
           {{"name", r.chipName},
            {"typeCode", r.chipTypeCode},
            {"subRevision", r.chipSubRevision},
            {"supported", r.supported}}},
          {"firmwareVersion", OrNull(r.firmwareVersion)},
          {"runsFromRom", r.runsFromRom},
          {"flashSizeKb", OrNull(r.flashSizeKb)},
          {"jedecId", OrNull(r.jedecId)}}},
        {"capacity",
         {{"readCapacity10", HexOrNull(r.readCapacity10)}, {"readCapacity16", HexOrNull(r.readCapacity16)}}},
        {"partitions", partitions},
        {"mountPoints", r.mountPoints},
        {"image", image},
        {"commands", commands}};
}

} // namespace brigant
