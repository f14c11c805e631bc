#pragma once

#include "record/mcap_reader.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QFile;

// A recorded session opened for playback. The file is mapped, not read, and
// McapReader's messages point into the mapping, so a recording of hundreds
// of megabytes costs its pages once, on demand; a picture's JPEG is taken
// out of its message only when it is shown. Commands and telemetry, small
// beside the pictures, are parsed once at opening, on a worker thread
// (RecordingOpener). After open() nothing changes, so the camera thread and
// the GUI thread may share one.
class RecordingPlayback
{
public:
    struct Command
    {
        std::uint64_t timeNs = 0;
        std::array<double, 17> angles{};
        std::array<int, 17> pwm{};
        std::array<bool, 17> valid{};
    };
    struct Telemetry
    {
        std::uint64_t timeNs = 0;
        std::array<int, 17> pwm{};
        std::array<double, 17> angles{};
        std::array<bool, 17> valid{};
    };

    RecordingPlayback();
    ~RecordingPlayback();
    RecordingPlayback(const RecordingPlayback&) = delete;
    RecordingPlayback& operator=(const RecordingPlayback&) = delete;

    // False, with error(), when the file cannot be read, is no recording at
    // all, or holds nothing to play. A damaged or cut-short file opens with
    // what it holds, and damageNotice() says what is wrong.
    bool open(const QString& path);
    const QString& error() const { return m_error; }
    // One sentence for the operator; empty when the file is intact.
    const QString& damageNotice() const { return m_damageNotice; }
    const QString& path() const { return m_path; }

    // The recorded span: the first and last picture, command or telemetry.
    std::uint64_t beginNs() const { return m_beginNs; }
    std::uint64_t endNs() const { return m_endNs; }
    // The pictures' log times, in order.
    const std::vector<std::uint64_t>& frameTimesNs() const { return m_frameTimesNs; }
    // The JPEG of one picture; empty when its message is damaged.
    QByteArray frameJpeg(int index) const;

    // Only the commands that went on the wire: nothing else is ever replayed.
    const std::vector<Command>& sentCommands() const { return m_sentCommands; }
    const std::vector<std::uint64_t>& sentCommandTimesNs() const { return m_sentCommandTimesNs; }
    const std::vector<Telemetry>& telemetry() const { return m_telemetry; }
    const std::vector<std::uint64_t>& telemetryTimesNs() const { return m_telemetryTimesNs; }
    // Whether the camera pictures were stored mirrored; unknown for a
    // recording made before the recorder noted it.
    std::optional<bool> mirrored() const { return m_mirrored; }

private:
    void collectFrames();
    void collectCommands();
    void collectTelemetry();
    void collectEvents();
    void noteDamage(const QString& what);

    std::unique_ptr<QFile> m_file;
    McapReader m_reader;
    QString m_path;
    QString m_error;
    QString m_damageNotice;
    std::uint64_t m_beginNs = 0;
    std::uint64_t m_endNs = 0;
    std::vector<McapReader::Message> m_frames;
    std::vector<std::uint64_t> m_frameTimesNs;
    std::vector<Command> m_sentCommands;
    std::vector<std::uint64_t> m_sentCommandTimesNs;
    std::vector<Telemetry> m_telemetry;
    std::vector<std::uint64_t> m_telemetryTimesNs;
    std::optional<bool> m_mirrored;
};
