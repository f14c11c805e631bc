#include "record/session_messages.h"

#include "record/embedded_schemas.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace session {

namespace {

constexpr std::uint64_t kNanosecondsPerSecond = 1000000000ull;
// Pixels: thick enough to see on a scaled-down picture.
constexpr double kBoneThickness = 2.0;
constexpr double kJointThickness = 8.0;
const std::array<int, 3> kJointRgb{255, 255, 255};
const char* const kEventSource = "kestro-teleop";

QJsonObject timestamp(std::uint64_t timeNs)
{
    return QJsonObject{{"sec", static_cast<qint64>(timeNs / kNanosecondsPerSecond)},
                       {"nsec", static_cast<qint64>(timeNs % kNanosecondsPerSecond)}};
}

QJsonObject color(const std::array<int, 3>& rgb, double alpha = 1.0)
{
    return QJsonObject{{"r", rgb[0] / 255.0}, {"g", rgb[1] / 255.0}, {"b", rgb[2] / 255.0}, {"a", alpha}};
}

QJsonObject point(PixelPoint p)
{
    return QJsonObject{{"x", p.x}, {"y", p.y}};
}

std::string compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

template <typename T, std::size_t N>
QJsonArray jsonArray(const std::array<T, N>& values)
{
    QJsonArray array;
    for (const T& value : values)
        array.append(value);
    return array;
}

// One points annotation in the visualisers' shape; type 1 draws points,
// 2 a closed loop, 4 separate segments.
QJsonObject pointsAnnotation(std::uint64_t timeNs, int type, const QJsonArray& points, const QJsonArray& colors,
                             const std::array<int, 3>& rgb, double thickness)
{
    return QJsonObject{{"timestamp", timestamp(timeNs)},
                       {"type", type},
                       {"points", points},
                       {"outline_color", color(rgb)},
                       {"outline_colors", colors},
                       {"fill_color", color(rgb, 0.0)},
                       {"thickness", thickness}};
}

} // namespace

std::vector<RecordingWriter::Channel> channels()
{
    return {
        {kCameraTopic, "foxglove.CompressedImage", embedded_schemas::kCompressedImage},
        {kAnnotationsTopic, "foxglove.ImageAnnotations", embedded_schemas::kImageAnnotations},
        {kCommandTopic, "kestro.CommandedState", embedded_schemas::kCommandedState},
        {kTelemetryTopic, "kestro.Telemetry", embedded_schemas::kTelemetry},
        {kEventsTopic, "foxglove.Log", embedded_schemas::kLog},
    };
}

std::string compressedImage(std::uint64_t timeNs, const QByteArray& jpeg)
{
    return compact(QJsonObject{{"timestamp", timestamp(timeNs)},
                               {"frame_id", kCameraFrameId},
                               {"data", QString::fromLatin1(jpeg.toBase64())},
                               {"format", "jpeg"}});
}

std::string imageAnnotations(std::uint64_t timeNs, const Skeleton& skeleton)
{
    QJsonArray annotations;
    if (skeleton.present) {
        const PixelPoint& a = skeleton.boxTopLeft;
        const PixelPoint& b = skeleton.boxBottomRight;
        annotations.append(pointsAnnotation(
            timeNs, 2, QJsonArray{point(a), point({b.x, a.y}), point(b), point({a.x, b.y})}, QJsonArray{},
            skeleton.boxRgb, kBoneThickness));
        if (!skeleton.bones.empty()) {
            QJsonArray points, colors;
            for (const ColoredSegment& bone : skeleton.bones) {
                points.append(point(bone.from));
                points.append(point(bone.to));
                colors.append(color(bone.rgb));
                colors.append(color(bone.rgb));
            }
            annotations.append(pointsAnnotation(timeNs, 4, points, colors, skeleton.bones.front().rgb,
                                                kBoneThickness));
        }
        if (!skeleton.joints.empty()) {
            QJsonArray points;
            for (const PixelPoint& joint : skeleton.joints)
                points.append(point(joint));
            annotations.append(pointsAnnotation(timeNs, 1, points, QJsonArray{}, kJointRgb, kJointThickness));
        }
    }
    return compact(QJsonObject{{"circles", QJsonArray{}}, {"points", annotations}, {"texts", QJsonArray{}}});
}

std::string commandedState(std::uint64_t timeNs, const std::array<double, 17>& angles,
                           const std::array<int, 17>& pwm, const std::array<bool, 17>& valid, const char* outcome)
{
    const QString outcomeText = QString::fromLatin1(outcome);
    return compact(QJsonObject{{"timestamp", timestamp(timeNs)},
                               {"angles", jsonArray(angles)},
                               {"pwm", jsonArray(pwm)},
                               {"valid", jsonArray(valid)},
                               {"sent", outcomeText == QLatin1String("sent")},
                               {"outcome", outcomeText}});
}

std::string telemetry(std::uint64_t timeNs, const std::array<int, 17>& pwm, const std::array<double, 17>& angles,
                      const std::array<bool, 17>& valid)
{
    return compact(QJsonObject{{"timestamp", timestamp(timeNs)},
                               {"pwm", jsonArray(pwm)},
                               {"angles", jsonArray(angles)},
                               {"valid", jsonArray(valid)}});
}

std::string event(std::uint64_t timeNs, EventLevel level, const QString& text)
{
    return compact(QJsonObject{{"timestamp", timestamp(timeNs)},
                               {"level", static_cast<int>(level)},
                               {"message", text},
                               {"name", kEventSource},
                               {"file", ""},
                               {"line", 0}});
}

} // namespace session
