#include "gui/event_loop_clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <thread>

namespace brigant::gui
{

EventLoopClock::EventLoopClock() : origin_(std::chrono::steady_clock::now()) {}

std::uint64_t EventLoopClock::nowMs() const
{
    const auto elapsed = std::chrono::steady_clock::now() - origin_;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void EventLoopClock::sleepMs(std::uint32_t ms)
{
    if (!QCoreApplication::instance()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    if (ms == 0) {
        QCoreApplication::processEvents();
        return;
    }
    // A nested loop quit by a precise single-shot timer: handles every event
    // while it waits and costs no CPU in between.
    const std::uint64_t end = nowMs() + ms;
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Once the application is quitting, every event loop ends at once (exec
    // answers -1); the caller still gets the time it asked for, with pending
    // events handled in small steps.
    for (std::uint64_t now = nowMs(); now < end; now = nowMs()) {
        const auto remaining = static_cast<int>(end - now);
        timer.start(remaining);
        if (loop.exec() == -1) {
            timer.stop();
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(remaining, 10)));
        }
    }
}

} // namespace brigant::gui
