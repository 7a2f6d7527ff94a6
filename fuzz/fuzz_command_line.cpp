// Fuzzes brigant-fw's command line: the input is an argument vector, its
// arguments separated by NUL bytes. Parsing either ends the run with an exit
// code (help, version, usage error) or leaves an action to run; the action is
// never run, so nothing here reaches a device or writes a file.
#include "cli/command_line.h"
#include "fuzz_require.h"
#include "sim/presets.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using namespace brigant;
using brigant::fuzz::Require;

namespace
{

constexpr std::size_t kMaxArguments = 24;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> args{"brigant-fw"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
            if (args.size() > kMaxArguments)
                return 0;
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty())
        args.push_back(current);
    std::vector<const char *> argv;
    for (const auto &arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    cli::CommandLine line;
    std::ostringstream out, err;
    const auto code = cli::ParseCommandLine(line, static_cast<int>(args.size()), argv.data(), out, err);
    if (code) {
        // Only help, version and the preset list end a run successfully, and
        // they print something; a usage error says why.
        Require(*code == cli::kExitOk || *code == cli::kExitUsage);
        Require(*code != cli::kExitOk || !out.str().empty());
        Require(*code != cli::kExitUsage || !err.str().empty());
        return 0;
    }
    Require(static_cast<bool>(line.ctx.action));
    Require(!(line.ctx.quiet && line.ctx.verbose));
    // What --simulate hands to the simulator is parsed next: it must either
    // parse or give a reason.
    for (const auto &spec : line.ctx.simulate) {
        sim::PresetSpec parsed;
        std::string error;
        Require(sim::ParsePresetSpec(spec, parsed, error) != error.size() > 0);
    }
    return 0;
}
