// Commands sent per disk while `brigant-fw list` finds and identifies one
// simulated bridge of each preset, against the count the discovery and
// identification rules give for that bridge. The expected counts are worked
// out by hand below, stage by stage, from the rules and from what each
// simulated bridge answers (marker, signature, flash part, release flags);
// they are not read from the tool.
//
//   brigant-discovery-bench BRIGANT_FW WORK_DIR
//
// Prints a table; exits 1 when a count differs or a run fails.
#include "bench_run.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace brigant::bench;

namespace
{

// Stages of one refresh with one disk, in the order they run:
// - enumerate: INQUIRY for the "vQ"/"vS" marker, and the vendor probe when
//   the marker is missing; a disk that passes neither is no candidate and
//   gets nothing more;
// - the INQUIRY for the list item's name (1 for every candidate);
// - identify: IdentifyChip, run by discovery and again by the selection
//   handler for a listed bridge (counted twice; once for a candidate that is
//   not listed, which list does not select): INQUIRY; without a tag from it the
//   vendor probe and chip information; then by type the signature (0, 1, 3,
//   5, 7, 11, 28), the 12-byte chip information (8), the staging-area read
//   and, when it fails, the revision register (12);
// - flash: the selection handler's type-14 checks and flash probes: the
//   bridge's flash verdict (firmware-reported group), the buffer probe with
//   its becoming-ready repetitions (15-18), the JEDEC / size probes, the
//   bank check (13, 27: two 64 KiB banks in 8 KiB reads, each after a
//   status poll), or the AMIC and ATMEL probes and the verdict (other
//   supported types), or the firmware information (6, 29);
// - version: the chip information, the toggle probe (12, 26: read, write,
//   read back, restore), the character check (14), and the release test:
//   its flag bytes, then the type's own check;
// - end: the refresh's one-button check reads the chip information of a
//   code-16 bridge.
struct Row {
    const char *preset;
    bool candidate;
    bool listed; // identified as a bridge: list identifies it a second time, as the selection handler does
    int enumerate, identify, flash, version, end;
    int added;       // commands the tool sends beyond the rules, on purpose
    const char *why; // the reason for `added`, and the working of the row
};

// clang-format off
const Row kRows[] = {
    {"generic",      true, false, 2, 4,  0, 0, 0, 0, "no marker: probe; type 0 by tag GEN, signature rejected; not listed, so not selected: no version read"},
    {"plain-disk",   false, false, 2, 0,  0, 0, 0, 0, "marker and probe both fail: no candidate"},
    {"alder",        true, true,  1, 2,  4, 2, 0, 0, "tag Q7A + signature; AMIC probe finds 7F 37 20 20 (type 4): no verdict read"},
    {"birch",        true, true,  1, 1,  0, 2, 0, 0, "type 2: no second stage, no flash probes"},
    {"cedar",        true, true,  1, 2, 13, 2, 0, 1, "+1: the verdict asked twice; signature rejected; AMIC, ATMEL -1; verdict 0: JEDEC probe A 9F, 90, AB, 15 (1F: ATMEL)"},
    {"cedar-a3",     true, true,  1, 2,  5, 2, 0, 1, "+1: the verdict asked twice; signature vQ7CA3; AMIC, ATMEL -1; verdict MXIC"},
    {"elm",          true, true,  1, 2,  5, 3, 0, 1, "+1: the verdict asked twice; release bit 0 set: header read at 0xC000"},
    {"figtree",      true, true,  1, 1,  1, 2, 0, 0, "type 6: firmware level from the firmware information"},
    {"ginkgo",       true, true,  1, 2,  5, 3, 0, 1, "+1: the verdict asked twice; release bit 2 set: header read at 0xC000"},
    {"hazel",        true, true,  1, 2,  5, 2, 0, 1, "+1: the verdict asked twice; second stage: 12-byte chip information; USB: other supported types"},
    {"hazel-1394",   true, true,  1, 2,  1, 2, 0, 1, "+1: the verdict asked twice; behind 1394: the firmware reports the flash"},
    {"juniper",      true, true,  1, 1,  1, 3, 0, 1, "+1: the verdict asked twice; release bit 2 set: header block read at 4096"},
    {"larch",        true, true,  1, 2,  5, 2, 0, 7, "+7: size probe (9F) for Run's file-size check, the SST word-mode 9F query asked twice, the verdict asked twice"},
    {"maple",        true, true,  1, 3,  1, 7, 0, 1, "+1: the verdict asked twice; staging read fails, revision register < B4; toggle probe 4; release bit 4: header block"},
    {"nutmeg",       true, true,  1, 1, 37, 3, 0, 1, "+1: the verdict asked twice; verdict MXIC; size probe 9F; banks 2 x 8 x (poll + read); 9F for MXIC; firmware information"},
    {"willow",       true, true,  1, 1,  5, 4, 0, 1, "+1: the verdict asked twice; firmware information + FE; verdict WINBOND, size probe 9F; FE for the text; byte 19 = 1"},
    {"teak",         true, true,  1, 1,  5, 4, 0, 1, "+1: the verdict asked twice; as willow"},
    {"yew",          true, true,  1, 1,  5, 4, 0, 1, "+1: the verdict asked twice; as willow, FE accepted"},
    {"pine",         true, true,  1, 1,  6, 3, 0, 1, "+1: the verdict asked twice; verdict MXIC; READ BUFFER becoming ready 3 times; size probe B 9F"},
    {"quince",       true, true,  1, 1,  6, 3, 1, 1, "+1: the verdict asked twice; as pine; the refresh's one-button check reads the chip information"},
    {"rowan",        true, true,  1, 1,  6, 3, 0, 1, "+1: the verdict asked twice; as pine (verdict GIGADEVICE)"},
    {"spruce",       true, true,  1, 1,  6, 3, 0, 1, "+1: the verdict asked twice; as pine (verdict EON)"},
    {"oak",          true, true,  1, 2,  5, 6, 0, 1, "+1: the verdict asked twice; staging read accepted: 26; toggle probe 4"},
    {"aspen",        true, true,  1, 1, 35, 3, 0, 1, "+1: the verdict asked twice; verdict WINBOND; size probe 9F; banks 2 x 8 x (poll + read)"},
    {"baobab",       true, true,  1, 2,  5, 3, 0, 1, "+1: the verdict asked twice; signature vS4BA; release: VK record read at 0x4000"},
    {"cypress",      true, true,  1, 1,  1, 2, 0, 0, "type 29: level 0xAB, byte 18 0xD5"},
    {"elm-e",        true, true,  1, 2,  5, 3, 0, 1, "+1: the verdict asked twice; signature vQ7EE: 30; release: VK record read at 0x4000"},
    {"elm-e-disk",   true, true,  1, 2,  4, 3, 0, 1, "+1: the verdict asked twice; no flash: both probes' SPI command rejected, verdict 0, JEDEC probe stops at its first query"},
    {"legacy-cedar", true, true,  2, 3,  0, 1, 0, 0, "no marker: probe; chip information without F4 E7: ID word; version stops there"},
    {"dogwood",      true, true,  2, 3,  0, 1, 0, 0, "as legacy-cedar"},
    {"legacy-elm",   true, true,  2, 3,  0, 1, 0, 0, "as legacy-cedar"},
    {"legacy-alder", true, true,  2, 3,  0, 1, 0, 0, "as legacy-cedar"},
    {"birch-ids",    true, true,  2, 3,  0, 2, 0, 0, "found by USB IDs: 35"},
};
// clang-format on

int Expected(const Row &r)
{
    if (!r.candidate)
        return r.enumerate + r.added;
    return r.enumerate + 1 + (r.listed ? 2 : 1) * r.identify + r.flash + r.version + r.end + r.added;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BRIGANT_FW WORK_DIR\n", argv[0]);
        return 2;
    }
    const std::string fw = argv[1];
    const std::filesystem::path work = argv[2];
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);

    bool good = true;
    std::printf("%-13s %5s %5s %8s %5s %7s %3s %5s %8s %4s\n", "preset", "enum", "name", "identify", "flash",
                "version", "end", "added", "expected", "sent");
    for (const Row &r : kRows) {
        const std::string trace = (work / (std::string(r.preset) + ".trace")).string();
        // Exit 3 when nothing is listed (the unidentified and the plain disk).
        const std::string command = Quote(fw) + " --simulate " + Quote(r.preset) +
                                    " --trace=" + Quote(trace) + " list >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        const auto lines = ReadTrace(trace);
        if (status == -1 || !lines) {
            std::fprintf(stderr, "%s: brigant-fw list wrote no trace\n", r.preset);
            good = false;
            continue;
        }
        const int expected = Expected(r);
        const int sent = static_cast<int>(lines->size());
        std::printf("%-13s %5d %5d %4d x %d %5d %7d %3d %5d %8d %4d%s\n", r.preset, r.enumerate,
                    r.candidate ? 1 : 0, r.identify, r.listed ? 2 : 1, r.flash, r.version, r.end, r.added,
                    expected, sent, sent == expected ? "" : "  MISMATCH");
        good = good && sent == expected;
    }
    std::printf("\nadded:");
    for (const Row &r : kRows)
        if (r.added)
            std::printf(" %s: %s", r.preset, r.why);
    std::printf("\n");
    return good ? 0 : 1;
}
