#include "sim/session_replay.h"

#include "common/hex.h"
#include "sim/flash_parts.h"
#include "sim/json_fields.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace brigant::sim
{

namespace
{

using Json = nlohmann::json;

std::vector<std::uint8_t> Bytes(const std::string &hex)
{
    if (hex.empty())
        return {};
    auto bytes = ParseHexBytes({hex});
    if (!bytes)
        throw std::runtime_error("'" + hex.substr(0, 16) + "...' is not hexadecimal bytes");
    return *bytes;
}

struct Step {
    std::string dir, cdb;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> out, in;
    SimReply reply;
    bool leavesAfter = false; // the device left the bus after answering it
};

class Session
{
  public:
    std::vector<Step> steps;
    SimBridge *device = nullptr;

    SimReply answer(const std::uint8_t *cdb, int cdbLength, WireDirection direction, std::uint8_t *data,
                    std::uint32_t length)
    {
        if (diverged_)
            return CheckCondition(0x04, 0x44, 0x00);
        const std::string sent = HexBytes(cdb, static_cast<std::size_t>(cdbLength));
        const std::string dir = direction == WireDirection::Out ? "out" : "in";
        if (next_ >= steps.size())
            return diverge("the session has ended; the tool sent " + dir + " " + sent);
        const Step &s = steps[next_];
        const bool sameDir = direction == WireDirection::None || s.dir == dir;
        const bool sameOut =
            direction != WireDirection::Out ||
            (s.out.size() == length && (length == 0 || std::memcmp(s.out.data(), data, length) == 0));
        if (s.cdb != sent || s.length != length || !sameDir || !sameOut)
            return diverge("the session has " + s.dir + " " + s.cdb + " len=" + std::to_string(s.length) +
                           ", the tool sent " + dir + " " + sent + " len=" + std::to_string(length) +
                           (sameOut ? "" : " with other data"));
        ++next_;
        if (direction == WireDirection::In && data && !s.in.empty())
            std::memcpy(data, s.in.data(), std::min<std::size_t>(s.in.size(), length));
        if (s.leavesAfter && device)
            device->leaveBus();
        return s.reply;
    }

  private:
    SimReply diverge(const std::string &what)
    {
        diverged_ = true;
        std::fprintf(stderr, "replay: command %zu differs: %s\n", next_ + 1, what.c_str());
        return CheckCondition(0x04, 0x44, 0x00);
    }

    std::size_t next_ = 0;
    bool diverged_ = false;
};

} // namespace

std::shared_ptr<SimBridge> MakeSessionReplay(const std::string &file, Clock &clock, std::string &error)
{
    // A folder or a device node is no file to read to its end.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        error = file + " is not a regular file";
        return nullptr;
    }
    std::ifstream in(file);
    if (!in) {
        error = "cannot read the session " + file;
        return nullptr;
    }
    auto session = std::make_shared<Session>();
    std::string line;
    for (std::size_t n = 1; std::getline(in, line); ++n) {
        if (line.empty())
            continue;
        try {
            const Json c = Json::parse(line);
            // The bridge left the bus after the command before (a reset);
            // its return is the simulated bus's.
            if (c.contains("event")) {
                if (c.value("event", "") == "left" && !session->steps.empty())
                    session->steps.back().leavesAfter = true;
                continue;
            }
            if (c.value("result", "") == "not opened" || !c.value("transportOk", true)) {
                error = file + ":" + std::to_string(n) +
                        ": a command that never reached the device (not opened, or failed on the way) "
                        "cannot be replayed";
                return nullptr;
            }
            Step s;
            s.dir = c.at("dir").get<std::string>();
            s.cdb = c.at("cdb").get<std::string>();
            s.length = Whole<std::uint32_t>(c, "len");
            s.out = Bytes(c.value("out", ""));
            s.in = Bytes(c.value("in", ""));
            s.reply.status = WholeOr<std::uint8_t>(c, "status", std::uint8_t{0});
            s.reply.transferred = WholeOr<std::uint32_t>(c, "xfer", std::uint32_t{0});
            const auto sense = Bytes(c.value("sense", ""));
            std::copy_n(sense.begin(), std::min(sense.size(), s.reply.sense.size()), s.reply.sense.begin());
            session->steps.push_back(std::move(s));
        } catch (const std::exception &e) {
            error = file + ":" + std::to_string(n) + ": " + e.what();
            return nullptr;
        }
    }
    auto device = std::make_shared<SimBridge>(BridgeIdentity{}, *FindFlashPart("MX25L4006E"), clock);
    session->device = device.get();
    device->setCommandExtension([session](const std::uint8_t *cdb, int cdbLength, WireDirection direction,
                                          std::uint8_t *data,
                                          std::uint32_t length) -> std::optional<SimReply> {
        return session->answer(cdb, cdbLength, direction, data, length);
    });
    return device;
}

} // namespace brigant::sim
