#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

// Waiting on the GUI thread of a benchmark that drives the dashboard's
// window: the event loop keeps running (queued frames, timers, the robot
// link's signals) while the benchmark waits.
namespace dashboard_bench {

inline void runEventsFor(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// False when the condition did not hold within the timeout.
inline bool runEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace dashboard_bench
