#include "tests/mqtt/byte_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kPollMs = 20;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Copies what is waiting on from to to; false when from closed or failed.
bool forward(int from, int to, std::string* copy)
{
    char chunk[4096];
    const ssize_t got = ::recv(from, chunk, sizeof chunk, 0);
    if (got <= 0)
        return false;
    if (copy)
        copy->append(chunk, static_cast<size_t>(got));
    for (ssize_t sent = 0; sent < got;) {
        const ssize_t written = ::send(to, chunk + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        sent += written;
    }
    return true;
}

} // namespace

ByteRelay::ByteRelay(int targetPort)
    : m_targetPort(targetPort)
{
}

ByteRelay::~ByteRelay()
{
    m_running.store(false);
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
}

bool ByteRelay::start()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        m_error = "cannot listen on loopback";
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_running.store(true);
    m_thread = std::thread([this] { run(); });
    return true;
}

std::string ByteRelay::towardsServer() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_towardsServer;
}

void ByteRelay::run()
{
    while (m_running.load()) {
        pollfd entry{m_listener, POLLIN, 0};
        if (::poll(&entry, 1, kPollMs) != 1)
            continue;
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = loopback(m_targetPort);
        if (server >= 0 && ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
            relay(client, server);
        if (server >= 0)
            ::close(server);
        ::close(client);
    }
}

void ByteRelay::relay(int client, int server)
{
    while (m_running.load()) {
        pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(entries, 2, kPollMs) <= 0)
            continue;
        if (entries[0].revents != 0) {
            std::string received;
            const bool open = forward(client, server, &received);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_towardsServer += received;
            }
            if (!open)
                return;
        }
        if (entries[1].revents != 0 && !forward(server, client, nullptr))
            return;
    }
}
