#include "selfupdate/private_folder.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

namespace selfupdate {

namespace fs = std::filesystem;

namespace {

const char* const kStagingSubfolder = "/kestro/selfupdate";

std::string absoluteEnvironmentPath(const char* name)
{
    const char* value = std::getenv(name);
    // The base-directory rules: a relative value is invalid and ignored.
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string homeFolder()
{
    std::string home = absoluteEnvironmentPath("HOME");
    if (!home.empty())
        return home;
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/' ? entry->pw_dir : "";
}

[[noreturn]] void refuse(const std::string& folder, const std::string& reason)
{
    throw std::runtime_error("Refusing staging directory '" + folder + "': " + reason);
}

// Writable by someone other than its owner in a way that lets them rename or
// replace what it holds: world-writable or group-writable for another group,
// unless the sticky bit keeps each entry to its owner (as in /tmp).
bool othersCanReplaceEntries(const struct stat& info)
{
    if ((info.st_mode & S_ISVTX) != 0)
        return false;
    return (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) != 0 && info.st_gid != ::getegid());
}

// Every folder from parent up to "/" must belong to root or to us and must
// not let others replace its entries: otherwise someone could move our
// private folder aside and put their own in its place.
void checkAncestors(const std::string& folder, const fs::path& parent)
{
    for (fs::path level = parent;; level = level.parent_path()) {
        struct stat info {};
        if (::lstat(level.c_str(), &info) != 0)
            refuse(folder, "cannot inspect '" + level.string() + "': " + errorText(errno));
        if (info.st_uid != 0 && info.st_uid != ::geteuid())
            refuse(folder, "'" + level.string() + "' belongs to another user");
        if (othersCanReplaceEntries(info))
            refuse(folder, "other users can write to '" + level.string() + "'");
        if (level == level.root_path() || level.parent_path() == level)
            return;
    }
}

void createMissingFolders(const fs::path& path)
{
    fs::path prefix = path.root_path();
    for (const fs::path& part : path.relative_path()) {
        prefix /= part;
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("Failed to create staging directory '" + path.string() + "': " +
                                     std::generic_category().message(errno));
    }
}

fs::path normalisedAbsolute(const std::string& path)
{
    std::error_code error;
    fs::path absolute = fs::absolute(path, error).lexically_normal();
    if (!absolute.has_filename())
        absolute = absolute.parent_path(); // "a/b/" names the folder b
    return absolute;
}

} // namespace

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.release();
    }
    return *this;
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

std::string privateStagingBase()
{
    const std::string cache = absoluteEnvironmentPath("XDG_CACHE_HOME");
    if (!cache.empty())
        return cache + kStagingSubfolder;
    const std::string home = homeFolder();
    if (!home.empty())
        return home + "/.cache" + kStagingSubfolder;
    const std::string runtime = absoluteEnvironmentPath("XDG_RUNTIME_DIR");
    return runtime.empty() ? std::string() : runtime + kStagingSubfolder;
}

std::string errorText(int errorNumber)
{
    std::string text = std::generic_category().message(errorNumber);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && !(text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z'))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

bool writeAll(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

PrivateFolder PrivateFolder::open(const std::string& path, bool create)
{
    if (path.empty())
        throw std::runtime_error("No private staging directory: neither XDG_CACHE_HOME, HOME nor XDG_RUNTIME_DIR "
                                 "names a folder");
    const fs::path absolute = normalisedAbsolute(path);
    if (create)
        createMissingFolders(absolute);

    // Links above the folder are resolved (a home on another disk is fine),
    // then every real folder on the way is checked. The folder itself is
    // never reached through a link.
    char resolved[PATH_MAX];
    if (::realpath(absolute.parent_path().c_str(), resolved) == nullptr)
        refuse(absolute.string(), errorText(errno));
    const fs::path parent(resolved);
    const std::string folder = (parent / absolute.filename()).string();
    checkAncestors(folder, parent);

    const UniqueFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd.valid())
        refuse(folder, errorText(errno));
    UniqueFd fd(::openat(parentFd.get(), absolute.filename().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        const int error = errno;
        struct stat link {};
        if (::fstatat(parentFd.get(), absolute.filename().c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(link.st_mode))
            refuse(folder, "it is a symbolic link");
        refuse(folder, errorText(error));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        refuse(folder, errorText(errno));
    if (info.st_uid != ::geteuid())
        refuse(folder, "it belongs to another user");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        refuse(folder, "other users can write to it");
    return PrivateFolder(folder, std::move(fd));
}

UniqueFd PrivateFolder::createFile(const std::string& name, unsigned mode) const
{
    if (::unlinkat(m_fd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        return UniqueFd();
    // O_EXCL with O_NOFOLLOW: should anything have appeared under the name
    // since the unlink, the call fails instead of writing through it.
    return UniqueFd(::openat(m_fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             static_cast<mode_t>(mode)));
}

UniqueFd PrivateFolder::openOwnFile(const std::string& name) const
{
    const std::string path = file(name);
    UniqueFd fd(::openat(m_fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        throw std::runtime_error("Cannot open staged package '" + path + "': " + errorText(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw std::runtime_error("Refusing staged package '" + path + "': not a regular file");
    if (info.st_uid != ::geteuid())
        throw std::runtime_error("Refusing staged package '" + path + "': it belongs to another user");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw std::runtime_error("Refusing staged package '" + path + "': other users can write to it");
    return fd;
}

void PrivateFolder::remove(const std::string& name) const
{
    ::unlinkat(m_fd.get(), name.c_str(), 0); // nothing left to remove is fine, so is a failure here
}

bool PrivateFolder::rename(const std::string& from, const std::string& to, std::string* errorOut) const
{
    if (::renameat(m_fd.get(), from.c_str(), m_fd.get(), to.c_str()) == 0)
        return true;
    if (errorOut != nullptr)
        *errorOut = std::generic_category().message(errno);
    return false;
}

bool PrivateFolder::allowsExecution() const
{
    struct statvfs info {};
    return ::fstatvfs(m_fd.get(), &info) != 0 || (info.f_flag & ST_NOEXEC) == 0;
}

} // namespace selfupdate
