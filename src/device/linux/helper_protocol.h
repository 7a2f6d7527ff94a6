#pragma once
// The byte protocol between brigant-fw (or the window) and brigant-fw-helper,
// the small program that runs privileged (started through pkexec) and sends
// one SCSI command per request to a bridge disk's sg node. docs/helper-protocol.md
// describes the same frames for a reader who does not read C++.
//
// All integers are little-endian. One request, then one reply, in turn, over
// the helper's standard input and output; the helper ends at end of input.
//
// Request (40-byte head, then the path, then the data-out bytes):
//   0   4  magic "BFHQ"
//   4   1  direction: 0 none, 1 data in (device to host), 2 data out
//   5   1  CDB length, 6 to 16
//   6   1  flags: bit 0 open exclusively; other bits must be 0
//   7   1  0
//   8   4  data length in bytes (0 with direction 0)
//   12  4  time-out in seconds, 1 to kHelperMaxTimeoutSec
//   16  2  path length in bytes, 1 to kHelperMaxPath
//   18  2  0
//   20  16 CDB, zero after its length
//   36  4  0
//   40  ... path (no terminating zero), then the data when direction is 2
//
// Reply (24-byte head, then the sense, the data-in bytes and a reason):
//   0   4  magic "BFHR"
//   4   1  verdict: 0 the command was tried, 1 refused (nothing was opened)
//   5   1  opened: 1 when the node was opened
//   6   1  open error (0 none, 1 not found, 2 permission denied, 3 busy, 4 other)
//   7   1  transport ok: 1 when the pass-through and the transport succeeded
//   8   1  SCSI status
//   9   1  sense length, at most kHelperSenseSize
//   10  2  reason length in bytes, at most kHelperMaxReason
//   12  4  errno of the failed open or pass-through call, else 0
//   16  4  bytes transferred in the data phase
//   20  4  0
//   24  ... sense bytes, then `transferred` data bytes when direction was 1,
//           then the reason (text, no terminating zero; set when refused)
//
// A malformed request (bad magic, a field out of range) ends the helper after
// a refusal reply; it does not try to find the next frame.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/types.h>

namespace brigant::helper
{

inline constexpr std::uint32_t kRequestHead = 40;
inline constexpr std::uint32_t kReplyHead = 24;
inline constexpr std::uint32_t kHelperMaxPath = 256;
inline constexpr std::uint32_t kHelperMaxReason = 512;
inline constexpr std::uint32_t kHelperSenseSize = 32;
inline constexpr std::uint32_t kHelperMaxTimeoutSec = 3600;
// The largest single transfer the tool makes: a whole 256 KiB flash image or
// backup read in one command.
inline constexpr std::uint32_t kHelperMaxLength = 0x40000;

enum Direction : std::uint8_t { kNone = 0, kIn = 1, kOut = 2 };

struct Request {
    std::uint8_t direction = kNone;
    std::uint8_t cdbLength = 0;
    std::uint8_t flags = 0;
    std::uint32_t length = 0;
    std::uint32_t timeoutSec = 0;
    std::uint8_t cdb[16] = {};
    std::string path;
};

struct Reply {
    std::uint8_t verdict = 0; // 0 tried, 1 refused
    std::uint8_t opened = 0;
    std::uint8_t openError = 0;
    std::uint8_t transportOk = 0;
    std::uint8_t scsiStatus = 0;
    std::uint8_t senseLength = 0;
    std::int32_t sysErrno = 0;
    std::uint32_t transferred = 0;
    std::uint8_t sense[kHelperSenseSize] = {};
    std::string reason;
};

inline void Put16(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t *p, std::uint32_t v)
{
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
inline std::uint32_t Get16(const std::uint8_t *p) { return static_cast<std::uint32_t>(p[0] | p[1] << 8); }
inline std::uint32_t Get32(const std::uint8_t *p) { return Get16(p) | Get16(p + 2) << 16; }

inline void EncodeRequestHead(const Request &r, std::uint8_t (&head)[kRequestHead])
{
    std::memset(head, 0, sizeof head);
    std::memcpy(head, "BFHQ", 4);
    head[4] = r.direction;
    head[5] = r.cdbLength;
    head[6] = r.flags;
    Put32(head + 8, r.length);
    Put32(head + 12, r.timeoutSec);
    Put16(head + 16, static_cast<std::uint32_t>(r.path.size()));
    std::memcpy(head + 20, r.cdb, 16);
}

// Fills `r` but its path from a request head; `pathLength` is the length of
// the path that follows. Returns an empty string, or what is wrong with it.
inline std::string DecodeRequestHead(const std::uint8_t (&head)[kRequestHead], Request &r,
                                     std::uint32_t &pathLength)
{
    if (std::memcmp(head, "BFHQ", 4) != 0)
        return "not a request (bad magic)";
    r.direction = head[4];
    r.cdbLength = head[5];
    r.flags = head[6];
    r.length = Get32(head + 8);
    r.timeoutSec = Get32(head + 12);
    pathLength = Get16(head + 16);
    std::memcpy(r.cdb, head + 20, 16);
    if (head[7] != 0 || Get16(head + 18) != 0 || Get32(head + 36) != 0 || (r.flags & ~1u) != 0)
        return "reserved bytes of the request are not zero";
    if (r.direction > kOut)
        return "unknown data direction";
    if ((r.direction == kNone) != (r.length == 0))
        return "data length does not match the data direction";
    if (r.cdbLength < 6 || r.cdbLength > 16)
        return "CDB length out of range";
    for (unsigned i = r.cdbLength; i < 16; ++i)
        if (r.cdb[i] != 0)
            return "CDB bytes beyond its length are not zero";
    if (r.timeoutSec == 0 || r.timeoutSec > kHelperMaxTimeoutSec)
        return "time-out out of range";
    if (pathLength == 0 || pathLength > kHelperMaxPath)
        return "path length out of range";
    if (r.length > kHelperMaxLength)
        return "data length " + std::to_string(r.length) + " exceeds the largest transfer of this tool (" +
               std::to_string(kHelperMaxLength) + ")";
    return {};
}

inline void EncodeReplyHead(const Reply &r, std::uint8_t (&head)[kReplyHead])
{
    std::memset(head, 0, sizeof head);
    std::memcpy(head, "BFHR", 4);
    head[4] = r.verdict;
    head[5] = r.opened;
    head[6] = r.openError;
    head[7] = r.transportOk;
    head[8] = r.scsiStatus;
    head[9] = r.senseLength;
    Put16(head + 10, static_cast<std::uint32_t>(r.reason.size()));
    Put32(head + 12, static_cast<std::uint32_t>(r.sysErrno));
    Put32(head + 16, r.transferred);
}

// Fills `r` but its sense and reason; `reasonLength` is the length of the
// reason that follows. Returns false for a head that is no reply.
inline bool DecodeReplyHead(const std::uint8_t (&head)[kReplyHead], Reply &r, std::uint32_t &reasonLength)
{
    if (std::memcmp(head, "BFHR", 4) != 0 || head[4] > 1 || head[9] > kHelperSenseSize)
        return false;
    r.verdict = head[4];
    r.opened = head[5];
    r.openError = head[6];
    r.transportOk = head[7];
    r.scsiStatus = head[8];
    r.senseLength = head[9];
    reasonLength = Get16(head + 10);
    r.sysErrno = static_cast<std::int32_t>(Get32(head + 12));
    r.transferred = Get32(head + 16);
    return reasonLength <= kHelperMaxReason;
}

// Moves `size` bytes through both ends of the helper's pipes: `step(done,
// rest)` moves some of the `rest` bytes after the first `done` (a read,
// write, send or recv) and returns how many, 0 at the end, or -1 with errno;
// it is called again after EINTR. False when a call fails or the other end
// closes first; `atEnd` (when given) says the end came before any byte.
template <typename Step> bool MoveAll(std::size_t size, Step step, bool *atEnd = nullptr)
{
    if (atEnd)
        *atEnd = false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (atEnd)
                *atEnd = n == 0 && done == 0;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace brigant::helper
