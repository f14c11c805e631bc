#include "tests/support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
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

bool loopbackPortAnswers(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const sockaddr_in address = loopbackAddress(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
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
    m_port = findFreeLoopbackPort();
    if (m_port == 0) {
        m_error = "no free loopback port";
        return false;
    }

    const std::string configPath = m_directory + "/mosquitto.conf";
    std::ofstream config(configPath);
    config << "listener " << m_port << " 127.0.0.1\n"
           << "persistence false\n"
           << "log_dest stderr\n"
           << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
    if (m_options.username.empty()) {
        config << "allow_anonymous true\n";
    } else {
        const std::string passwordPath = m_directory + "/passwd";
        if (runProgram({kPasswdPath, "-b", "-c", passwordPath, m_options.username, m_options.password}) != 0) {
            m_error = "mosquitto_passwd failed";
            return false;
        }
        ::chmod(passwordPath.c_str(), 0644);
        config << "allow_anonymous false\n"
               << "password_file " << passwordPath << "\n";
    }
    config.close();
    ::chmod(configPath.c_str(), 0644);
    return static_cast<bool>(config);
}

bool MosquittoBroker::start(std::chrono::milliseconds timeout)
{
    if (m_process.isRunning())
        return true;
    if (m_directory.empty() && !prepare())
        return false;

    if (!m_process.start({kBrokerPath, "-c", m_directory + "/mosquitto.conf"}, m_directory + "/broker.log")) {
        m_error = std::string("cannot start ") + kBrokerPath;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!loopbackPortAnswers(m_port)) {
        if (!m_process.isRunning()) {
            m_error = "broker exited: " + log();
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_error = "broker did not answer on port " + std::to_string(m_port) + ": " + log();
            m_process.stop(SIGKILL);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
