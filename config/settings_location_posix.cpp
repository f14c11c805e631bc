#include "config/settings_location.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace kestro::config {

namespace {

// The folders hold a clear-text broker password; nobody else needs to list them.
constexpr mode_t kPrivateFolderMode = 0700;

std::string environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool isFolder(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::string userSettingsFolder()
{
    const std::string xdgConfigHome = environmentValue("XDG_CONFIG_HOME");
    if (!xdgConfigHome.empty())
        return xdgConfigHome;
    const std::string home = environmentValue("HOME");
    if (!home.empty())
        return home + kPathSeparator + ".config";
    return std::string();
}

bool createFolders(const std::string& folder)
{
    if (folder.empty())
        return false;
    // Walk down from the top so that a fresh account without ~/.config works.
    std::string::size_type next = folder.find_first_not_of(kPathSeparator);
    while (next != std::string::npos) {
        const std::string::size_type end = folder.find(kPathSeparator, next);
        const std::string prefix = folder.substr(0, end);
        if (::mkdir(prefix.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
            return false;
        next = end == std::string::npos ? end : folder.find_first_not_of(kPathSeparator, end);
    }
    return isFolder(folder);
}

} // namespace kestro::config
