#include "vision/camera_list.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cstring>

namespace cv {

namespace {

// The kernel hands out video node numbers below this for all but unusual
// set-ups; probing a fixed range keeps the listing behind V4l2System.
constexpr int kHighestProbedIndex = 63;

} // namespace

std::vector<CaptureDevice> listCaptureDevices(V4l2System& system)
{
    std::vector<CaptureDevice> devices;
    for (int index = 0; index <= kHighestProbedIndex; ++index) {
        const std::string path = "/dev/video" + std::to_string(index);
        // Non-blocking and read-only: a camera in use elsewhere still answers.
        const int fd = system.open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        v4l2_capability capability{};
        const bool answered = system.ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0;
        system.close(fd);
        if (!answered)
            continue;
        const std::uint32_t caps =
            (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
        if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
            continue;
        const char* card = reinterpret_cast<const char*>(capability.card);
        devices.push_back({index, std::string(card, strnlen(card, sizeof capability.card))});
    }
    return devices;
}

} // namespace cv
