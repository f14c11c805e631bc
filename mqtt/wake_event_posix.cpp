#include "mqtt/wake_event.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

WakeEvent::WakeEvent()
    : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeEvent::~WakeEvent()
{
    ::close(m_fd);
}

void WakeEvent::signal() const
{
    const uint64_t one = 1;
    // A full counter (EAGAIN) still leaves the descriptor readable, so the
    // result does not matter.
    [[maybe_unused]] const ssize_t written = ::write(m_fd, &one, sizeof one);
}

void WakeEvent::drain() const
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_fd, &count, sizeof count);
}

bool WakeEvent::wait(int timeoutMs) const
{
    pollfd entry{m_fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready > 0) {
        drain();
        return true;
    }
    return false;
}
