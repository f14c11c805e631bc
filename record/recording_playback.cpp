#include "record/recording_playback.h"

#include "record/session_messages.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

QJsonObject jsonOf(const McapReader::Message& message)
{
    return QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(message.data),
                                                           static_cast<qsizetype>(message.size)))
        .object();
}

// All 17 entries of the right type, or false: a record with a channel
// missing is damaged, and a partial one must never reach the robot.
template <typename T>
bool read17(const QJsonValue& value, std::array<T, 17>& into)
{
    const QJsonArray array = value.toArray();
    if (array.size() != 17)
        return false;
    for (int channel = 0; channel < 17; ++channel) {
        const QJsonValue item = array[channel];
        if constexpr (std::is_same_v<T, bool>) {
            if (!item.isBool())
                return false;
            into[channel] = item.toBool();
        } else {
            if (!item.isDouble())
                return false;
            into[channel] = static_cast<T>(item.toDouble());
        }
    }
    return true;
}

} // namespace

RecordingPlayback::RecordingPlayback() = default;
RecordingPlayback::~RecordingPlayback() = default;

bool RecordingPlayback::open(const QString& path)
{
    m_path = path;
    m_file = std::make_unique<QFile>(path);
    if (!m_file->open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("Cannot open %1: %2").arg(path, m_file->errorString());
        return false;
    }
    const qint64 size = m_file->size();
    const uchar* bytes = size > 0 ? m_file->map(0, size) : nullptr;
    if (!bytes || !m_reader.read(bytes, static_cast<std::size_t>(size))) {
        m_error = QStringLiteral("%1 is not a recording (no MCAP file).").arg(path);
        return false;
    }
    if (m_reader.isCutShort())
        noteDamage(QStringLiteral("it was cut short"));
    else if (!m_reader.isIntact())
        noteDamage(QStringLiteral("it is damaged (%1)").arg(QString::fromStdString(m_reader.problems().front())));

    collectFrames();
    collectCommands();
    collectTelemetry();
    collectEvents();

    std::vector<std::uint64_t> firsts, lasts;
    for (const std::vector<std::uint64_t>* times : {&m_frameTimesNs, &m_sentCommandTimesNs, &m_telemetryTimesNs}) {
        if (!times->empty()) {
            firsts.push_back(times->front());
            lasts.push_back(times->back());
        }
    }
    if (firsts.empty()) {
        m_error = QStringLiteral("%1 holds no camera pictures, commands or telemetry to play.").arg(path);
        return false;
    }
    m_beginNs = *std::min_element(firsts.begin(), firsts.end());
    m_endNs = *std::max_element(lasts.begin(), lasts.end());
    return true;
}

void RecordingPlayback::noteDamage(const QString& what)
{
    if (m_damageNotice.isEmpty())
        m_damageNotice = QStringLiteral("The recording is incomplete: %1. Playing what it holds.").arg(what);
}

QByteArray RecordingPlayback::frameJpeg(int index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= m_frames.size())
        return {};
    const QJsonObject image = jsonOf(m_frames[static_cast<std::size_t>(index)]);
    if (image["format"].toString() != QLatin1String("jpeg"))
        return {};
    return QByteArray::fromBase64(image["data"].toString().toLatin1());
}

void RecordingPlayback::collectFrames()
{
    m_frames = m_reader.messagesOnTopic(session::kCameraTopic);
    m_frameTimesNs.reserve(m_frames.size());
    for (const McapReader::Message& message : m_frames)
        m_frameTimesNs.push_back(message.logTime);
}

void RecordingPlayback::collectCommands()
{
    int damaged = 0;
    for (const McapReader::Message& message : m_reader.messagesOnTopic(session::kCommandTopic)) {
        const QJsonObject json = jsonOf(message);
        if (json["outcome"].toString() != QLatin1String("sent"))
            continue;
        Command command;
        command.timeNs = message.logTime;
        if (!read17(json["angles"], command.angles) || !read17(json["pwm"], command.pwm) ||
            !read17(json["valid"], command.valid)) {
            ++damaged;
            continue;
        }
        m_sentCommands.push_back(command);
        m_sentCommandTimesNs.push_back(command.timeNs);
    }
    if (damaged > 0)
        noteDamage(QStringLiteral("%1 damaged command records were left out").arg(damaged));
}

void RecordingPlayback::collectTelemetry()
{
    for (const McapReader::Message& message : m_reader.messagesOnTopic(session::kTelemetryTopic)) {
        const QJsonObject json = jsonOf(message);
        Telemetry telemetry;
        telemetry.timeNs = message.logTime;
        if (!read17(json["pwm"], telemetry.pwm) || !read17(json["angles"], telemetry.angles) ||
            !read17(json["valid"], telemetry.valid))
            continue; // only shown, never sent: a damaged report is simply not shown
        m_telemetry.push_back(telemetry);
        m_telemetryTimesNs.push_back(telemetry.timeNs);
    }
}

void RecordingPlayback::collectEvents()
{
    for (const McapReader::Message& message : m_reader.messagesOnTopic(session::kEventsTopic)) {
        const QString text = jsonOf(message)["message"].toString();
        if (text == QLatin1String(session::kMirroredEvent) || text == QLatin1String(session::kNotMirroredEvent)) {
            m_mirrored = text == QLatin1String(session::kMirroredEvent);
            return;
        }
    }
}
