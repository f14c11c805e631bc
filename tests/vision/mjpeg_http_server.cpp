#include "tests/vision/mjpeg_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace vision_test {

namespace {

constexpr char kBoundary[] = "kestroframe";
constexpr int kPollMs = 20;

bool sendAll(int socket, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(socket, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

} // namespace

MjpegHttpServer::MjpegHttpServer(std::vector<unsigned char> jpeg, int intervalMs)
    : m_jpeg(std::move(jpeg)), m_intervalMs(intervalMs)
{
}

MjpegHttpServer::~MjpegHttpServer()
{
    kill();
}

bool MjpegHttpServer::start(std::uint16_t port)
{
    kill();
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listener < 0)
        return false;
    const int yes = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_stop = false;
    m_thread = std::thread([this] { serve(); });
    return true;
}

void MjpegHttpServer::kill()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0) {
        ::close(m_listener);
        m_listener = -1;
    }
}

std::string MjpegHttpServer::url() const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/video.mjpg";
}

void MjpegHttpServer::serve()
{
    while (!m_stop) {
        pollfd listening{m_listener, POLLIN, 0};
        if (::poll(&listening, 1, kPollMs) <= 0)
            continue;
        const int client = ::accept(m_listener, nullptr, nullptr);
        if (client < 0)
            continue;
        ++m_connections;
        streamTo(client);
        ::close(client);
    }
}

void MjpegHttpServer::streamTo(int client)
{
    // The request itself does not matter; read up to its blank line.
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && !m_stop) {
        pollfd readable{client, POLLIN, 0};
        if (::poll(&readable, 1, kPollMs) <= 0)
            continue;
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string header = std::string("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=") +
                               kBoundary + "\r\nCache-Control: no-cache\r\n\r\n";
    if (!sendAll(client, header.data(), header.size()))
        return;
    auto next = std::chrono::steady_clock::now();
    while (!m_stop) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(m_intervalMs);
        if (m_silent)
            continue;
        const std::string part = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(m_jpeg.size()) + "\r\n\r\n";
        if (!sendAll(client, part.data(), part.size()) || !sendAll(client, m_jpeg.data(), m_jpeg.size()) ||
            !sendAll(client, "\r\n", 2))
            return;
        ++m_framesSent;
    }
}

} // namespace vision_test
