// Per-command cost of the transport (ReadChipInfo through SendScsiIn and the
// SG_IO back end) against a bare open / SG_IO / close loop with the same CDB
// and length, on the same sg node. The two loops alternate in rounds so that
// drift in a slow or busy machine falls on both alike (only the ratio means
// anything in an emulated guest).
//
//   brigant-transport-bench /dev/sgN [COMMANDS [ROUNDS]]
//
// Prints the totals, each round's costs and ratio, and the spread of the
// per-round ratios (min, median, max).
#include "bridge/chip_commands.h"
#include "device/linux/sg_backend.h"
#include "device/transport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

using namespace brigant;

namespace
{

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLength = 16;

bool Transport(const std::string &path)
{
    std::uint8_t buf[kLength];
    std::uint32_t transferred = 0;
    return ReadChipInfo(path, buf, kLength, transferred) == 1 && transferred == kLength;
}

bool Bare(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return false;
    std::uint8_t cdb[kVendorCdbLength] = {0xE0, 0xF4, 0xE7};
    std::uint8_t buf[kLength], sense[32];
    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    h.dxfer_direction = SG_DXFER_FROM_DEV;
    h.cmd_len = sizeof cdb;
    h.cmdp = cdb;
    h.dxfer_len = kLength;
    h.dxferp = buf;
    h.mx_sb_len = sizeof sense;
    h.sbp = sense;
    h.timeout = 10000;
    const int rc = ::ioctl(fd, SG_IO, &h);
    ::close(fd);
    return rc == 0 && h.status == 0 && h.host_status == 0 && h.resid == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s /dev/sgN [COMMANDS [ROUNDS]]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const long commands = argc > 2 ? std::atol(argv[2]) : 1000;
    const long rounds = argc > 3 ? std::atol(argv[3]) : 4;
    if (commands <= 0 || rounds <= 0 || commands % rounds != 0) {
        std::fprintf(stderr, "COMMANDS must be a positive multiple of ROUNDS\n");
        return 2;
    }
    SgBackend sg;
    SetTransportBackend(&sg);

    // Rounds alternate which loop goes first, so that neither always runs on a
    // freshly woken (or a tired) machine.
    Clock::duration transport{}, bare{};
    const long perRound = commands / rounds;
    const double perRoundCount = static_cast<double>(perRound);
    std::string spread;
    std::vector<double> ratios;
    for (long r = 0; r < rounds; ++r) {
        const Clock::duration transportBefore = transport, bareBefore = bare;
        for (int half = 0; half < 2; ++half) {
            const bool transportNow = (half == 0) == (r % 2 == 0);
            const auto t0 = Clock::now();
            for (long i = 0; i < perRound; ++i) {
                if (transportNow && !Transport(path)) {
                    std::fprintf(stderr, "transport command failed: %s\n",
                                 DescribeLastTransportFailure().c_str());
                    return 1;
                }
                if (!transportNow && !Bare(path.c_str())) {
                    std::fprintf(stderr, "bare SG_IO command failed\n");
                    return 1;
                }
            }
            (transportNow ? transport : bare) += Clock::now() - t0;
        }
        const double t = std::chrono::duration<double, std::micro>(transport - transportBefore).count();
        const double b = std::chrono::duration<double, std::micro>(bare - bareBefore).count();
        ratios.push_back(t / b);
        char round[80];
        std::snprintf(round, sizeof round, " %.0f/%.0f (%.3f)", t / perRoundCount, b / perRoundCount, t / b);
        spread += round;
    }
    const auto us = [&](Clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count() / static_cast<double>(commands);
    };
    std::printf(
        "ReadChipInfo x %ld on %s: transport %.1f us/command, bare SG_IO %.1f us/command, ratio %.3f\n",
        commands, path.c_str(), us(transport), us(bare), us(transport) / us(bare));
    std::printf("per round, transport/bare us/command (ratio):%s\n", spread.c_str());
    std::sort(ratios.begin(), ratios.end());
    const std::size_t n = ratios.size();
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    std::printf("ratio per round over %zu rounds: min %.3f, median %.3f, max %.3f\n", n, ratios.front(),
                median, ratios.back());
    return 0;
}
