#pragma once

#include "mqtt/mosquitto.h"
#include "mqtt/mqtt_codec.h"
#include "mqtt/tcp_socket.h"
#include "mqtt/tls_session.h"
#include "mqtt/wake_event.h"

#include <atomic>
#include <deque>
#include <mutex>
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
    // Signalled when a packet is queued or a stop is requested, so the
    // network thread does not sit out the rest of a poll interval.
    WakeEvent wake;

    // Takes the next packet identifier; the caller holds the lock.
    int takeMessageId();

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
    // Sleeps up to totalMs in stepMs steps; ends early on a stop request.
    void pause(int totalMs, int stepMs);
    bool sendAll(TcpSocket& socket, const mqtt_codec::ByteBuffer& bytes);
    // Serves one accepted TCP connection; true when a CONNACK 0 arrived.
    bool serveConnection(TcpSocket& socket);
    bool sendQueued(TcpSocket& socket);
    void endConnection();
    void sendPuback(TcpSocket& socket, uint16_t packetId);
    void dispatchConnack(int code);
    void dispatchPublish(const uint8_t* packet, size_t headerLength, size_t remainingLength, TcpSocket& socket);
    void dispatchPuback(int packetId);
};
