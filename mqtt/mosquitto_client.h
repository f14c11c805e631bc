#pragma once

#include "mqtt/mosquitto.h"
#include "mqtt/mqtt_codec.h"
#include "mqtt/tcp_socket.h"
#include "mqtt/tls_session.h"
#include "mqtt/wake_event.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

// The client object behind the mosquitto_* functions. Its fields follow the
// session's data model; the network thread runs runLoop().
struct mosquitto
{
    struct QueuedPacket
    {
        mqtt_codec::ByteBuffer bytes;
        int messageId = 0;
        int qos = 0;
    };

    std::string clientId;
    bool cleanSession = true;
    void* userData = nullptr;
    bool hasUsername = false;
    bool hasPassword = false;
    std::string username;
    std::string password;
    std::string host = "localhost";
    int port = 1883;
    int keepalive = 60;
    int reconnectDelay = 1;
    int reconnectDelayMax = 10;
    bool reconnectExponential = false;
    mosquitto_connect_fn onConnect = nullptr;
    mosquitto_disconnect_fn onDisconnect = nullptr;
    mosquitto_publish_fn onPublish = nullptr;
    mosquitto_message_fn onMessage = nullptr;
    mutable std::mutex mutex;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> connectRequested{false};
    std::atomic<bool> connected{false};
    TcpSocket socket;
    std::deque<QueuedPacket> queue;
    int nextMessageId = 1;
    // Set by mosquitto_tls_set: from then on every connection is encrypted
    // or not made at all.
    bool tlsEnabled = false;
    TlsOptions tls;
    // Why the last TLS connection attempt failed, for mosquitto_tls_last_error.
    std::string tlsError;
    // Signalled when a packet is queued, a setting changes or a stop is
    // requested; the network thread sleeps on it and its next deadline.
    WakeEvent wake;

    using Clock = std::chrono::steady_clock;
    // A PINGREQ answered this late means the broker is not reading: what we
    // write now would sit in its socket buffer and reach the subscribers in
    // one late burst when it resumes, so publishing is refused instead.
    static constexpr std::chrono::milliseconds kAnswerOverdue{250};
    // Set while teleoperating: a frozen broker must then be noticed within
    // 2 s, far sooner than the keep-alive rhythm would.
    std::atomic<bool> fastLiveness{false};
    // When the PINGREQ still waiting for an answer was sent, as a
    // steady-clock count; 0 while nothing is owed.
    std::atomic<Clock::rep> answerOwedSince{0};
    // The pause before the next reconnect attempt; 0 starts again from
    // reconnectDelay.
    std::atomic<int> nextRetryDelayMs{0};
    // Why the last TCP connection attempt failed (a TcpSocket::ConnectFailure).
    std::atomic<int> lastConnectFailure{0};

    // Per connection, network thread only: the bytes still to be discarded
    // of an oversized incoming packet, and the QoS 2 packet identifiers
    // delivered but not yet released by the broker's PUBREL.
    uint64_t rxSkipRemaining = 0;
    std::set<uint16_t> qos2Delivered;

    // Takes the next packet identifier; the caller holds the lock.
    int takeMessageId();
    bool brokerAnswerOverdue() const;

    // Cuts complete packets from the front of buffer and dispatches them.
    // False means the connection must end.
    bool processRxBuffer(mqtt_codec::ByteBuffer& buffer, TcpSocket& socket);

    void runLoop();

private:
    // MOSQ_ERR_SUCCESS, MOSQ_ERR_CONN_REFUSED (no TCP connection) or
    // MOSQ_ERR_TLS (no trusted encrypted one).
    int tryOpenSocket(TcpSocket& socketOut, std::string& tlsReason);
    void reportConnectFailure(int code, const std::string& tlsReason);
    bool shouldRun() const { return running.load() && connectRequested.load(); }
    // Sleeps up to totalMs; ends early on a stop or connect request.
    void pause(int totalMs);
    // Pauses before the next attempt and lengthens the next pause.
    void backOff();
    bool sendAll(TcpSocket& socket, const mqtt_codec::ByteBuffer& bytes);
    struct Served
    {
        bool accepted = false;     // a CONNACK 0 arrived
        Clock::duration lasted{};  // from the CONNECT to the end
    };
    Served serveConnection(TcpSocket& socket);
    bool sendQueued(TcpSocket& socket);
    void endConnection();
    void sendAck(TcpSocket& socket, const mqtt_codec::ByteBuffer& ack);
    void dispatchConnack(int code);
    void dispatchPublish(const uint8_t* packet, size_t headerLength, size_t remainingLength, TcpSocket& socket);
    void dispatchPuback(int packetId);
    void dispatchPubrel(uint16_t packetId, TcpSocket& socket);
};
