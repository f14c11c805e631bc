#pragma once

#include "vision/v4l2_system.h"

#include <string>
#include <vector>

namespace cv {

// One video capture device present on this machine.
struct CaptureDevice
{
    int index = 0;      // the N of /dev/videoN, as the camera settings store it
    std::string card;   // the driver's name for the device ("HD Webcam C270")
};

// The devices /dev/video0 to /dev/video63 that capture video, in index
// order. Nodes of the same camera that only carry metadata, and output or
// memory-to-memory devices, are left out.
std::vector<CaptureDevice> listCaptureDevices(V4l2System& system = posixV4l2System());

} // namespace cv
