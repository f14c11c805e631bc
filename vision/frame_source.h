#pragma once

#include "vision/cv_core.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Where the camera thread takes its pictures from: a local camera, a video
// file, a network stream, or anything else that yields BGR frames. The
// thread creates one at the start of each run and uses it only from its own
// thread, so an implementation needs no lock of its own for that use.
class FrameSource
{
public:
    virtual ~FrameSource() = default;

    // The next frame as 8-bit BGR. False when there is none to give this
    // pass (between a file's frames, a stalled or lost stream, a damaged
    // file): the thread shows its synthetic picture instead, so a stale
    // picture never passes for a fresh one.
    virtual bool read(cv::Mat& frame) = 0;
    // Whether the last successful read gave a picture taken anew; false for
    // a repeat of the last one (a camera that stopped delivering), which is
    // shown but never taken for the present.
    virtual bool lastReadWasNew() const { return true; }

    // Operator messages raised since the last call (a stream lost and
    // reconnecting, a damaged file); the thread shows each one once.
    virtual std::vector<std::string> takeMessages() { return {}; }
};

// What a source is asked for: the configured frame size and rate. A source
// may deliver another size (a file keeps its aspect ratio).
struct FrameSourceRequest
{
    int width = 640;
    int height = 480;
    int fps = 30;
};

// Builds the source for one run of the camera thread, on that thread. Null
// means it could not open: `error` then holds the operator message, and the
// run goes on with the synthetic picture.
using FrameSourceFactory =
    std::function<std::unique_ptr<FrameSource>(const FrameSourceRequest& request, std::string& error)>;
