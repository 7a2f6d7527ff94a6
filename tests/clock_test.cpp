#include "common/clock.h"

#include <gtest/gtest.h>

using namespace brigant;

TEST(ProgramClock, SleepsOnTheInstalledClockOnly)
{
    VirtualClock clock;
    SetProgramClock(&clock);
    SleepMs(10);
    SleepMs(2500);
    EXPECT_EQ(clock.nowMs(), 2510u);
    SetProgramClock(nullptr);
    EXPECT_NE(&ProgramClock(), &clock);
}
