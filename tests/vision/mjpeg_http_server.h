#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vision_test {

// An MJPEG stream over HTTP on 127.0.0.1, as IP cameras and phone apps
// serve it: one multipart/x-mixed-replace response whose parts are JPEG
// pictures, sent every intervalMs to one client at a time. It can go
// silent with the connection held open (a stalled camera), be killed
// (sockets closed, port released) and be started again on the same port.
class MjpegHttpServer
{
public:
    MjpegHttpServer(std::vector<unsigned char> jpeg, int intervalMs);
    ~MjpegHttpServer();
    MjpegHttpServer(const MjpegHttpServer&) = delete;
    MjpegHttpServer& operator=(const MjpegHttpServer&) = delete;

    // Listens on `port` (0: any free one); false when it cannot.
    bool start(std::uint16_t port = 0);
    void kill();
    void setSilent(bool silent) { m_silent = silent; }

    std::uint16_t port() const { return m_port; }
    std::string url() const;
    int framesSent() const { return m_framesSent; }
    int connectionsAccepted() const { return m_connections; }

private:
    void serve();
    void streamTo(int client);

    const std::vector<unsigned char> m_jpeg;
    const int m_intervalMs;
    std::uint16_t m_port = 0;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_silent{false};
    std::atomic<int> m_framesSent{0};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

} // namespace vision_test
