// The holder of the process-wide services: what it installs is in force while
// it lives, and what was there before is back when it goes, nested or not.
#include "app/installed_services.h"
#include "common/clock.h"
#include "common/debug_log.h"
#include "device/transport.h"

#include "recording_backend.h"
#include "recording_ui.h"

#include <gtest/gtest.h>

using namespace brigant;

namespace
{

class NoDisks final : public DiskEnumerator
{
  public:
    bool listDisks(std::vector<DiskInterface> &) override { return true; }
    bool listMountedVolumes(std::vector<MountedVolume> &) override { return true; }
};

TEST(InstalledServices, NestedHoldersPutBackWhatWasThereBefore)
{
    Clock &realClock = ProgramClock();
    VirtualClock outerClock, innerClock;
    test::RecordingBackend outerBackend, innerBackend;
    NoDisks disks;
    test::RecordingUi ui; // installs itself
    SilentUiServices silent;
    std::FILE *trace = std::tmpfile();
    {
        InstalledServices outer;
        outer.clock(&outerClock)
            .backend(&outerBackend)
            .diskEnumerator(&disks)
            .commandTrace(trace)
            .debugSink(stderr)
            .ui(&silent);
        {
            InstalledServices inner;
            inner.clock(&innerClock).backend(&innerBackend);
            inner.backend(nullptr); // a second setter keeps the first one's predecessor
            EXPECT_EQ(&ProgramClock(), &innerClock);
            EXPECT_EQ(TransportBackend(), nullptr);
            EXPECT_EQ(CurrentDiskEnumerator(), &disks);
        }
        EXPECT_EQ(&ProgramClock(), &outerClock);
        EXPECT_EQ(TransportBackend(), &outerBackend);
        EXPECT_EQ(CommandTraceSink(), trace);
        EXPECT_EQ(DebugSink(), stderr);
        EXPECT_EQ(&Ui(), &silent);
    }
    EXPECT_EQ(&Ui(), &ui);
    EXPECT_EQ(&ProgramClock(), &realClock);
    EXPECT_EQ(TransportBackend(), nullptr);
    EXPECT_EQ(CurrentDiskEnumerator(), nullptr);
    EXPECT_EQ(CommandTraceSink(), nullptr);
    EXPECT_EQ(DebugSink(), nullptr);
    std::fclose(trace);
}

} // namespace
