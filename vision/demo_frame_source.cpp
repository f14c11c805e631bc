#include "vision/demo_frame_source.h"

#include "vision/raw_frame_decoder.h"

#include <QFile>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <thread>

namespace {

// The photograph's size; its keypoints and cut-outs below are in its pixels.
constexpr int kPhotographWidth = 548;
constexpr int kPhotographHeight = 342;

// The photograph is a JPEG file: the camera path's decoder reads it (the
// size given is a camera's and only checked for sense: a JPEG has its own).
cv::Mat loadBgr(const char* resource)
{
    cv::Mat frame;
    QFile file(QString::fromLatin1(resource));
    if (!file.open(QIODevice::ReadOnly))
        return frame;
    const QByteArray bytes = file.readAll();
    cv::decodeRawVideoFrameToBgr(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                 static_cast<std::size_t>(bytes.size()), kPhotographWidth, kPhotographHeight, cv::kCodeMJPG,
                                 0, 0, false, frame);
    return frame;
}

std::chrono::steady_clock::time_point instantOf(double seconds)
{
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds)));
}

} // namespace

bool DemoFrameSource::isDemoLocation(const std::string& location)
{
    const std::string scheme = kLocation;
    return location.size() == scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), location.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

FrameSourceFactory DemoFrameSource::factoryFor(const std::string& location, bool threadMirrors)
{
    if (!isDemoLocation(location))
        return {};
    return [threadMirrors](const FrameSourceRequest& request, std::string& error) -> std::unique_ptr<FrameSource> {
        const DemoPhotograph photograph = footballer();
        if (photograph.image.empty()) {
            error = "The demo photograph is missing from this build. Using synthetic test feed.";
            return nullptr;
        }
        return std::make_unique<DemoFrameSource>(photograph, request, threadMirrors);
    };
}

DemoPhotograph DemoFrameSource::footballer()
{
    DemoPhotograph photograph;
    photograph.image = loadBgr(kPhotographResource);
    if (photograph.image.cols != kPhotographWidth || photograph.image.rows != kPhotographHeight) {
        photograph.image.release();
        return photograph;
    }
    // Placed by hand on the photograph (COCO order, the person's own sides).
    // Shoulders, elbows, wrists and hips sit on the joints' centres, where
    // the limbs turn, not on the outline of the shoulder.
    photograph.keypoints = {{{245, 113}, {250, 103}, {235, 103}, {262, 102}, {224, 106}, {276, 130}, {204, 133},
                             {316, 146}, {152, 120}, {350, 163}, {106, 104}, {285, 223}, {245, 240}, {352, 250},
                             {225, 283}, {418, 262}, {282, 310}}};
    // The arms stand out against the out-of-focus stands; the short sleeves
    // hang open below the upper arm.
    photograph.leftArm = {14.0, 8.0, 7.0, 9.0, {368, 166}, {307, 149}, 7.0};
    photograph.rightArm = {14.0, 9.0, 7.0, 8.0, {76, 92}, {164, 146}, 7.0};
    photograph.headCentre = {237, 96};
    photograph.headRadiusX = 33.0;
    photograph.headRadiusY = 37.0;
    photograph.neck = {243, 128};
    return photograph;
}

double DemoFrameSource::clockSeconds(std::chrono::steady_clock::time_point instant)
{
    return std::chrono::duration<double>(instant.time_since_epoch()).count();
}

DemoFrameSource::DemoFrameSource(const DemoPhotograph& photograph, const FrameSourceRequest& request, bool mirrored)
    : m_animator(photograph, cv::Size(std::max(1, request.width), std::max(1, request.height))),
      m_fps(request.fps > 0 ? request.fps : 30), m_mirrored(mirrored)
{
}

bool DemoFrameSource::read(cv::Mat& frame)
{
    const double now = clockSeconds(std::chrono::steady_clock::now());
    const auto newest = static_cast<std::int64_t>(std::floor(now * m_fps));
    if (m_nextTick < 0)
        m_nextTick = newest + 1;
    std::int64_t tick = std::max(m_nextTick, newest);
    const double due = static_cast<double>(tick) / m_fps;
    if (due > now)
        std::this_thread::sleep_until(instantOf(due));
    m_nextTick = tick + 1;
    m_lastFrameSeconds = due;
    m_animator.render(DemoScript::at(due), frame);
    if (m_mirrored)
        cv::flip(frame, frame, 1);
    return true;
}

double DemoFrameSource::lastFrameSeconds() const
{
    return m_lastFrameSeconds;
}
