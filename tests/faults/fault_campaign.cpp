// The fault campaign: a representative update of a family (the file loaded
// and Run pressed, through the write guard with its backup), run once per
// command index k and fault kind with that fault injected at command k, each
// run checked against the invariants a user relies on:
//   - success only when the flash (or the disk area) holds what a clean run
//     leaves there;
//   - the settings (NVRAM) the update keeps are in the flash or, byte for
//     byte, in the run's backup file;
//   - a failure says what failed (a failure text that is not a success text);
//   - after a power loss, a second run on the saved state completes the
//     update or says what the device needs;
//   - a UNIT ATTENTION or a "becoming ready" answer, which the transport
//     resends or polls, leaves the run exactly as the clean one.
// The dual-bank bridges also lose power at every 1/16 of an update; the next
// selection's bank repair must leave a bridge that boots a firmware.
// Sanitizer builds run the same campaign. A summary table is printed; any
// violation fails the test of its family.
// The staging family's update sends about 3600 commands, one per page for the
// most part: its faults are placed at every command of the first and last 150
// and at every 37th between (37 is prime to the page loop's period).
#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/write_guard.h"
#include "sim/chip_presets.h"
#include "sim/disk_firmware.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

enum class Face : std::uint8_t { RunButton, OneButton };

struct Range {
    std::uint32_t at, size;
};

struct Case {
    const char *name;
    const char *device; // the bridge's preset
    const char *file;   // the firmware file's preset (Run button only)
    Face face;
    std::vector<Range> kept;  // settings the update keeps in the flash
    std::uint32_t judged = 0; // bytes from 0 that hold the firmware (0: the whole flash or area)
    // Open findings, by run label ("powerloss@171"): reported, not counted,
    // and each must still occur (a fixed one is taken off this list).
    std::set<std::string> open = {};
    // 0: a fault at every command; N: every command of the first and last
    // 150, every Nth between.
    std::uint32_t stride = 0;
    // The fault kinds of this case's runs (empty: every kind).
    std::vector<std::string> kinds = {};
};

// Sanitizer builds run the same invariants over fewer runs, about 56 per
// fault kind: every command of the first and last 16, and an odd stride
// between; the full sweep is the other builds' work.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The command indices a case's faults are placed at; an index a listed open
// finding names is always among them.
std::vector<std::uint64_t> FaultIndices(const Case &c, std::uint64_t commands)
{
    const std::uint64_t edge = kSanitized ? 16 : 150;
    std::uint64_t stride = c.stride;
    if (kSanitized)
        stride = std::max<std::uint64_t>(c.stride, commands > 2 * edge ? (commands - 2 * edge) / 24 : 1) | 1;
    std::set<std::uint64_t> named;
    for (const std::string &run : c.open)
        named.insert(std::stoull(run.substr(run.find('@') + 1)));
    std::vector<std::uint64_t> out;
    for (std::uint64_t k = 1; k <= commands; ++k)
        if (stride <= 1 || k <= edge || k + edge > commands || (k - edge) % stride == 0 || named.count(k))
            out.push_back(k);
    return out;
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const std::vector<std::string> kKinds = {"error", "check", "notready", "ua", "short", "corrupt", "powerloss"};

// Answers the transport takes care of (a resend, a poll): whatever command
// gets one, the update ends as the clean run does.
bool Absorbed(const std::string &kind) { return kind == "notready" || kind == "ua"; }

Bytes PresetFile(const std::string &text)
{
    PresetSpec spec;
    std::string error;
    EXPECT_TRUE(ParsePresetSpec(text, spec, error)) << error;
    PresetFirmwareFile file;
    EXPECT_TRUE(MakePresetFirmwareFile(spec, file, error)) << error;
    return file.bytes;
}

Bytes ReadAll(const std::string &file)
{
    // In one read: byte by byte, the sanitized build spends most of the
    // campaign here.
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in)
        return {};
    Bytes bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// One bridge on virtual time, found and selected as the window does it;
// from a saved state when `stateDir` is given (the bridge powered up again).
struct World : test::SimWorld {
    World(const Case &c, const std::string &stateDir)
    {
        std::string error;
        path = simulation.add(c.device, error);
        EXPECT_FALSE(path.empty()) << error;
        if (!stateDir.empty()) {
            EXPECT_TRUE(simulation.loadState(stateDir, error)) << error;
        }
        bridge = simulation.bridges().back();
        services.diskEnumerator(&enumerator);
        window.StatusEdit.addObserver(
            [this](forms::Control &) { statuses.push_back(window.StatusEdit.text()); });
        RefreshBtnClick(window);
        if (window.listedCount > 0) {
            window.DeviceList.select(0);
            path = window.selectedEntry().path;
        }
    }

    // Run button or update button through the write guard, backing up into `backups`.
    bool run(const Case &c, const std::string &file, const std::string &backups)
    {
        WriteGuard guard;
        guard.backupDirectory = backups;
        guard.backedUp = [this](const BackupResult &r) {
            if (r.outcome == BackupResult::Outcome::Saved)
                backupFile = r.file;
        };
        ui.boxes.clear();
        if (c.face == Face::RunButton) {
            window.FwFilenameEdit.setText(file);
            window.NVRAMCheck.setChecked(false);
            window.UpdateBtn.setEnabled(true);
            GuardedUpdateBtnClick(window, guard);
            return window.runResult == 1;
        }
        // The user can press the update button only when it is offered.
        if (!window.YesBtn.enabled())
            return false;
        GuardedYesBtnClick(window, guard);
        return window.devpnl.caption() == "Update    Pass!!";
    }
    // What the user was told: the status line and every box.
    std::string told(const Case &c) const
    {
        std::string text = window.StatusEdit.text();
        if (c.face == Face::OneButton)
            text = window.devpnl.caption() + (text.empty() ? "" : " (" + text + ")");
        for (const auto &box : ui.boxes)
            text += (text.empty() ? "" : " | ") + box.text;
        return text;
    }
    // What the update writes: the flash, or the disk area of a bridge without
    // one; of a flash only the part that holds the firmware when the case says so.
    Bytes image(const Case &c) const
    {
        Bytes bytes = bridge->identity().flashAttached
                          ? bridge->flash().contents()
                          : ReadFirmwareArea(*bridge->identity().disk, DiskArea{});
        if (c.judged != 0 && bytes.size() > c.judged)
            bytes.resize(c.judged);
        return bytes;
    }

    SimDiskEnumerator enumerator{simulation};
    std::string path;
    std::shared_ptr<SimBridge> bridge;
    std::string backupFile;
    std::vector<std::string> statuses; // every text the status line showed
};

void Seed(World &w, const Case &c)
{
    for (const Range &r : c.kept)
        for (std::uint32_t i = 0; i < r.size; ++i)
            w.bridge->flash().contents()[r.at + i] = static_cast<std::uint8_t>(0x3C ^ (i * 13) ^ (i >> 8));
}

Bytes Slice(const Bytes &b, std::uint32_t at, std::uint32_t size)
{
    if (b.size() < std::size_t{at} + size)
        return {};
    return Bytes(b.begin() + at, b.begin() + at + size);
}

// "first difference at OFFSET" between what a run left and the reference.
std::string FirstDifference(const Bytes &got, const Bytes &want)
{
    if (got.size() != want.size())
        return "a different size";
    const auto at = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    char text[96];
    std::snprintf(text, sizeof text, "first difference at 0x%lx: %02X, not %02X",
                  static_cast<unsigned long>(at), got[static_cast<std::size_t>(at)],
                  want[static_cast<std::size_t>(at)]);
    return text;
}

// The image with the kept settings taken from `from`: those are judged by
// the settings check, the rest must be what a clean run leaves.
Bytes Masked(Bytes image, const Bytes &from, const std::vector<Range> &kept)
{
    for (const Range &r : kept)
        if (image.size() >= std::size_t{r.at} + r.size && from.size() == image.size())
            std::copy_n(from.begin() + r.at, r.size, image.begin() + r.at);
    return image;
}

bool SaysSuccess(const std::string &text)
{
    return text.find("Success") != std::string::npos || text.find("Pass!!") != std::string::npos;
}

struct Tally {
    int runs = 0;
    std::map<std::string, std::pair<int, int>> perKind; // kind: successes, failures
    std::vector<std::string> violations;
    std::map<std::string, std::set<std::string>> texts; // failure texts by kind
    std::map<std::string, int> afterPowerLoss;          // second run outcomes
    std::vector<std::string> openSeen;                  // violations the case lists as open
    int settingsOnlyInBackup = 0;                       // successes that left the settings only in the backup
};

void Violation(Tally &t, const std::string &what) { t.violations.push_back(what); }

// The campaign over one case; returns the tally.
Tally Campaign(const Case &c)
{
    Tally t;
    const fs::path dir = fs::temp_directory_path() / ("brigant-faults-" + std::to_string(::getpid()) + "-" +
                                                      std::string(c.device).substr(0, 6));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string file;
    if (c.file) {
        file = (dir / "fw.bin").string();
        const Bytes bytes = PresetFile(c.file);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // A clean run: the image every successful run must leave, and the command count.
    Bytes reference;
    std::uint64_t commands = 0;
    {
        World w(c, {});
        Seed(w, c);
        const std::uint64_t before = w.simulation.backend().commandCount(w.path);
        const bool ok = w.run(c, file, (dir / "clean").string());
        EXPECT_TRUE(ok) << c.name << ": the clean run failed: " << w.told(c);
        commands = w.simulation.backend().commandCount(w.path) - before;
        reference = w.image(c);
        std::printf("%s: a clean run sends %llu commands\n", c.name,
                    static_cast<unsigned long long>(commands));
        std::fflush(stdout);
        for (const Range &r : c.kept)
            EXPECT_EQ(Slice(reference, r.at, r.size), Slice(w.bridge->flash().contents(), r.at, r.size));
    }

    for (const std::string &kind : c.kinds.empty() ? kKinds : c.kinds) {
        for (const std::uint64_t k : FaultIndices(c, commands)) {
            const std::string label = std::string(c.name) + " " + kind + "@" + std::to_string(k);
            ++t.runs;
            World w(c, {});
            Seed(w, c);
            const Bytes seeded = w.bridge->flash().contents();
            FaultRule rule;
            std::string error;
            const std::string option =
                kind + "@" + std::to_string(w.simulation.backend().commandCount(w.path) + k);
            EXPECT_TRUE(ParseFaultOption(option, rule, error)) << error;
            w.simulation.backend().addFault(w.path, rule);
            const fs::path backups = dir / "backups";
            fs::remove_all(backups);
            const bool ok = w.run(c, file, backups.string());
            const std::string told = w.told(c);
            auto &tally = t.perKind[kind];
            (ok ? tally.first : tally.second)++;

            const Bytes now = w.image(c); // one copy: a flash can be 16 MiB
            const Bytes left = Masked(now, reference, c.kept);
            if (ok && left != reference)
                Violation(t, label + ": success reported, but the image is not the new one (" +
                                 FirstDifference(left, reference) + ")");
            if (ok && now != reference)
                t.settingsOnlyInBackup++;
            if (Absorbed(kind) && (!ok || now != reference))
                Violation(t, label + ": the answer is the transport's to absorb, yet the run " +
                                 (ok ? "left another image (" + FirstDifference(now, reference) + ")"
                                     : "failed: \"" + told + "\""));
            if (!ok) {
                t.texts[kind].insert(told);
                if (told.empty() || SaysSuccess(told))
                    Violation(t, label + ": a failure that does not say what failed: \"" + told + "\"");
            }
            const Bytes backup = w.backupFile.empty() ? Bytes{} : ReadAll(w.backupFile);
            for (const Range &r : c.kept) {
                const Bytes want = Slice(seeded, r.at, r.size);
                if (Slice(w.bridge->flash().contents(), r.at, r.size) != want &&
                    Slice(backup, r.at, r.size) != want)
                    Violation(t, label + ": the settings at " + std::to_string(r.at) +
                                     " are neither in the flash nor in the backup");
            }

            if (kind != "powerloss")
                continue;
            // Power comes back: a second run on the saved state.
            const fs::path state = dir / "state";
            fs::remove_all(state);
            EXPECT_TRUE(w.simulation.saveState(state.string(), error)) << error;
            World again(c, state.string());
            const bool second =
                again.window.listedCount > 0 && again.run(c, file, (dir / "backups2").string());
            const std::string told2 = again.told(c);
            const Bytes left2 = Masked(again.image(c), reference, c.kept);
            if (second && left2 == reference) {
                t.afterPowerLoss["completed"]++;
            } else if (left2 == reference) {
                // The power went after the last write: nothing left to do, as
                // the second run says ("Firmware already updated.").
                t.afterPowerLoss["found it complete"]++;
            } else if (second) {
                Violation(t, label + ": the second run reported success without the new image (" +
                                 FirstDifference(left2, reference) + ")");
            } else if (told2.find("recover") != std::string::npos ||
                       told2.find("repair") != std::string::npos) {
                t.afterPowerLoss["says recover/repair"]++;
            } else {
                t.afterPowerLoss["other"]++;
                Violation(t, label + ": the second run neither completed nor said what the device needs: \"" +
                                 told2 + "\" (" + FirstDifference(left2, reference) + ")");
            }
        }
    }
    fs::remove_all(dir);
    // Open findings: moved out of the violations; one that no longer occurs is one.
    std::vector<std::string> remaining;
    std::set<std::string> seen;
    for (const std::string &v : t.violations) {
        const std::string run =
            v.substr(std::string(c.name).size() + 1, v.find(':') - std::string(c.name).size() - 1);
        if (c.open.count(run)) {
            t.openSeen.push_back(v);
            seen.insert(run);
        } else {
            remaining.push_back(v);
        }
    }
    for (const std::string &run : c.open)
        if (!seen.count(run))
            remaining.push_back(std::string(c.name) + " " + run + ": listed as open but passes now");
    t.violations = remaining;
    return t;
}

void Print(const Case &c, const Tally &t, double seconds)
{
    std::printf("\n%-24s runs %5d  (%.2f s)\n", c.name, t.runs, seconds);
    std::printf("  %-10s %8s %8s\n", "kind", "success", "failure");
    for (const std::string &kind : c.kinds.empty() ? kKinds : c.kinds) {
        const auto it = t.perKind.find(kind);
        const auto counts = it == t.perKind.end() ? std::pair<int, int>{} : it->second;
        std::printf("  %-10s %8d %8d\n", kind.c_str(), counts.first, counts.second);
    }
    if (t.settingsOnlyInBackup)
        std::printf("  successes that left the settings only in the backup: %d\n", t.settingsOnlyInBackup);
    for (const auto &[outcome, n] : t.afterPowerLoss)
        std::printf("  after power loss, second run: %-22s %d\n", outcome.c_str(), n);
    for (const auto &[kind, texts] : t.texts) {
        std::printf("  failure texts (%s):\n", kind.c_str());
        for (const auto &text : texts)
            std::printf("    \"%s\"\n", text.c_str());
    }
    for (const std::string &v : t.openSeen)
        std::printf("  open (listed, not counted): %s\n", v.c_str());
    std::printf("  invariant violations: %zu\n", t.violations.size());
    for (std::size_t i = 0; i < t.violations.size() && i < 20; ++i)
        std::printf("    %s\n", t.violations[i].c_str());
    std::fflush(stdout);
}

class Faults : public ::testing::TestWithParam<Case>
{
};

TEST_P(Faults, EveryKindAtEveryCommand)
{
    const Case &c = GetParam();
    const auto start = std::chrono::steady_clock::now();
    const Tally t = Campaign(c);
    Print(c, t, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_GT(t.runs, 0);
    EXPECT_TRUE(t.violations.empty()) << t.violations.size() << " violations, the first: " << t.violations[0];
}

std::string CaseName(const ::testing::TestParamInfo<Case> &info)
{
    std::string name = info.param.name;
    for (char &ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name;
}

// The dual-bank bridges: power lost at every 1/16 of an update; the next
// selection (identification with its bank repair) must leave a bridge that
// boots a firmware, not its ROM.
class DualBank : public ::testing::TestWithParam<Case>
{
};

bool BootsFirmware(SimBridge &bridge)
{
    bridge.boot();
    const auto &info = bridge.identity().chipInfo;
    return info[6] != 0 || info[7] != 0 ||
           std::any_of(info.begin() + 12, info.end(), [](auto b) { return b != 0; });
}

TEST_P(DualBank, BankRepairAfterPowerLossLeavesABridgeThatBoots)
{
    const Case &c = GetParam();
    const fs::path dir = fs::temp_directory_path() / ("brigant-banks-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string file = (dir / "fw.bin").string();
    const Bytes bytes = PresetFile(c.file);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::uint64_t commands = 0;
    {
        World w(c, {});
        const std::uint64_t before = w.simulation.backend().commandCount(w.path);
        ASSERT_TRUE(w.run(c, file, (dir / "clean").string())) << w.told(c);
        commands = w.simulation.backend().commandCount(w.path) - before;
    }
    std::map<std::string, int> repairs;
    std::vector<std::string> violations;
    for (std::uint64_t sixteenth = 1; sixteenth <= 16; ++sixteenth) {
        const std::uint64_t k = std::max<std::uint64_t>(1, commands * sixteenth / 16);
        World w(c, {});
        FaultRule rule;
        std::string error;
        ASSERT_TRUE(ParseFaultOption(
            "powerloss@" + std::to_string(w.simulation.backend().commandCount(w.path) + k), rule, error));
        w.simulation.backend().addFault(w.path, rule);
        w.run(c, file, (dir / "backups").string());
        const fs::path state = dir / "state";
        fs::remove_all(state);
        ASSERT_TRUE(w.simulation.saveState(state.string(), error)) << error;
        World next(c, state.string());
        const auto showed = [&next](const char *text) {
            return std::find(next.statuses.begin(), next.statuses.end(), text) != next.statuses.end();
        };
        const std::string status = showed("FW Recovery successful!!") ? "FW Recovery successful!!"
                                   : showed("FW Recovery Fail!!")     ? "FW Recovery Fail!!"
                                                                      : "no repair";
        repairs[status]++;
        if (!BootsFirmware(*next.bridge))
            violations.push_back(std::string(c.name) + " powerloss@" + std::to_string(k) + " (" +
                                 std::to_string(sixteenth) +
                                 "/16): the bridge starts from ROM after the "
                                 "next selection; status \"" +
                                 status + "\"");
    }
    fs::remove_all(dir);
    std::printf("\n%s, power lost at every 1/16 of %llu commands:\n", c.name,
                static_cast<unsigned long long>(commands));
    for (const auto &[outcome, n] : repairs)
        std::printf("  %-14s %d\n", outcome.c_str(), n);
    std::printf("  invariant violations: %zu\n", violations.size());
    for (const auto &v : violations)
        std::printf("    %s\n", v.c_str());
    std::fflush(stdout);
    EXPECT_TRUE(violations.empty()) << violations.size() << " violations";
}

INSTANTIATE_TEST_SUITE_P(
    Codes13And27, DualBank,
    ::testing::Values(Case{"nutmeg", "nutmeg", "nutmeg:ext=2.3.4.5", Face::RunButton, {}},
                      Case{"aspen", "aspen", "aspen:ext=2.3.4.5", Face::RunButton, {}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Families, Faults,
    ::testing::Values(
        Case{"register alder", "alder", "alder:version=9.8", Face::RunButton, {{0x8000, 512}}},
        Case{
            "assisted hazel-1394", "hazel-1394", "hazel-1394:version=9.8", Face::RunButton, {{0x8000, 1024}}},
        Case{"diskarea elm-e-disk", "elm-e-disk", "elm-e-disk:ext=2.3.4.5", Face::RunButton, {}},
        // Two banks: a fault in the flash size probe must not make the update skip bank 1.
        Case{"assisted nutmeg",
             "nutmeg",
             "nutmeg:ext=2.3.4.5",
             Face::RunButton,
             {{0xC000, 4096}, {0x1C000, 4096}}},
        // The image is 256 KiB; the update also clears the rest of the
        // 512 KiB flash, which holds no firmware. Open: power lost just after
        // the first 128 KiB leaves a bridge that starts the new first half
        // and reports the new version, so the update button is not offered
        // again although the second half is blank.
        // The staging family. A bridge that refuses the staging read when
        // the file is loaded is a code-12 bridge by identification's rule;
        // Run refuses the 256 KiB image for it, which has no NVRAM area in
        // front of its header.
        Case{"staging oak", "oak", "oak:version=9.8", Face::RunButton, {}, 0, {}, 37},
        Case{"one-button quince", "quince", nullptr, Face::OneButton, {}, 0x40000, {"powerloss@171"}}),
    CaseName);

// Every other updatable bridge (the cases above cover the rest): a UNIT
// ATTENTION at any command of its update changes nothing. The SST parts are
// programmed a byte or a word per command (17,000 and 25,000 commands): their
// faults are placed as the staging family's.
INSTANTIATE_TEST_SUITE_P(
    UnitAttention, Faults,
    ::testing::Values(
        Case{"3 cedar", "cedar", "cedar:version=9.8", Face::RunButton, {{0x8000, 512}}, 0, {}, 0, {"ua"}},
        Case{"4 cedar-a3",
             "cedar-a3",
             "cedar-a3:version=9.8",
             Face::RunButton,
             {{0x8000, 512}},
             0,
             {},
             0,
             {"ua"}},
        Case{"5 elm", "elm", "elm:ext=2.3.4.5", Face::RunButton, {{0x8000, 512}}, 0, {}, 0, {"ua"}},
        Case{"7 ginkgo", "ginkgo", "ginkgo:ext=2.3.4.5", Face::RunButton, {{0, 4096}}, 0, {}, 0, {"ua"}},
        Case{"8 hazel", "hazel", "hazel:version=9.8", Face::RunButton, {{0x8000, 512}}, 0, {}, 0, {"ua"}},
        Case{"9 juniper",
             "juniper",
             "juniper:ext=2.3.4.5,nvram=1",
             Face::RunButton,
             {{0, 4096}},
             0,
             {},
             0,
             {"ua"}},
        Case{"11 larch", "larch", "larch:ext=2.3.4.5", Face::RunButton, {}, 0, {}, 37, {"ua"}},
        Case{"11 larch M25P40",
             "larch:flash=M25P40",
             "larch:flash=M25P40,ext=2.3.4.5",
             Face::RunButton,
             {{0, 128}, {208, 3888}},
             0,
             {},
             0,
             {"ua"}},
        Case{
            "12 maple", "maple", "maple:ext=2.3.4.5,nvram=1", Face::RunButton, {{0, 4096}}, 0, {}, 0, {"ua"}},
        Case{"12 maple assisted",
             "maple:fwassist=1",
             "maple:fwassist=1,ext=2.3.4.5,nvram=1",
             Face::RunButton,
             {{0, 4096}},
             0,
             {},
             0,
             {"ua"}},
        Case{"12 maple sst",
             "maple:flash=SST25VF040B,chiprev=B4",
             "maple:flash=SST25VF040B,chiprev=B4,ext=2.3.4.5,nvram=1",
             Face::RunButton,
             {},
             0,
             {},
             37,
             {"ua"}},
        Case{"14 willow",
             "willow",
             "willow:exttext=2345",
             Face::RunButton,
             {{0xC000, 4096}},
             0,
             {},
             0,
             {"ua"}},
        Case{"14 teak", "teak", "teak:exttext=2345", Face::RunButton, {{0xC000, 4096}}, 0, {}, 0, {"ua"}},
        Case{"14 yew", "yew", "yew:exttext=2345", Face::RunButton, {{0xC000, 4096}}, 0, {}, 0, {"ua"}},
        Case{"15 pine buffer path",
             "pine:version=3.0,ext=31.25.1.5",
             "pine:version=3.0,exttext=2345",
             Face::RunButton,
             {},
             0,
             {},
             0,
             {"ua"}},
        Case{"16 quince buffer path",
             "quince:version=3.0,ext=31.25.1.5",
             "quince:version=3.0,exttext=2345",
             Face::RunButton,
             {},
             0,
             {},
             0,
             {"ua"}},
        Case{"17 rowan buffer path",
             "rowan:version=3.0,ext=31.25.1.5",
             "rowan:version=3.0,exttext=2345",
             Face::RunButton,
             {},
             0,
             {},
             0,
             {"ua"}},
        Case{"18 spruce buffer path",
             "spruce:version=3.0,ext=31.25.1.5",
             "spruce:version=3.0,exttext=2345",
             Face::RunButton,
             {},
             0,
             {},
             0,
             {"ua"}},
        Case{"27 aspen", "aspen", "aspen:ext=2.3.4.5", Face::RunButton, {{0x8000, 4096}}, 0, {}, 0, {"ua"}},
        Case{"28 baobab", "baobab", "baobab:ext=2.3.4.5", Face::RunButton, {{0x8000, 512}}, 0, {}, 0, {"ua"}},
        Case{"30 elm-e", "elm-e", "elm-e:ext=2.3.4.5", Face::RunButton, {{0x8000, 512}}, 0, {}, 0, {"ua"}}),
    CaseName);

} // namespace
