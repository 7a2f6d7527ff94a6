#pragma once
// Every wait in the program goes through a Clock, so tests and simulations
// run on virtual time while production sleeps for real.
#include <cstdint>
#include <string>

namespace brigant
{

class Clock
{
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary, fixed origin.
    virtual std::uint64_t nowMs() const = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
};

// Sleeps on the system's monotonic clock.
class RealClock final : public Clock
{
  public:
    std::uint64_t nowMs() const override;
    void sleepMs(std::uint32_t ms) override;
};

// Time advances only when somebody sleeps (or calls advance); no real time passes.
class VirtualClock final : public Clock
{
  public:
    std::uint64_t nowMs() const override { return now_; }
    void sleepMs(std::uint32_t ms) override { now_ += ms; }
    void advance(std::uint64_t ms) { now_ += ms; }

  private:
    std::uint64_t now_ = 0;
};

// The process-wide clock used by the program's plain routines. Defaults to a
// RealClock; tests and the simulator install a VirtualClock.
Clock &ProgramClock();
void SetProgramClock(Clock *clock); // nullptr restores the real clock

// Sleep on the program clock.
void SleepMs(std::uint32_t ms);

// The wall-clock time now, UTC, as ISO 8601 ("2026-12-11T08:43:06Z"): for
// records that say when they were made, not for waits.
std::string UtcTimestamp();

} // namespace brigant
