// What guards a write: the wait for the bridge that was reset when another
// bridge is attached, and the guard that writes nothing when a filesystem is
// mounted, the user declines or the backup fails.
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/one_button.h"
#include "app/window_run.h"
#include "app/write_guard.h"
#include "common/clock.h"
#include "forms/headless_ui.h"
#include "model/fwupdate.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"
#include "update/assisted/buffer_transfer.h"

#include <gtest/gtest.h>

#include <memory>

using namespace brigant;
using namespace brigant::sim;

namespace
{

class TwoBridges : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        services.clock(&clock).backend(&simulation.backend()).ui(&ui);
        std::string error;
        first = simulation.add("quince", error);
        second = simulation.add(secondSpec(), error);
        ASSERT_FALSE(second.empty()) << error;
        enumerator = std::make_unique<SimDiskEnumerator>(simulation);
        services.diskEnumerator(enumerator.get());
        form = std::make_unique<TBrigantFwTool>();
        WireMainWindow(*form);
        RefreshBtnClick(*form);
        ASSERT_EQ(form->listedCount, 2);
        form->DeviceList.setItemIndex(1);
    }
    virtual std::string secondSpec() const { return "quince:mount=/media/José"; }

    VirtualClock clock;
    Simulation simulation{clock};
    forms::HeadlessUi ui{clock, nullptr};
    InstalledServices services;
    std::unique_ptr<SimDiskEnumerator> enumerator;
    std::unique_ptr<TBrigantFwTool> form;
    std::string first, second;
};

TEST_F(TwoBridges, TheWaitIsForTheBridgeThatWasResetUnderItsNewPath)
{
    simulation.backend().setRenumberOnReattach(true);
    const SimDevice *reset = simulation.backend().device(second).get();
    const std::uint64_t start = clock.nowMs();
    WindowRunHost formHost(*form);
    ASSERT_EQ(ResetAndWaitReattach(RequestFromWindow(*form), formHost, second), 1);
    // The other bridge was there all along: only the reset one's return ends the wait.
    EXPECT_GE(clock.nowMs() - start, Simulation::kReattachDelayMs);
    const std::string now = simulation.backend().pathOf(reset);
    EXPECT_NE(now, second);
    EXPECT_EQ(form->selectedEntry().path, now);
    EXPECT_EQ(form->devices[0].path, first);
}

TEST_F(TwoBridges, ABridgeThatNeverComesBackFailsTheWaitAndSaysSo)
{
    FaultRule lost = Fault(FaultRule::Kind::PowerLoss);
    lost.cdbPrefix = {0xFF, 0x04, 0x26}; // the reset command
    simulation.backend().addFault(second, lost);
    WindowRunHost formHost(*form);
    EXPECT_EQ(ResetAndWaitReattach(RequestFromWindow(*form), formHost, second), 0);
    EXPECT_NE(form->StatusEdit.text().find("did not come back"), std::string::npos);
}

TEST_F(TwoBridges, TheGuardWritesNothingWhenStopped)
{
    struct Case {
        const char *name;
        bool allowMounted;
        bool answer;
        BackupResult::Outcome backup;
        GuardedRun::Stop stop;
        bool written;
    };
    using O = BackupResult::Outcome;
    using S = GuardedRun::Stop;
    const Case cases[] = {
        {"mounted", false, true, O::Saved, S::Mounted, false},
        {"declined", true, false, O::Saved, S::Declined, false},
        {"backup failed", true, true, O::Failed, S::BackupFailed, false},
        {"from ROM: nothing to read, goes on", true, true, O::NothingToRead, S::None, true},
        {"forced and backed up", true, true, O::Saved, S::None, true},
    };
    for (const Case &c : cases) {
        WriteGuard guard;
        guard.allowMounted = c.allowMounted;
        guard.confirm = [&c](const WritePlan &) { return c.answer; };
        bool written = false;
        bool backedUp = false;
        const GuardedRun run = RunGuarded(
            *form, DescribeWrite(*form, "test"), guard,
            [&] {
                backedUp = true;
                BackupResult r;
                r.outcome = c.backup;
                return r;
            },
            [&] {
                EXPECT_EQ(CurrentWritePhase(), WritePhase::Writing);
                written = true;
            });
        EXPECT_EQ(run.stop, c.stop) << c.name;
        EXPECT_EQ(written, c.written) << c.name;
        EXPECT_EQ(backedUp, c.allowMounted && c.answer) << c.name;
        EXPECT_EQ(CurrentWritePhase(), WritePhase::Idle) << c.name;
    }
    // The mount point is named, non-ASCII as it is; the first bridge has none.
    bool known = false;
    EXPECT_EQ(MountedFilesystems(second, known), std::vector<std::string>{"/media/José"});
    EXPECT_TRUE(known);
    EXPECT_TRUE(MountedFilesystems(first, known).empty());
}

TEST(BackupNames, HoldSeriesDeviceAndTimeInFileNameCharacters)
{
    const std::time_t when = 0;
    const std::string name = BackupFileName("Quince Series", "sim:sg0", when);
    EXPECT_EQ(name.rfind("Quince-Series_sim-sg0_19", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".bin");
    EXPECT_EQ(BackupFileName("../x", "/dev/sg2", when).find('/'), std::string::npos);
}

} // namespace
