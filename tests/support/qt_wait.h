#pragma once

#include "tests/support/wait_for.h"

#include <QCoreApplication>

#include <chrono>

namespace kestro_test {

// waitFor on the thread that runs Qt's event loop: queued signals and
// timers are delivered while it waits, as the application's own loop would.
template <typename Condition>
bool waitWithEvents(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(15))
{
    return waitFor(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            return condition();
        },
        timeout);
}

} // namespace kestro_test
