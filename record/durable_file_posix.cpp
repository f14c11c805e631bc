#include "record/durable_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
std::string describe(const char* action, const std::string& path)
{
    return std::string("Cannot ") + action + " " + path + ": " + std::strerror(errno);
}
} // namespace

DurableFile::~DurableFile()
{
    close();
}

bool DurableFile::open(const std::string& path)
{
    close();
    m_path = path;
    m_handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_handle < 0) {
        m_lastError = describe("create", path);
        return false;
    }
    return true;
}

bool DurableFile::write(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(m_handle, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            m_lastError = describe("write", m_path);
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool DurableFile::sync()
{
    if (::fdatasync(m_handle) != 0) {
        m_lastError = describe("sync", m_path);
        return false;
    }
    return true;
}

bool DurableFile::close()
{
    if (m_handle < 0)
        return true;
    const int result = ::close(m_handle);
    m_handle = -1;
    if (result != 0) {
        m_lastError = describe("close", m_path);
        return false;
    }
    return true;
}
