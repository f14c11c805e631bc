#pragma once

// A level-triggered wake-up for a thread that sleeps in poll(): signal()
// from any thread makes the descriptor readable until drain() is called.
// It lets the network thread send a queued packet at once instead of at the
// end of its next 25 ms wait.
class WakeEvent
{
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    void signal() const;
    void drain() const;
    // Sleeps up to timeoutMs; returns true when woken by signal().
    bool wait(int timeoutMs) const;
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};
