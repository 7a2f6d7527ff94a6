#pragma once
// brigant-fw's options and sub-commands, and the checks on them that need no
// device: everything between argv and the chosen sub-command's action.
#include "cli/cli_context.h"

#include <CLI/CLI.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace brigant::cli
{

struct CommandLine {
    CommandLine();
    CommandLine(const CommandLine &) = delete;
    CommandLine &operator=(const CommandLine &) = delete;

    CliContext ctx;
    std::string helperProgram; // --helper=PROGRAM
    CLI::App app;
    CLI::Option *helperOption = nullptr;
    CLI::Option *traceOption = nullptr;
};

// Parses argv into `line`. Returns nothing when the sub-command's action is to
// run, or the exit code when the run ends here: help, version, the preset
// list, or a usage error (already explained on `out` / `err`).
std::optional<int> ParseCommandLine(CommandLine &line, int argc, const char *const *argv, std::ostream &out,
                                    std::ostream &err);

} // namespace brigant::cli
