#pragma once

#include <string>

// How the robot link encrypts its broker connection, as the operator set it.
// Off by default: plain TCP, as on a loopback or lab network.
struct MqttTlsSettings
{
    bool enabled = false;
    // Empty: the system's trust store.
    std::string caFile;
    // Both or neither: for brokers that authenticate devices by certificate.
    std::string certFile;
    std::string keyFile;
    // Skips every check of the broker's certificate, for a lab broker with a
    // self-signed one. Still encrypted, but anyone on the path could pose as
    // the broker.
    bool insecure = false;

    bool operator==(const MqttTlsSettings& other) const
    {
        return enabled == other.enabled && caFile == other.caFile && certFile == other.certFile &&
               keyFile == other.keyFile && insecure == other.insecure;
    }
    bool operator!=(const MqttTlsSettings& other) const { return !(*this == other); }
};

// The TLS keys of a settings group that names them like the settings file
// does (tls, caFile, certFile, keyFile, tlsInsecure).
template <typename MqttGroup>
MqttTlsSettings tlsSettingsOf(const MqttGroup& mqtt)
{
    return MqttTlsSettings{mqtt.tls, mqtt.caFile, mqtt.certFile, mqtt.keyFile, mqtt.tlsInsecure};
}
