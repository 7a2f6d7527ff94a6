// Host cost per command through the whole stack on the simulator: window
// handlers, update procedure, bridge commands, transport and the simulated
// bridge with its flash model, in one process on virtual time (no wait
// sleeps, so the wall time is the host's work alone). Measures an
// identification (the Refresh Device action on a code-16 and a code-13
// bridge: discovery, identification, flash probes, version) and a
// firmware-assisted update of a code-13 bridge from a file (the window's Run,
// NVRAM kept).
//
//   brigant-host-bench [ROUNDS]
//
// Prints the median over ROUNDS (default 9) of microseconds of CPU time per
// command and commands per second for each.
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/one_button.h"
#include "app/run_dispatch.h"
#include "common/clock.h"
#include "forms/headless_ui.h"
#include "model/fwupdate.h"
#include "sim/chip_presets.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace brigant;

namespace
{

// The thread's CPU time: the host's work, whatever else the machine runs.
double CpuMicroseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// One simulated bridge behind the transport, and the window, as brigant-fw
// builds them for --simulate.
struct World {
    explicit World(const std::string &preset)
    {
        std::string error;
        path = simulation.add(preset, error);
        if (path.empty()) {
            std::fprintf(stderr, "%s: %s\n", preset.c_str(), error.c_str());
            std::exit(2);
        }
        services.clock(&clock).backend(&simulation.backend()).diskEnumerator(&enumerator).ui(&ui);
        WireMainWindow(*form);
    }
    std::uint64_t commands() { return simulation.backend().commandCount(path); }

    VirtualClock clock;
    sim::Simulation simulation{clock};
    sim::SimDiskEnumerator enumerator{simulation};
    std::ostringstream sink;
    forms::HeadlessUi ui{clock, &sink, &sink};
    InstalledServices services;
    std::unique_ptr<TBrigantFwTool> form = std::make_unique<TBrigantFwTool>();
    std::string path;
};

struct Sample {
    double us = 0;
    std::uint64_t commands = 0;
    double usPerCommand() const { return us / static_cast<double>(commands); }
};

// `times` runs back to back, counted as one sample (per run: us / times).
Sample Timed(World &world, void (*run)(TBrigantFwTool &), int times = 1)
{
    const std::uint64_t before = world.commands();
    const double t0 = CpuMicroseconds();
    for (int i = 0; i < times; ++i)
        run(*world.form);
    const double t1 = CpuMicroseconds();
    return {(t1 - t0) / times, (world.commands() - before) / static_cast<std::uint64_t>(times)};
}

void Report(const char *what, std::vector<Sample> samples)
{
    std::sort(samples.begin(), samples.end(),
              [](const Sample &a, const Sample &b) { return a.usPerCommand() < b.usPerCommand(); });
    const Sample &median = samples[samples.size() / 2];
    std::printf("%-44s %6llu commands  %9.1f us/run  %6.2f us/command  %9.0f commands/s  (min %.2f, max %.2f "
                "us/command, %zu rounds)\n",
                what, static_cast<unsigned long long>(median.commands), median.us, median.usPerCommand(),
                1e6 / median.usPerCommand(), samples.front().usPerCommand(), samples.back().usPerCommand(),
                samples.size());
}

std::string WriteFirmwareFile(const std::string &specText)
{
    sim::PresetSpec spec;
    sim::PresetFirmwareFile file;
    std::string error;
    if (!sim::ParsePresetSpec(specText, spec, error) || !sim::MakePresetFirmwareFile(spec, file, error)) {
        std::fprintf(stderr, "%s: %s\n", specText.c_str(), error.c_str());
        std::exit(2);
    }
    const auto path = std::filesystem::temp_directory_path() / "brigant-host-bench.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(file.bytes.data()),
               static_cast<std::streamsize>(file.bytes.size()));
    return path.string();
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: %s [ROUNDS]\n", argv[0]);
        return 2;
    }

    // Identification: the same world refreshed again and again, 1000 times a
    // sample (each refresh is a full discovery and identification of the one
    // bridge; the bridge answers READ BUFFER at once after its first one). The
    // code-13 bridge's refresh also checks both firmware banks (128 KiB read).
    for (const char *preset : {"quince", "nutmeg"}) {
        World world(preset);
        RefreshBtnClick(*world.form); // warm-up
        std::vector<Sample> samples;
        for (int r = 0; r < rounds; ++r)
            samples.push_back(Timed(world, RefreshBtnClick, 1000));
        if (world.form->listedCount != 1) {
            std::fprintf(stderr, "identification: the bridge was not listed\n");
            return 1;
        }
        Report((std::string("identification (Refresh Device, ") + preset + ")").c_str(), samples);
    }

    // Update: a fresh bridge per round (the update resets it, and it leaves
    // the bus), selected and given the file as the window would be.
    {
        const std::string file = WriteFirmwareFile("nutmeg:ext=2.3.4.5");
        std::vector<Sample> samples;
        for (int r = 0; r <= rounds; ++r) {
            World world("nutmeg");
            TBrigantFwTool &w = *world.form;
            RefreshBtnClick(w);
            world.ui.queueDialogAnswer(file);
            w.LoadBtn.click();
            w.NVRAMCheck.setChecked(false);
            const Sample s = Timed(world, UpdateBtnClick);
            if (w.runResult != 1) {
                std::fprintf(stderr, "update: the run failed: %s\n", w.StatusEdit.text().c_str());
                return 1;
            }
            if (r > 0) // the first round warms up
                samples.push_back(s);
        }
        std::filesystem::remove(file);
        Report("update (Run from a file, nutmeg)", samples);
    }
    return 0;
}
