// The network thread of a client: connecting, the connected loop with its
// queue, receive and keep-alive duties, and the end of a connection.
#include "mqtt/mosquitto_client.h"

#include <chrono>

namespace {

constexpr int kIdlePollMs = 20;
constexpr int kRetryPauseMs = 1000;
constexpr int kRetryPauseStepMs = 50;
constexpr int kSocketWaitMs = 25;
constexpr size_t kReceiveChunk = 2048;
constexpr size_t kReceiveBufferCapacity = 4096;
constexpr size_t kSendBatchBytes = 16 * 1024;

} // namespace

int mosquitto::takeMessageId()
{
    const int id = nextMessageId;
    nextMessageId = id + 1 > 65535 ? 1 : id + 1;
    return id;
}

void mosquitto::pause(int totalMs, int stepMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs);
    while (shouldRun()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        // A wake-up for a queued packet only shortens one step; the loop
        // re-checks the stop flags and the deadline.
        wake.wait(static_cast<int>(std::min<long long>(left.count(), stepMs)));
    }
}

int mosquitto::tryOpenSocket(TcpSocket& socketOut, std::string& tlsReason)
{
    std::string targetHost;
    int targetPort = 0;
    bool encrypted = false;
    TlsOptions tlsOptions;
    {
        std::lock_guard<std::mutex> lock(mutex);
        targetHost = host;
        targetPort = port;
        encrypted = tlsEnabled;
        tlsOptions = tls;
    }
    const auto keepGoing = [this] { return shouldRun(); };
    socketOut = TcpSocket::connectTo(targetHost, targetPort, keepGoing);
    if (!socketOut.isValid())
        return MOSQ_ERR_CONN_REFUSED;
    if (encrypted && !socketOut.startTls(targetHost, tlsOptions, keepGoing, tlsReason)) {
        socketOut.close();
        return MOSQ_ERR_TLS;
    }
    return MOSQ_ERR_SUCCESS;
}

void mosquitto::reportConnectFailure(int code, const std::string& tlsReason)
{
    mosquitto_connect_fn callback = nullptr;
    void* data = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (code == MOSQ_ERR_TLS)
            tlsError = tlsReason;
        callback = onConnect;
        data = userData;
    }
    if (callback && shouldRun())
        callback(this, data, code);
}

bool mosquitto::sendAll(TcpSocket& target, const mqtt_codec::ByteBuffer& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (!running.load())
            return false;
        const long written = target.sendSome(bytes.data() + sent, bytes.size() - sent);
        if (written < 0)
            return false;
        if (written == 0) {
            if (target.waitWritable(kSocketWaitMs) == TcpSocket::Wait::Error)
                return false;
            continue;
        }
        sent += static_cast<size_t>(written);
    }
    return true;
}

bool mosquitto::sendQueued(TcpSocket& target)
{
    std::deque<QueuedPacket> taken;
    {
        std::lock_guard<std::mutex> lock(mutex);
        taken.swap(queue);
    }
    mqtt_codec::ByteBuffer batch;
    size_t next = 0;
    while (next < taken.size()) {
        // Packets queued together leave in one write: a burst of small
        // frames would otherwise cost a system call and a TCP segment each.
        const size_t first = next;
        batch.clear();
        do {
            batch.insert(batch.end(), taken[next].bytes.begin(), taken[next].bytes.end());
            ++next;
        } while (next < taken.size() && batch.size() + taken[next].bytes.size() <= kSendBatchBytes);
        // On failure the rest of the taken packets are dropped with the connection.
        if (!sendAll(target, batch))
            return false;

        mosquitto_publish_fn callback = nullptr;
        void* data = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            callback = onPublish;
            data = userData;
        }
        for (size_t index = first; index < next && callback; ++index) {
            if (taken[index].messageId > 0 && taken[index].qos == 0)
                callback(this, data, taken[index].messageId);
        }
    }
    return true;
}

void mosquitto::endConnection()
{
    const bool wasConnected = connected.exchange(false);
    mosquitto_disconnect_fn callback = nullptr;
    void* data = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (socket.isValid()) {
            if (wasConnected) {
                // One attempt only: the socket may already be dead.
                const mqtt_codec::ByteBuffer bye = mqtt_codec::buildDisconnect();
                socket.sendSome(bye.data(), bye.size());
            }
            socket.close();
        }
        callback = onDisconnect;
        data = userData;
    }
    if (wasConnected && callback)
        callback(this, data, 0);
}

bool mosquitto::serveConnection(TcpSocket& opened)
{
    mqtt_codec::ByteBuffer connectPacket;
    int effectiveKeepalive = 60;
    {
        std::lock_guard<std::mutex> lock(mutex);
        socket = std::move(opened);
        mqtt_codec::ConnectOptions options;
        options.clientId = clientId;
        options.cleanSession = cleanSession;
        options.hasUsername = hasUsername;
        options.username = username;
        options.hasPassword = hasPassword;
        options.password = password;
        options.keepalive = keepalive;
        connectPacket = mqtt_codec::buildConnect(options);
        effectiveKeepalive = mqtt_codec::effectiveKeepalive(keepalive);
    }

    if (!sendAll(socket, connectPacket)) {
        std::lock_guard<std::mutex> lock(mutex);
        socket.close();
        return false;
    }

    mqtt_codec::ByteBuffer received;
    received.reserve(kReceiveBufferCapacity);
    const auto connectSentAt = std::chrono::steady_clock::now();
    auto lastPing = connectSentAt;
    const auto pingInterval = std::chrono::seconds(effectiveKeepalive / 2);
    // A broker that takes the TCP connection but never answers the CONNECT
    // would otherwise hold the client here for good, retrying nothing.
    const auto connackTimeout = std::chrono::seconds(effectiveKeepalive);
    uint8_t chunk[kReceiveChunk];

    while (shouldRun()) {
        if (connected.load() && !sendQueued(socket))
            break;

        const TcpSocket::Wait waited = socket.waitReadable(kSocketWaitMs, &wake);
        if (waited == TcpSocket::Wait::Error)
            break;
        if (waited == TcpSocket::Wait::Ready) {
            const long got = socket.receiveSome(chunk, sizeof chunk);
            if (got == 0 || got == -1)
                break;
            if (got > 0) {
                received.insert(received.end(), chunk, chunk + got);
                if (!processRxBuffer(received, socket))
                    break;
            }
        }

        if (!connected.load() && std::chrono::steady_clock::now() - connectSentAt >= connackTimeout)
            break;
        if (connected.load()) {
            const auto now = std::chrono::steady_clock::now();
            // Only PINGREQs reset the ping time, so pings keep their rhythm
            // whatever else is sent.
            if (std::chrono::duration_cast<std::chrono::seconds>(now - lastPing) >= pingInterval) {
                if (!sendAll(socket, mqtt_codec::buildPingreq()))
                    break;
                lastPing = now;
            }
        }
    }

    const bool accepted = connected.load();
    endConnection();
    return accepted;
}

void mosquitto::runLoop()
{
    while (running.load()) {
        if (!connectRequested.load()) {
            wake.wait(kIdlePollMs);
            continue;
        }

        TcpSocket opened;
        std::string tlsReason;
        const int opening = tryOpenSocket(opened, tlsReason);
        if (opening != MOSQ_ERR_SUCCESS) {
            reportConnectFailure(opening, tlsReason);
            pause(kRetryPauseMs, kRetryPauseStepMs);
            continue;
        }

        // A connection the broker never accepted (closed before CONNACK, or
        // refused) is retried after the same pause as a failed TCP connect;
        // retrying at once would hammer the broker in a tight loop.
        if (!serveConnection(opened)) {
            // A broker that refuses the client's certificate under TLS 1.3
            // says so only after the handshake, in its first record.
            std::string refusal;
            {
                std::lock_guard<std::mutex> lock(mutex);
                refusal = socket.tlsFailure();
            }
            if (!refusal.empty())
                reportConnectFailure(MOSQ_ERR_TLS, refusal);
            pause(kRetryPauseMs, kRetryPauseStepMs);
        }
    }
}
