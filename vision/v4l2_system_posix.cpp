#include "vision/v4l2_system.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace cv {

namespace {

class PosixV4l2System final : public V4l2System
{
public:
    int open(const char* path, int flags) override { return ::open(path, flags); }

    int close(int fd) override { return ::close(fd); }

    int ioctl(int fd, unsigned long request, void* argument) override
    {
        // A signal may interrupt any V4L2 request; retrying is always safe.
        int result = 0;
        do {
            result = ::ioctl(fd, request, argument);
        } while (result == -1 && errno == EINTR);
        return result;
    }

    void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) override
    {
        return ::mmap(address, length, protection, flags, fd, offset);
    }

    int munmap(void* address, std::size_t length) override { return ::munmap(address, length); }

    int poll(pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }

    ssize_t read(int fd, void* buffer, std::size_t count) override { return ::read(fd, buffer, count); }
};

} // namespace

V4l2System& posixV4l2System()
{
    static PosixV4l2System system;
    return system;
}

} // namespace cv
