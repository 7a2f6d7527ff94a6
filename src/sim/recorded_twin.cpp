#include "sim/recorded_twin.h"

#include "common/debug_log.h"
#include "common/hex.h"
#include "sim/chip_presets.h"
#include "sim/disk_firmware.h"
#include "sim/flash_parts.h"
#include "sim/json_fields.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace brigant::sim
{

namespace
{

using Json = nlohmann::json;

// "0A1B..." to bytes (none for ""); nullopt for anything else.
std::optional<std::vector<std::uint8_t>> CompactHex(const std::string &text)
{
    return text.empty() ? std::vector<std::uint8_t>{} : ParseHexBytes({text});
}

struct Answer {
    SimReply reply;
    std::vector<std::uint8_t> data; // data-in bytes as they arrived
};

// "in 12 00 00 00 28 00 len=40": what identifies a command of the recording.
std::string Key(const std::string &direction, const std::string &cdb, std::uint32_t length)
{
    return direction + " " + cdb + " len=" + std::to_string(length);
}

class Replay
{
  public:
    // Answers only until the first command the recording lacks: from then on
    // the device is doing what listing and identifying never did (a write),
    // and the model behind the twin answers everything.
    bool live = true;

    void add(const std::string &key, Answer answer) { answers_[key].push_back(std::move(answer)); }

    std::optional<SimReply> answer(const std::uint8_t *cdb, int cdbLength, WireDirection direction,
                                   std::uint8_t *data, std::uint32_t length)
    {
        // The recording keeps the direction the tool asked for; a command
        // without data reached the device without one.
        for (const char *dir : {"in", "out"}) {
            if ((direction == WireDirection::In && std::strcmp(dir, "out") == 0) ||
                (direction == WireDirection::Out && std::strcmp(dir, "in") == 0))
                continue;
            auto it = answers_.find(Key(dir, HexBytes(cdb, static_cast<std::size_t>(cdbLength)), length));
            if (it == answers_.end())
                continue;
            std::deque<Answer> &queue = it->second;
            const Answer a = queue.front();
            if (queue.size() > 1)
                queue.pop_front();
            // (memcpy takes no null source, even for nothing: a reply without data has none.)
            if (direction == WireDirection::In && data && !a.data.empty())
                std::memcpy(data, a.data.data(), std::min<std::size_t>(a.data.size(), length));
            return a.reply;
        }
        return std::nullopt;
    }

  private:
    std::map<std::string, std::deque<Answer>> answers_;
};

// No flash part the simulator knows is larger (a recording that says more is not read).
constexpr std::size_t kLargestImage = std::size_t{64} << 20;

BusKind BusOf(const std::string &name)
{
    return name == "1394" ? BusKind::Ieee1394 : name == "UASP" ? BusKind::Uasp : BusKind::Usb;
}

// The recorded image (flash or disk area) as bytes, blank where no segment is.
std::optional<std::vector<std::uint8_t>> RecordedImage(const Json &doc)
{
    const Json &image = doc.value("image", Json());
    if (!image.is_object() || !image.contains("segments"))
        return std::nullopt;
    const auto size = Whole<std::size_t>(image, "size");
    if (size > kLargestImage)
        throw std::runtime_error("the recorded image is larger than any flash part");
    std::vector<std::uint8_t> bytes(size, 0xFF);
    for (const Json &segment : image.at("segments")) {
        const auto at = Whole<std::uint64_t>(segment, "at");
        const auto hex = CompactHex(segment.at("hex").get<std::string>());
        if (!hex || at > bytes.size() || hex->size() > bytes.size() - at)
            throw std::runtime_error("an image segment lies outside the recorded image");
        std::copy(hex->begin(), hex->end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return bytes;
}

// The image the twin's flash (or disk area) holds: the recorded one; for a
// bridge that runs from its ROM, whose flash it cannot read, a blank flash of
// the recorded size. Empty when there is neither.
std::optional<std::vector<std::uint8_t>> ImageToHold(const Json &doc)
{
    const Json &identity = doc.at("identity");
    auto image = RecordedImage(doc);
    // A bridge that runs from its ROM holds no firmware it starts: its flash
    // (which it cannot read) is taken as blank.
    const bool fromRom =
        identity.value("runsFromRom", false) && identity.value("flashSizeKb", Json()).is_number();
    if (!image && fromRom && Whole<std::size_t>(identity, "flashSizeKb") <= kLargestImage / 1024)
        image = std::vector<std::uint8_t>(Whole<std::size_t>(identity, "flashSizeKb") * 1024, 0xFF);
    return image;
}

// The chip preset of the recorded type code whose bus, firmware store and
// product fit the recording best; nullptr for none.
const ChipPresetInfo *BestPreset(const Json &doc, unsigned code, bool onDisk)
{
    const std::string bus = doc.at("device").value("bus", "USB");
    const std::string product = doc.at("identity").value("product", "");
    const ChipPresetInfo *best = nullptr;
    int bestScore = -1;
    for (const ChipPresetInfo &preset : ChipPresets()) {
        if (preset.code != code)
            continue;
        const bool productFits =
            product.size() >= preset.product.size() &&
            product.compare(product.size() - preset.product.size(), std::string::npos, preset.product) == 0;
        const int score = (preset.diskFirmware == onDisk ? 4 : 0) +
                          ((preset.bus == BusKind::Ieee1394) == (BusOf(bus) == BusKind::Ieee1394) ? 2 : 0) +
                          (productFits ? 1 : 0);
        if (score > bestScore) {
            best = &preset;
            bestScore = score;
        }
    }
    return best;
}

// The disk's size from READ CAPACITY(16): the last LBA and the block length.
bool PutDiskSize(const Json &doc, PresetSpec &spec)
{
    const auto cap = CompactHex(doc.at("capacity").value("readCapacity16", std::string()));
    if (!cap || cap->size() < 12)
        return false;
    std::uint64_t last = 0;
    for (int i = 0; i < 8; ++i)
        last = last << 8 | (*cap)[static_cast<std::size_t>(i)];
    const std::uint32_t block =
        static_cast<std::uint32_t>((*cap)[8]) << 24 | (*cap)[9] << 16 | (*cap)[10] << 8 | (*cap)[11];
    spec.options["sectors"] = std::to_string(last + 1);
    spec.options["sector"] = std::to_string(block);
    return true;
}

// The version the running firmware reports in the chip information (some
// firmware keeps reporting what it started with, whatever the flash holds).
void PutRecordedVersion(const Json &doc, PresetSpec &spec)
{
    for (const Json &c : doc.at("commands")) {
        const auto data = CompactHex(c.value("data", std::string()));
        if (c.value("cdb", "").rfind("E0 F4 E7", 0) != 0 || WholeOr<unsigned>(c, "status", 1u) != 0 ||
            !data || data->size() < 16 || (*data)[0] != 0xF4 || (*data)[1] != 0xE7)
            continue;
        const auto n = [&](std::size_t i) { return std::to_string((*data)[i]); };
        spec.options["version"] = n(6) + "." + n(7);
        spec.options["ext"] = n(12) + "." + n(13) + "." + n(14) + "." + n(15);
        break;
    }
}

// The recorded image, in the model's disk area or its flash.
bool HoldImage(SimBridge &model, const std::vector<std::uint8_t> &image, bool onDisk,
               const FlashPart &flashPart)
{
    if (onDisk) {
        SimDisk &disk = *model.identity().disk;
        return image.size() % disk.sectorSize() == 0 &&
               disk.write(AreaLba(disk, DiskArea{}), image.size() / disk.sectorSize(), image.data());
    }
    auto &flash = model.flash().contents();
    // (A flash whose size the tool cannot tell is read as far as the
    // family's firmware reaches; the rest is taken as blank.)
    if (image.size() > flash.size())
        throw std::runtime_error("the recorded image does not fit the flash part " +
                                 std::string(flashPart.name));
    std::fill(flash.begin(), flash.end(), 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return true;
}

// The chip model that writes as the recorded bridge would: the chip preset of
// its type code (the one whose bus, firmware store and product fit the
// recording best), with the recorded flash part and disk size, holding the
// recorded image. Null when the chip is not one the tool updates, or the
// image was not read: such a twin only answers.
std::shared_ptr<SimBridge> WritableModel(const Json &doc, const FlashPart &flashPart, Clock &clock)
{
    const Json &identity = doc.at("identity");
    const Json &chip = identity.value("chip", Json());
    if (!chip.is_object() || !chip.value("supported", false))
        return nullptr;
    const auto image = ImageToHold(doc);
    if (!image)
        return nullptr;
    const Json &imageField = doc.value("image", Json());
    const bool onDisk = imageField.is_object() && imageField.value("of", "") == "disk area";
    const ChipPresetInfo *best = BestPreset(doc, WholeOr<unsigned>(chip, "typeCode", 0u), onDisk);
    if (!best || best->diskFirmware != onDisk)
        return nullptr;
    PresetSpec spec;
    spec.name = best->name;
    const std::string bus = doc.at("device").value("bus", "USB");
    spec.options["bus"] = bus == "1394" ? "1394" : bus == "UASP" ? "uasp" : "usb";
    if (onDisk) {
        if (!PutDiskSize(doc, spec))
            return nullptr;
    } else {
        spec.options["flash"] = flashPart.name;
    }
    PutRecordedVersion(doc, spec);
    std::string error;
    auto model = MakeChipPresetDevice(spec, clock, error);
    if (!model)
        return nullptr;
    if (const Json &serial = identity.value("serial", Json());
        serial.is_string() && !serial.get<std::string>().empty())
        model->identity().serial = serial.get<std::string>();
    if (!HoldImage(*model, *image, onDisk, flashPart))
        return nullptr;
    model->boot();
    return model;
}

const FlashPart *PartOfJedec(const std::vector<std::uint8_t> &jedec)
{
    for (const FlashPart &part : FlashParts())
        if (!part.jedec.empty() && jedec.size() >= part.jedec.size() &&
            std::equal(part.jedec.begin(), part.jedec.end(), jedec.begin()))
            return &part;
    return nullptr;
}

// The recording as JSON; false with the reason when it is none.
bool ParseRecording(const std::string &text, const std::string &name, Json &doc, std::string &error)
{
    try {
        doc = Json::parse(text);
    } catch (const Json::exception &e) {
        error = name + " is not a recording: " + e.what();
        return false;
    }
    // Fields of the wrong type say "not a recording", never throw.
    const auto field = [&doc](const char *key) { return doc.is_object() ? doc.value(key, Json()) : Json(); };
    if (field("format") != Json("brigant-fw recording") || field("formatVersion") != Json(1)) {
        error = name + " is not a recording of brigant-fw record (format version 1)";
        return false;
    }
    return true;
}

// The flash part the recorded JEDEC ID names; the simulator's usual part
// when it names none it knows.
const FlashPart &RecordedFlashPart(const Json &doc)
{
    std::vector<std::uint8_t> jedec;
    if (const Json &j = doc.at("identity").value("jedecId", Json()); j.is_string()) {
        std::stringstream tokens(j.get<std::string>());
        std::vector<std::string> bytes;
        for (std::string t; tokens >> t;)
            bytes.push_back(t);
        jedec = ParseHexBytes(bytes).value_or(std::vector<std::uint8_t>{});
    }
    const FlashPart *part = PartOfJedec(jedec);
    return part ? *part : *FindFlashPart("MX25L4006E");
}

// The twin of a device no chip model writes for: it answers what the
// recording holds, and as a disk without vendor commands beyond that.
std::shared_ptr<SimBridge> AnsweringTwin(const Json &doc, const FlashPart &part, Clock &clock)
{
    BridgeIdentity plain;
    plain.vendorCommands = false;
    auto twin = std::make_shared<SimBridge>(plain, part, clock);
    // The flash as it was read: blank but for the recorded segments.
    if (doc.value("image", Json()).is_object() && doc.at("image").value("of", "") == "flash") {
        const auto image = RecordedImage(doc);
        auto &flash = twin->flash().contents();
        if (!image || image->size() > flash.size())
            throw std::runtime_error("the recorded image does not fit the flash part " +
                                     std::string(part.name));
        std::copy(image->begin(), image->end(), flash.begin());
    }
    return twin;
}

// The bus the device was recorded on, and its disk's partitions and mounts.
void PutRecordedBus(const Json &doc, BridgeIdentity &id)
{
    id.bus = BusOf(doc.at("device").value("bus", "USB"));
    id.mountPoints = doc.value("mountPoints", std::vector<std::string>{});
    id.partitionExtents.clear();
    for (const Json &p : doc.value("partitions", Json::array()))
        id.partitionExtents.emplace_back(Whole<std::uint64_t>(p, "start"),
                                         Whole<std::uint64_t>(p, "sectors"));
}

// Every recorded command with the answer the device gave.
std::shared_ptr<Replay> RecordedAnswers(const Json &doc)
{
    auto replay = std::make_shared<Replay>();
    for (const Json &c : doc.at("commands")) {
        if (c.value("result", "") == "not opened")
            continue;
        Answer a;
        a.reply.status = WholeOr<std::uint8_t>(c, "status", std::uint8_t{0});
        a.reply.transferred = WholeOr<std::uint32_t>(c, "xfer", std::uint32_t{0});
        if (const auto d = CompactHex(c.value("data", std::string())))
            a.data = *d;
        if (const auto s = CompactHex(c.value("sense", std::string())))
            std::copy_n(s->begin(), std::min(s->size(), a.reply.sense.size()), a.reply.sense.begin());
        replay->add(Key(c.at("dir").get<std::string>(), c.at("cdb").get<std::string>(),
                        Whole<std::uint32_t>(c, "len")),
                    std::move(a));
    }
    return replay;
}

// The twin answers as recorded until the first command the recording lacks;
// its chip model (if any) answers from then on.
void AnswerFromRecording(SimBridge &twin, std::shared_ptr<Replay> replay)
{
    SimBridge::CommandExtension model = twin.commandExtension();
    twin.setCommandExtension([replay, model](const std::uint8_t *cdb, int cdbLength, WireDirection direction,
                                             std::uint8_t *data, std::uint32_t length) {
        if (replay->live) {
            if (auto reply = replay->answer(cdb, cdbLength, direction, data, length))
                return reply;
            replay->live = false;
            DebugOut("twin: " + HexBytes(cdb, static_cast<std::size_t>(cdbLength)) +
                     " is not in the recording: the chip model answers from here on");
        }
        return model ? model(cdb, cdbLength, direction, data, length) : std::nullopt;
    });
}

} // namespace

std::shared_ptr<SimBridge> MakeRecordedTwin(const std::string &file, Clock &clock, std::string &error)
{
    // A folder or a device node is no file to read to its end.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        error = file + " is not a regular file";
        return nullptr;
    }
    std::ifstream in(file);
    if (!in) {
        error = "cannot read the recording " + file;
        return nullptr;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return MakeRecordedTwinFromText(text, file, clock, error);
}

std::shared_ptr<SimBridge> MakeRecordedTwinFromText(const std::string &text, const std::string &name,
                                                    Clock &clock, std::string &error)
{
    Json doc;
    if (!ParseRecording(text, name, doc, error))
        return nullptr;
    try {
        const FlashPart &part = RecordedFlashPart(doc);
        std::shared_ptr<SimBridge> twin = WritableModel(doc, part, clock);
        if (!twin)
            twin = AnsweringTwin(doc, part, clock);
        PutRecordedBus(doc, twin->identity());
        AnswerFromRecording(*twin, RecordedAnswers(doc));
        return twin;
    } catch (const std::exception &e) {
        error = name + ": " + e.what();
        return nullptr;
    }
}

std::vector<std::uint8_t> FirmwareStore(SimBridge &bridge)
{
    if (bridge.identity().flashAttached || !bridge.identity().disk)
        return bridge.flash().contents();
    return ReadFirmwareArea(*bridge.identity().disk, DiskArea{});
}

} // namespace brigant::sim
