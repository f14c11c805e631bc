#include "tests/config/test_environment.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Plain arrays: they are filled before any C++ static object is constructed,
// and a std::string here would be constructed (emptied) after that.
char g_scratch[PATH_MAX];
char g_startupConfig[PATH_MAX];

void removeScratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(g_scratch, ignored);
}

void joinInto(char* out, const char* base, const char* leaf)
{
    if (std::snprintf(out, PATH_MAX, "%s/%s", base, leaf) >= PATH_MAX) {
        std::fputs("config_test: scratch path too long\n", stderr);
        std::_Exit(70);
    }
}

// Priority 101 runs ahead of every ordinary static constructor, including
// the settings store's, which reads these variables.
__attribute__((constructor(101))) void isolateFromRealHome()
{
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(g_scratch, sizeof g_scratch, "%s/kestro-config-test-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (!::mkdtemp(g_scratch)) {
        std::perror("config_test: mkdtemp");
        std::_Exit(70);
    }
    std::atexit(removeScratch);

    char folder[PATH_MAX];
    joinInto(folder, g_scratch, "home");
    ::mkdir(folder, 0700);
    ::setenv("HOME", folder, 1);
    joinInto(folder, g_scratch, "xdg");
    ::setenv("XDG_CONFIG_HOME", folder, 1);
    joinInto(folder, g_scratch, "startup");
    ::mkdir(folder, 0700);
    joinInto(g_startupConfig, folder, "teleop.cfg");
    ::setenv("KESTRO_CONFIG_PATH", g_startupConfig, 1);
}

} // namespace

namespace kestro::config::test {

std::string scratchFolder()
{
    return g_scratch;
}

std::string freshFolder(const std::string& label)
{
    static int counter = 0;
    const std::string folder = scratchFolder() + "/" + label + "-" + std::to_string(++counter);
    std::filesystem::create_directories(folder);
    return folder;
}

std::string startupConfigPath()
{
    return g_startupConfig;
}

std::string readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

namespace {

// The user and group that Debian calls "nobody".
constexpr uid_t kUnprivilegedId = 65534;

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

} // namespace

bool runAsTestUser(const std::function<bool()>& body)
{
    if (runningAsRoot()) {
        // The unprivileged user must be able to reach the scratch folders.
        ::chmod(g_scratch, 0711);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (runningAsRoot() && (::setgid(kUnprivilegedId) != 0 || ::setuid(kUnprivilegedId) != 0))
            std::_Exit(2);
        std::_Exit(body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (runningAsRoot())
        ::chmod(g_scratch, 0700);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void giveToTestUser(const std::string& path)
{
    if (runningAsRoot() && ::chown(path.c_str(), kUnprivilegedId, kUnprivilegedId) != 0)
        throw std::runtime_error("cannot hand over " + path);
}

} // namespace kestro::config::test
