#include "tests/support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestro_test {

namespace {

constexpr int kReservedMqttPort = 1883;

sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

int findFreeLoopbackPort()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return 0;
        sockaddr_in address = loopbackAddress(0);
        socklen_t length = sizeof address;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        ::close(fd);
        if (port != 0 && port != kReservedMqttPort)
            return port;
    }
    return 0;
}

bool loopbackPortAnswers(int port, std::chrono::milliseconds timeout)
{
    // Bounded: a blocking connect to a listener whose queue is full (some
    // other test's silent server that got this port) waits for the kernel's
    // SYN retries, about two minutes.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const sockaddr_in address = loopbackAddress(port);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd entry{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        ok = ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(fd);
    return ok;
}

MosquittoBroker::MosquittoBroker()
    : MosquittoBroker(Options{})
{
}

MosquittoBroker::MosquittoBroker(Options options)
    : m_options(std::move(options))
{
}

MosquittoBroker::~MosquittoBroker()
{
    stop();
    if (!m_directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
}

bool MosquittoBroker::prepare()
{
    char pattern[] = "/tmp/kestro-broker-XXXXXX";
    if (!::mkdtemp(pattern)) {
        m_error = "cannot create a temporary folder";
        return false;
    }
    m_directory = pattern;
    // Started as root, the broker drops to user "mosquitto", which must still
    // read its config and password file.
    ::chmod(m_directory.c_str(), 0755);
    m_port = m_options.port != 0 ? m_options.port : findFreeLoopbackPort();
    if (m_port == 0) {
        m_error = "no free loopback port";
        return false;
    }
    if (!m_options.username.empty()) {
        const std::string passwordPath = m_directory + "/passwd";
        if (runProgram({kPasswdPath, "-b", "-c", passwordPath, m_options.username, m_options.password}) != 0) {
            m_error = "mosquitto_passwd failed";
            return false;
        }
        ::chmod(passwordPath.c_str(), 0644);
    }
    return writeConfig();
}

bool MosquittoBroker::writeConfig()
{
    const std::string configPath = m_directory + "/mosquitto.conf";
    std::ofstream config(configPath, std::ios::trunc);
    config << "listener " << m_port << " 127.0.0.1\n"
           << "persistence false\n"
           << "log_dest stderr\n"
           << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
    if (!m_options.certFile.empty()) {
        config << "certfile " << m_options.certFile << "\n"
               << "keyfile " << m_options.keyFile << "\n";
        if (!m_options.caFile.empty())
            config << "cafile " << m_options.caFile << "\n";
        if (m_options.requireClientCertificate)
            config << "require_certificate true\n";
    }
    if (m_options.logPackets)
        config << "log_type debug\n";
    if (m_options.username.empty()) {
        config << "allow_anonymous true\n";
    } else {
        config << "allow_anonymous false\n"
               << "password_file " << m_directory << "/passwd\n";
    }
    config.close();
    ::chmod(configPath.c_str(), 0644);
    if (!config)
        m_error = "cannot write " + configPath;
    return static_cast<bool>(config);
}

bool MosquittoBroker::start(std::chrono::milliseconds timeout)
{
    if (m_process.isRunning())
        return true;
    const bool firstStart = m_directory.empty();
    if (firstStart && !prepare())
        return false;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The port was free when chosen, but any process may bind it before the
    // broker does; then the broker exits and, on a first start, a new port
    // is tried. A restart keeps its port, which is what restarting tests.
    for (int attempt = 1;; ++attempt) {
        const Outcome outcome = launch(deadline);
        if (outcome == Outcome::Running)
            return true;
        if (outcome == Outcome::TimedOut || !firstStart || attempt == kStartAttempts)
            return false;
        m_port = findFreeLoopbackPort();
        if (m_port == 0) {
            m_error = "no free loopback port";
            return false;
        }
        if (!writeConfig())
            return false;
    }
}

MosquittoBroker::Outcome MosquittoBroker::launch(std::chrono::steady_clock::time_point deadline)
{
    // The log grows across restarts; this start's lines come after here.
    const std::string::size_type logStart = log().size();
    if (!m_process.start({kBrokerPath, "-c", m_directory + "/mosquitto.conf"}, m_directory + "/broker.log")) {
        m_error = std::string("cannot start ") + kBrokerPath;
        return Outcome::Exited;
    }
    // Ours once the broker says it runs (after opening its listener) and the
    // port answers while it is still alive: an answer alone might come from
    // whoever else holds the port.
    while (true) {
        const bool running = m_process.isRunning();
        if (running && log().find(" running", logStart) != std::string::npos && loopbackPortAnswers(m_port) &&
            m_process.isRunning())
            return Outcome::Running;
        if (!running) {
            m_error = "broker exited: " + log();
            return Outcome::Exited;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_error = "broker did not answer on port " + std::to_string(m_port) + ": " + log();
            m_process.stop(SIGKILL);
            return Outcome::TimedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void MosquittoBroker::stop()
{
    m_process.stop(SIGTERM);
}

void MosquittoBroker::kill()
{
    m_process.stop(SIGKILL);
}

bool MosquittoBroker::isRunning()
{
    return m_process.isRunning();
}

std::string MosquittoBroker::log() const
{
    std::ifstream in(m_directory + "/broker.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace kestro_test
