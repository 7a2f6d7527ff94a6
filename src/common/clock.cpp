#include "common/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace brigant
{

std::uint64_t RealClock::nowMs() const
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::sleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace
{
RealClock realClock;
Clock *current = &realClock;
} // namespace

Clock &ProgramClock() { return *current; }

void SetProgramClock(Clock *clock) { current = clock ? clock : &realClock; }

void SleepMs(std::uint32_t ms) { current->sleepMs(ms); }

std::string UtcTimestamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace brigant
