#include "mqtt/mosquitto_client.h"
#include "tests/mqtt/loopback_server.h"
#include "tests/mqtt/session_recorder.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/wait_for.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

using Bytes = LoopbackServer::Bytes;
using kestro_test::waitFor;
using namespace std::chrono_literals;

namespace {

const Bytes kConnackAccepted{0x20, 0x02, 0x00, 0x00};

// Owns a client and always stops its thread, also when an assertion fails.
struct ClientHandle
{
    explicit ClientHandle(const char* id = "c")
        : client(mosquitto_new(id, true, &recorder))
    {
        recorder.attach(client);
    }
    ~ClientHandle() { mosquitto_destroy(client); }
    // Asks for a connection and starts the network thread that makes it.
    bool start(const char* host, int port, int keepalive = 60)
    {
        return mosquitto_connect_async(client, host, port, keepalive) == MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(client) == MOSQ_ERR_SUCCESS;
    }
    SessionRecorder recorder;
    mosquitto* client;
};

// Accepts the client's next connection and reads its CONNECT; -1 when none
// comes or its first packet is something else.
int acceptConnect(LoopbackServer& server, std::chrono::milliseconds timeout = 10s)
{
    const int peer = server.acceptClient(timeout);
    if (peer < 0)
        return -1;
    const Bytes connect = LoopbackServer::readPacket(peer);
    return !connect.empty() && connect[0] == 0x10 ? peer : -1;
}

// As acceptConnect, then plays a broker that accepts the session, until the
// client knows it is connected.
int acceptSession(LoopbackServer& server, ClientHandle& handle)
{
    const int peer = acceptConnect(server);
    if (peer < 0 || !LoopbackServer::writeBytes(peer, kConnackAccepted))
        return -1;
    return waitFor([&] { return handle.client->connected.load(); }) ? peer : -1;
}

double secondsBetween(SessionRecorder::Clock::time_point from, SessionRecorder::Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

TEST(MosquittoApi, ArgumentAndStateChecks)
{
    ClientHandle handle;
    mosquitto* client = handle.client;
    const char payload[] = "x";
    const struct {
        const char* what;
        int code;
        int expected;
    } cases[] = {
        {"username on null", mosquitto_username_pw_set(nullptr, "u", "p"), MOSQ_ERR_INVAL},
        {"delay on null", mosquitto_reconnect_delay_set(nullptr, 1, 2, false), MOSQ_ERR_INVAL},
        {"connect null client", mosquitto_connect_async(nullptr, "localhost", 1883, 60), MOSQ_ERR_INVAL},
        {"connect null host", mosquitto_connect_async(client, nullptr, 1883, 60), MOSQ_ERR_INVAL},
        {"connect empty host", mosquitto_connect(client, "", 1883, 60), MOSQ_ERR_INVAL},
        {"connect port 0", mosquitto_connect_async(client, "localhost", 0, 60), MOSQ_ERR_INVAL},
        {"connect port 65536", mosquitto_connect_async(client, "localhost", 65536, 60), MOSQ_ERR_INVAL},
        {"disconnect null", mosquitto_disconnect(nullptr), MOSQ_ERR_INVAL},
        {"loop start null", mosquitto_loop_start(nullptr), MOSQ_ERR_INVAL},
        {"loop stop null", mosquitto_loop_stop(nullptr, false), MOSQ_ERR_INVAL},
        {"subscribe null topic", mosquitto_subscribe(client, nullptr, nullptr, 0), MOSQ_ERR_INVAL},
        {"subscribe empty topic", mosquitto_subscribe(client, nullptr, "", 0), MOSQ_ERR_INVAL},
        {"publish empty topic", mosquitto_publish(client, nullptr, "", 1, payload, 0, false), MOSQ_ERR_INVAL},
        {"publish negative length", mosquitto_publish(client, nullptr, "t", -1, payload, 0, false), MOSQ_ERR_INVAL},
        {"subscribe unconnected", mosquitto_subscribe(client, nullptr, "t", 0), MOSQ_ERR_NO_CONN},
        {"publish unconnected", mosquitto_publish(client, nullptr, "t", 1, payload, 0, false), MOSQ_ERR_NO_CONN},
        {"lib init", mosquitto_lib_init(), MOSQ_ERR_SUCCESS},
        {"lib cleanup", mosquitto_lib_cleanup(), MOSQ_ERR_SUCCESS},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.code, c.expected) << c.what;
    EXPECT_TRUE(client->queue.empty());
    EXPECT_EQ(client->nextMessageId, 1);

    // A valid connect request stores its settings; keep-alive 0 means 60.
    EXPECT_EQ(mosquitto_connect_async(client, "broker.example", 1884, 0), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(client->host, "broker.example");
    EXPECT_EQ(client->port, 1884);
    EXPECT_EQ(client->keepalive, 60);
    EXPECT_TRUE(client->connectRequested.load());
    EXPECT_EQ(mosquitto_disconnect(client), MOSQ_ERR_SUCCESS);
    EXPECT_FALSE(client->connectRequested.load());
}

TEST(MosquittoApi, GeneratedClientIdsCountUp)
{
    ClientHandle first(nullptr);
    ClientHandle second("");
    ClientHandle named("robot-7");
    const std::string prefix = "kestro-" + std::to_string(::getpid()) + "-";
    ASSERT_EQ(first.client->clientId.rfind(prefix, 0), 0u) << first.client->clientId;
    ASSERT_EQ(second.client->clientId.rfind(prefix, 0), 0u) << second.client->clientId;
    const int n = std::stoi(first.client->clientId.substr(prefix.size()));
    EXPECT_GE(n, 1);
    EXPECT_EQ(second.client->clientId, prefix + std::to_string(n + 1));
    EXPECT_EQ(named.client->clientId, "robot-7");
}

TEST(MosquittoApi, CredentialRules)
{
    ClientHandle handle;
    mosquitto* client = handle.client;
    const struct {
        const char* username;
        const char* password;
        bool hasUsername;
        bool hasPassword;
    } cases[] = {
        {"u", "p", true, true},
        {"u", "", true, true},
        {"u", nullptr, true, false},
        {"", "p", false, false},
        {nullptr, "p", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mosquitto_username_pw_set(client, c.username, c.password), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(client->hasUsername, c.hasUsername);
        EXPECT_EQ(client->hasPassword, c.hasPassword);
        EXPECT_EQ(client->username, c.hasUsername ? c.username : "");
        EXPECT_EQ(client->password, c.hasPassword ? c.password : "");
    }
}

TEST(MosquittoApi, PacketIdentifiersWrapFrom65535ToOne)
{
    ClientHandle handle;
    mosquitto* client = handle.client;
    // No network thread: the flag alone lets packets be queued.
    client->connected.store(true);
    client->nextMessageId = 65535;
    int id = 0;
    EXPECT_EQ(mosquitto_publish(client, &id, "t", 0, nullptr, 1, false), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(id, 65535);
    EXPECT_EQ(mosquitto_subscribe(client, &id, "s", 0), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(id, 1);
    ASSERT_EQ(client->queue.size(), 2u);
    EXPECT_EQ(client->queue[0].bytes, (Bytes{0x32, 0x05, 0x00, 0x01, 't', 0xFF, 0xFF}));
    EXPECT_EQ(client->queue[0].messageId, 65535);
    EXPECT_EQ(client->queue[1].messageId, 0);
    EXPECT_EQ(client->queue[1].bytes, (Bytes{0x82, 0x06, 0x00, 0x01, 0x00, 0x01, 's', 0x00}));

    // A new connect request drops what was queued for the old connection.
    EXPECT_EQ(mosquitto_connect_async(client, "localhost", 1, 60), MOSQ_ERR_SUCCESS);
    EXPECT_TRUE(client->queue.empty());
}

TEST(MosquittoApi, LoopStartTwiceStartsOneThread)
{
    ClientHandle handle;
    ASSERT_EQ(mosquitto_loop_start(handle.client), MOSQ_ERR_SUCCESS);
    const std::thread::id first = handle.client->thread.get_id();
    ASSERT_EQ(mosquitto_loop_start(handle.client), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(handle.client->thread.get_id(), first);
    EXPECT_EQ(mosquitto_loop_stop(handle.client, false), MOSQ_ERR_SUCCESS);
    EXPECT_FALSE(handle.client->thread.joinable());
    // And it can be started again after a stop.
    ASSERT_EQ(mosquitto_loop_start(handle.client), MOSQ_ERR_SUCCESS);
    EXPECT_TRUE(handle.client->thread.joinable());
}

TEST(MosquittoSession, ConversationOnTheWire)
{
    LoopbackServer server;
    ClientHandle handle("c");
    mosquitto* client = handle.client;
    mosquitto_username_pw_set(client, "u", "p");
    ASSERT_TRUE(handle.start("127.0.0.1", server.port(), 5));

    const int peer = server.acceptClient();
    ASSERT_GE(peer, 0);
    // Keep-alive 5 goes out as 60; clean session, user name and password.
    EXPECT_EQ(LoopbackServer::readPacket(peer),
              (Bytes{0x10, 0x13, 0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04, 0xC2, 0x00, 0x3C, 0x00, 0x01, 'c', 0x00, 0x01,
                     'u', 0x00, 0x01, 'p'}));
    EXPECT_EQ(mosquitto_publish(client, nullptr, "a/b", 1, "x", 0, false), MOSQ_ERR_NO_CONN);

    ASSERT_TRUE(LoopbackServer::writeBytes(peer, kConnackAccepted));
    ASSERT_TRUE(waitFor([&] { return handle.recorder.connectCodes() == std::vector<int>{0}; }));

    int qos0Id = 0;
    int qos1Id = 0;
    int subscribeId = 0;
    ASSERT_EQ(mosquitto_publish(client, &qos0Id, "a/b", 5, "hello", 0, false), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(mosquitto_publish(client, &qos1Id, "a/b", 2, "hi", 1, true), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(mosquitto_subscribe(client, &subscribeId, "s/#", 1), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(qos0Id, 1);
    EXPECT_EQ(qos1Id, 2);
    EXPECT_EQ(subscribeId, 3);
    EXPECT_EQ(LoopbackServer::readPacket(peer), (Bytes{0x30, 0x0A, 0x00, 0x03, 'a', '/', 'b', 'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(LoopbackServer::readPacket(peer), (Bytes{0x33, 0x09, 0x00, 0x03, 'a', '/', 'b', 0x00, 0x02, 'h', 'i'}));
    EXPECT_EQ(LoopbackServer::readPacket(peer), (Bytes{0x82, 0x08, 0x00, 0x03, 0x00, 0x03, 's', '/', '#', 0x01}));
    // QoS 0 is reported once written; QoS 1 only when its PUBACK comes.
    ASSERT_TRUE(waitFor([&] { return handle.recorder.publishedIds() == std::vector<int>{1}; }));
    ASSERT_TRUE(LoopbackServer::writeBytes(peer, {0x40, 0x02, 0x00, 0x02}));
    ASSERT_TRUE(waitFor([&] { return handle.recorder.publishedIds() == std::vector<int>{1, 2}; }));

    // A QoS 1 message from the broker is acknowledged and delivered.
    ASSERT_TRUE(LoopbackServer::writeBytes(peer, {0x32, 0x07, 0x00, 0x01, 's', 0x12, 0x34, 'o', 'k'}));
    EXPECT_EQ(LoopbackServer::readPacket(peer), (Bytes{0x40, 0x02, 0x12, 0x34}));
    ASSERT_TRUE(waitFor([&] { return handle.recorder.messages().size() == 1; }));
    EXPECT_EQ(handle.recorder.messages()[0].payload, "ok");

    EXPECT_EQ(mosquitto_disconnect(client), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(LoopbackServer::readPacket(peer), (Bytes{0xE0, 0x00}));
    EXPECT_TRUE(LoopbackServer::waitClosed(peer));
    ASSERT_TRUE(waitFor([&] { return handle.recorder.disconnects() == 1; }));
    // Idle after a disconnect: no new connection attempt.
    EXPECT_EQ(server.acceptClient(300ms), -1);

    // Until a connect request comes again.
    ASSERT_EQ(mosquitto_connect_async(client, "127.0.0.1", server.port(), 60), MOSQ_ERR_SUCCESS);
    EXPECT_GE(server.acceptClient(), 0);
}

TEST(MosquittoSession, ResolvesHostNames)
{
    // Where "localhost" also resolves to ::1, that address is refused by this
    // IPv4-only server and the next one must be tried.
    LoopbackServer server;
    ClientHandle handle;
    ASSERT_TRUE(handle.start("localhost", server.port()));
    EXPECT_GE(acceptConnect(server), 0);
}

TEST(MosquittoSession, ConnectsOverIPv6)
{
    LoopbackServer server(LoopbackServer::Family::IPv6);
    if (server.port() == 0)
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    ClientHandle handle;
    ASSERT_TRUE(handle.start("::1", server.port()));
    EXPECT_GE(acceptSession(server, handle), 0);
    EXPECT_EQ(handle.recorder.connectCodes(), std::vector<int>{0});
}

// Without the pause a client would reconnect in a tight loop to a broker
// that ends every connection early.
TEST(MosquittoSession, AConnectionThatEndsEarlyIsRetriedOnlyAfterAPause)
{
    const Bytes refused{0x20, 0x02, 0x00, 0x05};
    const struct {
        const char* how;
        const Bytes* connack; // the broker's answer, if any
        bool clientCloses;    // the client ends the connection, not the broker
        std::vector<int> connectCodes;
        int disconnects;
    } cases[] = {
        {"closed before the CONNACK", nullptr, false, {}, 0},
        // The client ends a refused connection itself, without a DISCONNECT.
        {"refused CONNACK", &refused, true, {5}, 0},
        {"closed right after an accepted CONNACK", &kConnackAccepted, false, {0}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        LoopbackServer server;
        ClientHandle handle;
        ASSERT_TRUE(handle.start("127.0.0.1", server.port()));
        const int first = acceptConnect(server);
        ASSERT_GE(first, 0);
        if (c.connack) {
            ASSERT_TRUE(LoopbackServer::writeBytes(first, *c.connack));
        }
        if (c.clientCloses) {
            EXPECT_TRUE(LoopbackServer::waitClosed(first));
        } else {
            ASSERT_TRUE(waitFor([&] { return handle.recorder.connectCodes() == c.connectCodes; }));
            server.closeClient(first);
        }
        ASSERT_TRUE(waitFor([&] { return handle.recorder.disconnects() == c.disconnects; }));
        const auto endedAt = std::chrono::steady_clock::now();
        EXPECT_EQ(handle.recorder.connectCodes(), c.connectCodes);

        const int second = acceptConnect(server);
        ASSERT_GE(second, 0);
        EXPECT_GE(secondsBetween(endedAt, std::chrono::steady_clock::now()), 0.9);
        EXPECT_FALSE(handle.client->connected.load());
        EXPECT_EQ(handle.recorder.disconnects(), c.disconnects);
        // The retried connection is a whole session.
        ASSERT_TRUE(LoopbackServer::writeBytes(second, kConnackAccepted));
        ASSERT_TRUE(waitFor([&] { return handle.recorder.connectCodes().size() == c.connectCodes.size() + 1; }));
        EXPECT_EQ(mosquitto_publish(handle.client, nullptr, "t", 1, "z", 0, false), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(LoopbackServer::readPacket(second), (Bytes{0x30, 0x04, 0x00, 0x01, 't', 'z'}));
    }
}

TEST(MosquittoSession, BrokerThatNeverAnswersIsLeftAfterTheKeepAlive)
{
    LoopbackServer server;
    ClientHandle handle;
    ASSERT_TRUE(handle.start("127.0.0.1", server.port(), 6));
    const int silent = acceptConnect(server);
    ASSERT_GE(silent, 0);
    const auto sentAt = std::chrono::steady_clock::now();
    // No CONNACK ever comes: after 6 s the client closes and tries again.
    EXPECT_TRUE(LoopbackServer::waitClosed(silent, 20s));
    EXPECT_GE(secondsBetween(sentAt, std::chrono::steady_clock::now()), 5.5);
    EXPECT_GE(server.acceptClient(20s), 0);
    EXPECT_TRUE(handle.recorder.connectCodes().empty());
}

// An unreachable broker is reported with code 5 on every attempt.
TEST(MosquittoSession, ReconnectPausesFollowTheDelaySettings)
{
    const struct {
        unsigned delay, delayMax;
        bool exponential;
        std::vector<double> pauses; // seconds between the failed attempts
    } cases[] = {
        {1, 10, false, {1, 1, 1}},
        {1, 2, true, {1, 2, 2}},
    };
    const int port = kestro_test::findFreeLoopbackPort(); // nothing listens there
    for (const auto& c : cases) {
        ClientHandle handle;
        ASSERT_EQ(mosquitto_reconnect_delay_set(handle.client, c.delay, c.delayMax, c.exponential), MOSQ_ERR_SUCCESS);
        ASSERT_TRUE(handle.start("127.0.0.1", port));
        ASSERT_TRUE(waitFor([&] { return handle.recorder.connectCodes().size() > c.pauses.size(); }, 15s));
        const auto times = handle.recorder.connectTimes();
        EXPECT_EQ(handle.recorder.connectCodes()[0], MOSQ_ERR_CONN_REFUSED);
        for (size_t i = 0; i < c.pauses.size(); ++i) {
            const double pause = secondsBetween(times[i], times[i + 1]);
            EXPECT_GE(pause, c.pauses[i] - 0.1) << "pause " << i;
            EXPECT_LT(pause, c.pauses[i] + 0.9) << "pause " << i;
        }
        // A stop during a pause ends it promptly (the join returns).
        EXPECT_EQ(mosquitto_loop_stop(handle.client, false), MOSQ_ERR_SUCCESS);
    }
}

TEST(MosquittoSession, OversizedPacketFromTheBrokerIsSkippedAndTheConnectionStays)
{
    LoopbackServer server;
    ClientHandle handle;
    ASSERT_TRUE(handle.start("127.0.0.1", server.port()));
    const int peer = acceptSession(server, handle);
    ASSERT_GE(peer, 0);

    // A PUBLISH of 1 MiB + 1 bytes, then a small one.
    Bytes big{0x30, 0x81, 0x80, 0x40, 0x00, 0x01, 't'};
    big.resize(4 + 1024 * 1024 + 1, 'x');
    ASSERT_TRUE(LoopbackServer::writeBytes(peer, big));
    ASSERT_TRUE(LoopbackServer::writeBytes(peer, {0x30, 0x04, 0x00, 0x01, 'u', 'z'}));
    ASSERT_TRUE(waitFor([&] { return !handle.recorder.messages().empty(); }));
    EXPECT_EQ(handle.recorder.messages()[0].topic, "u");
    EXPECT_EQ(handle.recorder.disconnects(), 0);
    EXPECT_TRUE(handle.client->connected.load());
}

namespace {

// Voluntary context switches of every thread of this process so far.
long contextSwitches()
{
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

} // namespace

// A connected client with nothing to send, and one asked to disconnect,
// sleep until something is due instead of polling every few milliseconds.
TEST(MosquittoSession, NetworkThreadSleepsWhileNothingIsDue)
{
    LoopbackServer server;
    ClientHandle handle;
    ASSERT_TRUE(handle.start("127.0.0.1", server.port()));
    ASSERT_GE(acceptSession(server, handle), 0);

    for (const char* state : {"connected", "disconnected"}) {
        const long before = contextSwitches();
        std::this_thread::sleep_for(1s);
        EXPECT_LT(contextSwitches() - before, 10) << state;
        mosquitto_disconnect(handle.client);
        ASSERT_TRUE(waitFor([&] { return handle.recorder.disconnects() == 1; }));
    }
}

// A broker that takes our PINGREQs and never answers: publishing is refused
// once an answer is overdue, and the connection is given up within 2 s
// while driving the robot, otherwise within 1.5 keep-alives.
TEST(MosquittoSession, UnansweredPingsGiveTheConnectionUp)
{
    const struct {
        bool fast;
        int keepalive;
        double boundSeconds; // from the CONNACK, the broker's last word
    } cases[] = {
        {true, 60, 2.0},
        {false, 6, 9.0},
    };
    for (const auto& c : cases) {
        LoopbackServer server;
        ClientHandle handle;
        mosquitto_fast_liveness_set(handle.client, c.fast);
        ASSERT_TRUE(handle.start("127.0.0.1", server.port(), c.keepalive));
        const int peer = acceptConnect(server);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(LoopbackServer::writeBytes(peer, kConnackAccepted));
        const auto lastWord = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitFor([&] { return handle.client->connected.load(); }));

        EXPECT_EQ(LoopbackServer::readPacket(peer, 20s), (Bytes{0xC0, 0x00})) << "fast " << c.fast;
        ASSERT_TRUE(waitFor([&] { return mosquitto_publish(handle.client, nullptr, "t", 1, "z", 0, false) ==
                                         MOSQ_ERR_CONN_LOST; }, 20s));
        ASSERT_TRUE(waitFor([&] { return handle.recorder.disconnects() == 1; }, 20s)) << "fast " << c.fast;
        const double noticed = secondsBetween(lastWord, std::chrono::steady_clock::now());
        EXPECT_LE(noticed, c.boundSeconds) << "fast " << c.fast;
        EXPECT_GE(noticed, c.fast ? 1.0 : c.keepalive * 0.75) << "fast " << c.fast;
    }
}
