#pragma once

#include "tests/support/child_process.h"

#include <chrono>
#include <string>

namespace kestro_test {

// A real mosquitto broker for tests: its own config in a temporary folder,
// listening on a free loopback port (never 1883), run as a child process and
// stopped by its PID. Optionally it requires a user name and password.
class MosquittoBroker
{
public:
    struct Options
    {
        // When username is set the broker refuses anonymous clients and
        // accepts only this user with this password.
        std::string username;
        std::string password;
        // The port to try first (0: any free one). When something else holds
        // it, the broker moves to a free port.
        int port = 0;
        // With certFile and keyFile set the listener speaks TLS only; with
        // requireClientCertificate it also wants a client certificate
        // signed by caFile.
        std::string caFile = {};
        std::string certFile = {};
        std::string keyFile = {};
        bool requireClientCertificate = false;
        // Logs every packet ("Received PINGREQ from <client id>"), for tests
        // that pin what a client sends and when.
        bool logPackets = false;
    };

    static constexpr const char* kBrokerPath = "/usr/sbin/mosquitto";
    static constexpr const char* kPasswdPath = "/usr/bin/mosquitto_passwd";

    MosquittoBroker();
    explicit MosquittoBroker(Options options);
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker (on the same port as before when restarted) and waits
    // until the port accepts connections. False with error() on failure.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // SIGTERM, or SIGKILL for a crash, then reaps the process.
    void stop();
    void kill();
    bool isRunning();
    // For freezing the broker with SIGSTOP and thawing it with SIGCONT.
    pid_t pid() const { return m_process.pid(); }

    const char* host() const { return "127.0.0.1"; }
    int port() const { return m_port; }
    const std::string& directory() const { return m_directory; }
    const std::string& error() const { return m_error; }
    // The broker's log so far, to explain a failing test.
    std::string log() const;

private:
    enum class Outcome
    {
        Running,
        Exited,
        TimedOut
    };
    static constexpr int kStartAttempts = 5;

    bool prepare();
    bool writeConfig();
    Outcome launch(std::chrono::steady_clock::time_point deadline);

    Options m_options;
    std::string m_directory;
    int m_port = 0;
    ChildProcess m_process;
    std::string m_error;
};

// Binds port 0 on 127.0.0.1 and returns the port the kernel chose.
int findFreeLoopbackPort();
// True when a TCP connection to 127.0.0.1:port is accepted within `timeout`.
bool loopbackPortAnswers(int port, std::chrono::milliseconds timeout = std::chrono::milliseconds(250));

} // namespace kestro_test
