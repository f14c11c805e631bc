// The C-style entry points of encryption: argument checks and settings under
// the client's lock. The network thread reads them at each connection.
#include "mqtt/mosquitto.h"

#include "mqtt/mosquitto_client.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isGiven(const char* text)
{
    return text != nullptr && *text != '\0';
}

bool isReadableFile(const char* path)
{
    struct stat status{};
    return ::stat(path, &status) == 0 && S_ISREG(status.st_mode) && ::access(path, R_OK) == 0;
}

bool isReadableFolder(const char* path)
{
    struct stat status{};
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode) && ::access(path, R_OK | X_OK) == 0;
}

} // namespace

int mosquitto_tls_set(mosquitto* client, const char* cafile, const char* capath, const char* certfile,
                      const char* keyfile, mosquitto_pw_callback pw_callback)
{
    if (!client || isGiven(certfile) != isGiven(keyfile))
        return MOSQ_ERR_INVAL;
    // Checked now so that a typo shows at once, not as a failed connection
    // a second later.
    if ((isGiven(cafile) && !isReadableFile(cafile)) || (isGiven(capath) && !isReadableFolder(capath)) ||
        (isGiven(certfile) && (!isReadableFile(certfile) || !isReadableFile(keyfile))))
        return MOSQ_ERR_INVAL;

    std::lock_guard<std::mutex> lock(client->mutex);
    client->tlsEnabled = true;
    client->tls.caFile = isGiven(cafile) ? cafile : "";
    client->tls.caPath = isGiven(capath) ? capath : "";
    client->tls.certFile = isGiven(certfile) ? certfile : "";
    client->tls.keyFile = isGiven(keyfile) ? keyfile : "";
    client->tls.keyPassword = pw_callback;
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_tls_insecure_set(mosquitto* client, bool value)
{
    if (!client)
        return MOSQ_ERR_INVAL;
    std::lock_guard<std::mutex> lock(client->mutex);
    client->tls.checkHostName = !value;
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_tls_opts_set(mosquitto* client, int cert_reqs, const char* tls_version, const char* ciphers)
{
    if (!client || (cert_reqs != 0 && cert_reqs != 1))
        return MOSQ_ERR_INVAL;
    // Versions below 1.2 are refused rather than honoured: they are broken.
    const bool tls13Only = isGiven(tls_version) && std::strcmp(tls_version, "tlsv1.3") == 0;
    if (isGiven(tls_version) && !tls13Only && std::strcmp(tls_version, "tlsv1.2") != 0)
        return MOSQ_ERR_INVAL;

    std::lock_guard<std::mutex> lock(client->mutex);
    client->tls.verifyPeer = cert_reqs == 1;
    client->tls.tls13Only = tls13Only;
    client->tls.ciphers = isGiven(ciphers) ? ciphers : "";
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_tls_last_error(mosquitto* client, char* text, int size)
{
    if (!client || !text || size < 1)
        return MOSQ_ERR_INVAL;
    std::lock_guard<std::mutex> lock(client->mutex);
    const size_t length = std::min(client->tlsError.size(), static_cast<size_t>(size - 1));
    std::memcpy(text, client->tlsError.data(), length);
    text[length] = '\0';
    return MOSQ_ERR_SUCCESS;
}
