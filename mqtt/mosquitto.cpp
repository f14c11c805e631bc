// The C-style entry points: argument checks, settings under the client's
// lock, and the network thread's start and stop.
#include "mqtt/mosquitto.h"

#include "mqtt/mosquitto_client.h"

#include <atomic>
#include <new>
#include <string>
#include <system_error>
#include <unistd.h>

namespace {

// POSIX sockets need no start-up, but callers pair init and cleanup and the
// counter keeps that contract observable.
std::atomic<int> g_libInitCount{0};
std::atomic<unsigned> g_clientCounter{1};
constexpr int kDefaultKeepalive = 60;

bool isEmpty(const char* text)
{
    return text == nullptr || *text == '\0';
}

template <typename Callback>
void storeCallback(mosquitto* client, Callback mosquitto::*field, Callback callback)
{
    if (!client)
        return;
    std::lock_guard<std::mutex> lock(client->mutex);
    client->*field = callback;
}

} // namespace

int mosquitto_lib_init()
{
    g_libInitCount.fetch_add(1);
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_lib_cleanup()
{
    int count = g_libInitCount.load();
    while (count > 0 && !g_libInitCount.compare_exchange_weak(count, count - 1)) {
    }
    return MOSQ_ERR_SUCCESS;
}

mosquitto* mosquitto_new(const char* id, bool cleanSession, void* userData)
{
    mosquitto* client = nullptr;
    try {
        client = new mosquitto;
    } catch (const std::exception&) {
        return nullptr; // out of memory, or no eventfd left
    }
    if (isEmpty(id)) {
        client->clientId = "kestro-" + std::to_string(::getpid()) + "-" + std::to_string(g_clientCounter.fetch_add(1));
    } else {
        client->clientId = id;
    }
    client->cleanSession = cleanSession;
    client->userData = userData;
    return client;
}

void mosquitto_destroy(mosquitto* client)
{
    if (!client)
        return;
    client->connectRequested.store(false);
    client->running.store(false);
    client->wake.signal();
    // Destroying from a callback (the network thread itself) is not allowed.
    if (client->thread.joinable() && client->thread.get_id() != std::this_thread::get_id())
        client->thread.join();
    delete client;
}

int mosquitto_username_pw_set(mosquitto* client, const char* username, const char* password)
{
    if (!client)
        return MOSQ_ERR_INVAL;
    std::lock_guard<std::mutex> lock(client->mutex);
    if (isEmpty(username)) {
        client->hasUsername = false;
        client->hasPassword = false;
        client->username.clear();
        client->password.clear();
        return MOSQ_ERR_SUCCESS;
    }
    client->hasUsername = true;
    client->username = username;
    // An empty password is still a password; only a null one means none.
    client->hasPassword = password != nullptr;
    client->password = password ? password : "";
    return MOSQ_ERR_SUCCESS;
}

void mosquitto_connect_callback_set(mosquitto* client, mosquitto_connect_fn callback)
{
    storeCallback(client, &mosquitto::onConnect, callback);
}

void mosquitto_disconnect_callback_set(mosquitto* client, mosquitto_disconnect_fn callback)
{
    storeCallback(client, &mosquitto::onDisconnect, callback);
}

void mosquitto_publish_callback_set(mosquitto* client, mosquitto_publish_fn callback)
{
    storeCallback(client, &mosquitto::onPublish, callback);
}

void mosquitto_message_callback_set(mosquitto* client, mosquitto_message_fn callback)
{
    storeCallback(client, &mosquitto::onMessage, callback);
}

int mosquitto_reconnect_delay_set(mosquitto* client, unsigned int delay, unsigned int delayMax, bool exponential)
{
    if (!client)
        return MOSQ_ERR_INVAL;
    // Read by the network thread before each pause between attempts.
    std::lock_guard<std::mutex> lock(client->mutex);
    client->reconnectDelay = static_cast<int>(delay);
    client->reconnectDelayMax = static_cast<int>(delayMax);
    client->reconnectExponential = exponential;
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_connect_async(mosquitto* client, const char* host, int port, int keepalive)
{
    if (!client || isEmpty(host) || port < 1 || port > 65535)
        return MOSQ_ERR_INVAL;
    {
        std::lock_guard<std::mutex> lock(client->mutex);
        client->host = host;
        client->port = port;
        client->keepalive = keepalive > 0 ? keepalive : kDefaultKeepalive;
        client->queue.clear();
    }
    client->nextRetryDelayMs.store(0);
    client->connectRequested.store(true);
    client->wake.signal();
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_connect(mosquitto* client, const char* host, int port, int keepalive)
{
    return mosquitto_connect_async(client, host, port, keepalive);
}

int mosquitto_disconnect(mosquitto* client)
{
    if (!client)
        return MOSQ_ERR_INVAL;
    client->connectRequested.store(false);
    client->wake.signal();
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_fast_liveness_set(mosquitto* client, bool fast)
{
    if (!client)
        return MOSQ_ERR_INVAL;
    client->fastLiveness.store(fast);
    client->wake.signal(); // the network thread recomputes its ping deadline
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_connect_failure(mosquitto* client)
{
    static_assert(static_cast<int>(TcpSocket::ConnectFailure::HostNotFound) == MOSQ_CONNECT_FAILURE_HOST_NOT_FOUND &&
                  static_cast<int>(TcpSocket::ConnectFailure::Refused) == MOSQ_CONNECT_FAILURE_REFUSED &&
                  static_cast<int>(TcpSocket::ConnectFailure::TimedOut) == MOSQ_CONNECT_FAILURE_TIMED_OUT &&
                  static_cast<int>(TcpSocket::ConnectFailure::Other) == MOSQ_CONNECT_FAILURE_OTHER);
    return client ? client->lastConnectFailure.load() : MOSQ_CONNECT_FAILURE_NONE;
}

int mosquitto_loop_start(mosquitto* client)
{
    if (!client)
        return MOSQ_ERR_INVAL;
    if (client->running.exchange(true))
        return MOSQ_ERR_SUCCESS;
    // A thread told to stop from inside a callback could not join itself.
    if (client->thread.joinable())
        client->thread.join();
    try {
        client->thread = std::thread([client] { client->runLoop(); });
    } catch (const std::system_error&) {
        client->running.store(false);
        return MOSQ_ERR_ERRNO;
    }
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_loop_stop(mosquitto* client, bool /*force: the thread always ends cleanly*/)
{
    if (!client)
        return MOSQ_ERR_INVAL;
    client->connectRequested.store(false);
    client->running.store(false);
    client->wake.signal();
    if (client->thread.joinable() && client->thread.get_id() != std::this_thread::get_id())
        client->thread.join();
    return MOSQ_ERR_SUCCESS;
}

const char* mosquitto_strerror(int code)
{
    switch (code) {
    case MOSQ_ERR_SUCCESS: return "No error";
    case MOSQ_ERR_NOMEM: return "Out of memory";
    case MOSQ_ERR_PROTOCOL: return "MQTT protocol error";
    case MOSQ_ERR_INVAL: return "Invalid function arguments provided";
    case MOSQ_ERR_NO_CONN: return "The client is not currently connected";
    case MOSQ_ERR_CONN_REFUSED: return "Connection refused";
    case MOSQ_ERR_NOT_FOUND: return "Message not found";
    case MOSQ_ERR_CONN_LOST: return "Connection lost";
    case MOSQ_ERR_TLS: return "TLS error";
    case MOSQ_ERR_PAYLOAD_SIZE: return "Payload too large";
    case MOSQ_ERR_NOT_SUPPORTED: return "Functionality not supported";
    case MOSQ_ERR_AUTH: return "Authentication failed";
    case MOSQ_ERR_ACL_DENIED: return "Access denied by ACL";
    default: return "Unknown MQTT error";
    }
}

int mosquitto_subscribe(mosquitto* client, int* messageIdOut, const char* topic, int qos)
{
    if (!client || isEmpty(topic))
        return MOSQ_ERR_INVAL;
    if (!client->connected.load())
        return MOSQ_ERR_NO_CONN;
    {
        std::lock_guard<std::mutex> lock(client->mutex);
        const int id = client->takeMessageId();
        if (messageIdOut)
            *messageIdOut = id;
        client->queue.push_back({mqtt_codec::buildSubscribe(static_cast<uint16_t>(id), topic, qos), 0, qos});
    }
    client->wake.signal();
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_publish(mosquitto* client, int* messageIdOut, const char* topic, int payloadLength, const void* payload,
                      int qos, bool retain)
{
    if (!client || isEmpty(topic) || payloadLength < 0)
        return MOSQ_ERR_INVAL;
    if (!client->connected.load())
        return MOSQ_ERR_NO_CONN;
    if (client->brokerAnswerOverdue())
        return MOSQ_ERR_CONN_LOST;
    {
        std::lock_guard<std::mutex> lock(client->mutex);
        const int id = client->takeMessageId();
        if (messageIdOut)
            *messageIdOut = id;
        client->queue.push_back({mqtt_codec::buildPublish(topic, static_cast<uint16_t>(id), payload,
                                                          static_cast<size_t>(payloadLength), qos, retain),
                                 id, qos});
    }
    client->wake.signal();
    return MOSQ_ERR_SUCCESS;
}
