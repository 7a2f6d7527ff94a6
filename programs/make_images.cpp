// Build step: writes the firmware images the program carries. By default they
// are made here (our own images, see sim/firmware_builder.h); a distributor can
// name real image files instead, which are copied after a size check.
//
//   brigant-make-images OUTDIR VERSION [NAME=FILE ...]
//
// VERSION is four digits (bytes 25-28 of the update image, as ASCII digits).
#include "sim/firmware_builder.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

using brigant::sim::BuildBankImage;
using brigant::sim::BuildUpdateImage;
using brigant::sim::FirmwareSpec;

namespace
{

struct ImageDef {
    const char *name;
    unsigned code;
    const char *tag;
    char rom;
    std::size_t size;
};

const ImageDef kImages[] = {
    {"FW_FOR_UPDATE", 16, "S6Q", '0', 0x40000},   {"PINE_ROM0_MFG", 15, "S6P", '0', 0x10000},
    {"QUINCE_ROM0_MFG", 16, "S6Q", '0', 0x10000}, {"PINE_ROM1_MFG", 15, "S6P", '1', 0x10000},
    {"QUINCE_ROM1_MFG", 16, "S6Q", '1', 0x10000}, {"ROWAN_ROM1_MFG", 17, "S6R", '1', 0x10000},
    {"SPRUCE_ROM1_MFG", 18, "S6S", '1', 0x10000},
};

bool Write(const std::string &file, const std::vector<std::uint8_t> &data)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out.flush());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR VERSION [NAME=FILE ...]\n", argv[0]);
        return 2;
    }
    const std::string outDir = argv[1];
    const std::string version = argv[2];
    if (version.size() != 4 || version.find_first_not_of("0123456789") != std::string::npos) {
        std::fprintf(stderr, "version must be four digits, got '%s'\n", version.c_str());
        return 2;
    }
    std::map<std::string, std::string> supplied;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (eq == std::string::npos || eq + 1 == arg.size())
            continue; // NAME= with no file: make the image here
        supplied[arg.substr(0, eq)] = arg.substr(eq + 1);
    }

    for (const ImageDef &def : kImages) {
        std::vector<std::uint8_t> data;
        auto it = supplied.find(def.name);
        if (it != supplied.end()) {
            std::ifstream in(it->second, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s for %s\n", it->second.c_str(), def.name);
                return 1;
            }
            data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (data.size() != def.size) {
                std::fprintf(stderr, "%s has %zu bytes; %s must have %zu\n", it->second.c_str(), data.size(),
                             def.name, def.size);
                return 1;
            }
        } else {
            FirmwareSpec spec;
            spec.chipCode = def.code;
            spec.tag = def.tag;
            spec.revision = def.rom;
            spec.seed = static_cast<std::uint32_t>(def.size) ^ static_cast<std::uint32_t>(def.rom);
            if (def.size == 0x40000) {
                for (int i = 0; i < 4; ++i)
                    spec.version[static_cast<std::size_t>(i)] =
                        static_cast<std::uint8_t>(version[static_cast<std::size_t>(i)]);
                data = BuildUpdateImage(spec);
            } else {
                spec.version = {'M', 'F', 'G', static_cast<std::uint8_t>(def.rom)};
                data = BuildBankImage(spec);
            }
        }
        const std::string file = outDir + "/" + def.name + ".bin";
        if (!Write(file, data)) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return 1;
        }
    }
    return 0;
}
