// The simulated time of one update per update family against the time that
// the commands it sent must take: the waits the update procedures prescribe
// for those commands plus the busy time the simulated device needs for them
// (from the simulator's flash part tables). Both sums are made from the
// command trace alone, without looking at the clock; a ratio other than 1.00
// means the tool waited where no procedure says so, or skipped a wait.
//
//   brigant-wait-bench BRIGANT_FW BRIGANT_SIM_IMAGE WORK_DIR
//
// Prints a table; exits 1 when a family's ratio is not 1.00 (two decimals)
// or a run fails, 2 on a usage error.
#include "bench_run.h"
#include "sim/flash_parts.h"
#include "sim/simulation.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace brigant;
using namespace brigant::bench;

namespace
{

// The simulated bridge firmware looks at the flash status every 10 ms while
// an operation it started itself runs, so it returns at the first multiple of
// 10 ms at or after the part's typical time (0 ms operations do not wait).
constexpr std::uint32_t kFirmwarePollMs = 10;
std::uint64_t FirmwareWait(std::uint32_t typicalMs)
{
    return (typicalMs + kFirmwarePollMs - 1) / kFirmwarePollMs * kFirmwarePollMs;
}

// The bridge programs page by page, each page cut at the part's page boundary.
std::uint64_t Pages(std::uint32_t address, std::uint32_t length, std::uint32_t pageSize)
{
    std::uint64_t pages = 0;
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t at = address + done;
        done += std::min(length - done, pageSize - at % pageSize);
        ++pages;
    }
    return pages;
}

std::uint32_t Be24(const TraceLine &l, std::size_t at)
{
    return static_cast<std::uint32_t>(l.at(at)) << 16 | static_cast<std::uint32_t>(l.at(at + 1)) << 8 |
           l.at(at + 2);
}

bool Is(const TraceLine &l, std::initializer_list<std::uint8_t> prefix)
{
    std::size_t i = 0;
    for (std::uint8_t b : prefix)
        if (l.at(i++) != b)
            return false;
    return true;
}

// The trace replayed on a clock of its own: the procedures' waits at the
// commands that call for them, and the busy time of the simulated flash
// (from the part tables) where the bridge or a status poll has to sit it out.
//
// Waits of the procedures:
// - WaitFlashReady / WaitStatusSet / WaitStatusClear read the flash status
//   (FF 04 12) and, while the flash is busy, read it again 10 ms later; a
//   read that finds the flash idle ends the poll. Whether the flash is busy
//   follows from the erases started (below), not from the trace;
// - whole-image update: 500 ms after a successful EraseFlashBlock (FF 04 14)
//   or EraseFlashAll (FF 04 13); 1000 ms between the last WriteFlash
//   (FF 04 11) and the status read of the read-back. The block-wise update
//   has no fixed pause: it polls the status after each erase and write;
// - firmware-assisted update: 500 ms after the accepted pre-erase of an MXIC
//   flash (the first WriteBlock24 of the run, mode 2, 4096 bytes at 0);
// - ResetChip (FF 04 26) ends the run: the bridge leaves the bus and the
//   command line does not wait for it (no procedure asks it to);
// - one-button update: 100 ms after a WRITE BUFFER download (3B 06) and
//   500 ms after the chip erase that follows it; after ResetChip the bus's
//   events, read every 100 ms, until the bridge has left (at once on the
//   simulated bus) and come back (after its re-attach delay), which ends the
//   run;
// - staging family: 5000 ms after EraseFlashChip (B4), 1 ms after each
//   WriteStagingBuffer (B2), 20 ms between the two ProgramFlashPage (B3) of a
//   chunk (after the one from 0xC800), 3 ms after each FetchFlashBlock (B6)
//   and after the ReadStagingBuffer (B5) that collects it.
// Busy time of the simulated device:
// - EraseFlashBlock / EraseFlashAll start the part's block (D8) or chip (C7)
//   erase and return; the flash stays busy for the erase's typical time;
// - WriteFlash (FF 04 11) and WriteBlock24 (DF .. FB): the bridge programs
//   page by page and waits for each page; WriteBlock24 first erases the
//   sector (20), block (D8) or chip (C7) its mode names and waits for that;
// - WRITE BUFFER mode 0x0E (3B 0E): the bridge erases each 4 KiB sector the
//   data reaches (20) and programs it page by page, waiting for each;
// - ProgramFlashPage (B3): one page, waited for; EraseFlashChip (B4): the
//   bridge clears the status register and waits for that, then starts the
//   chip erase, which must be over before the next page is programmed.

// Which procedure ran: the waits differ between them.
enum class Procedure { WholeImage, Blockwise, Assisted, OneButton, Staging, DiskArea };

struct Expected {
    std::uint64_t waitMs = 0;   // waits of the procedures
    std::uint64_t deviceMs = 0; // device busy time the bridge waits out itself
    std::string problem;        // where the trace and the model disagree
};

class Replay
{
  public:
    Replay(const sim::FlashPart *part, Procedure procedure) : part_(part), procedure_(procedure) {}

    Expected run(const std::vector<TraceLine> &trace)
    {
        for (std::size_t i = 0; i < trace.size(); ++i)
            step(trace[i], i > 0 ? &trace[i - 1] : nullptr);
        if (rereadDue_)
            fail("the trace ends while a status poll still sees the flash busy");
        return e_;
    }

  private:
    void wait(std::uint64_t ms)
    {
        t_ += ms;
        e_.waitMs += ms;
    }
    void device(std::uint64_t ms)
    {
        t_ += ms;
        e_.deviceMs += ms;
    }
    void fail(const std::string &why)
    {
        if (e_.problem.empty())
            e_.problem = why;
    }
    const sim::EraseOp *erase(std::uint8_t opcode)
    {
        const sim::EraseOp *op = part_ ? part_->erase(opcode) : nullptr;
        if (!op)
            fail("no erase opcode " + std::to_string(opcode) + " in the part table");
        return op;
    }
    std::uint64_t pages(std::uint32_t address, std::uint32_t length)
    {
        if (part_->aai)
            fail("auto-address-increment programming is not modelled here");
        return Pages(address, length, part_->pageSize) * FirmwareWait(part_->pageProgramMs);
    }

    void step(const TraceLine &l, const TraceLine *prev)
    {
        const bool status = Is(l, {0xFF, 0x04, 0x12});
        if (rereadDue_) {
            rereadDue_ = false;
            if (!status)
                fail("a status poll stopped while the flash was busy");
            else
                wait(10);
        } else if (status && prev && Is(*prev, {0xFF, 0x04, 0x11}) && procedure_ == Procedure::WholeImage) {
            wait(1000);
        }
        if (status) {
            rereadDue_ = t_ < busyUntil_;
            return;
        }
        const bool flashCommand = Is(l, {0xFF, 0x04, 0x11}) || Is(l, {0xFF, 0x04, 0x13}) ||
                                  Is(l, {0xFF, 0x04, 0x14}) || (l.at(0) == 0xDF && l.at(11) == 0xFB) ||
                                  l.at(0) == 0xB3 || l.at(0) == 0xB4 || Is(l, {0x3B, 0x0E});
        if (flashCommand && !part_) {
            fail("a flash command to a bridge without a flash");
            return;
        }
        if (flashCommand && t_ < busyUntil_)
            fail("a flash command while the flash is still busy");
        if (!l.ok)
            return;
        if (Is(l, {0xFF, 0x04, 0x14}) || Is(l, {0xFF, 0x04, 0x13})) {
            if (const sim::EraseOp *op = erase(l.at(2) == 0x14 ? 0xD8 : 0xC7))
                busyUntil_ = t_ + op->typicalMs;
            if (procedure_ == Procedure::WholeImage)
                wait(500);
        } else if (Is(l, {0xFF, 0x04, 0x11})) {
            device(pages(Be24(l, 3), l.length));
        } else if (l.at(0) == 0xDF && l.at(11) == 0xFB) {
            const std::uint8_t mode = l.at(1) & 0x87;
            const std::uint32_t address = Be24(l, 8);
            if ((part_->powerUpStatus & 0x1C) != 0)
                fail("WriteBlock24 on a part that powers up protected is not modelled here");
            static constexpr std::uint8_t kEraseByMode[8] = {0, 0x20, 0xD8, 0xC7, 0x20, 0xD8, 0xC7, 0xC7};
            if (const std::uint8_t opcode = kEraseByMode[mode & 0x07])
                if (const sim::EraseOp *op = erase(opcode))
                    device(FirmwareWait(op->typicalMs));
            device(pages(address, l.length));
            if (!sawBlockWrite_ && mode == 2 && address == 0 && l.length == 4096)
                wait(500);
            if (downloaded_ && mode == 3)
                wait(500);
            sawBlockWrite_ = true;
        } else if (Is(l, {0x3B, 0x0E})) {
            const std::uint32_t offset = Be24(l, 3), length = std::min(Be24(l, 6), l.length);
            const sim::EraseOp *sector = erase(0x20);
            for (std::uint32_t at = offset / 4096 * 4096; sector && at < offset + length; at += 4096)
                device(FirmwareWait(sector->typicalMs));
            device(pages(offset, length));
        } else if (Is(l, {0x3B, 0x06})) {
            downloaded_ = true;
            wait(100);
        } else if (l.at(0) == 0xB4) {
            device(FirmwareWait(part_->writeStatusMs));
            if (const sim::EraseOp *op = erase(0xC7))
                busyUntil_ = t_ + op->typicalMs;
            wait(5000);
        } else if (l.at(0) == 0xB3) {
            device(FirmwareWait(part_->pageProgramMs));
            if (l.at(8) == 0xC8)
                wait(20);
        } else if (l.at(0) == 0xB2) {
            wait(1);
        } else if (l.at(0) == 0xB6) {
            wait(3);
        } else if (l.at(0) == 0xB5 && prev && prev->at(0) == 0xB6) {
            wait(3);
        } else if (Is(l, {0xFF, 0x04, 0x26})) {
            if (procedure_ != Procedure::OneButton)
                return;
            const std::uint64_t back = t_ + sim::Simulation::kReattachDelayMs;
            while (t_ < back)
                wait(100);
        }
    }

    const sim::FlashPart *part_;
    Expected e_;
    std::uint64_t t_ = 0;
    std::uint64_t busyUntil_ = 0;
    bool rereadDue_ = false;
    bool sawBlockWrite_ = false;
    const Procedure procedure_;
    bool downloaded_ = false;
};

struct Case {
    const char *family;
    Procedure procedure;
    const char *device; // --simulate preset; the flash part named so that its table is known
    const char *part;   // nullptr: no flash
    const char *image;  // brigant-sim-image preset and options of the new firmware; nullptr: the
                        // one-button update with the built-in image
};

const Case kCases[] = {
    {"register-level (code 1)", Procedure::WholeImage, "alder:flash=A25L05PT", "A25L05PT",
     "alder:version=9.8"},
    {"register-level, block-wise (code 7)", Procedure::Blockwise, "ginkgo:flash=EN25F40", "EN25F40",
     "ginkgo:ext=2.3.4.5"},
    {"firmware-assisted (code 13)", Procedure::Assisted, "nutmeg:flash=MX25L4006E", "MX25L4006E",
     "nutmeg:ext=2.3.4.5"},
    {"one-button (code 16)", Procedure::OneButton, "quince:flash=MX25L4006E", "MX25L4006E", nullptr},
    {"staging (code 26)", Procedure::Staging, "oak:flash=MX25L4006E", "MX25L4006E", "oak:version=9.8"},
    {"disk-stored (code 30)", Procedure::DiskArea, "elm-e-disk", nullptr, "elm-e-disk:ext=2.3.4.5"},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s BRIGANT_FW BRIGANT_SIM_IMAGE WORK_DIR\n", argv[0]);
        return 2;
    }
    const std::string fw = argv[1], simImage = argv[2];
    const std::filesystem::path work = argv[3];
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work / "state");

    bool good = true;
    std::printf("%-36s %-24s %8s %8s %8s %10s %11s %7s %6s\n", "family", "device", "commands", "waits s",
                "device s", "expected s", "simulated s", "diff ms", "ratio");
    for (const Case &c : kCases) {
        const std::string name = std::string(c.device).substr(0, std::string(c.device).find(':'));
        const std::string file = (work / (name + ".bin")).string(),
                          trace = (work / (name + ".trace")).string(),
                          err = (work / (name + ".err")).string();
        // The user's run: the backup before writing (to a private state
        // directory) included, as brigant-fw does it unless told otherwise.
        if ((c.image &&
             !RunCommand(Quote(simImage) + " " + Quote(c.image) + " -o " + Quote(file) + " >/dev/null")) ||
            !RunCommand("XDG_STATE_HOME=" + Quote((work / "state").string()) + " " + Quote(fw) +
                        " --simulate " + Quote(c.device) + " --trace=" + Quote(trace) + " update --yes " +
                        (c.image ? Quote(file) : std::string("--embedded")) + " >/dev/null 2>" +
                        Quote(err))) {
            std::fputs(ReadText(err).c_str(), stderr);
            good = false;
            continue;
        }
        const auto lines = ReadTrace(trace);
        const auto simulated = ReadSimulatedMs(err);
        const sim::FlashPart *part = c.part ? sim::FindFlashPart(c.part) : nullptr;
        if (!lines || !simulated || (c.part && !part)) {
            std::fprintf(stderr, "%s: no trace, no simulated time or an unknown part\n", c.family);
            good = false;
            continue;
        }
        const Expected e = Replay(part, c.procedure).run(*lines);
        // The program prints whole hundredths of a second (truncated).
        const std::uint64_t expected = (e.waitMs + e.deviceMs) / 10 * 10;
        char ratio[16] = "-";
        bool pass = e.problem.empty();
        if (expected > 0) {
            std::snprintf(ratio, sizeof ratio, "%.2f",
                          static_cast<double>(*simulated) / static_cast<double>(expected));
            pass = pass && std::string(ratio) == "1.00";
        } else {
            pass = pass && *simulated == 0; // nothing to wait for, and nothing waited
        }
        std::printf("%-36s %-24s %8zu %8.3f %8.3f %10.2f %11.2f %7lld %6s%s\n", c.family, c.device,
                    lines->size(), static_cast<double>(e.waitMs) / 1000.0,
                    static_cast<double>(e.deviceMs) / 1000.0, static_cast<double>(expected) / 1000.0,
                    static_cast<double>(*simulated) / 1000.0,
                    static_cast<long long>(*simulated) - static_cast<long long>(expected), ratio,
                    pass ? "" : "  MISMATCH");
        if (!e.problem.empty())
            std::printf("    not modelled: %s\n", e.problem.c_str());
        good = good && pass;
    }
    return good ? 0 : 1;
}
