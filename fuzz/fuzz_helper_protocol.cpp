// Fuzzes brigant-fw-helper's request loop: the input is what a caller writes
// to the helper, in front of a pretend device that accepts only paths under
// /dev/sg and never opens anything. The first byte shapes the pipe: its low
// seven bits cap the bytes each read and write moves (0: no cap), its top bit
// makes every other call fail with EINTR. The replies must stay in step with
// the requests, and a request may reach the device only when every check of
// the protocol passed.
#include "fuzz_require.h"
#include "serve.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace brigant::helper;
using brigant::fuzz::Require;

namespace
{

// The opcodes docs/helper-protocol.md lets through, written out here apart
// from the helper's own list.
bool Allowed(const std::uint8_t (&cdb)[16])
{
    static constexpr std::uint8_t plain[] = {0x12, 0x3B, 0x3C, 0xA1, 0x85, 0xDF, 0xE0,
                                             0xFE, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xC3};
    return std::find(std::begin(plain), std::end(plain), cdb[0]) != std::end(plain) ||
           (cdb[0] == 0x9E && (cdb[1] & 0x1F) == 0x10) || (cdb[0] == 0xFF && cdb[1] == 0x04);
}

bool PretendNode(const std::string &path) { return path.rfind("/dev/sg", 0) == 0; }

// Longer than a reply may carry when the path has 14 bytes or more.
std::string PretendRefusal(const std::string &path)
{
    return "no pretend node: " + path + ", " + std::string(480, '~');
}

// What the pretend device returns at offset i of a data-in transfer.
std::uint8_t Filled(const Request &r, std::size_t i)
{
    return static_cast<std::uint8_t>(r.cdb[0] ^ r.cdb[4] ^ i ^ (i >> 8));
}

// What the helper should do with one whole request of the input.
struct Expected {
    Request request;
    bool refused = false;
    std::string reason;     // when the device end refused it: the reason as sent
    std::size_t dataAt = 0; // offset of its data-out bytes in the input
};

// The requests of the stream as the protocol defines them, up to the first
// malformed one (refused, then the end) or the first one cut short (no reply).
std::vector<Expected> Model(const std::uint8_t *data, std::size_t size)
{
    std::vector<Expected> out;
    std::size_t at = 0;
    while (size - at >= kRequestHead) {
        std::uint8_t head[kRequestHead];
        std::memcpy(head, data + at, sizeof head);
        at += kRequestHead;
        Expected e;
        std::uint32_t pathLength = 0;
        if (!DecodeRequestHead(head, e.request, pathLength).empty()) {
            e.refused = true;
            out.push_back(e);
            break;
        }
        const std::size_t dataLength = e.request.direction == kOut ? e.request.length : 0;
        if (size - at < pathLength + dataLength)
            break;
        e.request.path.assign(reinterpret_cast<const char *>(data + at), pathLength);
        e.dataAt = at + pathLength;
        at = e.dataAt + dataLength;
        const std::string &path = e.request.path;
        if (path.find('\0') != std::string::npos || !Allowed(e.request.cdb)) {
            e.refused = true;
        } else if (!PretendNode(path)) {
            e.refused = true;
            e.reason = PretendRefusal(path).substr(0, kHelperMaxReason);
        }
        out.push_back(e);
    }
    return out;
}

bool SameRequest(const Request &a, const Request &b)
{
    return a.direction == b.direction && a.cdbLength == b.cdbLength && a.flags == b.flags &&
           a.length == b.length && a.timeoutSec == b.timeoutSec && std::memcmp(a.cdb, b.cdb, 16) == 0 &&
           a.path == b.path;
}

// A pipe over the input and the output, shaped by the first byte.
class Pipe
{
  public:
    Pipe(const std::uint8_t *data, std::size_t size)
        : in(data + 1), inSize(size - 1), cap_(data[0] & 0x7F), interrupt_((data[0] & 0x80) != 0)
    {
    }

    const std::uint8_t *in;
    std::size_t inSize;
    std::size_t inAt = 0;
    std::vector<std::uint8_t> out;

    bool interrupted()
    {
        if (interrupt_ && (calls_++ & 1) == 0) {
            errno = EINTR;
            return true;
        }
        return false;
    }
    std::size_t step(std::size_t size) const { return cap_ ? std::min(size, cap_) : size; }

  private:
    std::size_t cap_;
    bool interrupt_;
    unsigned long calls_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    Pipe pipe(data, size);
    const std::vector<Expected> expected = Model(pipe.in, pipe.inSize);

    ServeIo io;
    io.read = [&pipe](void *buffer, std::size_t n) -> ssize_t {
        if (pipe.interrupted())
            return -1;
        n = std::min(pipe.step(n), pipe.inSize - pipe.inAt);
        std::memcpy(buffer, pipe.in + pipe.inAt, n);
        pipe.inAt += n;
        return static_cast<ssize_t>(n);
    };
    io.write = [&pipe](const void *buffer, std::size_t n) -> ssize_t {
        if (pipe.interrupted())
            return -1;
        n = pipe.step(n);
        const auto *p = static_cast<const std::uint8_t *>(buffer);
        pipe.out.insert(pipe.out.end(), p, p + n);
        return static_cast<ssize_t>(n);
    };
    // The log lines are formatted as the helper's, but not kept.
    static std::FILE *nowhere = std::fopen("/dev/null", "w");
    io.log = nowhere;

    std::string checked;        // the path the device end last accepted
    std::size_t next = 0;       // the entry of `expected` the device end sees next
    std::vector<Reply> results; // what the device end answered, in order
    ServeDevice device;
    device.check = [&checked](const std::string &path) -> std::string {
        Require(!path.empty() && path.size() <= kHelperMaxPath && path.find('\0') == std::string::npos);
        if (!PretendNode(path))
            return PretendRefusal(path);
        checked = path;
        return {};
    };
    device.run = [&](const Request &r, std::uint8_t *buffer, Reply &reply) {
        // Whatever the input, nothing out of the protocol's bounds reaches a device.
        Require(r.cdbLength >= 6 && r.cdbLength <= 16 && r.direction <= kOut);
        Require((r.direction == kNone) == (r.length == 0) && r.length <= kHelperMaxLength);
        Require(r.timeoutSec >= 1 && r.timeoutSec <= kHelperMaxTimeoutSec);
        Require(Allowed(r.cdb) && r.path == checked);
        checked.clear();
        // And it is the next request of the stream that passed.
        while (next < expected.size() && expected[next].refused)
            ++next;
        Require(next < expected.size() && SameRequest(r, expected[next].request));
        if (r.direction == kOut)
            Require(std::memcmp(buffer, pipe.in + expected[next].dataAt, r.length) == 0);
        ++next;

        reply.opened = 1;
        reply.transportOk = 1;
        if (r.direction == kIn) {
            for (std::size_t i = 0; i < r.length; ++i)
                buffer[i] = Filled(r, i);
            reply.transferred = r.length >> (r.cdb[2] & 3);
        } else {
            reply.transferred = r.length;
        }
        if (r.cdb[3] & 1) { // CHECK CONDITION, ILLEGAL REQUEST
            reply.scsiStatus = 2;
            reply.senseLength = 18;
            reply.sense[0] = 0x70;
            reply.sense[2] = 0x05;
            reply.sense[7] = 10;
            reply.sense[12] = 0x24;
        }
        results.push_back(reply);
    };

    const ServeCounts counts = Serve(io, device);

    // One reply per whole request, in order, and nothing after them.
    const std::vector<std::uint8_t> &out = pipe.out;
    std::size_t at = 0, served = 0, refused = 0;
    for (const Expected &e : expected) {
        Require(out.size() - at >= kReplyHead);
        std::uint8_t head[kReplyHead];
        std::memcpy(head, out.data() + at, sizeof head);
        at += kReplyHead;
        Reply reply;
        std::uint32_t reasonLength = 0;
        Require(DecodeReplyHead(head, reply, reasonLength) && Get32(head + 20) == 0);
        Require(reply.verdict == (e.refused ? 1 : 0));
        std::size_t dataLength = 0;
        if (e.refused) {
            ++refused;
            Require(reply.opened == 0 && reply.senseLength == 0 && reply.transferred == 0);
            Require(reasonLength > 0 && out.size() - at >= reasonLength);
            if (!e.reason.empty())
                Require(std::memcmp(out.data() + at, e.reason.data(), e.reason.size()) == 0 &&
                        reasonLength == e.reason.size());
        } else {
            const Reply &sent = results.at(served++);
            Require(reasonLength == 0 && reply.opened == sent.opened && reply.openError == sent.openError &&
                    reply.transportOk == sent.transportOk && reply.scsiStatus == sent.scsiStatus &&
                    reply.senseLength == sent.senseLength && reply.sysErrno == sent.sysErrno &&
                    reply.transferred == sent.transferred);
            Require(reply.transferred <= e.request.length);
            Require(out.size() - at >= reply.senseLength &&
                    std::memcmp(out.data() + at, sent.sense, reply.senseLength) == 0);
            at += reply.senseLength;
            if (e.request.direction == kIn)
                dataLength = reply.transferred;
            Require(out.size() - at >= dataLength);
            for (std::size_t i = 0; i < dataLength; ++i)
                Require(out[at + i] == Filled(e.request, i));
        }
        at += dataLength + reasonLength;
    }
    Require(at == out.size());
    Require(served == results.size() && counts.served == served && counts.refused == refused);
    return 0;
}
