// The window's broker badge over TLS, against a real broker with a TLS
// listener: it says when the link is encrypted and whether the broker was
// verified, and a changed TLS setting reconnects.
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "tests/app/app_test_support.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/test_pki.h"

#include <QLabel>
#include <QSignalSpy>
#include <QStatusBar>

#include <gtest/gtest.h>

#include <cstdlib>

using kestro_app_test::processEventsUntil;
using namespace std::chrono_literals;

TEST(MainWindowTls, BadgeNamesEncryptionAndVerificationAndATlsChangeReconnects)
{
    kestro_test::TestPki pki;
    kestro_test::TestPki otherPki("another CA");
    const kestro_test::TestPki::Issued certificate = pki.issueLoopbackBroker("broker");
    ASSERT_TRUE(pki.ok() && otherPki.ok()) << pki.error() << otherPki.error();
    kestro_test::MosquittoBroker::Options options;
    options.caFile = pki.caFile();
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;
    kestro_test::MosquittoBroker broker(options);
    ASSERT_TRUE(broker.start()) << broker.error();

    const std::unique_ptr<MainWindow> shown =
        kestro_app_test::openWindow(broker.host(), broker.port(), [](TeleopConfig& config) {
            config.mqtt.tls = true;
            config.mqtt.tlsInsecure = true;
        });
    MainWindow& window = *shown;
    TeleopConfig& config = *TeleopConfig::instance();
    QSignalSpy messages(window.statusBar(), &QStatusBar::messageChanged);
    const QLabel* badge = window.mqttStatusLabel();
    EXPECT_TRUE(processEventsUntil([&] { return badge->text() == "MQTT: Connected (TLS, unverified)"; }, 20s))
        << badge->text().toStdString();

    struct Step
    {
        const char* name;
        std::string caFile;
        QString badge;   // once settled; empty: refused
        QString message; // the start of a temporary message that must appear
    };
    const QString endpoint = QStringLiteral("%1:%2").arg(broker.host()).arg(broker.port());
    const Step steps[] = {
        {"verified", pki.caFile(), "MQTT: Connected (TLS, " + endpoint + ")", "Settings applied. Connecting"},
        {"wrong CA", otherPki.caFile(), {}, "MQTT Connection failed: certificate verify failed: "},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        config.mqtt.tlsInsecure = false;
        config.mqtt.caFile = step.caFile;
        ASSERT_TRUE(config.save(""));
        messages.clear();
        window.onSettingsApplied();
        const auto shown = [&] {
            for (const QList<QVariant>& arguments : messages) {
                if (arguments.at(0).toString().startsWith(step.message))
                    return true;
            }
            return false;
        };
        EXPECT_TRUE(processEventsUntil(shown, 20s));
        if (!step.badge.isEmpty())
            EXPECT_TRUE(processEventsUntil([&] { return badge->text() == step.badge; }, 20s))
                << badge->text().toStdString();
        else
            EXPECT_FALSE(badge->text().startsWith("MQTT: Connected")) << badge->text().toStdString();
    }
}
