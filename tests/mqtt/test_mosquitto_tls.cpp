// The session over TLS against a real mosquitto broker with a TLS listener on
// loopback, its certificates issued by a throwaway CA made for each test.
#include "mqtt/mosquitto.h"
#include "tests/mqtt/byte_relay.h"
#include "tests/mqtt/session_recorder.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/test_pki.h"
#include "tests/support/wait_for.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

using kestro_test::MosquittoBroker;
using kestro_test::TestPki;
using kestro_test::waitFor;
using namespace std::chrono_literals;

namespace {

struct TlsClient
{
    TlsClient()
        : client(mosquitto_new(nullptr, true, &recorder))
    {
        recorder.attach(client);
    }
    ~TlsClient() { mosquitto_destroy(client); }
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool start(const std::string& host, int port)
    {
        return mosquitto_connect_async(client, host.c_str(), port, 60) == MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(client) == MOSQ_ERR_SUCCESS;
    }
    bool sawCode(int code) const
    {
        const auto codes = recorder.connectCodes();
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }
    bool waitConnected()
    {
        return waitFor([this] { return sawCode(MOSQ_ERR_SUCCESS); });
    }
    std::string lastTlsError()
    {
        char text[512];
        mosquitto_tls_last_error(client, text, sizeof text);
        return text;
    }

    SessionRecorder recorder;
    mosquitto* client;
};

MosquittoBroker::Options tlsBroker(const TestPki& pki, const TestPki::Issued& certificate)
{
    MosquittoBroker::Options options;
    options.caFile = pki.caFile();
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;
    return options;
}

} // namespace

TEST(MosquittoTls, PublishesAndReceivesThroughAVerifiedBroker)
{
    TestPki pki;
    const TestPki::Issued brokerCertificate = pki.issueLoopbackBroker("broker");
    ASSERT_TRUE(pki.ok()) << pki.error();
    MosquittoBroker broker(tlsBroker(pki, brokerCertificate));
    ASSERT_TRUE(broker.start()) << broker.error();

    TlsClient subscriber;
    TlsClient publisher;
    for (TlsClient* side : {&subscriber, &publisher}) {
        ASSERT_EQ(mosquitto_tls_set(side->client, pki.caFile().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
        ASSERT_TRUE(side->start("localhost", broker.port()));
        ASSERT_TRUE(side->waitConnected()) << side->lastTlsError() << broker.log();
    }
    ASSERT_EQ(mosquitto_subscribe(subscriber.client, nullptr, "kestro/tls/data", 1), 0);
    // The subscription is in force once a message published after it arrives.
    const std::string frame("KSB1\x08\x05\x03\x03\x04\x96\x00", 11);
    ASSERT_TRUE(waitFor([&] {
        mosquitto_publish(publisher.client, nullptr, "kestro/tls/data", static_cast<int>(frame.size()), frame.data(),
                          1, false);
        return waitFor([&] { return !subscriber.recorder.messages().empty(); }, 200ms);
    }));
    const SessionRecorder::Message received = subscriber.recorder.messages().front();
    EXPECT_EQ(received.topic, "kestro/tls/data");
    EXPECT_EQ(received.payload, frame);
    EXPECT_TRUE(waitFor([&] { return !publisher.recorder.publishedIds().empty(); })) << "no PUBACK through TLS";
}

// Each row is one broker and one client set-up: either the client connects,
// or it refuses with the reason an operator reads, and never connects in
// clear text instead.
TEST(MosquittoTls, ConnectsOnlyToBrokersItCanTrust)
{
    enum class BrokerCertificate { Loopback, OtherCa, Expired, OtherName, SelfSigned, PlainListener };
    enum class Trust { OurCa, SystemStore };
    enum class ClientCertificate { None, Given, LockedKey };
    struct Case
    {
        const char* name;
        BrokerCertificate brokerCertificate;
        bool brokerWantsClientCertificate;
        const char* host;
        Trust trust;
        ClientCertificate clientCertificate;
        bool insecureHostName; // mosquitto_tls_insecure_set(true)
        bool skipVerification; // cert_reqs 0
        const char* refusal;   // nullptr: connects
    };
    using B = BrokerCertificate;
    using C = ClientCertificate;
    const Case cases[] = {
        {"verified by name", B::Loopback, false, "localhost", Trust::OurCa, C::None, false, false, nullptr},
        {"verified by address", B::Loopback, false, "127.0.0.1", Trust::OurCa, C::None, false, false, nullptr},
        {"wrong CA", B::OtherCa, false, "localhost", Trust::OurCa, C::None, false, false,
         "certificate verify failed: self-signed certificate in certificate chain"},
        {"expired", B::Expired, false, "localhost", Trust::OurCa, C::None, false, false,
         "certificate verify failed: certificate has expired"},
        {"wrong host name", B::OtherName, false, "localhost", Trust::OurCa, C::None, false, false,
         "certificate verify failed: hostname mismatch"},
        {"wrong address", B::OtherName, false, "127.0.0.1", Trust::OurCa, C::None, false, false,
         "certificate verify failed: IP address mismatch"},
        {"wrong host name allowed", B::OtherName, false, "localhost", Trust::OurCa, C::None, true, false, nullptr},
        {"self-signed against the system store", B::SelfSigned, false, "localhost", Trust::SystemStore, C::None, false,
         false, "certificate verify failed: self-signed certificate"},
        {"self-signed, verification off", B::SelfSigned, false, "localhost", Trust::SystemStore, C::None, true, true,
         nullptr},
        {"plain broker", B::PlainListener, false, "localhost", Trust::OurCa, C::None, false, false, "TLS error: "},
        {"client certificate missing", B::Loopback, true, "localhost", Trust::OurCa, C::None, false, false,
         "TLS error: the broker asked for a client certificate and none is set"},
        {"client certificate given", B::Loopback, true, "localhost", Trust::OurCa, C::Given, false, false, nullptr},
        // Refused, never a passphrase prompt on the terminal.
        {"client key locked by a passphrase", B::Loopback, true, "localhost", Trust::OurCa, C::LockedKey, false, false,
         "TLS error: cannot use the client key "},
    };

    TestPki pki;
    TestPki otherPki("another CA");
    const TestPki::Issued loopback = pki.issueLoopbackBroker("broker");
    const TestPki::Issued foreign = otherPki.issueLoopbackBroker("broker");
    TestPki::Request expiredRequest;
    expiredRequest.dnsNames = {"localhost"};
    expiredRequest.validFromDays = -30;
    expiredRequest.validUntilDays = -1;
    const TestPki::Issued expired = pki.issue("expired", expiredRequest);
    TestPki::Request otherNameRequest;
    otherNameRequest.dnsNames = {"robot-broker.example"};
    otherNameRequest.ipAddresses = {"192.0.2.7"};
    const TestPki::Issued otherName = pki.issue("other-name", otherNameRequest);
    TestPki::Request selfSignedRequest = otherNameRequest;
    selfSignedRequest.selfSigned = true;
    const TestPki::Issued selfSigned = pki.issue("self-signed", selfSignedRequest);
    TestPki::Request clientRequest;
    clientRequest.commonName = "robot-dashboard";
    const TestPki::Issued clientCertificate = pki.issue("client", clientRequest);
    clientRequest.keyPassphrase = "open sesame";
    const TestPki::Issued lockedCertificate = pki.issue("locked", clientRequest);
    ASSERT_TRUE(pki.ok() && otherPki.ok()) << pki.error() << otherPki.error();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MosquittoBroker::Options options;
        switch (c.brokerCertificate) {
        case BrokerCertificate::Loopback: options = tlsBroker(pki, loopback); break;
        case BrokerCertificate::OtherCa: options = tlsBroker(otherPki, foreign); break;
        case BrokerCertificate::Expired: options = tlsBroker(pki, expired); break;
        case BrokerCertificate::OtherName: options = tlsBroker(pki, otherName); break;
        case BrokerCertificate::SelfSigned: options = tlsBroker(pki, selfSigned); break;
        case BrokerCertificate::PlainListener: break;
        }
        options.requireClientCertificate = c.brokerWantsClientCertificate;
        MosquittoBroker broker(options);
        ASSERT_TRUE(broker.start()) << broker.error();

        TlsClient client;
        const char* caFile = c.trust == Trust::OurCa ? pki.caFile().c_str() : nullptr;
        const TestPki::Issued* own = c.clientCertificate == ClientCertificate::Given       ? &clientCertificate
                                     : c.clientCertificate == ClientCertificate::LockedKey ? &lockedCertificate
                                                                                           : nullptr;
        const char* certFile = own ? own->certFile.c_str() : nullptr;
        const char* keyFile = own ? own->keyFile.c_str() : nullptr;
        ASSERT_EQ(mosquitto_tls_set(client.client, caFile, nullptr, certFile, keyFile, nullptr), 0);
        ASSERT_EQ(mosquitto_tls_insecure_set(client.client, c.insecureHostName), 0);
        ASSERT_EQ(mosquitto_tls_opts_set(client.client, c.skipVerification ? 0 : 1, nullptr, nullptr), 0);
        ASSERT_TRUE(client.start(c.host, broker.port()));

        if (!c.refusal) {
            EXPECT_TRUE(client.waitConnected()) << client.lastTlsError() << "\n" << broker.log();
            continue;
        }
        ASSERT_TRUE(waitFor([&] { return client.sawCode(MOSQ_ERR_TLS); })) << broker.log();
        EXPECT_NE(client.lastTlsError().find(c.refusal), std::string::npos) << client.lastTlsError();
        // A second refused attempt, and still no connection in clear text.
        EXPECT_TRUE(waitFor([&] { return client.recorder.connectCodes().size() >= 2; }));
        EXPECT_FALSE(client.sawCode(MOSQ_ERR_SUCCESS));
    }
}

// The same client and broker, with and without TLS, through a relay that
// keeps every byte the broker receives: the password must be readable in the
// plain capture (so the capture works) and absent from the encrypted one.
TEST(MosquittoTls, PasswordNeverCrossesTheNetworkInClearText)
{
    const std::string password = "correct-horse-battery-staple";
    TestPki pki;
    const TestPki::Issued brokerCertificate = pki.issueLoopbackBroker("broker");
    ASSERT_TRUE(pki.ok()) << pki.error();

    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "TLS" : "plain TCP");
        MosquittoBroker::Options options = encrypted ? tlsBroker(pki, brokerCertificate) : MosquittoBroker::Options{};
        options.username = "operator";
        options.password = password;
        MosquittoBroker broker(options);
        ASSERT_TRUE(broker.start()) << broker.error();
        ByteRelay relay(broker.port());
        ASSERT_TRUE(relay.start()) << relay.error();

        TlsClient client;
        ASSERT_EQ(mosquitto_username_pw_set(client.client, "operator", password.c_str()), 0);
        if (encrypted) {
            ASSERT_EQ(mosquitto_tls_set(client.client, pki.caFile().c_str(), nullptr, nullptr, nullptr, nullptr), 0);
        }
        ASSERT_TRUE(client.start("localhost", relay.port()));
        // Accepted: the broker did receive the right password.
        ASSERT_TRUE(client.waitConnected()) << client.lastTlsError() << broker.log();

        const std::string captured = relay.towardsServer();
        EXPECT_EQ(captured.find(password) != std::string::npos, !encrypted);
        EXPECT_EQ(captured.find("operator") != std::string::npos, !encrypted);
    }
}

TEST(MosquittoTls, RefusesSettingsThatCouldNeverWork)
{
    TestPki pki;
    TestPki::Request clientRequest;
    const TestPki::Issued clientCertificate = pki.issue("client", clientRequest);
    ASSERT_TRUE(pki.ok()) << pki.error();
    const std::string missing = pki.directory() + "/missing.crt";
    mosquitto* client = mosquitto_new(nullptr, true, nullptr);

    struct Case
    {
        const char* name;
        const char* caFile;
        const char* certFile;
        const char* keyFile;
        int expected;
    };
    const Case cases[] = {
        {"missing CA file", missing.c_str(), nullptr, nullptr, MOSQ_ERR_INVAL},
        {"certificate without key", nullptr, clientCertificate.certFile.c_str(), nullptr, MOSQ_ERR_INVAL},
        {"missing key", nullptr, clientCertificate.certFile.c_str(), missing.c_str(), MOSQ_ERR_INVAL},
        {"folder as CA file", pki.directory().c_str(), nullptr, nullptr, MOSQ_ERR_INVAL},
        {"system store and client certificate", nullptr, clientCertificate.certFile.c_str(),
         clientCertificate.keyFile.c_str(), MOSQ_ERR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(mosquitto_tls_set(client, c.caFile, nullptr, c.certFile, c.keyFile, nullptr), c.expected);
    }
    EXPECT_EQ(mosquitto_tls_opts_set(client, 1, "tlsv1.1", nullptr), MOSQ_ERR_INVAL);
    EXPECT_EQ(mosquitto_tls_opts_set(client, 2, nullptr, nullptr), MOSQ_ERR_INVAL);
    EXPECT_EQ(mosquitto_tls_opts_set(client, 1, "tlsv1.3", nullptr), MOSQ_ERR_SUCCESS);
    mosquitto_destroy(client);
}
