#include "config/atomic_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kestro::config {

namespace {

constexpr mode_t kPrivateFileMode = 0600;

// Owns the temporary file: closes it, and removes it unless it was renamed
// into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) : m_path(target + ".XXXXXX")
    {
        // mkstemp creates the file with mode 0600, whatever the umask says.
        m_fd = ::mkstemp(m_path.data());
        m_created = m_fd >= 0;
    }
    // Keeps errno: the caller reports why the replace failed, not how the
    // clean-up went.
    ~TemporaryFile()
    {
        const int error = errno;
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_created && !m_renamed)
            ::unlink(m_path.c_str());
        errno = error;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // close() can report a deferred write error (NFS, quota), so it counts.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }
    bool renameTo(const std::string& target)
    {
        m_renamed = ::rename(m_path.c_str(), target.c_str()) == 0;
        return m_renamed;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_created = false;
    bool m_renamed = false;
};

bool writeAll(int fd, const std::string& contents)
{
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// A settings file that is a symbolic link (kept in a dotfiles folder, say) is
// updated where it points, so the link survives the rename. The links are
// followed by hand because realpath() refuses a link whose target does not
// exist yet, and that target is exactly what a first save creates.
std::string resolveTarget(const std::string& path)
{
    // The kernel gives up after 40 links as well (ELOOP).
    constexpr int kMaxLinks = 40;
    std::string current = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat linkInfo {};
        if (::lstat(current.c_str(), &linkInfo) != 0 || !S_ISLNK(linkInfo.st_mode))
            return current;
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size())
            return current;
        target.resize(static_cast<std::size_t>(length));
        if (target.front() != '/') {
            const std::string::size_type slash = current.rfind('/');
            if (slash != std::string::npos)
                target = current.substr(0, slash + 1) + target;
        }
        current = target;
    }
    return current;
}

// Used only when no temporary file can be created beside the target (its
// folder is not writable, but the file is): the file is rewritten where it
// is. Space is reserved before the first byte changes, so a full disk fails
// with the old text intact; a failure after that puts the old text back as
// far as the system lets it.
bool rewriteInPlace(const std::string& target, const std::string& contents)
{
    std::string previous;
    const bool havePrevious = readWholeFile(target, previous);
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const auto writeAt0 = [fd](const std::string& text) {
        if (::lseek(fd, 0, SEEK_SET) != 0 || !writeAll(fd, text))
            return false;
        return ::ftruncate(fd, static_cast<off_t>(text.size())) == 0;
    };
    bool ok = true;
    if (!contents.empty()) {
        const int reserved = ::posix_fallocate(fd, 0, static_cast<off_t>(contents.size()));
        // File systems without preallocation say so; anything else (ENOSPC,
        // EFBIG) means the new text would not fit.
        ok = reserved == 0 || reserved == EOPNOTSUPP || reserved == EINVAL;
        if (!ok)
            errno = reserved;
    }
    if (ok)
        ok = writeAt0(contents) && ::fsync(fd) == 0;
    if (!ok) {
        const int error = errno;
        if (havePrevious && writeAt0(previous))
            (void)::fsync(fd);
        errno = error;
    }
    if (::close(fd) != 0)
        ok = false;
    return ok;
}

void syncFolderOf(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        // Only makes the rename durable; the new content is already complete.
        (void)::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool replaceFileAtomically(const std::string& path, const std::string& contents)
{
    if (path.empty())
        return false;
    const std::string target = resolveTarget(path);

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists) {
        if (S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            return false;
        }
        const int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (probe < 0)
            return false;
        ::close(probe);
    }

    TemporaryFile temporary(target);
    if (!temporary.isOpen()) {
        const bool folderRefused = errno == EACCES || errno == EPERM;
        return exists && folderRefused && rewriteInPlace(target, contents);
    }
    mode_t mode = exists ? (existing.st_mode & 07777) : kPrivateFileMode;
    if (exists && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())) {
        // Keeps the owner and group when someone else's file is edited (done
        // before fchmod, which chown may undo). If that is refused, the group
        // and other bits would now apply to different people: drop them.
        if (::fchown(temporary.fd(), existing.st_uid, existing.st_gid) != 0)
            mode &= kPrivateFileMode | S_IXUSR;
    }
    if (::fchmod(temporary.fd(), mode) != 0 || !writeAll(temporary.fd(), contents) ||
        ::fsync(temporary.fd()) != 0 || !temporary.close() || !temporary.renameTo(target)) {
        return false;
    }
    syncFolderOf(target);
    return true;
}

bool readWholeFile(const std::string& path, std::string& contents)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    char buffer[16384];
    bool ok = true;
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (ok)
        contents = std::move(text);
    return ok;
}

} // namespace kestro::config
