#pragma once

#include <cstdint>
#include <string>

// Files that only this user can influence. Packages and scripts wait in the
// staging folder between download and installation (while the operator reads
// the release notes, or until the application has exited), so no other
// account may be able to create, replace or redirect anything there. POSIX
// implementation in private_folder_posix.cpp.
namespace selfupdate {

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();

private:
    int m_fd = -1;
};

// The folder under which packages are staged by default: "kestro/selfupdate"
// in $XDG_CACHE_HOME, else in ~/.cache, else in $XDG_RUNTIME_DIR; empty when
// none of them is known. Never the shared temporary folder.
std::string privateStagingBase();

// The system's text for an error number, starting in lower case so that it
// reads as the end of a sentence ("permission denied").
std::string errorText(int errorNumber);

// A folder that belongs to this user and that no other user can write, nor
// any folder above it (a shared folder above, such as /tmp, must be sticky).
// Every operation goes through the open folder, never through a path that
// could be swapped for a link after the check.
class PrivateFolder {
public:
    // Opens path, creating it and missing parents with mode 0700 when create
    // is set. Throws std::runtime_error naming the folder and what is wrong.
    static PrivateFolder open(const std::string& path, bool create);

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    int fd() const { return m_fd.get(); }

    // A new file of that name for writing, made with O_CREAT|O_EXCL|O_NOFOLLOW
    // after removing an earlier entry (a file or a planted link, which is
    // removed and never followed). Throws std::runtime_error.
    UniqueFd createFile(const std::string& name, unsigned mode) const;
    // Opens an existing file for reading without following a link, and
    // proves it is a regular file of ours that others cannot write.
    UniqueFd openOwnFile(const std::string& name) const;
    // Removes name if present; errors are ignored.
    void remove(const std::string& name) const;
    // Renames within the folder, replacing to; false with the system's text
    // for the error in errorOut on failure.
    bool rename(const std::string& from, const std::string& to, std::string* errorOut) const;
    // True when programs stored here may be executed (no noexec mount).
    bool allowsExecution() const;

private:
    PrivateFolder(std::string path, UniqueFd fd) : m_path(std::move(path)), m_fd(std::move(fd)) {}

    std::string m_path;
    UniqueFd m_fd;
};

// Writes all of data to fd; false with errno set on failure.
bool writeAll(int fd, const char* data, std::size_t length);

} // namespace selfupdate
