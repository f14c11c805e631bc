// The network thread of a client: connecting, the connected loop with its
// queue, receive and keep-alive duties, and the end of a connection.
#include "mqtt/mosquitto_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = mosquitto::Clock;
using std::chrono::milliseconds;

constexpr int kSocketWaitMs = 25;
constexpr size_t kReceiveChunk = 2048;
constexpr size_t kReceiveBufferCapacity = 4096;
constexpr size_t kSendBatchBytes = 16 * 1024;
// While teleoperating: a PINGREQ every 100 ms, and the connection is given
// up when one stays unanswered for 1.25 s, so a frozen broker is noticed at
// most 1.35 s after its last word. Otherwise the keep-alive rhythm (a ping
// every k / 2, given up when unanswered for 3/4 k), noticed within 1.25 k,
// inside the 1.5 k after which the broker itself would give us up.
constexpr milliseconds kFastPingInterval{100};
constexpr milliseconds kFastAnswerTimeout{1250};
// A connection that stayed up this long was not refused in disguise: the
// next attempt is made at once and the back-off starts again.
constexpr std::chrono::seconds kLastingConnection{10};

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60 * 60 * 1000));
}

} // namespace

int mosquitto::takeMessageId()
{
    const int id = nextMessageId;
    nextMessageId = id + 1 > 65535 ? 1 : id + 1;
    return id;
}

bool mosquitto::brokerAnswerOverdue() const
{
    const Clock::rep since = answerOwedSince.load();
    return since != 0 && Clock::now() - Clock::time_point(Clock::duration(since)) > kAnswerOverdue;
}

void mosquitto::pause(int totalMs)
{
    const auto deadline = Clock::now() + milliseconds(totalMs);
    // Woken early by a stop request or a new connect request; anything else
    // that wakes it is re-checked against the deadline.
    while (shouldRun() && Clock::now() < deadline)
        wake.wait(millisecondsUntil(deadline));
}

void mosquitto::backOff()
{
    int firstMs = 1000;
    int longestMs = 1000;
    bool exponential = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Never below 1 s: a zero delay would let a broker that drops us at
        // once drive a reconnect storm.
        firstMs = std::max(reconnectDelay, 1) * 1000;
        longestMs = std::max(reconnectDelayMax * 1000, firstMs);
        exponential = reconnectExponential;
    }
    const int delayMs = nextRetryDelayMs.load() > 0 ? nextRetryDelayMs.load() : firstMs;
    nextRetryDelayMs.store(exponential ? std::min(delayMs * 2, longestMs) : firstMs);
    pause(delayMs);
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
    TcpSocket::ConnectFailure failure = TcpSocket::ConnectFailure::None;
    socketOut = TcpSocket::connectTo(targetHost, targetPort, keepGoing, &failure);
    lastConnectFailure.store(static_cast<int>(failure));
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

mosquitto::Served mosquitto::serveConnection(TcpSocket& opened)
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
    rxSkipRemaining = 0;
    qos2Delivered.clear();

    if (!sendAll(socket, connectPacket)) {
        std::lock_guard<std::mutex> lock(mutex);
        socket.close();
        return {};
    }

    mqtt_codec::ByteBuffer received;
    received.reserve(kReceiveBufferCapacity);
    const auto connectSentAt = Clock::now();
    const std::chrono::seconds keepaliveSpan(effectiveKeepalive);
    // A broker that takes the TCP connection but never answers the CONNECT
    // would otherwise hold the client here for good, retrying nothing.
    const auto connackTimeout = keepaliveSpan;
    auto lastPing = connectSentAt;
    bool answerOwed = false;
    bool silent = false;
    uint8_t chunk[kReceiveChunk];

    while (shouldRun()) {
        if (connected.load() && !sendQueued(socket))
            break;

        const auto now = Clock::now();
        Clock::time_point deadline;
        if (!connected.load()) {
            if (now - connectSentAt >= connackTimeout)
                break;
            deadline = connectSentAt + connackTimeout;
        } else if (answerOwed) {
            const Clock::duration timeout =
                fastLiveness.load() ? Clock::duration(kFastAnswerTimeout) : Clock::duration(keepaliveSpan * 3 / 4);
            if (now - lastPing >= timeout) {
                silent = true;
                break;
            }
            deadline = lastPing + timeout;
        } else {
            // Only PINGREQs reset the ping time, so pings keep their rhythm
            // whatever else is sent.
            const Clock::duration interval =
                fastLiveness.load() ? Clock::duration(kFastPingInterval) : Clock::duration(keepaliveSpan / 2);
            if (now - lastPing >= interval) {
                if (!sendAll(socket, mqtt_codec::buildPingreq()))
                    break;
                lastPing = now;
                answerOwed = true;
                answerOwedSince.store(now.time_since_epoch().count());
                continue; // the next turn computes the answer deadline
            }
            deadline = lastPing + interval;
        }

        const TcpSocket::Wait waited = socket.waitReadable(millisecondsUntil(deadline), &wake);
        if (waited == TcpSocket::Wait::Error)
            break;
        if (waited == TcpSocket::Wait::Ready) {
            const long got = socket.receiveSome(chunk, sizeof chunk);
            if (got == 0 || got == -1)
                break;
            if (got > 0) {
                // Any packet shows the broker is reading and answering.
                answerOwed = false;
                answerOwedSince.store(0);
                received.insert(received.end(), chunk, chunk + got);
                if (!processRxBuffer(received, socket))
                    break;
            }
        }
    }

    Served served;
    served.accepted = connected.load();
    served.lasted = Clock::now() - connectSentAt;
    answerOwedSince.store(0);
    if (silent) {
        std::fprintf(stderr, "mosquitto: no answer from the broker for %lld ms, giving up the connection\n",
                     static_cast<long long>(std::chrono::duration_cast<milliseconds>(Clock::now() - lastPing).count()));
        // Whatever waited for this connection was meant for a broker that
        // was listening then; sent after a reconnect it would arrive late.
        std::lock_guard<std::mutex> lock(mutex);
        queue.clear();
    }
    endConnection();
    return served;
}

void mosquitto::runLoop()
{
    while (running.load()) {
        if (!connectRequested.load()) {
            wake.wait(-1); // until a connect request, or a stop
            continue;
        }

        TcpSocket opened;
        std::string tlsReason;
        const int opening = tryOpenSocket(opened, tlsReason);
        if (opening != MOSQ_ERR_SUCCESS) {
            reportConnectFailure(opening, tlsReason);
            backOff();
            continue;
        }

        // A lost connection that had lasted is retried at once. One the
        // broker never accepted (closed before CONNACK, refused) or that it
        // ended soon after accepting it waits for the back-off: retrying at
        // once would hammer the broker in a tight loop.
        const Served served = serveConnection(opened);
        if (served.accepted && served.lasted >= kLastingConnection) {
            nextRetryDelayMs.store(0);
            continue;
        }
        if (!served.accepted) {
            // A broker that refuses the client's certificate under TLS 1.3
            // says so only after the handshake, in its first record.
            std::string refusal;
            {
                std::lock_guard<std::mutex> lock(mutex);
                refusal = socket.tlsFailure();
            }
            if (!refusal.empty())
                reportConnectFailure(MOSQ_ERR_TLS, refusal);
        }
        backOff();
    }
}
