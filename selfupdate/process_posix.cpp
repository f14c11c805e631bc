#include "selfupdate/platform_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace selfupdate {

namespace {

std::string linkedExecutablePath()
{
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return std::string();
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return buffer;
        }
        // The link may have been cut short: ask again with more room.
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

std::int64_t currentProcessId()
{
    return static_cast<std::int64_t>(::getpid());
}

std::string reportedExecutablePath()
{
    std::string path = linkedExecutablePath();
    const std::string deletedMark = " (deleted)";
    if (path.size() > deletedMark.size() &&
        path.compare(path.size() - deletedMark.size(), deletedMark.size(), deletedMark) == 0)
        path.resize(path.size() - deletedMark.size());
    return path;
}

std::string currentExecutablePath()
{
    // The link's text alone cannot tell a replaced file from one whose name
    // really ends in " (deleted)": compare the file at the path with the one
    // that runs.
    const std::string path = linkedExecutablePath();
    struct stat running {};
    struct stat atPath {};
    if (path.empty() || ::stat("/proc/self/exe", &running) != 0 || ::stat(path.c_str(), &atPath) != 0)
        return std::string();
    return running.st_dev == atPath.st_dev && running.st_ino == atPath.st_ino ? path : std::string();
}

namespace {

// The program and its arguments as exec wants them. The strings live in
// `storage`, which must outlive the returned pointers; building this before a
// fork keeps the child free of allocation.
std::vector<char*> execArguments(const std::string& program, const std::vector<std::string>& args,
                                 std::vector<std::string>& storage)
{
    storage.clear();
    storage.reserve(args.size() + 1);
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(storage.size() + 1);
    for (std::string& text : storage)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    return argv;
}

// Runs in the forked grandchild, so only async-signal-safe calls are allowed
// here: everything it needs was prepared before the fork.
[[noreturn]] void execDetached(char* const* argv, int errorFd, int descriptorLimit)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Ignored signals survive exec; the new program should start as if
    // launched from a shell.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber != SIGKILL && signalNumber != SIGSTOP)
            sigaction(signalNumber, &defaults, nullptr);
    }

    // The error pipe moves out of the way of the three standard streams.
    const int reportFd = ::fcntl(errorFd, F_DUPFD_CLOEXEC, 3);
    const int devNull = ::open("/dev/null", O_RDWR);
    if (reportFd < 0 || devNull < 0)
        _exit(127);
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    // Nothing of ours (sockets, the broker connection, files) leaks into the
    // new process: only the report pipe stays, closed by exec itself.
    if (::close_range(static_cast<unsigned>(reportFd + 1), ~0U, 0) != 0) {
        // Kernels before 5.9 lack close_range: close one by one.
        for (int fd = reportFd + 1; fd < descriptorLimit; ++fd)
            ::close(fd);
    }
    for (int fd = 3; fd < reportFd; ++fd)
        ::close(fd);

    ::execv(argv[0], argv);
    const int error = errno;
    ssize_t ignored = ::write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

} // namespace

bool spawnDetachedProcess(const std::string& program, const std::vector<std::string>& args)
{
    if (program.empty())
        return false;
    std::vector<std::string> storage;
    std::vector<char*> argv = execArguments(program, args, storage);

    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int descriptorLimit = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;

    int reportPipe[2];
    if (::pipe2(reportPipe, O_CLOEXEC) != 0)
        return false;

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(reportPipe[0]);
        ::close(reportPipe[1]);
        return false;
    }
    if (child == 0) {
        // A second fork in a new session: the program is adopted by init,
        // so it outlives us and never becomes our zombie.
        ::close(reportPipe[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            const int error = errno;
            ssize_t ignored = ::write(reportPipe[1], &error, sizeof error);
            (void)ignored;
            _exit(127);
        }
        if (grandchild > 0)
            _exit(0);
        execDetached(argv.data(), reportPipe[1], descriptorLimit);
    }

    ::close(reportPipe[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes without data when exec succeeded (close-on-exec), and
    // carries errno when it did not.
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(reportPipe[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(reportPipe[0]);
    return got == 0;
}

} // namespace selfupdate

namespace selfupdate {

int runProcess(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> storage;
    std::vector<char*> argv = execArguments(program, args, storage);

    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            ::dup2(devNull, 1);
            ::dup2(devNull, 2);
        }
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace selfupdate
