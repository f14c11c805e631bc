#include "mqtt/tcp_socket.h"

#include "mqtt/tls_session.h"
#include "mqtt/wake_event.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connect attempt per address lasts at most kConnectWaits x kConnectWaitMs.
constexpr int kConnectWaits = 40;
constexpr int kConnectWaitMs = 25;

struct AddressList
{
    addrinfo* head = nullptr;
    ~AddressList()
    {
        if (head)
            ::freeaddrinfo(head);
    }
};

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

using ConnectFailure = TcpSocket::ConnectFailure;

ConnectFailure failureFor(int error)
{
    return error == ECONNREFUSED ? ConnectFailure::Refused
           : error == ETIMEDOUT  ? ConnectFailure::TimedOut
                                 : ConnectFailure::Other;
}

// Returns a connected socket, or an invalid one when this address failed
// (and why in failure).
TcpSocket connectOne(const addrinfo& address, const std::function<bool()>& keepGoing, ConnectFailure& failure)
{
    failure = ConnectFailure::Other;
    TcpSocket socket(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol));
    if (!socket.isValid() || !setNonBlocking(socket.fd()))
        return TcpSocket();
    // Servo frames are tiny and latency matters more than packet count.
    const int one = 1;
    ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    if (::connect(socket.fd(), address.ai_addr, address.ai_addrlen) == 0)
        return socket;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EAGAIN) {
        failure = failureFor(errno);
        return TcpSocket();
    }

    for (int attempt = 0; attempt < kConnectWaits && keepGoing(); ++attempt) {
        const TcpSocket::Wait result = socket.waitWritable(kConnectWaitMs);
        if (result == TcpSocket::Wait::Error)
            return TcpSocket();
        if (result == TcpSocket::Wait::Timeout)
            continue;
        int pending = 0;
        socklen_t length = sizeof pending;
        if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
            failure = failureFor(pending);
            return TcpSocket();
        }
        return socket;
    }
    failure = ConnectFailure::TimedOut;
    return TcpSocket();
}

} // namespace

TcpSocket::TcpSocket(int fd)
    : m_fd(fd)
{
}

TcpSocket::~TcpSocket()
{
    close();
}

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : m_fd(other.m_fd)
    , m_tls(std::move(other.m_tls))
    , m_tlsFailure(std::move(other.m_tlsFailure))
{
    other.m_fd = -1;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_tls = std::move(other.m_tls);
        m_tlsFailure = std::move(other.m_tlsFailure);
        other.m_fd = -1;
    }
    return *this;
}

bool TcpSocket::startTls(const std::string& host, const TlsOptions& options, const std::function<bool()>& keepGoing,
                         std::string& error)
{
    m_tlsFailure.clear();
    if (!isValid()) {
        error = "TLS error: no connection";
        return false;
    }
    m_tls = TlsSession::handshake(*this, host, options, keepGoing, error);
    return m_tls != nullptr;
}

void TcpSocket::close()
{
    if (m_tls) {
        m_tls->shutdown();
        m_tls.reset();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

TcpSocket TcpSocket::connectTo(const std::string& host, int port, const std::function<bool()>& keepGoing,
                               ConnectFailure* failure)
{
    ConnectFailure ignored = ConnectFailure::None;
    ConnectFailure& why = failure ? *failure : ignored;
    why = ConnectFailure::Other;
    if (host.empty() || port < 1 || port > 65535)
        return TcpSocket();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList addresses;
    const std::string service = std::to_string(port);
    const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses.head);
    if (resolved != 0) {
        why = resolved == EAI_NONAME || resolved == EAI_NODATA || resolved == EAI_FAIL ? ConnectFailure::HostNotFound
                                                                                       : ConnectFailure::Other;
        return TcpSocket();
    }

    // Of several addresses, the most telling failure is kept: a refusal
    // means something answered there.
    for (const addrinfo* address = addresses.head; address && keepGoing(); address = address->ai_next) {
        ConnectFailure attempt = ConnectFailure::Other;
        TcpSocket socket = connectOne(*address, keepGoing, attempt);
        if (socket.isValid()) {
            why = ConnectFailure::None;
            return socket;
        }
        if (why != ConnectFailure::Refused)
            why = attempt;
    }
    return TcpSocket();
}

long TcpSocket::sendSome(const uint8_t* data, size_t size)
{
    if (m_tls) {
        const long written = m_tls->write(data, size);
        if (written < 0)
            m_tlsFailure = m_tls->failure();
        return written;
    }
    const ssize_t sent = ::send(m_fd, data, size, MSG_NOSIGNAL);
    if (sent >= 0)
        return static_cast<long>(sent);
    if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR)
        return 0;
    return -1;
}

long TcpSocket::receiveSome(uint8_t* data, size_t size)
{
    if (m_tls) {
        const long got = m_tls->read(data, size);
        if (got == -1)
            m_tlsFailure = m_tls->failure();
        return got;
    }
    const ssize_t got = ::recv(m_fd, data, size, 0);
    if (got >= 0)
        return static_cast<long>(got);
    if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR)
        return -2;
    return -1;
}

TcpSocket::Wait TcpSocket::waitReadable(int timeoutMs, const WakeEvent* wake) const
{
    if (m_tls && m_tls->hasBufferedData())
        return Wait::Ready;
    pollfd entries[2] = {{m_fd, POLLIN, 0}, {wake ? wake->fd() : -1, POLLIN, 0}};
    const int ready = ::poll(entries, wake ? 2 : 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? Wait::Timeout : Wait::Error;
    if (ready == 0)
        return Wait::Timeout;
    // A hang-up or error is reported as readable: the following recv tells
    // the caller what happened.
    if (entries[0].revents & (POLLIN | POLLHUP | POLLERR))
        return Wait::Ready;
    if (entries[0].revents & POLLNVAL)
        return Wait::Error;
    if (wake) {
        wake->drain();
        return Wait::Woken;
    }
    return Wait::Timeout;
}

TcpSocket::Wait TcpSocket::waitWritable(int timeoutMs) const
{
    pollfd entry{m_fd, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? Wait::Timeout : Wait::Error;
    if (ready == 0)
        return Wait::Timeout;
    if (entry.revents & POLLNVAL)
        return Wait::Error;
    // POLLERR/POLLHUP count as ready: SO_ERROR or the next send reports it.
    return Wait::Ready;
}
