// Firmware files of the chip presets: written into a bridge's flash where the
// family keeps its firmware, they are what the bridge starts.
#include "common/clock.h"
#include "sim/chip_presets.h"
#include "sim/simulation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace brigant;
using namespace brigant::sim;

namespace
{

namespace fs = std::filesystem;

TEST(SimImageFile, TheBridgeStartsTheFileFromItsFlash)
{
    struct Case {
        const char *spec;
        std::uint32_t offset;  // where the file goes into the flash
        std::size_t versionAt; // chip information bytes showing the version
        std::vector<std::uint8_t> version;
    };
    const Case cases[] = {
        {"juniper:version=9.8", 0x1000, 6, {9, 8}},
        {"juniper:nvram=1,version=9.8", 0, 6, {9, 8}},
        {"maple:nvram=1,ext=7.6.5.4", 0, 12, {7, 6, 5, 4}},
        {"alder:version=9.8", 0, 6, {9, 8}},
        {"ginkgo:version=9.8", 0x1000, 6, {9, 8}},
        {"larch:version=9.8", 0, 6, {9, 8}},
        {"nutmeg:ext=7.6.5.4", 0, 12, {7, 6, 5, 4}},
        {"quince:exttext=2345", 0, 12, {'2', '3', '4', '5'}},
        {"oak:version=9.8", 0, 6, {9, 8}},
        {"baobab:version=9.8", 0, 6, {9, 8}},
    };
    const fs::path dir = fs::temp_directory_path() / ("brigant-sim-image-" + std::to_string(::getpid()));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.spec);
        PresetSpec spec;
        PresetFirmwareFile file;
        std::string error;
        ASSERT_TRUE(ParsePresetSpec(c.spec, spec, error));
        ASSERT_TRUE(MakePresetFirmwareFile(spec, file, error)) << error;
        EXPECT_EQ(file.flashOffset, c.offset);

        // The preset as delivered runs another version.
        VirtualClock clock;
        Simulation simulation(clock);
        ASSERT_FALSE(simulation.add(spec.name, error).empty()) << error;
        SimBridge &bridge = *simulation.bridges()[0];
        const auto shown = [&] {
            const auto &info = bridge.identity().chipInfo;
            return std::vector<std::uint8_t>(info.begin() + static_cast<std::ptrdiff_t>(c.versionAt),
                                             info.begin() +
                                                 static_cast<std::ptrdiff_t>(c.versionAt + c.version.size()));
        };
        ASSERT_NE(shown(), c.version);

        // A flash that holds nothing but the file, kept as --sim-state keeps it.
        std::vector<std::uint8_t> flash(bridge.flash().contents().size(), 0xFF);
        ASSERT_LE(file.flashOffset + file.bytes.size(), flash.size());
        std::copy(file.bytes.begin(), file.bytes.end(), flash.begin() + file.flashOffset);
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir / "flash.bin", std::ios::binary)
            .write(reinterpret_cast<const char *>(flash.data()), static_cast<std::streamsize>(flash.size()));
        ASSERT_TRUE(simulation.loadState(dir.string(), error)) << error;
        EXPECT_EQ(shown(), c.version);
    }
    fs::remove_all(dir);
}

TEST(SimImageFile, RefusesWhatHasNoFile)
{
    for (const char *text :
         {"generic", "plain-disk", "nosuch", "nutmeg:nvram=1", "quince:colour=red", "quince:nvram=2"}) {
        PresetSpec spec;
        PresetFirmwareFile file;
        std::string error;
        ASSERT_TRUE(ParsePresetSpec(text, spec, error));
        EXPECT_FALSE(MakePresetFirmwareFile(spec, file, error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
