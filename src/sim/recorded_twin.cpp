#include "sim/recorded_twin.h"

#include "common/hex.h"
#include "sim/flash_parts.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
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

const FlashPart *PartOfJedec(const std::vector<std::uint8_t> &jedec)
{
    for (const FlashPart &part : FlashParts())
        if (!part.jedec.empty() && jedec.size() >= part.jedec.size() &&
            std::equal(part.jedec.begin(), part.jedec.end(), jedec.begin()))
            return &part;
    return nullptr;
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
    Json doc;
    try {
        doc = Json::parse(in);
    } catch (const Json::exception &e) {
        error = file + " is not a recording: " + e.what();
        return nullptr;
    }
    if (!doc.is_object() || doc.value("format", "") != "brigant-fw recording" ||
        doc.value("formatVersion", 0) != 1) {
        error = file + " is not a recording of brigant-fw record (format version 1)";
        return nullptr;
    }
    try {
        BridgeIdentity id;
        const Json &device = doc.at("device");
        const std::string bus = device.value("bus", "USB");
        id.bus = bus == "1394" ? BusKind::Ieee1394 : bus == "UASP" ? BusKind::Uasp : BusKind::Usb;
        id.mountPoints = doc.value("mountPoints", std::vector<std::string>{});
        for (const Json &p : doc.value("partitions", Json::array()))
            id.partitionExtents.emplace_back(p.at("start").get<std::uint64_t>(),
                                             p.at("sectors").get<std::uint64_t>());
        // Commands the recording does not hold: a disk without vendor commands.
        id.vendorCommands = false;

        std::vector<std::uint8_t> jedec;
        if (const Json &j = doc.at("identity").value("jedecId", Json()); j.is_string()) {
            std::stringstream tokens(j.get<std::string>());
            std::vector<std::string> bytes;
            for (std::string t; tokens >> t;)
                bytes.push_back(t);
            jedec = ParseHexBytes(bytes).value_or(std::vector<std::uint8_t>{});
        }
        const FlashPart *part = PartOfJedec(jedec);
        if (!part)
            part = FindFlashPart("MX25L4006E");
        auto twin = std::make_shared<SimBridge>(id, *part, clock);

        // The flash as it was read: blank but for the recorded segments.
        const Json &image = doc.value("image", Json());
        if (image.is_object() && image.value("of", "") == "flash") {
            auto &flash = twin->flash().contents();
            for (const Json &segment : image.at("segments")) {
                const auto at = segment.at("at").get<std::uint64_t>();
                const auto bytes = CompactHex(segment.at("hex").get<std::string>());
                if (!bytes || at + bytes->size() > flash.size())
                    throw std::runtime_error("an image segment does not fit the flash part " +
                                             std::string(part->name));
                std::copy(bytes->begin(), bytes->end(), flash.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }

        auto replay = std::make_shared<Replay>();
        for (const Json &c : doc.at("commands")) {
            if (c.value("result", "") == "not opened")
                continue;
            Answer a;
            a.reply.status = c.value("status", std::uint8_t{0});
            a.reply.transferred = c.value("xfer", std::uint32_t{0});
            if (const auto d = CompactHex(c.value("data", std::string())))
                a.data = *d;
            if (const auto s = CompactHex(c.value("sense", std::string())))
                std::copy_n(s->begin(), std::min(s->size(), a.reply.sense.size()), a.reply.sense.begin());
            replay->add(Key(c.at("dir").get<std::string>(), c.at("cdb").get<std::string>(),
                            c.at("len").get<std::uint32_t>()),
                        std::move(a));
        }
        twin->setCommandExtension([replay](const std::uint8_t *cdb, int cdbLength, WireDirection direction,
                                           std::uint8_t *data, std::uint32_t length) {
            return replay->answer(cdb, cdbLength, direction, data, length);
        });
        return twin;
    } catch (const std::exception &e) {
        error = file + ": " + e.what();
        return nullptr;
    }
}

} // namespace brigant::sim
