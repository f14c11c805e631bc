#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

// A scripted stand-in for a broker: a listening socket on 127.0.0.1 (or ::1) that the
// test thread drives by hand, to see the client's exact bytes and to play
// misbehaving brokers.
class LoopbackServer
{
public:
    using Bytes = std::vector<uint8_t>;

    enum class Family { IPv4, IPv6 };
    // `backlog` is the listen queue; a server that never accepts and has a
    // full queue makes the kernel drop new connections unanswered.
    explicit LoopbackServer(Family family = Family::IPv4, int backlog = 16);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return m_port; }
    // Accepts the next client; -1 after the timeout. The server owns the fd.
    int acceptClient(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void closeClient(int fd);
    // Opens `count` connections to this server and leaves them in its queue
    // (the server owns them).
    void queueConnections(int count);

    // Reads exactly count bytes from fd, or what arrived before the timeout.
    static Bytes readBytes(int fd, size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads one complete MQTT packet (fixed header included).
    static Bytes readPacket(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    static bool writeBytes(int fd, const Bytes& bytes);
    // True when the peer closes fd (reading EOF) within the timeout;
    // anything it sends meanwhile is discarded.
    static bool waitClosed(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int m_listener = -1;
    int m_port = 0;
    std::vector<int> m_clients;
};
