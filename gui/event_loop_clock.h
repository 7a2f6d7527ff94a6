#pragma once
// The program clock of the window: real time, but a wait keeps the Qt event
// loop running, so the window repaints, timers fire and device changes arrive
// while a handler sleeps (as a window thread that processes its pending
// messages would).
#include "common/clock.h"

#include <chrono>

namespace brigant::gui
{

class EventLoopClock final : public Clock
{
  public:
    EventLoopClock();
    std::uint64_t nowMs() const override;
    // Runs a nested event loop until `ms` have passed; 0 just processes what is pending.
    void sleepMs(std::uint32_t ms) override;

  private:
    std::chrono::steady_clock::time_point origin_;
};

} // namespace brigant::gui
