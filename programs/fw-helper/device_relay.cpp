// The test variant's device (brigant-fw-helper-relay, never installed): every
// request that passed the helper's checks goes, in the same frames, to the
// process that started the helper, over file descriptors 4 (requests) and 3
// (replies). brigant-fw --simulate --helper=PROGRAM answers them from its
// simulated bridges, so that a simulated run crosses the helper's checks and
// frames while the simulation keeps one clock.
//
// Only simulated paths (sim:sgN) are accepted here.
#include "device.h"

#include <cerrno>
#include <unistd.h>

namespace brigant::helper
{

namespace
{

bool Move(bool reading, int fd, void *buffer, std::size_t size)
{
    auto *p = static_cast<std::uint8_t *>(buffer);
    return MoveAll(size, [&](std::size_t done, std::size_t rest) {
        return reading ? ::read(fd, p + done, rest) : ::write(fd, p + done, rest);
    });
}

} // namespace

std::string CheckDevice(const std::string &path)
{
    if (path.rfind("sim:sg", 0) != 0 || path.size() == 6 ||
        path.find_first_not_of("0123456789", 6) != std::string::npos)
        return "not a simulated device";
    return {};
}

void RunOnDevice(const Request &r, std::uint8_t *data, Reply &reply)
{
    std::uint8_t head[kRequestHead];
    EncodeRequestHead(r, head);
    std::uint8_t replyHead[kReplyHead];
    std::uint32_t reasonLength = 0;
    std::string path = r.path;
    if (!Move(false, 4, head, sizeof head) || !Move(false, 4, path.data(), path.size()) ||
        (r.direction == kOut && !Move(false, 4, data, r.length)) ||
        !Move(true, 3, replyHead, sizeof replyHead) || !DecodeReplyHead(replyHead, reply, reasonLength) ||
        reasonLength != 0 || (r.direction == kIn && reply.transferred > r.length) ||
        !Move(true, 3, reply.sense, reply.senseLength) ||
        (r.direction == kIn && !Move(true, 3, data, reply.transferred))) {
        reply = Reply{};
        reply.sysErrno = EIO;
        reply.openError = 4;
    }
    if (r.direction != kIn)
        reply.transferred = reply.transferred > r.length ? r.length : reply.transferred;
}

} // namespace brigant::helper
