#include "mqtt/tls_session.h"

#include "mqtt/tcp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

namespace {

constexpr const char* kVerifyFailed = "certificate verify failed: ";
constexpr const char* kTlsError = "TLS error: ";
constexpr const char* kCertificateRequired = "the broker asked for a client certificate and none is set";
constexpr int kHandshakeWaitMs = 25;

struct ContextDeleter
{
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslDeleter
{
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextDeleter>;
using SslPtr = std::unique_ptr<SSL, SslDeleter>;

// The reason of the oldest queued OpenSSL error, or fallback when the queue
// is empty (a closed socket leaves no OpenSSL error behind).
std::string queuedReason(const char* fallback)
{
    const unsigned long code = ERR_peek_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : fallback;
}

// OpenSSL's own socket layer writes with write(2), which raises SIGPIPE when
// the broker has gone; this one sends with MSG_NOSIGNAL like the plain
// transport does.
int socketWrite(BIO* bio, const char* data, int size)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int socketRead(BIO* bio, char* data, int size)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(fd, data, static_cast<size_t>(size), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long socketControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int socketCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* socketMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* created = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kestro socket");
        if (created) {
            BIO_meth_set_write(created, socketWrite);
            BIO_meth_set_read(created, socketRead);
            BIO_meth_set_ctrl(created, socketControl);
            BIO_meth_set_create(created, socketCreate);
        }
        return created;
    }();
    return method;
}

int noPassphrase(char*, int, int, void*)
{
    return 0;
}

bool isIpAddress(const std::string& host)
{
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

ContextPtr makeContext(const TlsOptions& options, std::string& error)
{
    ContextPtr context(SSL_CTX_new(TLS_client_method()));
    if (!context) {
        error = kTlsError + queuedReason("cannot create a TLS context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context.get(), options.tls13Only ? TLS1_3_VERSION : TLS1_2_VERSION);
    // A broker that drops the connection without close_notify has still
    // closed it; the session treats that like a TCP close.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!options.ciphers.empty() && SSL_CTX_set_cipher_list(context.get(), options.ciphers.c_str()) != 1) {
        error = kTlsError + queuedReason("no usable cipher") + " (" + options.ciphers + ")";
        return nullptr;
    }

    if (options.verifyPeer) {
        const bool named = !options.caFile.empty() || !options.caPath.empty();
        const int loaded = named ? SSL_CTX_load_verify_locations(context.get(),
                                                                 options.caFile.empty() ? nullptr : options.caFile.c_str(),
                                                                 options.caPath.empty() ? nullptr : options.caPath.c_str())
                                 : SSL_CTX_set_default_verify_paths(context.get());
        if (loaded != 1) {
            error = kTlsError + std::string("cannot load the CA certificates ") +
                    (named ? options.caFile + options.caPath : std::string("of the system")) + ": " +
                    queuedReason("unreadable");
            return nullptr;
        }
    }
    SSL_CTX_set_verify(context.get(), options.verifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

    if (!options.certFile.empty()) {
        // Without a callback OpenSSL would ask for the key's passphrase on
        // the terminal, stalling the network thread of a windowed program.
        SSL_CTX_set_default_passwd_cb(context.get(), options.keyPassword ? options.keyPassword : noPassphrase);
        if (SSL_CTX_use_certificate_chain_file(context.get(), options.certFile.c_str()) != 1) {
            error = kTlsError + ("cannot load the client certificate " + options.certFile) + ": " +
                    queuedReason("unreadable");
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(context.get(), options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(context.get()) != 1) {
            error = kTlsError + ("cannot use the client key " + options.keyFile) + ": " + queuedReason("unreadable");
            return nullptr;
        }
    }
    return context;
}

// Names the broker must prove: its host name, or its address when the user
// typed one. Without a name to check, any certificate of a trusted CA would do.
bool expectPeerName(SSL* ssl, const std::string& host, const TlsOptions& options)
{
    const bool ip = isIpAddress(host);
    // Server name indication is for names only.
    if (!ip && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1)
        return false;
    if (!options.verifyPeer || !options.checkHostName)
        return true;
    if (ip)
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(ssl, host.c_str()) == 1;
}

std::string handshakeFailure(SSL* ssl, int result)
{
    const long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) {
        ERR_clear_error();
        return kVerifyFailed + std::string(X509_verify_cert_error_string(verified));
    }
    if (SSL_get_error(ssl, result) == SSL_ERROR_SYSCALL)
        return kTlsError + queuedReason("the broker closed the connection during the handshake");
    return kTlsError + queuedReason("handshake failed");
}

} // namespace

struct TlsSession::Handles
{
    ContextPtr context;
    SslPtr ssl;
    // The broker asked for a client certificate and there was none to give.
    // Under TLS 1.3 its refusal follows after the handshake, as an alert the
    // client may never read when the broker resets the connection first.
    bool certificateRequested = false;
};

namespace {

int onCertificateRequest(SSL* ssl, X509**, EVP_PKEY**)
{
    static_cast<TlsSession::Handles*>(SSL_get_app_data(ssl))->certificateRequested = true;
    return 0; // go on without one: the broker may only have offered
}

} // namespace

TlsSession::TlsSession(std::unique_ptr<Handles> handles)
    : m_handles(std::move(handles))
{
}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::handshake(const TcpSocket& socket, const std::string& host,
                                                  const TlsOptions& options, const std::function<bool()>& keepGoing,
                                                  std::string& error)
{
    ERR_clear_error();
    auto handles = std::make_unique<Handles>();
    handles->context = makeContext(options, error);
    if (!handles->context)
        return nullptr;
    handles->ssl.reset(SSL_new(handles->context.get()));
    BIO* bio = socketMethod() ? BIO_new(socketMethod()) : nullptr;
    if (!handles->ssl || !bio) {
        BIO_free(bio);
        error = kTlsError + queuedReason("cannot create a TLS connection");
        return nullptr;
    }
    SSL_set_app_data(handles->ssl.get(), handles.get());
    if (options.certFile.empty())
        SSL_CTX_set_client_cert_cb(handles->context.get(), onCertificateRequest);
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(socket.fd())));
    SSL_set_bio(handles->ssl.get(), bio, bio);
    if (!expectPeerName(handles->ssl.get(), host, options)) {
        error = kTlsError + queuedReason("cannot set the broker's name") + " (" + host + ")";
        return nullptr;
    }

    SSL* ssl = handles->ssl.get();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs);
    while (true) {
        ERR_clear_error();
        const int result = SSL_connect(ssl);
        if (result == 1)
            return std::unique_ptr<TlsSession>(new TlsSession(std::move(handles)));
        const int reason = SSL_get_error(ssl, result);
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
            error = handshakeFailure(ssl, result);
            return nullptr;
        }
        if (!keepGoing()) {
            error = kTlsError + std::string("handshake cancelled");
            return nullptr;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = kTlsError + std::string("the broker did not finish the handshake in time");
            return nullptr;
        }
        const TcpSocket::Wait waited = reason == SSL_ERROR_WANT_READ ? socket.waitReadable(kHandshakeWaitMs)
                                                                     : socket.waitWritable(kHandshakeWaitMs);
        if (waited == TcpSocket::Wait::Error) {
            error = kTlsError + std::string("the connection failed during the handshake");
            return nullptr;
        }
    }
}

long TlsSession::write(const uint8_t* data, size_t size)
{
    ERR_clear_error();
    const int result = SSL_write(m_handles->ssl.get(), data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (result > 0)
        return result;
    const int reason = SSL_get_error(m_handles->ssl.get(), result);
    if (reason == SSL_ERROR_WANT_WRITE || reason == SSL_ERROR_WANT_READ)
        return 0;
    recordFailure();
    return -1;
}

long TlsSession::read(uint8_t* data, size_t size)
{
    ERR_clear_error();
    const int result = SSL_read(m_handles->ssl.get(), data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (result > 0)
        return result;
    switch (SSL_get_error(m_handles->ssl.get(), result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return -2;
    case SSL_ERROR_ZERO_RETURN:
        if (m_handles->certificateRequested)
            recordFailure();
        return 0;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0 && result == 0) {
            if (m_handles->certificateRequested)
                recordFailure();
            return 0;
        }
        [[fallthrough]];
    default:
        // A broker that rejects the client's certificate under TLS 1.3 says
        // so here, after the handshake looked complete.
        recordFailure();
        return -1;
    }
}

void TlsSession::recordFailure()
{
    const std::string reason = queuedReason("the connection failed");
    m_failure = m_handles->certificateRequested
                    ? kTlsError + std::string(kCertificateRequired) + " (" + reason + ")"
                    : kTlsError + reason;
}

bool TlsSession::hasBufferedData() const
{
    return SSL_pending(m_handles->ssl.get()) > 0;
}

void TlsSession::shutdown()
{
    ERR_clear_error();
    SSL_shutdown(m_handles->ssl.get());
    ERR_clear_error();
}
