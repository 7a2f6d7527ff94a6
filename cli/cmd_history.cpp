// brigant-fw history: the update journal's entries, the writes that finished
// and those that were cut, oldest first.
#include "app/update_journal.h"
#include "cli/cli_context.h"
#include "cli/user_text.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

namespace brigant::cli
{

namespace
{

struct HistoryArgs {
    bool json = false;
};

// The step for an open entry read from the journal alone, the bridge not at
// hand: its firmware is taken as running (list and info, which ask the
// bridge, say so when it runs from its ROM).
NextStep OfflineStep(const JournalEntry &e)
{
    return NextStepFor(BridgeRuns::Firmware, -1, e, static_cast<std::uint8_t>(e.chipCode));
}

nlohmann::json EntryJson(const JournalEntry &e)
{
    return {{"started", JournalTimeText(e.started)},
            {"finished", e.open() ? nlohmann::json() : nlohmann::json(JournalTimeText(e.finished))},
            {"state", e.open()             ? "open"
                      : e.closedBy.empty() ? "finished"
                                           : e.closedBy},
            {"action", e.action},
            {"bridge", e.bridge},
            {"device", e.device},
            {"chip", {{"name", e.series}, {"typeCode", e.chipCode}}},
            {"firmware", e.firmware.empty() ? nlohmann::json() : nlohmann::json(e.firmware)},
            {"sha256", e.sha256.empty() ? nlohmann::json() : nlohmann::json(e.sha256)},
            {"builtInImage", e.builtIn.empty() ? nlohmann::json() : nlohmann::json(UserVersion(e.builtIn))},
            {"backup", e.backup.empty() ? nlohmann::json() : nlohmann::json(e.backup)},
            {"backupSha256", e.backupSha256.empty() ? nlohmann::json() : nlohmann::json(e.backupSha256)},
            {"from", e.from.empty() ? nlohmann::json() : nlohmann::json(e.from)},
            {"to", e.to.empty() ? nlohmann::json() : nlohmann::json(e.to)},
            {"settingsKept", e.settings.size()},
            {"finishWith", e.open() ? nlohmann::json(OfflineStep(e).command) : nlohmann::json()},
            {"journal", e.file}};
}

int RunHistory(const HistoryArgs &args)
{
    const std::vector<JournalEntry> entries = ReadJournal();
    if (args.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const JournalEntry &e : entries)
            list.push_back(EntryJson(e));
        std::cout << JsonText({{"verb", "history"}, {"journal", JournalDirectory()}, {"entries", list}});
        return kExitOk;
    }
    if (entries.empty()) {
        std::cout << "no updates in the journal (" << JournalDirectory() << ")\n";
        return kExitOk;
    }
    for (const JournalEntry &e : entries) {
        std::cout << JournalTimeText(e.started) << "  " << e.action << " of " << e.bridge;
        if (e.device != e.bridge)
            std::cout << " (" << e.device << ")";
        std::cout << ", " << (e.series.empty() ? "unknown" : e.series) << " (code " << e.chipCode << ")\n";
        std::cout << "    wrote:    " << JournalWriteText(e) << "\n";
        if (!e.from.empty() || !e.to.empty())
            std::cout << "    version:  " << (e.from.empty() ? "unknown" : e.from) << " -> "
                      << (e.to.empty() ? "unknown" : e.to) << "\n";
        if (!e.backup.empty())
            std::cout << "    backup:   " << e.backup << "\n";
        if (e.open())
            std::cout << "    result:   NOT FINISHED: `" << OfflineStep(e).command << "` finishes it\n";
        else
            std::cout << "    result:   " << JournalStateText(e) << "\n";
    }
    return kExitOk;
}

} // namespace

void RegisterHistoryCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<HistoryArgs>();
    CLI::App *cmd =
        app.add_subcommand("history", "List the update journal: every write to a bridge, finished "
                                      "or cut, with its file and backup");
    cmd->add_flag("--json", args->json, "Print the journal as JSON (UTF-8)");
    cmd->callback([&ctx, args] { ctx.action = [args] { return RunHistory(*args); }; });
}

} // namespace brigant::cli
