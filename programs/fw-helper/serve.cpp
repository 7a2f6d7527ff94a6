// The helper's request loop: frames, the checks made before the device end
// sees a request, and the replies.
#include "serve.h"

#include <algorithm>

#include <cerrno>
#include <vector>

namespace brigant::helper
{

namespace
{

// The commands brigant-fw sends (src/bridge): the vendor commands of the
// bridge, INQUIRY, READ/WRITE BUFFER, READ CAPACITY(16) and ATA PASS-THROUGH.
std::string CheckOpcode(const Request &r)
{
    const std::uint8_t op = r.cdb[0];
    char text[96];
    switch (op) {
    case 0x12: // INQUIRY
    case 0x3B: // WRITE BUFFER
    case 0x3C: // READ BUFFER
    case 0xA1: // ATA PASS-THROUGH(12)
    case 0x85: // ATA PASS-THROUGH(16)
    case 0xDF: // vendor: chip registers and memory
    case 0xE0: // vendor: read chip data
    case 0xFE: // vendor: write chip data
    case 0xB2: // vendor: staging area
    case 0xB3:
    case 0xB4:
    case 0xB5:
    case 0xB6:
    case 0xC3: // vendor: product and serial record
        return {};
    case 0x9E: // SERVICE ACTION IN(16): only READ CAPACITY(16)
        if ((r.cdb[1] & 0x1F) == 0x10)
            return {};
        std::snprintf(text, sizeof text, "service action 0x%02X of opcode 0x9E is not one this tool sends",
                      r.cdb[1] & 0x1F);
        return text;
    case 0xFF: // vendor: only the SPI flash commands of sub-code 0x04
        if (r.cdb[1] == 0x04)
            return {};
        std::snprintf(text, sizeof text, "opcode 0xFF with sub-code 0x%02X is not one this tool sends",
                      r.cdb[1]);
        return text;
    default:
        std::snprintf(text, sizeof text, "opcode 0x%02X is not one this tool sends", op);
        return text;
    }
}

class Loop
{
  public:
    Loop(const ServeIo &io, const ServeDevice &device) : io_(io), device_(device) {}

    ServeCounts run()
    {
        std::vector<std::uint8_t> data;
        for (;;) {
            std::uint8_t head[kRequestHead];
            bool atEnd = false;
            if (!readAll(head, sizeof head, atEnd)) {
                if (!atEnd)
                    logCutShort();
                break;
            }
            Request r;
            std::uint32_t pathLength = 0;
            const std::string malformed = DecodeRequestHead(head, r, pathLength);
            if (!malformed.empty()) {
                // The rest of the frame cannot be trusted to be where the head says.
                refuse(r, malformed);
                ++counts_.refused;
                break;
            }
            r.path.resize(pathLength);
            data.assign(r.length, 0);
            if (!readAll(r.path.data(), pathLength, atEnd) ||
                (r.direction == kOut && !readAll(data.data(), r.length, atEnd))) {
                logCutShort();
                break;
            }

            std::string reason =
                r.path.find('\0') != std::string::npos ? "path holds a zero byte" : CheckOpcode(r);
            if (reason.empty())
                reason = device_.check(r.path);
            if (!reason.empty()) {
                ++counts_.refused;
                if (!refuse(r, reason))
                    break;
                continue;
            }
            Reply reply;
            device_.run(r, data.data(), reply);
            // Never more than the request's buffer, whatever the runner says:
            // beyond it lies memory of this root process.
            reply.transferred = std::min(reply.transferred, r.length);
            ++counts_.served;
            if (!sendReply(reply, data.data(), r.direction == kIn ? reply.transferred : 0))
                break;
        }
        return counts_;
    }

  private:
    void logCutShort()
    {
        if (io_.log)
            std::fprintf(io_.log, "brigant-fw-helper: request cut short\n");
    }

    bool readAll(void *buffer, std::size_t size, bool &atEnd)
    {
        auto *p = static_cast<std::uint8_t *>(buffer);
        return MoveAll(
            size, [&](std::size_t done, std::size_t rest) { return io_.read(p + done, rest); }, &atEnd);
    }

    bool writeAll(const void *buffer, std::size_t size)
    {
        const auto *p = static_cast<const std::uint8_t *>(buffer);
        return MoveAll(size, [&](std::size_t done, std::size_t rest) { return io_.write(p + done, rest); });
    }

    bool sendReply(const Reply &reply, const std::uint8_t *data, std::uint32_t dataLength)
    {
        std::uint8_t head[kReplyHead];
        EncodeReplyHead(reply, head);
        return writeAll(head, sizeof head) && writeAll(reply.sense, reply.senseLength) &&
               writeAll(data, dataLength) && writeAll(reply.reason.data(), reply.reason.size());
    }

    bool refuse(const Request &r, const std::string &reason)
    {
        if (io_.log)
            std::fprintf(io_.log, "brigant-fw-helper: refused %s (opcode 0x%02X, %u bytes): %s\n",
                         r.path.empty() ? "a request" : r.path.c_str(), r.cdb[0], r.length, reason.c_str());
        Reply reply;
        reply.verdict = 1;
        reply.reason = reason.substr(0, kHelperMaxReason);
        return sendReply(reply, nullptr, 0);
    }

    const ServeIo &io_;
    const ServeDevice &device_;
    ServeCounts counts_;
};

} // namespace

ServeCounts Serve(const ServeIo &io, const ServeDevice &device) { return Loop(io, device).run(); }

} // namespace brigant::helper
