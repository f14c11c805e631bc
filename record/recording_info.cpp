#include "record/recording_info.h"

#include "record/mcap_reader.h"
#include "record/session_messages.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

constexpr std::uint64_t kNanosecondsPerMillisecond = 1000000ull;
const char* const kLevelNames[] = {"UNKNOWN", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};

std::string wallClock(std::uint64_t timeNs)
{
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(timeNs / kNanosecondsPerMillisecond))
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
        .toStdString();
}

// Offset into the recording, as h:mm:ss.mmm.
std::string offset(std::uint64_t timeNs, std::uint64_t startNs)
{
    const std::uint64_t ms = timeNs >= startNs ? (timeNs - startNs) / kNanosecondsPerMillisecond : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 3600000),
                  static_cast<unsigned long long>(ms / 60000 % 60), static_cast<unsigned long long>(ms / 1000 % 60),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

void printEvents(const McapReader& reader, std::uint64_t startNs, std::ostream& out)
{
    const std::vector<McapReader::Message> events = reader.messagesOnTopic(session::kEventsTopic);
    out << "Events: " << events.size() << "\n";
    for (const McapReader::Message& event : events) {
        const QJsonObject json =
            QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(event.data),
                                               static_cast<qsizetype>(event.size)))
                .object();
        const int level = json.value(QStringLiteral("level")).toInt();
        const char* levelName = level >= 0 && level <= 5 ? kLevelNames[level] : kLevelNames[0];
        out << "  " << offset(event.logTime, startNs) << "  " << levelName << "  "
            << json.value(QStringLiteral("message")).toString().toStdString() << "\n";
    }
}

} // namespace

int printRecordingInfo(const std::string& path, std::ostream& out, std::ostream& err)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        err << path << ": " << file.errorString().toStdString() << "\n";
        return 2;
    }
    // Mapped rather than read: a recording can be larger than the memory.
    const qint64 size = file.size();
    const uchar* data = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && !data) {
        err << path << ": " << file.errorString().toStdString() << "\n";
        return 2;
    }
    McapReader reader;
    if (!reader.read(data, static_cast<std::size_t>(size))) {
        err << path << ": " << reader.problems().front() << "\n";
        return 2;
    }

    std::map<std::uint16_t, std::uint64_t> counts;
    std::uint64_t first = 0, last = 0;
    for (const McapReader::Message& message : reader.messages()) {
        ++counts[message.channelId];
        first = first == 0 ? message.logTime : std::min(first, message.logTime);
        last = std::max(last, message.logTime);
    }

    out << "File: " << path << "\n";
    out << "Written by: " << (reader.library().empty() ? "(unknown)" : reader.library()) << "\n";
    if (reader.messages().empty()) {
        out << "Duration: no messages\n";
    } else {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(last - first) / 1e9);
        out << "Duration: " << seconds << " s, from " << wallClock(first) << " to " << wallClock(last) << "\n";
    }
    out << "Messages: " << reader.messages().size() << " in " << reader.chunkCount() << " chunks\n";
    out << "Channels: " << reader.channels().size() << "\n";
    for (const auto& [id, channel] : reader.channels()) {
        const auto schema = reader.schemas().find(channel.schemaId);
        out << "  " << channel.topic << "  " << (schema != reader.schemas().end() ? schema->second.name : "-")
            << "  " << counts[id] << " messages\n";
    }
    printEvents(reader, first, out);

    for (const std::string& problem : reader.problems())
        err << path << ": " << problem << "\n";
    return reader.isIntact() ? 0 : 1;
}
