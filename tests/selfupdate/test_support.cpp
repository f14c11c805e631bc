#include "test_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace selfupdate_test {

namespace fs = std::filesystem;

TemporaryFolder::TemporaryFolder()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/selfupdate-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    m_path = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path)
{
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

std::string randomBytes(std::size_t length, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

HttpsTestServer::HttpsTestServer()
{
    // Loopback requests must never be sent to a proxy from the environment.
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    fs::create_directories(m_folder.file("root"));
    if (makeCertificates())
        start();
}

HttpsTestServer::~HttpsTestServer()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

bool HttpsTestServer::makeCertificates()
{
    const std::string dir = m_folder.path();
    writeFile(dir + "/server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                   "basicConstraints=CA:FALSE\n"
                                   "keyUsage=digitalSignature\n"
                                   "extendedKeyUsage=serverAuth\n");
    const std::string quiet = " >/dev/null 2>&1";
    const std::string curve = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::vector<std::string> commands = {
        "openssl req -x509" + curve + " -keyout '" + dir + "/ca.key' -out '" + dir +
            "/ca.pem' -days 2 -subj '/CN=Kestro Test CA' -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign" + quiet,
        "openssl req" + curve + " -keyout '" + dir + "/server.key' -out '" + dir +
            "/server.csr' -subj '/CN=127.0.0.1'" + quiet,
        "openssl x509 -req -in '" + dir + "/server.csr' -CA '" + dir + "/ca.pem' -CAkey '" + dir +
            "/ca.key' -CAcreateserial -out '" + dir + "/server.pem' -days 2 -extfile '" + dir + "/server.ext'" +
            quiet,
    };
    for (const std::string& command : commands) {
        if (std::system(command.c_str()) != 0) {
            m_failure = "certificate set-up failed: " + command;
            return false;
        }
    }
    return true;
}

bool HttpsTestServer::start()
{
    int output[2];
    if (::pipe(output) != 0) {
        m_failure = "pipe failed";
        return false;
    }
    const std::string script = std::string(KESTRO_SOURCE_DIR) + "/tests/selfupdate/https_test_server.py";
    std::vector<std::string> args = {"/usr/bin/python3", script, "--root", m_folder.file("root"),
                                     "--cert", m_folder.file("server.pem"), "--key", m_folder.file("server.key")};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
        m_pid = -1;
        ::close(output[0]);
        m_failure = "cannot start /usr/bin/python3";
        return false;
    }

    // The server prints "PORT <n>" once it listens; a loaded machine may
    // take a while to start Python.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd waitFd{output[0], POLLIN, 0};
        if (::poll(&waitFd, 1, 200) <= 0)
            continue;
        char buffer[64];
        const ssize_t got = ::read(output[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        line.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(output[0]);
    if (line.rfind("PORT ", 0) != 0) {
        m_failure = "server did not report its port: " + line;
        return false;
    }
    const int port = std::atoi(line.c_str() + 5);

    // Wait until it answers a TCP connection.
    const bool answers = waitFor(
        [port] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            return connected;
        },
        std::chrono::seconds(20));
    if (!answers) {
        m_failure = "server does not answer";
        return false;
    }
    m_port = port;
    return true;
}

std::string HttpsTestServer::url(const std::string& path) const
{
    return "https://127.0.0.1:" + std::to_string(m_port) + path;
}

void HttpsTestServer::serve(const std::string& name, const std::string& bytes) const
{
    writeFile(m_folder.file("root/" + name), bytes);
}

} // namespace selfupdate_test
