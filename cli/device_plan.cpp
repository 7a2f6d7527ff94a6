// update --all's plan for one bridge: what update FILE (or --embedded) would
// do with it, decided as the verb decides it, before anything is written.
#include "app/one_button.h"
#include "app/quiet_host.h"
#include "cli/update_all.h"
#include "cli/update_verbs.h"
#include "cli/user_text.h"
#include "image/firmware_version.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brigant::cli
{

namespace
{

// The plan for `file` on `bridge`, as update FILE
// decides it: Update, Current, or Skip with the reason.
DevicePlan PlanOneFile(const ChosenBridge &bridge, const std::string &file, const AllOptions &options,
                       DevicePlan plan, const std::function<const std::vector<std::uint8_t> *()> &readStore)
{
    PlanRequest asked = UpdateRequest(bridge.state, bridge.settings, bridge.candidateCount, file,
                                      options.includeNvram, options.readWriteBuffer, options.versions);
    asked.transfer = bridge.transfer;
    asked.changedOnly = options.changedOnly;
    asked.readStore = readStore;
    // Each unit gets its own serial number later; the plan asks whether the
    // bridge takes one at all.
    if (options.serials) {
        AskSerial(asked.run, "-");
        asked.productSerial = true;
    }
    const UpdatePlan decided = PlanUpdate(bridge.state, bridge.entry, asked);
    plan.file = file;
    plan.finishing = decided.finishing.has_value();
    plan.storeHoldsFile = decided.storeHoldsFile;
    plan.madeForIt = decided.madeForIt;
    plan.layout = decided.layout;
    if (decided.madeForIt)
        plan.to = decided.to.empty() ? "unknown" : UserVersion(decided.to);
    plan.reason = decided.reason;
    plan.refusal = decided.refusal;
    if (decided.refusal == PlanRefusal::FlashRefusesFile)
        plan.reason = "the file does not fit this bridge's flash";
    plan.action = decided.writes()                            ? DevicePlan::Action::Update
                  : decided.action == PlanAction::NothingToDo ? DevicePlan::Action::Current
                                                              : DevicePlan::Action::Skip;
    return plan;
}

} // namespace

DevicePlan PlanDeviceUpdate(const ChosenBridge &bridge, const AllOptions &options, int index)
{
    DevicePlan plan;
    plan.index = index;
    const SelectedBridge &selected = bridge.state.bridge;
    plan.path = bridge.entry.path;
    plan.chip = selected.series.empty() ? "unknown" : selected.series;
    plan.typeCode = bridge.state.chip.ChipTypeCode;
    plan.from = selected.version.empty() ? "unknown" : UserVersion(selected.version);
    plan.to = "unknown";
    if (options.embedded) {
        // The one-button face's verdict on the bridge, as update --embedded takes it.
        const OneButtonDecision decided =
            DecideOneButton(bridge.entry, bridge.state.chip.ChipTypeCode, false);
        plan.to = UserVersion(BuiltInImageVersion());
        const OneButtonState state = decided.state;
        if (decided.buttonEnabled && state != OneButtonState::RunsFromRom)
            plan.action = DevicePlan::Action::Update;
        else if (state == OneButtonState::Current)
            plan.action = DevicePlan::Action::Current;
        plan.reason =
            plan.action == DevicePlan::Action::Update ? "" : DescribeOneButton(state, false, plan.index).text;
        return plan;
    }
    if (!selected.supported) {
        plan.reason = "this bridge cannot be updated (chip type code " + std::to_string(plan.typeCode) + ")";
        plan.refusal = PlanRefusal::NotSupported;
        return plan;
    }
    // The first file that fits; when none does, a file made for this model
    // that is refused for another reason (a version, an option) says most.
    DevicePlan best = plan;
    bool chosen = false;
    // The flash, read once for every file that needs it (and not kept).
    std::optional<StoreRead> store;
    const auto readStore = [&]() -> const std::vector<std::uint8_t> * {
        if (!store) {
            QuietHost host(bridge.transfer);
            store = ReadStore(VerbRequest(bridge.state, bridge.settings, bridge.candidateCount,
                                          ToolMode::Program, "", options.includeNvram),
                              bridge.entry.bus, bridge.entry.path, host, selected.series, false);
        }
        return store->bytes.empty() ? nullptr : &store->bytes;
    };
    for (const std::string &file : options.files) {
        const DevicePlan tried = PlanOneFile(bridge, file, options, plan, readStore);
        if (tried.action == DevicePlan::Action::Update)
            return tried;
        const auto rank = [](const DevicePlan &p) {
            return p.action == DevicePlan::Action::Current ? 2 : p.madeForIt ? 1 : 0;
        };
        if (!chosen || rank(tried) > rank(best))
            best = tried;
        chosen = true;
    }
    // Of files made for other models, what one of them does not match says
    // nothing about this bridge: only that none is made for it.
    if (best.action == DevicePlan::Action::Skip && options.files.size() > 1)
        best.reason = best.madeForIt ? best.file + ": " + best.reason
                                     : "none of the " + std::to_string(options.files.size()) +
                                           " files is made for this bridge";
    return best;
}

} // namespace brigant::cli
