#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TlsSession;
struct TlsOptions;
class WakeEvent;

// Owning, move-only handle of a non-blocking TCP socket, optionally carrying
// a TLS session. The MQTT session uses only this interface, so the platform's
// socket calls and the TLS library stay in their own files.
class TcpSocket
{
public:
    enum class Wait { Ready, Woken, Timeout, Error };

    TcpSocket() = default;
    // Adopts an already open descriptor (a socket pair in tests and fuzzing).
    explicit TcpSocket(int fd);
    ~TcpSocket();
    TcpSocket(TcpSocket&& other) noexcept;
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host:port for any address family and tries each address with a
    // non-blocking connect, waiting at most 40 x 25 ms per address. keepGoing
    // is asked between waits so a stop request ends the attempt quickly.
    // When no address connects, failure (if given) says why, so the
    // operator reads a cause rather than a code.
    enum class ConnectFailure { None, HostNotFound, Refused, TimedOut, Other };
    static TcpSocket connectTo(const std::string& host, int port, const std::function<bool()>& keepGoing,
                               ConnectFailure* failure = nullptr);

    // Encrypts the connection: handshake with the broker named host, which
    // must prove that name unless the options say otherwise. On failure the
    // socket stays plain and unused, and error says why; callers close it,
    // never falling back to sending in clear text.
    bool startTls(const std::string& host, const TlsOptions& options, const std::function<bool()>& keepGoing,
                  std::string& error);
    bool isEncrypted() const { return m_tls != nullptr; }
    // Why the TLS session failed after its handshake (empty when it did not);
    // kept after close() so the caller can report it.
    const std::string& tlsFailure() const { return m_tlsFailure; }

    bool isValid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void close();

    // Bytes written (> 0), 0 when the call would block, -1 on any other error.
    // Never raises SIGPIPE when the peer has gone.
    long sendSome(const uint8_t* data, size_t size);
    // Bytes read (> 0), 0 when the peer closed, -1 on error, -2 when it would block.
    long receiveSome(uint8_t* data, size_t size);

    // Waits up to timeoutMs for the socket to become readable (or writable),
    // returning early with Woken when wake is given and gets signalled.
    Wait waitReadable(int timeoutMs, const WakeEvent* wake = nullptr) const;
    Wait waitWritable(int timeoutMs) const;

private:
    int m_fd = -1;
    std::unique_ptr<TlsSession> m_tls;
    std::string m_tlsFailure;
};
