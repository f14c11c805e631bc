#pragma once

#include "vision/demo_animator.h"
#include "vision/frame_source.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// The demo source: a photograph of a person that moves its arms and head
// through DemoScript, for a machine without a camera. Frames come at the
// requested rate on a grid of the steady clock, each showing the script at
// its own grid time, so the pose in any frame is known from its time alone.
// Selected by the location "demo:" wherever a file or stream URL goes.
class DemoFrameSource : public FrameSource
{
public:
    static constexpr const char* kLocation = "demo:";
    // The photograph in the resource bundle.
    static constexpr const char* kPhotographResource = ":/demo/footballer.jpg";

    // Whether `location` names the demo (its scheme, in any letter case).
    static bool isDemoLocation(const std::string& location);
    // The camera thread's source for `location`: the demo for a demo
    // location, else empty (the thread's own capture reads files, streams
    // and the camera device). `threadMirrors`: the thread will mirror each
    // picture, as it does a camera's for a mirror-like view.
    static FrameSourceFactory factoryFor(const std::string& location, bool threadMirrors);

    // The shipped photograph with its hand-placed keypoints and cut-outs; an
    // empty image when the resource bundle lacks it.
    static DemoPhotograph footballer();

    // Seconds on the steady clock: the script's time for any instant.
    static double clockSeconds(std::chrono::steady_clock::time_point instant);

    // `mirrored`: hand the pictures over mirrored left-right, so that a
    // thread that mirrors them shows the photograph the way it was taken.
    // The pose network finds this person more reliably that way round.
    DemoFrameSource(const DemoPhotograph& photograph, const FrameSourceRequest& request, bool mirrored = false);

    // Waits for the next frame time, like a camera; a caller that fell
    // behind gets the newest frame, the missed ones are dropped.
    bool read(cv::Mat& frame) override;

    const DemoAnimator& animator() const { return m_animator; }
    // The script time of the last frame read, in clockSeconds.
    double lastFrameSeconds() const;

private:
    DemoAnimator m_animator;
    int m_fps;
    bool m_mirrored;
    std::int64_t m_nextTick = -1;
    double m_lastFrameSeconds = 0.0;
};
