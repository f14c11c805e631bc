#pragma once

#include "record/recording_writer.h"

#include <QByteArray>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The channels of a recorded teleoperation session and the JSON shape of
// each message, in the visualisers' schemas where one exists (pictures,
// image annotations, log lines) and in our own for commands and telemetry.
// Times are nanoseconds since the Unix epoch.
namespace session {

inline constexpr const char* kCameraTopic = "/camera/image";
inline constexpr const char* kAnnotationsTopic = "/camera/annotations";
inline constexpr const char* kCommandTopic = "/robot/command";
inline constexpr const char* kTelemetryTopic = "/robot/telemetry";
inline constexpr const char* kEventsTopic = "/events";
// The frame name the camera's pictures and annotations share.
inline constexpr const char* kCameraFrameId = "camera";
// The events that say, at the start, whether the pictures are stored
// mirrored: playback hands the retargeter the same flag the session had.
inline constexpr const char* kMirroredEvent = "Camera pictures mirrored";
inline constexpr const char* kNotMirroredEvent = "Camera pictures not mirrored";

// Positions in channels(), for RecordingWriter::post.
enum Channel : std::size_t { CameraChannel, AnnotationsChannel, CommandChannel, TelemetryChannel, EventsChannel };
std::vector<RecordingWriter::Channel> channels();

struct PixelPoint
{
    int x = 0;
    int y = 0;
};
struct ColoredSegment
{
    PixelPoint from;
    PixelPoint to;
    // Red, green, blue in 0..255.
    std::array<int, 3> rgb{};
};
// What a viewer draws over the picture: the person's box, the bones and the joints.
struct Skeleton
{
    bool present = false;
    PixelPoint boxTopLeft;
    PixelPoint boxBottomRight;
    std::array<int, 3> boxRgb{};
    std::vector<ColoredSegment> bones;
    std::vector<PixelPoint> joints;
};

// Log levels of the events channel, as the visualisers number them.
enum class EventLevel { Info = 2, Warning = 3, Error = 4 };

std::string compressedImage(std::uint64_t timeNs, const QByteArray& jpeg);
std::string imageAnnotations(std::uint64_t timeNs, const Skeleton& skeleton);
// outcome: one of "sent", "standby", "disconnected", "no_target", "watchdog",
// "send_failed", "stopped".
std::string commandedState(std::uint64_t timeNs, const std::array<double, 17>& angles,
                           const std::array<int, 17>& pwm, const std::array<bool, 17>& valid, const char* outcome);
std::string telemetry(std::uint64_t timeNs, const std::array<int, 17>& pwm, const std::array<double, 17>& angles,
                      const std::array<bool, 17>& valid);
std::string event(std::uint64_t timeNs, EventLevel level, const QString& text);

} // namespace session
