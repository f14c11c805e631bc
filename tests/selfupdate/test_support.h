#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace selfupdate_test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Deterministic pseudo-random bytes (a package body).
std::string randomBytes(std::size_t length, unsigned seed);

// Sets an environment variable (or unsets it, for nullptr) for its lifetime.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

// A second, unprivileged account for the tests that play another local
// user: "nobody", reachable only when this process may switch users (root).
struct OtherUser {
    uid_t uid;
    gid_t gid;
};
// The account, or nothing with the reason in whyNot.
std::optional<OtherUser> otherUser(std::string& whyNot);
// Runs body in a child process that has become user (no supplementary
// groups) and returns body's text; "child failed" when it did not report.
std::string runAs(const OtherUser& user, const std::function<std::string()>& body);
// Gives path and everything below it to user.
void giveTo(const std::string& path, const OtherUser& user);

// Polls condition until it holds or timeout passes; true when it held.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// The tests' HTTPS peer: https_test_server.py on a free loopback port, with
// a throwaway certificate authority and server certificate made by openssl.
class HttpsTestServer {
public:
    HttpsTestServer();
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;

    bool running() const { return m_port > 0; }
    const std::string& failure() const { return m_failure; }
    int port() const { return m_port; }
    std::string url(const std::string& path) const;
    std::string caFile() const { return m_folder.file("ca.pem"); }
    // Puts a file into the served folder.
    void serve(const std::string& name, const std::string& bytes) const;

private:
    bool makeCertificates();
    bool start();

    TemporaryFolder m_folder;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_failure;
};

} // namespace selfupdate_test
