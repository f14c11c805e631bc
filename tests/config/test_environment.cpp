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

} // namespace kestro::config::test
