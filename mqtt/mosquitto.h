#pragma once

// The system's own MQTT 3.1.1 client behind a small C-style interface: an
// opaque client object and free functions returning the codes below.

struct mosquitto;

// A received PUBLISH. The record and everything it points to live only for
// the duration of the message callback.
struct mosquitto_message
{
    int messageId;
    char* topic;
    void* payload;
    int payloadLength;
    int qos;
    bool retain;
};

enum mosq_err_t {
    MOSQ_ERR_SUCCESS = 0,
    MOSQ_ERR_NOMEM = 1,
    MOSQ_ERR_PROTOCOL = 2,
    MOSQ_ERR_INVAL = 3,
    MOSQ_ERR_NO_CONN = 4,
    MOSQ_ERR_CONN_REFUSED = 5,
    MOSQ_ERR_NOT_FOUND = 6,
    MOSQ_ERR_CONN_LOST = 7,
    MOSQ_ERR_TLS = 8,
    MOSQ_ERR_PAYLOAD_SIZE = 9,
    MOSQ_ERR_NOT_SUPPORTED = 10,
    MOSQ_ERR_AUTH = 11,
    MOSQ_ERR_ACL_DENIED = 12,
    MOSQ_ERR_ERRNO = 14,
};

using mosquitto_connect_fn = void (*)(mosquitto* client, void* userData, int code);
using mosquitto_disconnect_fn = void (*)(mosquitto* client, void* userData, int code);
using mosquitto_publish_fn = void (*)(mosquitto* client, void* userData, int messageId);
using mosquitto_message_fn = void (*)(mosquitto* client, void* userData, const mosquitto_message* message);

int mosquitto_lib_init();
int mosquitto_lib_cleanup();

mosquitto* mosquitto_new(const char* id, bool cleanSession, void* userData);
void mosquitto_destroy(mosquitto* client);

int mosquitto_username_pw_set(mosquitto* client, const char* username, const char* password);
void mosquitto_connect_callback_set(mosquitto* client, mosquitto_connect_fn callback);
void mosquitto_disconnect_callback_set(mosquitto* client, mosquitto_disconnect_fn callback);
void mosquitto_publish_callback_set(mosquitto* client, mosquitto_publish_fn callback);
void mosquitto_message_callback_set(mosquitto* client, mosquitto_message_fn callback);
int mosquitto_reconnect_delay_set(mosquitto* client, unsigned int delay, unsigned int delayMax, bool exponential);

int mosquitto_connect_async(mosquitto* client, const char* host, int port, int keepalive);
int mosquitto_connect(mosquitto* client, const char* host, int port, int keepalive);
int mosquitto_disconnect(mosquitto* client);

// With fast set (while the robot is being driven), the client pings the
// broker every 100 ms and gives the connection up when an answer is 1.25 s
// late; otherwise it keeps the keep-alive rhythm and gives up when an answer
// is 3/4 of a keep-alive late. Either way publishing returns MOSQ_ERR_CONN_LOST while a ping
// has gone unanswered for more than 250 ms.
int mosquitto_fast_liveness_set(mosquitto* client, bool fast);

// Why the last attempt to open the TCP connection failed, for the connect
// callback's code 5: the operator can act on a cause, not on a code.
enum mosq_connect_failure {
    MOSQ_CONNECT_FAILURE_NONE = 0,
    MOSQ_CONNECT_FAILURE_HOST_NOT_FOUND = 1,
    MOSQ_CONNECT_FAILURE_REFUSED = 2,
    MOSQ_CONNECT_FAILURE_TIMED_OUT = 3,
    MOSQ_CONNECT_FAILURE_OTHER = 4,
};
int mosquitto_connect_failure(mosquitto* client);

int mosquitto_loop_start(mosquitto* client);
int mosquitto_loop_stop(mosquitto* client, bool force);

const char* mosquitto_strerror(int code);

int mosquitto_subscribe(mosquitto* client, int* messageIdOut, const char* topic, int qos);
int mosquitto_publish(mosquitto* client, int* messageIdOut, const char* topic, int payloadLength, const void* payload,
                      int qos, bool retain);

// Encryption. Once mosquitto_tls_set succeeded every connection of the client
// is TLS (1.2 or later) or is not made: there is no fallback to plain TCP.
using mosquitto_pw_callback = int (*)(char* buffer, int size, int rwflag, void* userData);

// Trusts the CA certificates in cafile and/or the hashed folder capath (both
// null: the system's trust store); certfile and keyfile (both or neither)
// are the client's own certificate and key, keyfile decrypted with
// pw_callback when it is protected. Named files must be readable: otherwise
// MOSQ_ERR_INVAL and nothing changes.
int mosquitto_tls_set(mosquitto* client, const char* cafile, const char* capath, const char* certfile,
                      const char* keyfile, mosquitto_pw_callback pw_callback);
// true: the broker's certificate need not name the host connected to. Its
// chain is still verified unless mosquitto_tls_opts_set says otherwise.
int mosquitto_tls_insecure_set(mosquitto* client, bool value);
// cert_reqs 1 verifies the broker's certificate chain (the default), 0 does
// not; tls_version "tlsv1.2" (the default) or "tlsv1.3" is the lowest version
// accepted; ciphers, when given, is an OpenSSL cipher list for TLS 1.2.
int mosquitto_tls_opts_set(mosquitto* client, int cert_reqs, const char* tls_version, const char* ciphers);
// Copies why the last connection attempt failed with MOSQ_ERR_TLS (for
// example "certificate verify failed: certificate has expired") into text,
// NUL-terminated and cut to size bytes.
int mosquitto_tls_last_error(mosquitto* client, char* text, int size);
