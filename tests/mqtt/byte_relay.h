#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// A TCP relay on a free loopback port that forwards every connection to
// 127.0.0.1:targetPort and keeps a copy of the bytes sent towards the target:
// what someone on the path between a client and its broker would see.
class ByteRelay
{
public:
    explicit ByteRelay(int targetPort);
    ~ByteRelay();
    ByteRelay(const ByteRelay&) = delete;
    ByteRelay& operator=(const ByteRelay&) = delete;

    bool start();
    int port() const { return m_port; }
    const std::string& error() const { return m_error; }
    // Everything the clients sent so far, all connections in order.
    std::string towardsServer() const;

private:
    void run();
    void relay(int client, int server);

    int m_targetPort;
    int m_listener = -1;
    int m_port = 0;
    std::string m_error;
    std::atomic<bool> m_running{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::string m_towardsServer;
};
