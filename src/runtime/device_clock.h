#pragma once
// Time of the simulated bridges behind a window: real time, plus every wait
// the bridges' own firmware makes while it executes a command (flash busy
// polls), which costs nothing. A simulated command thus never sleeps and never
// lets the window's events run in the middle of it (a real command blocks in
// the kernel, with no window code running), while delays the bridges schedule
// on the bus, such as coming back 1500 ms after a reset, pass in real time
// alongside the program's own waits.
#include "common/clock.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace brigant::runtime
{

class DeviceClock final : public Clock
{
  public:
    DeviceClock() : origin_(std::chrono::steady_clock::now()) {}
    std::uint64_t nowMs() const override
    {
        const auto real = std::chrono::steady_clock::now() - origin_;
        return static_cast<std::uint64_t>(
                   std::chrono::duration_cast<std::chrono::milliseconds>(real).count()) +
               skippedMs_;
    }
    void sleepMs(std::uint32_t ms) override { skippedMs_ += ms; }

  private:
    std::chrono::steady_clock::time_point origin_;
    std::uint64_t skippedMs_ = 0;
};

// Virtual time that also passes for real, `pace` times faster: the waits of
// simulated bridges then take real time, as a real bridge's flash does, so
// that wall-clock measurements of simulated runs mean something. Real time
// follows the virtual clock from the first wait on, without drift.
class PacedClock final : public Clock
{
  public:
    explicit PacedClock(std::uint32_t pace)
        : pace_(pace == 0 ? 1 : pace), origin_(std::chrono::steady_clock::now())
    {
    }
    std::uint64_t nowMs() const override { return now_; }
    void sleepMs(std::uint32_t ms) override
    {
        now_ += ms;
        std::this_thread::sleep_until(origin_ + std::chrono::microseconds(now_ * 1000 / pace_));
    }

  private:
    std::uint64_t now_ = 0;
    std::uint32_t pace_;
    std::chrono::steady_clock::time_point origin_;
};

} // namespace brigant::runtime
