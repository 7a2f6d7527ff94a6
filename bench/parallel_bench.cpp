// update --all on eight simulated bridges of mixed families against each
// bridge's update alone: the simulated time of the run against the slowest
// single update's, and the host's wall-clock time of both with the
// bridges' waits passing in real time (BRIGANT_SIM_PACE: PACE times faster
// than a real flash), as they do on hardware. Without the pace a simulated
// update is nothing but host work, which is listed too but not judged.
//
//   brigant-parallel-bench BRIGANT_FW BRIGANT_SIM_IMAGE WORK_DIR [PACE]
//
// PACE 0 leaves the paced runs out and judges the simulated time alone: in
// a sanitizer build the host work is many times the product's and swamps
// the paced waits, so its wall times say nothing about the product.
//
// Prints a table; exits 1 when the simulated time of update --all is above
// 1.2 times the slowest single update's, its paced wall time above 1.5
// times the slowest single update's, or a run fails; 2 on a usage error.
#include "bench_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace brigant::bench;

namespace
{

struct Row {
    const char *family;
    const char *preset;
    const char *file; // brigant-sim-image's spec of the file it takes
};

constexpr Row kRows[] = {
    {"register, whole image", "alder", "alder:version=9.8"},
    {"register, block-wise", "ginkgo", "ginkgo:ext=2.3.4.5"},
    {"two banks", "nutmeg", "nutmeg:ext=2.3.4.5"},
    {"two banks, 32K code", "aspen", "aspen:ext=2.3.4.5"},
    {"dual-model", "willow", "willow:exttext=2345"},
    {"buffer path", "quince:version=3.0,ext=31.25.1.5", "quince:exttext=2345"},
    {"staging", "oak", "oak:version=9.8"},
    {"disk area", "elm-e-disk", "elm-e-disk:ext=2.3.4.5"},
};

struct Timing {
    std::uint64_t simMs = 0;
    double wallS = 0;
    bool ok = false;
};

// Runs `command` (its output to `out`) and times it.
Timing Timed(const std::string &command, const std::string &out)
{
    Timing t;
    const auto start = std::chrono::steady_clock::now();
    t.ok = RunCommand(command + " >" + Quote(out) + " 2>&1 </dev/null");
    t.wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto ms = ReadSimulatedMs(out);
    t.ok = t.ok && ms.has_value();
    t.simMs = ms.value_or(0);
    return t;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s BRIGANT_FW BRIGANT_SIM_IMAGE WORK_DIR [PACE]\n", argv[0]);
        return 2;
    }
    const std::string fw = argv[1], image = argv[2];
    const std::filesystem::path work = argv[3];
    const std::string pace = argc == 5 ? argv[4] : "20";
    const bool pacedRuns = pace != "0";
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    const std::string home = "XDG_STATE_HOME=" + Quote((work / "home").string()) + " ";

    bool good = true;
    std::string sims, files;
    std::vector<Timing> paced, unpaced;
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        const Row &r = kRows[i];
        const std::string file = (work / ("fw" + std::to_string(i) + ".bin")).string();
        good = RunCommand(Quote(image) + " " + Quote(r.file) + " -o " + Quote(file) + " >/dev/null") && good;
        sims += " --simulate " + Quote(r.preset);
        files += " " + Quote(file);
        for (const bool pacedRun : {true, false}) {
            if (pacedRun && !pacedRuns) {
                paced.push_back({});
                continue;
            }
            const std::string state = (work / ((pacedRun ? "paced" : "plain") + std::to_string(i))).string();
            const Timing t = Timed((pacedRun ? "BRIGANT_SIM_PACE=" + pace + " " : std::string()) + home +
                                       Quote(fw) + " --simulate " + Quote(r.preset) + " --sim-state " +
                                       Quote(state) + " update --yes -q " + Quote(file),
                                   state + ".out");
            good = good && t.ok;
            (pacedRun ? paced : unpaced).push_back(t);
        }
    }
    const auto all = [&](bool pacedRun) {
        const std::string state = (work / (pacedRun ? "paced-all" : "plain-all")).string();
        return Timed((pacedRun ? "BRIGANT_SIM_PACE=" + pace + " " : std::string()) + home + Quote(fw) + sims +
                         " --sim-state " + Quote(state) + " update --all --yes -q" + files,
                     state + ".out");
    };
    const Timing pacedAll = pacedRuns ? all(true) : Timing{}, plainAll = all(false);
    good = good && (pacedAll.ok || !pacedRuns) && plainAll.ok;

    std::printf("%-22s %-34s %9s %9s %9s\n", "family", "preset", "simulated", "wall", "unpaced");
    auto row = [](const char *family, const char *preset, std::uint64_t simMs, double wall, double plain) {
        std::printf("%-22s %-34s %7.2f s %7.2f s %7.3f s\n", family, preset, simMs / 1000.0, wall, plain);
    };
    Timing slowestSim, slowestWall;
    double slowestPlain = 0;
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        // The simulated time does not depend on the pace.
        row(kRows[i].family, kRows[i].preset, unpaced[i].simMs, paced[i].wallS, unpaced[i].wallS);
        slowestSim.simMs = std::max(slowestSim.simMs, unpaced[i].simMs);
        slowestWall.wallS = std::max(slowestWall.wallS, paced[i].wallS);
        slowestPlain = std::max(slowestPlain, unpaced[i].wallS);
    }
    row("update --all", "the 8 at once", plainAll.simMs, pacedAll.wallS, plainAll.wallS);
    const double simRatio = slowestSim.simMs ? double(plainAll.simMs) / double(slowestSim.simMs) : 0;
    const double wallRatio = slowestWall.wallS > 0 ? pacedAll.wallS / slowestWall.wallS : 0;
    std::printf("\nsimulated time: %.2f x the slowest single update (at most 1.20)\n", simRatio);
    if (pacedRuns)
        std::printf("wall time, waits paced 1/%s: %.2f x the slowest single update (at most 1.50)\n",
                    pace.c_str(), wallRatio);
    else
        std::printf("wall time: not judged (PACE 0)\n");
    std::printf("wall time, unpaced (host work only): %.2f x the slowest single update (not judged)\n",
                slowestPlain > 0 ? plainAll.wallS / slowestPlain : 0);
    if (!good)
        std::printf("a run failed: see %s\n", work.c_str());
    return good && simRatio <= 1.2 && (!pacedRuns || wallRatio <= 1.5) ? 0 : 1;
}
