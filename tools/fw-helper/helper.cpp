// brigant-fw-helper: sends SCSI commands of brigant-fw and brigant-fwtool to
// the sg node of a bridge disk, for a user who has been authorised through
// polkit (the program is started with pkexec). It reads requests on standard
// input and answers on standard output (src/device/linux/helper_protocol.h,
// docs/helper-protocol.md), one command per request.
//
// It refuses, with the reason in the reply and on standard error (which the
// journal keeps when the caller runs under systemd):
//   - a malformed request, a data length above the largest transfer the tool
//     makes, a time-out out of range;
//   - any opcode this tool does not send (the allow-list below);
//   - a node that disk discovery would not list: anything but the sg node of
//     a disk behind a USB mass-storage, UAS or FireWire SBP-2 bridge, checked
//     again for every request (device_sg.cpp).
// Refused requests are never opened.
#include "device.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <vector>

using namespace brigant::helper;

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

bool ReadAll(int fd, void *buffer, std::size_t size, bool &atEnd)
{
    auto *p = static_cast<std::uint8_t *>(buffer);
    std::size_t done = 0;
    atEnd = false;
    while (done < size) {
        const ssize_t n = ::read(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            atEnd = n == 0 && done == 0;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void *buffer, std::size_t size)
{
    const auto *p = static_cast<const std::uint8_t *>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SendReply(const Reply &reply, const std::uint8_t *data, std::uint32_t dataLength)
{
    std::uint8_t head[kReplyHead];
    EncodeReplyHead(reply, head);
    return WriteAll(1, head, sizeof head) && WriteAll(1, reply.sense, reply.senseLength) &&
           WriteAll(1, data, dataLength) && WriteAll(1, reply.reason.data(), reply.reason.size());
}

bool Refuse(const Request &r, const std::string &reason)
{
    std::fprintf(stderr, "brigant-fw-helper: refused %s (opcode 0x%02X, %u bytes): %s\n",
                 r.path.empty() ? "a request" : r.path.c_str(), r.cdb[0], r.length, reason.c_str());
    Reply reply;
    reply.verdict = 1;
    reply.reason = reason.substr(0, kHelperMaxReason);
    return SendReply(reply, nullptr, 0);
}

} // namespace

int main()
{
    unsigned long served = 0, refused = 0;
    std::vector<std::uint8_t> data;
    for (;;) {
        std::uint8_t head[kRequestHead];
        bool atEnd = false;
        if (!ReadAll(0, head, sizeof head, atEnd)) {
            if (!atEnd)
                std::fprintf(stderr, "brigant-fw-helper: request cut short\n");
            break;
        }
        Request r;
        std::uint32_t pathLength = 0;
        const std::string malformed = DecodeRequestHead(head, r, pathLength);
        if (!malformed.empty()) {
            // The rest of the frame cannot be trusted to be where the head says.
            Refuse(r, malformed);
            ++refused;
            break;
        }
        r.path.resize(pathLength);
        data.assign(r.length, 0);
        if (!ReadAll(0, r.path.data(), pathLength, atEnd) ||
            (r.direction == kOut && !ReadAll(0, data.data(), r.length, atEnd))) {
            std::fprintf(stderr, "brigant-fw-helper: request cut short\n");
            break;
        }

        std::string reason =
            r.path.find('\0') != std::string::npos ? "path holds a zero byte" : CheckOpcode(r);
        if (reason.empty())
            reason = CheckDevice(r.path);
        if (!reason.empty()) {
            ++refused;
            if (!Refuse(r, reason))
                break;
            continue;
        }
        Reply reply;
        RunOnDevice(r, data.data(), reply);
        ++served;
        if (!SendReply(reply, data.data(), r.direction == kIn ? reply.transferred : 0))
            break;
    }
    std::fprintf(stderr, "brigant-fw-helper: %lu commands sent, %lu refused\n", served, refused);
    return 0;
}
