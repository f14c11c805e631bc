#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TcpSocket;

// What a client asks of the broker's TLS endpoint. The defaults verify the
// broker against the system's trust store and check its host name.
struct TlsOptions
{
    using PasswordCallback = int (*)(char* buffer, int size, int rwflag, void* userData);

    // Neither set: the system's trust store.
    std::string caFile;
    std::string caPath;
    // Both or neither: the client's own certificate for brokers that
    // authenticate devices by certificate.
    std::string certFile;
    std::string keyFile;
    PasswordCallback keyPassword = nullptr;
    bool verifyPeer = true;
    bool checkHostName = true;
    bool tls13Only = false;
    std::string ciphers;
};

// One client-side TLS connection over an already connected non-blocking
// socket. It reads and writes with the socket's own conventions, so the MQTT
// session does not know whether its bytes are encrypted.
class TlsSession
{
public:
    // Performs the handshake, waiting at most kHandshakeTimeoutMs and asking
    // keepGoing between waits. Null on failure, with error set to a sentence
    // the operator can act on ("certificate verify failed: ...").
    static std::unique_ptr<TlsSession> handshake(const TcpSocket& socket, const std::string& host,
                                                 const TlsOptions& options, const std::function<bool()>& keepGoing,
                                                 std::string& error);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // As TcpSocket::sendSome and receiveSome. A failure leaves its reason in
    // failure().
    long write(const uint8_t* data, size_t size);
    long read(uint8_t* data, size_t size);
    // Decrypted bytes wait inside the session, where polling the socket
    // cannot see them.
    bool hasBufferedData() const;
    // Says goodbye with one close_notify, without waiting for the answer.
    void shutdown();
    const std::string& failure() const { return m_failure; }

    static constexpr int kHandshakeTimeoutMs = 10000;

    struct Handles;

private:
    explicit TlsSession(std::unique_ptr<Handles> handles);
    void recordFailure();

    std::unique_ptr<Handles> m_handles;
    std::string m_failure;
};
