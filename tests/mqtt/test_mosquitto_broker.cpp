// The session against a real mosquitto broker started for each test.
#include "mqtt/mosquitto_client.h"
#include "tests/mqtt/loopback_server.h"
#include "tests/mqtt/session_recorder.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/wait_for.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using kestro_test::MosquittoBroker;
using kestro_test::waitFor;
using namespace std::chrono_literals;

namespace {

struct BrokerClient
{
    BrokerClient()
        : client(mosquitto_new(nullptr, true, &recorder))
    {
        recorder.attach(client);
    }
    ~BrokerClient() { mosquitto_destroy(client); }

    bool connectTo(const MosquittoBroker& broker, int keepalive = 60)
    {
        return mosquitto_connect_async(client, broker.host(), broker.port(), keepalive) == MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(client) == MOSQ_ERR_SUCCESS;
    }

    bool waitConnected()
    {
        return waitFor([this] { return !recorder.connectCodes().empty() && recorder.connectCodes().back() == 0; });
    }

    SessionRecorder recorder;
    mosquitto* client;
};

// SUBACK is not reported to the application, so a subscription is known to
// be in force once a probe message published afterwards comes back.
bool subscribeAndSync(BrokerClient& subscriber, BrokerClient& publisher, const std::string& topic)
{
    if (mosquitto_subscribe(subscriber.client, nullptr, topic.c_str(), 1) != MOSQ_ERR_SUCCESS)
        return false;
    return waitFor([&] {
        mosquitto_publish(publisher.client, nullptr, topic.c_str(), 5, "probe", 0, false);
        return waitFor([&] { return !subscriber.recorder.messages().empty(); }, 200ms);
    });
}

} // namespace

// A broker with a subscriber and a publisher connected to it.
class BrokerWithTwoClients : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(broker.start()) << broker.error();
        ASSERT_TRUE(subscriber.connectTo(broker));
        ASSERT_TRUE(publisher.connectTo(broker));
        ASSERT_TRUE(subscriber.waitConnected()) << broker.log();
        ASSERT_TRUE(publisher.waitConnected()) << broker.log();
    }

    MosquittoBroker broker;
    BrokerClient subscriber;
    BrokerClient publisher;
};

TEST_F(BrokerWithTwoClients, PublishAndSubscribeAtQos0AndQos1)
{
    ASSERT_TRUE(subscribeAndSync(subscriber, publisher, "kestro/test/data"));
    const size_t probes = subscriber.recorder.messages().size();

    int qos0Id = 0;
    int qos1Id = 0;
    const std::string binary("\x00\x01\xFFz", 4);
    ASSERT_EQ(mosquitto_publish(publisher.client, &qos0Id, "kestro/test/data", 4, binary.data(), 0, false), 0);
    ASSERT_EQ(mosquitto_publish(publisher.client, &qos1Id, "kestro/test/data", 3, "one", 1, false), 0);

    // The broker's PUBACK for the QoS 1 message reaches the publish callback.
    ASSERT_TRUE(waitFor([&] {
        const auto ids = publisher.recorder.publishedIds();
        return std::find(ids.begin(), ids.end(), qos0Id) != ids.end() &&
               std::find(ids.begin(), ids.end(), qos1Id) != ids.end();
    }));
    ASSERT_TRUE(waitFor([&] { return subscriber.recorder.messages().size() >= probes + 2; }));
    const auto messages = subscriber.recorder.messages();
    const auto& first = messages[messages.size() - 2];
    const auto& second = messages.back();
    EXPECT_EQ(first.topic, "kestro/test/data");
    EXPECT_EQ(first.payload, binary);
    EXPECT_EQ(first.qos, 0);
    EXPECT_EQ(second.payload, "one");
    EXPECT_EQ(second.qos, 1);
    EXPECT_GT(second.messageId, 0);
    EXPECT_EQ(subscriber.recorder.disconnects(), 0);
}

TEST(MosquittoBroker, KeepAlivePingsHoldAnIdleConnection)
{
    MosquittoBroker::Options options;
    options.logPackets = true;
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.start()) << broker.error();
    BrokerClient idle;
    ASSERT_TRUE(idle.connectTo(broker, 11));
    ASSERT_TRUE(idle.waitConnected()) << broker.log();
    const auto connectedAt = std::chrono::steady_clock::now();
    // The only client of this broker.
    const auto pings = [&] {
        const std::string log = broker.log();
        int count = 0;
        for (auto at = log.find("Received PINGREQ from "); at != std::string::npos;
             at = log.find("Received PINGREQ from ", at + 1))
            ++count;
        return count;
    };

    // Keep-alive 11: a PINGREQ every 5 s (half of it, whole seconds), so the
    // broker, which drops a silent client after 1.5 x 11 s, never has to.
    std::this_thread::sleep_until(connectedAt + 12500ms);
    EXPECT_EQ(2, pings()) << "PINGREQs at 5 s and 10 s\n" << broker.log();

    // Other packets do not put the next PINGREQ off: it still comes at 15 s.
    ASSERT_EQ(mosquitto_subscribe(idle.client, nullptr, "kestro/test/echo", 0), 0);
    while (std::chrono::steady_clock::now() < connectedAt + 18s) {
        mosquitto_publish(idle.client, nullptr, "kestro/test/echo", 1, "e", 0, false);
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_EQ(3, pings()) << broker.log();
    EXPECT_EQ(idle.recorder.disconnects(), 0) << broker.log();
    EXPECT_EQ(idle.recorder.connectCodes(), std::vector<int>{0});
    EXPECT_TRUE(idle.client->connected.load());
    EXPECT_EQ(broker.log().find("exceeded timeout"), std::string::npos) << broker.log();
    EXPECT_FALSE(idle.recorder.messages().empty()) << "the connection carries traffic";
}

TEST(MosquittoBroker, SilentClientIsDroppedByTheBroker)
{
    // The counterpart of the keep-alive test: proves the broker enforces the
    // keep-alive we announce, so the test above could fail. A raw CONNECT
    // with keep-alive 6 and no pings is dropped after 1.5 x 6 s.
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.error();
    mqtt_codec::ConnectOptions options;
    options.clientId = "silent";
    options.keepalive = 6;
    TcpSocket socket = TcpSocket::connectTo(broker.host(), broker.port(), [] { return true; });
    ASSERT_TRUE(socket.isValid());
    mqtt_codec::ByteBuffer connect = mqtt_codec::buildConnect(options);
    ASSERT_EQ(socket.sendSome(connect.data(), connect.size()), static_cast<long>(connect.size()));
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - start < 20s) {
        if (socket.waitReadable(100) == TcpSocket::Wait::Ready) {
            uint8_t chunk[64];
            closed = socket.receiveSome(chunk, sizeof chunk) == 0;
        }
    }
    EXPECT_TRUE(closed);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 8s);
}

TEST(MosquittoBroker, CredentialsAcceptedAndRefused)
{
    MosquittoBroker broker(MosquittoBroker::Options{"operator", "s3cret"});
    ASSERT_TRUE(broker.start()) << broker.error();

    BrokerClient good;
    mosquitto_username_pw_set(good.client, "operator", "s3cret");
    ASSERT_TRUE(good.connectTo(broker));
    ASSERT_TRUE(good.waitConnected()) << broker.log();

    const struct {
        const char* username;
        const char* password;
    } refused[] = {{"operator", "wrong"}, {"intruder", "s3cret"}, {nullptr, nullptr}};
    for (const auto& c : refused) {
        BrokerClient bad;
        mosquitto_username_pw_set(bad.client, c.username, c.password);
        ASSERT_TRUE(bad.connectTo(broker));
        ASSERT_TRUE(waitFor([&] { return !bad.recorder.connectCodes().empty(); })) << broker.log();
        // MQTT 3.1.1 return code 5: not authorised.
        EXPECT_EQ(bad.recorder.connectCodes()[0], 5) << (c.username ? c.username : "anonymous");
        EXPECT_FALSE(bad.client->connected.load());
        EXPECT_EQ(bad.recorder.disconnects(), 0);
    }
    EXPECT_EQ(good.recorder.disconnects(), 0);
}

// Another process may take the chosen port before the broker binds it; the
// broker must then end up on a port of its own, and the wait for it must
// never hang on whoever holds the first one, even when that listener's
// queue is full and the kernel drops new connections unanswered.
TEST(MosquittoBroker, MovesOnWhenItsPortIsTakenAndNeverHangsOnTheHolder)
{
    LoopbackServer holder(LoopbackServer::Family::IPv4, 0);
    ASSERT_NE(holder.port(), 0);
    holder.queueConnections(8);
    waitFor([] { return false; }, 200ms); // the handshakes settle into the full queue

    const auto probeStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(kestro_test::loopbackPortAnswers(holder.port()));
    EXPECT_LT(std::chrono::steady_clock::now() - probeStart, 5s) << "the probe waited on the kernel's SYN retries";

    MosquittoBroker::Options options;
    options.port = holder.port();
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.start()) << broker.error();
    EXPECT_NE(broker.port(), holder.port());
    EXPECT_NE(broker.log().find("Address already in use"), std::string::npos) << broker.log();

    BrokerClient client;
    ASSERT_TRUE(client.connectTo(broker));
    EXPECT_TRUE(client.waitConnected());

    // A restart keeps the port it has, which is what restarts test.
    const int port = broker.port();
    broker.stop();
    ASSERT_TRUE(broker.start()) << broker.error();
    EXPECT_EQ(broker.port(), port);
}

TEST_F(BrokerWithTwoClients, Qos2MessagesArriveOnceAndTheBrokerCompletesTheFlow)
{
    // The probe's subscription, behind this one on the same connection, shows both in force.
    ASSERT_EQ(mosquitto_subscribe(subscriber.client, nullptr, "kestro/test/exactly-once", 2), MOSQ_ERR_SUCCESS);
    ASSERT_TRUE(subscribeAndSync(subscriber, publisher, "kestro/test/q2"));

    // The broker's own client publishes at QoS 2; the broker then delivers at
    // QoS 2 and waits for our PUBREC, then our PUBCOMP to its PUBREL.
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(kestro_test::runProgram({"/usr/bin/mosquitto_pub", "-h", broker.host(), "-p",
                                           std::to_string(broker.port()), "-q", "2", "-t", "kestro/test/exactly-once",
                                           "-m", text}),
                  0);
    }
    auto exactlyOnce = [&] {
        std::vector<std::string> texts;
        for (const auto& message : subscriber.recorder.messages())
            if (message.topic == "kestro/test/exactly-once")
                texts.push_back(message.payload + "@" + std::to_string(message.qos));
        return texts;
    };
    ASSERT_TRUE(waitFor([&] { return exactlyOnce().size() >= 3; })) << broker.log();
    waitFor([] { return false; }, 500ms); // a resend would arrive now
    EXPECT_EQ(exactlyOnce(), (std::vector<std::string>{"one@2", "two@2", "three@2"}));
    EXPECT_EQ(subscriber.recorder.disconnects(), 0) << broker.log();
    EXPECT_EQ(broker.log().find("rotocol error"), std::string::npos) << broker.log();
}
