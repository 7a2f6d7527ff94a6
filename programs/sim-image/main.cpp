// brigant-sim-image: writes the firmware file of a simulated bridge's family.
#include "sim/chip_presets.h"
#include "sim/presets.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace
{

constexpr int kExitWritten = 0;
constexpr int kExitWriteFailed = 1;
constexpr int kExitUsage = 2;

int Usage(const char *why)
{
    if (why)
        std::cerr << "error: " << why << "\n";
    std::cerr << "usage: brigant-sim-image PRESET[:key=value,...] -o FILE\n"
                 "  Writes the firmware file of the chip preset's family (brigant-fw --simulate help\n"
                 "  lists the presets), with the version its options give (version, ext, exttext,\n"
                 "  build, tag, rev, level, altlevel); nvram=1 puts a 4 KiB NVRAM area in front\n"
                 "  for the families whose flash keeps one before the firmware.\n";
    return kExitUsage;
}

} // namespace

int main(int argc, char **argv)
{
    std::string specText, output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            Usage(nullptr);
            return kExitWritten;
        }
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc)
                return Usage("-o needs a file name");
            output = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (specText.empty()) {
            specText = arg;
        } else {
            return Usage("give one preset");
        }
    }
    if (specText.empty() || output.empty())
        return Usage(specText.empty() ? "no preset given" : "no output file given (-o FILE)");

    brigant::sim::PresetSpec spec;
    brigant::sim::PresetFirmwareFile file;
    std::string error;
    if (!brigant::sim::ParsePresetSpec(specText, spec, error) ||
        !brigant::sim::MakePresetFirmwareFile(spec, file, error)) {
        std::cerr << "error: " << specText << ": " << error << "\n";
        return kExitUsage;
    }

    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(file.bytes.data()),
              static_cast<std::streamsize>(file.bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "error: cannot write " << output << ": " << std::strerror(errno) << "\n";
        return kExitWriteFailed;
    }
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%X", file.flashOffset);
    std::cout << output << ": " << file.bytes.size() << " bytes for chip type code " << file.code
              << ", written into the flash at " << offset << "\n";
    return kExitWritten;
}
