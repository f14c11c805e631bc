#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kestro_test {

ChildProcess::~ChildProcess()
{
    if (m_pid > 0)
        stop(SIGKILL);
    if (m_stdout >= 0)
        ::close(m_stdout);
    closeStdin();
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& stderrPath, bool pipeStdin)
{
    if (argv.empty() || m_pid > 0)
        return false;
    if (m_stdout >= 0) {
        ::close(m_stdout);
        m_stdout = -1;
    }
    closeStdin();
    // A child that dies while we feed it must not take us down with SIGPIPE.
    if (pipeStdin)
        ::signal(SIGPIPE, SIG_IGN);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    int inputFds[2] = {-1, -1};
    if (pipeStdin && ::pipe2(inputFds, O_CLOEXEC) != 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    if (pipeStdin)
        posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const int result = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (pipeStdin)
        ::close(inputFds[0]);
    if (result != 0) {
        m_pid = -1;
        ::close(pipeFds[0]);
        if (pipeStdin)
            ::close(inputFds[1]);
        return false;
    }
    m_stdin = inputFds[1];
    m_stdout = pipeFds[0];
    ::fcntl(m_stdout, F_SETFL, ::fcntl(m_stdout, F_GETFL) | O_NONBLOCK);
    m_output.clear();
    m_status = -1;
    return true;
}

bool ChildProcess::writeStdin(const std::string& text)
{
    size_t written = 0;
    while (m_stdin >= 0 && written < text.size()) {
        const ssize_t result = ::write(m_stdin, text.data() + written, text.size() - written);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        written += static_cast<size_t>(result);
    }
    return m_stdin >= 0;
}

void ChildProcess::closeStdin()
{
    if (m_stdin >= 0) {
        ::close(m_stdin);
        m_stdin = -1;
    }
}

bool ChildProcess::isRunning()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = status;
        m_pid = -1;
        return false;
    }
    return true;
}

void ChildProcess::readAvailable()
{
    if (m_stdout < 0)
        return;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(m_stdout, chunk, sizeof chunk);
        if (got <= 0)
            return;
        m_output.append(chunk, static_cast<size_t>(got));
    }
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        readAvailable();
        if (m_output.find(text) != std::string::npos)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_stdout < 0)
            return false;
        pollfd entry{m_stdout, POLLIN, 0};
        ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    }
}

int ChildProcess::stop(int signal)
{
    if (m_pid <= 0)
        return m_status;
    ::kill(m_pid, signal);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = status;
    m_pid = -1;
    readAvailable();
    return status;
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (isRunning()) {
        readAvailable();
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    readAvailable();
    return m_status;
}

int runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    ChildProcess child;
    if (!child.start(argv))
        return -1;
    const int status = child.waitExit(timeout);
    if (status == -1) {
        child.stop(SIGKILL);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace kestro_test
