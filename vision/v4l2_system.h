#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace cv {

// Every operating-system call the V4L2 capture backend makes. The calls
// keep their POSIX meaning: -1 (or MAP_FAILED) with errno set on failure.
// The capture logic reaches the kernel only through this, so that tests can
// put a fake camera behind it.
class V4l2System
{
public:
    virtual ~V4l2System() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
    virtual ssize_t read(int fd, void* buffer, std::size_t count) = 0;
};

// The kernel itself. Stateless, shared by every capture object.
V4l2System& posixV4l2System();

} // namespace cv
