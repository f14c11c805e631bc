// The robot link's encryption: the operator's TLS settings turned into the
// client's, checked before any connection so that a wrong path is reported
// in words and never leads to a connection in clear text.
#include "mqtt/mqtt_client.h"

#include "mqtt/mosquitto.h"

#include <QFileInfo>

namespace {

const QString kTlsSettingsError = QStringLiteral("MQTT connection error: %1");

const char* pathOrNull(const std::string& path)
{
    return path.empty() ? nullptr : path.c_str();
}

// Why the files cannot be used, or an empty text when they can.
QString unusableFiles(const MqttTlsSettings& tls)
{
    if (tls.certFile.empty() != tls.keyFile.empty())
        return QStringLiteral("a TLS client certificate needs its key file, and a key its certificate file");
    for (const std::string* path : {&tls.caFile, &tls.certFile, &tls.keyFile}) {
        const QFileInfo file(QString::fromStdString(*path));
        if (!path->empty() && (!file.isFile() || !file.isReadable()))
            return QStringLiteral("cannot read the TLS file %1").arg(file.filePath());
    }
    return {};
}

} // namespace

void MqttClient::setTlsSettings(const MqttTlsSettings& settings)
{
    m_tls = settings;
}

bool MqttClient::applyTlsSettings()
{
    // The client interface has no way back to plain TCP once TLS was set, so
    // switching TLS off takes a fresh client object.
    if (!m_tls.enabled) {
        if (m_tlsApplied)
            createClientObject();
        m_tlsApplied = false;
        return m_mosq != nullptr;
    }
    QString problem = unusableFiles(m_tls);
    if (problem.isEmpty() &&
        mosquitto_tls_set(m_mosq, pathOrNull(m_tls.caFile), nullptr, pathOrNull(m_tls.certFile),
                          pathOrNull(m_tls.keyFile), nullptr) != MOSQ_ERR_SUCCESS)
        problem = QStringLiteral("the TLS files were refused");
    if (!problem.isEmpty()) {
        emit connectionError(kTlsSettingsError.arg(problem));
        return false;
    }
    mosquitto_tls_opts_set(m_mosq, m_tls.insecure ? 0 : 1, nullptr, nullptr);
    mosquitto_tls_insecure_set(m_mosq, m_tls.insecure);
    m_tlsApplied = true;
    return true;
}

QString MqttClient::tlsFailure() const
{
    char text[512] = {};
    mosquitto_tls_last_error(m_mosq, text, sizeof text);
    return QString::fromUtf8(text);
}
