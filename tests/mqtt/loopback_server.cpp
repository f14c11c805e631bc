#include "tests/mqtt/loopback_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

} // namespace

LoopbackServer::LoopbackServer(Family family, int backlog)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == Family::IPv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *address;
    }
    m_listener = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(m_listener, backlog) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return;
    m_port = ntohs(family == Family::IPv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

LoopbackServer::~LoopbackServer()
{
    for (int fd : m_clients)
        ::close(fd);
    ::close(m_listener);
}

int LoopbackServer::acceptClient(std::chrono::milliseconds timeout)
{
    pollfd entry{m_listener, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0)
        return -1;
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        m_clients.push_back(fd);
    return fd;
}

void LoopbackServer::queueConnections(int count)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        m_clients.push_back(fd);
    }
}

void LoopbackServer::closeClient(int fd)
{
    auto found = std::find(m_clients.begin(), m_clients.end(), fd);
    if (found != m_clients.end()) {
        m_clients.erase(found);
        ::close(fd);
    }
}

LoopbackServer::Bytes LoopbackServer::readBytes(int fd, size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes bytes;
    while (bytes.size() < count) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, remainingMs(deadline)) <= 0)
            break;
        uint8_t chunk[4096];
        const ssize_t got = ::recv(fd, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

LoopbackServer::Bytes LoopbackServer::readPacket(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes packet = readBytes(fd, 1, timeout);
    if (packet.empty())
        return packet;
    size_t remaining = 0;
    size_t multiplier = 1;
    for (int i = 0; i < 4; ++i) {
        const Bytes digit = readBytes(fd, 1, std::chrono::milliseconds(remainingMs(deadline)));
        if (digit.empty())
            return packet;
        packet.push_back(digit[0]);
        remaining += (digit[0] & 0x7F) * multiplier;
        multiplier *= 128;
        if ((digit[0] & 0x80) == 0)
            break;
    }
    const Bytes rest = readBytes(fd, remaining, std::chrono::milliseconds(remainingMs(deadline)));
    packet.insert(packet.end(), rest.begin(), rest.end());
    return packet;
}

bool LoopbackServer::writeBytes(int fd, const Bytes& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool LoopbackServer::waitClosed(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, remainingMs(deadline)) <= 0)
            return false;
        uint8_t chunk[4096];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return true;
    }
}
