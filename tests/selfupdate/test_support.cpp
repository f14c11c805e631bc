#include "test_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
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

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : m_name(name)
{
    if (const char* previous = std::getenv(name))
        m_previous = previous;
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedEnvironment::~ScopedEnvironment()
{
    if (m_previous)
        ::setenv(m_name.c_str(), m_previous->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

std::optional<OtherUser> otherUser(std::string& whyNot)
{
    if (::geteuid() != 0) {
        whyNot = "switching to a second account needs root; this test runs as uid " + std::to_string(::geteuid());
        return std::nullopt;
    }
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || nobody->pw_uid == 0) {
        whyNot = "this machine has no unprivileged account \"nobody\"";
        return std::nullopt;
    }
    return OtherUser{nobody->pw_uid, nobody->pw_gid};
}

std::string runAs(const OtherUser& user, const std::function<std::string()>& body)
{
    int report[2];
    if (::pipe(report) != 0)
        return "child failed: pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        std::string text = "child failed: cannot switch user";
        if (::setgroups(0, nullptr) == 0 && ::setresgid(user.gid, user.gid, user.gid) == 0 &&
            ::setresuid(user.uid, user.uid, user.uid) == 0) {
            try {
                text = body();
            } catch (const std::exception& error) {
                text = std::string("child failed: ") + error.what();
            }
        }
        ssize_t ignored = ::write(report[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    ::close(report[1]);
    std::string text;
    char buffer[1024];
    for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child < 0 || text.empty() ? "child failed" : text;
}

void giveTo(const std::string& path, const OtherUser& user)
{
    if (::lchown(path.c_str(), user.uid, user.gid) != 0)
        throw std::runtime_error("lchown failed for " + path);
    if (!fs::is_directory(fs::symlink_status(path)))
        return;
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
        if (::lchown(entry.path().c_str(), user.uid, user.gid) != 0)
            throw std::runtime_error("lchown failed for " + entry.path().string());
    }
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
