#pragma once

#include <chrono>
#include <thread>

namespace kestro_test {

// Polls condition every 10 ms until it holds or timeout passes. Tests use
// generous limits with this instead of fixed sleeps, so a loaded machine
// only makes them slower, never red.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace kestro_test
