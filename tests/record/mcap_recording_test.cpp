// MCAP recordings: what the recording thread writes must be read back whole
// by the reference reader, agree with its own summary and indexes, validate
// against its schemas, and survive being cut off anywhere.
#include "tests/record/mcap_peer.h"

#include "record/mcap_reader.h"
#include "record/mcap_writer.h"
#include "record/recording_writer.h"
#include "record/session_messages.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>

using kestro_test::readCutWithReferenceReader;
using kestro_test::readWithReferenceReader;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

McapReader readOurs(const QByteArray& bytes)
{
    McapReader reader;
    reader.read(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
    return reader;
}

// A file of `chunks` chunks of `perChunk` messages on the events topic,
// message i's payload {"n":i} at time i; the file's size after each chunk.
std::vector<std::uint64_t> writeChunkedEvents(const QString& path, int chunks, int perChunk)
{
    McapWriter writer("kestro-test");
    std::vector<std::uint64_t> chunkEnds;
    bool written = writer.open(path.toStdString());
    const std::uint16_t channel =
        writer.addChannel(writer.addSchema("foxglove.Log", "jsonschema", "{}"), session::kEventsTopic, "json");
    for (int i = 0; written && i < chunks * perChunk; ++i) {
        const std::string payload = "{\"n\":" + std::to_string(i) + "}";
        const auto time = static_cast<std::uint64_t>(i);
        written = writer.addMessage(channel, time, time, payload.data(), payload.size());
        if (written && (i + 1) % perChunk == 0) {
            written = writer.flushChunk();
            chunkEnds.push_back(writer.bytesWritten());
        }
    }
    EXPECT_TRUE(written && writer.close()) << path.toStdString();
    return chunkEnds;
}

session::Skeleton someSkeleton(int shift)
{
    session::Skeleton skeleton;
    skeleton.present = true;
    skeleton.boxTopLeft = {100 + shift, 80};
    skeleton.boxBottomRight = {300 + shift, 460};
    skeleton.boxRgb = {255, 200, 0};
    skeleton.bones = {{{150, 120}, {200, 200}, {0, 255, 0}}, {{200, 200}, {250, 260}, {255, 0, 0}}};
    skeleton.joints = {{150, 120}, {200, 200}, {250, 260}};
    return skeleton;
}

} // namespace

// A session as the dashboard writes it: pictures encoded on the writer
// thread and posted from a second thread, commands and events from this one,
// times slightly out of order between threads, several chunks.
TEST(McapRecording, ReferenceReaderReadsBackEverySessionMessageAndItsIndexes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("session.mcap"));

    RecordingWriter::Options options;
    options.chunkInterval = std::chrono::milliseconds(40);
    options.minFreeBytes = 0;
    RecordingWriter writer(options);
    ASSERT_TRUE(writer.start(path.toStdString(), session::channels(), "kestro-test"));

    const std::uint64_t t0 = RecordingWriter::nowNs();
    constexpr int kFrames = 40;
    std::thread camera([&] {
        for (int i = 0; i < kFrames; ++i) {
            const std::uint64_t t = t0 + static_cast<std::uint64_t>(i) * 33000000ull;
            writer.post(session::CameraChannel, t, 4096, [t, i] {
                return session::compressedImage(t, QByteArray(1000 + i, static_cast<char>(0xD8)));
            });
            writer.post(session::AnnotationsChannel, t, session::imageAnnotations(t, someSkeleton(i)));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::array<double, 17> angles{};
    std::array<int, 17> pwm{};
    std::array<bool, 17> valid{};
    const char* outcomes[] = {"sent", "standby", "watchdog", "send_failed"};
    for (int i = 0; i < kFrames; ++i) {
        angles[i % 17] = -0.5 + i * 0.01;
        pwm[i % 17] = 1500 + i;
        valid[i % 17] = true;
        // 20 ms behind the pictures: the index must still come out in time order.
        const std::uint64_t t = t0 + static_cast<std::uint64_t>(i) * 33000000ull + 20000000ull;
        writer.post(session::CommandChannel, t, session::commandedState(t, angles, pwm, valid, outcomes[i % 4]));
        writer.post(session::TelemetryChannel, t + 1, session::telemetry(t + 1, pwm, angles, valid));
        if (i % 10 == 0)
            writer.post(session::EventsChannel, t, session::event(t, session::EventLevel::Error,
                                                                  QStringLiteral("Emergency stop: NOT delivered")));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    camera.join();
    writer.finish();

    const RecordingWriter::Status status = writer.status();
    EXPECT_EQ(status.state, RecordingWriter::State::Finished) << status.error;
    EXPECT_EQ(status.messagesDropped, 0u);
    const int expected = kFrames * 4 + kFrames / 10;
    EXPECT_EQ(status.messagesWritten, static_cast<std::uint64_t>(expected));

    const QJsonObject peer = readWithReferenceReader(path, true);
    ASSERT_FALSE(peer.isEmpty());
    const QJsonObject stream = peer["stream"].toObject();
    const QJsonObject indexed = peer["indexed"].toObject();
    ASSERT_TRUE(indexed["error"].isUndefined()) << indexed["error"].toString().toStdString();
    EXPECT_TRUE(stream["done"].toBool()) << stream["error"].toString().toStdString();
    EXPECT_EQ(stream["messages"].toInt(), expected);
    EXPECT_GT(stream["chunks"].toInt(), 1);
    EXPECT_EQ(stream["indexMismatches"].toInt(), 0);

    EXPECT_EQ(indexed["messages"].toInt(), expected);
    EXPECT_EQ(indexed["outOfOrder"].toInt(), 0);
    EXPECT_EQ(indexed["invalid"].toArray().size(), 0) << QJsonDocument(indexed["invalid"].toArray()).toJson().toStdString();
    EXPECT_TRUE(indexed["dataCrcOk"].toBool());
    EXPECT_TRUE(indexed["summaryCrcOk"].toBool());
    EXPECT_TRUE(indexed["schemasMatchPackage"].toBool());
    const QJsonObject statistics = indexed["statistics"].toObject();
    EXPECT_EQ(statistics["messageCount"].toInt(), expected);
    EXPECT_EQ(statistics["chunkCount"].toInt(), stream["chunks"].toInt());
    EXPECT_EQ(statistics["chunkIndexes"].toInt(), stream["chunks"].toInt());
    EXPECT_EQ(statistics["perTopic"].toObject(), indexed["perTopic"].toObject());
    EXPECT_EQ(indexed["perTopic"].toObject()[session::kCameraTopic].toInt(), kFrames);

    const McapReader ours = readOurs(readAll(path));
    EXPECT_TRUE(ours.isIntact()) << (ours.problems().empty() ? "" : ours.problems().front());
    EXPECT_EQ(ours.messages().size(), static_cast<std::size_t>(expected));
    EXPECT_EQ(ours.messagesOnTopic(session::kEventsTopic).size(), static_cast<std::size_t>(kFrames / 10));
}

// A crash leaves the file cut at an arbitrary byte: both readers must open
// it and find every message of every chunk that was complete before the cut.
TEST(McapRecording, FileCutAnywhereOpensUpToItsLastCompleteChunk)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("whole.mcap"));
    constexpr int kChunks = 6;
    constexpr int kPerChunk = 10;
    // The file size after each chunk and its indexes.
    const std::vector<std::uint64_t> chunkEnds = writeChunkedEvents(path, kChunks, kPerChunk);
    ASSERT_EQ(chunkEnds.size(), static_cast<std::size_t>(kChunks));
    const QByteArray whole = readAll(path);

    std::vector<int> cuts = {9, 40, static_cast<int>(chunkEnds[0]) - 1, static_cast<int>(chunkEnds[2]),
                             static_cast<int>(chunkEnds.back()) + 3,
                             static_cast<int>(whole.size()) - 1};
    std::mt19937 random(20251208u);
    std::uniform_int_distribution<int> anywhere(8, static_cast<int>(whole.size()) - 1);
    for (int i = 0; i < 40; ++i)
        cuts.push_back(anywhere(random));

    const QJsonArray peerCuts = readCutWithReferenceReader(path, cuts);
    ASSERT_EQ(peerCuts.size(), static_cast<qsizetype>(cuts.size()));
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        const int cut = cuts[i];
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        int complete = 0;
        for (const std::uint64_t end : chunkEnds)
            complete += end <= static_cast<std::uint64_t>(cut) ? 1 : 0;
        // A cut inside a chunk's trailing indexes still leaves the chunk whole.
        const int atLeast = complete * kPerChunk;
        const int atMost = std::min(complete + 1, kChunks) * kPerChunk;

        const QJsonObject stream = peerCuts[static_cast<qsizetype>(i)].toObject();
        EXPECT_TRUE(stream["error"].isNull()) << stream["error"].toString().toStdString();
        EXPECT_FALSE(stream["done"].toBool());
        const int peerMessages = stream["messages"].toInt();
        EXPECT_GE(peerMessages, atLeast);
        EXPECT_LE(peerMessages, atMost);
        EXPECT_EQ(peerMessages % kPerChunk, 0);

        const McapReader ours = readOurs(whole.left(cut));
        EXPECT_TRUE(ours.isCutShort());
        EXPECT_EQ(static_cast<int>(ours.messages().size()), peerMessages);
    }
}

TEST(McapReader, NamesWhatIsWrongWithADamagedFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("good.mcap"));
    ASSERT_EQ(writeChunkedEvents(path, 2, 10).size(), 2u);
    const QByteArray good = readAll(path);
    ASSERT_TRUE(readOurs(good).isIntact());
    const int firstPayload = good.indexOf("{\"n\":3}");
    const int statistics = good.lastIndexOf(char(0x0B), good.size() - 40);
    ASSERT_GT(firstPayload, 0);
    ASSERT_GT(statistics, 0);

    struct Case
    {
        const char* name;
        std::function<void(QByteArray&)> damage;
        const char* problem;
        bool readable;
    };
    const std::vector<Case> cases = {
        {"byte changed inside a chunk", [&](QByteArray& b) { b[firstPayload + 5] = '7'; }, "checksum", true},
        {"statistics count changed", [&](QByteArray& b) { b[statistics + 9] = char(b[statistics + 9] + 1); },
         "summary", true},
        {"closing magic missing", [](QByteArray& b) { b.chop(1); }, "closing magic", true},
        {"record length beyond the end",
         [](QByteArray& b) { std::memset(b.data() + 9, 0xFF, 8); }, "ends inside a record", true},
        {"not an MCAP file", [](QByteArray& b) { b[1] = 'X'; }, "not an MCAP file", false},
        {"empty file", [](QByteArray& b) { b.clear(); }, "not an MCAP file", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray bytes = good;
        c.damage(bytes);
        McapReader reader;
        EXPECT_EQ(reader.read(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                              static_cast<std::size_t>(bytes.size())),
                  c.readable);
        ASSERT_FALSE(reader.isIntact());
        EXPECT_NE(reader.problems().front().find(c.problem), std::string::npos) << reader.problems().front();
    }
}

// A disk slower than the producers: the queue fills and further messages are
// dropped and counted; the producer never waits and the file stays whole.
TEST(RecordingWriter, DropsAndCountsMessagesTheDiskCannotTakeInsteadOfWaiting)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("slow.mcap"));
    RecordingWriter::Options options;
    options.maxQueuedBytes = 4 * 1000;
    options.minFreeBytes = 0;
    RecordingWriter writer(options);
    ASSERT_TRUE(writer.start(path.toStdString(), session::channels(), "kestro-test"));

    constexpr int kPosted = 60;
    int accepted = 0;
    for (int i = 0; i < kPosted; ++i) {
        const std::uint64_t t = 1000u + static_cast<std::uint64_t>(i);
        accepted += writer.post(session::CameraChannel, t, 1000, [t] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return session::compressedImage(t, QByteArray(100, 'x'));
        }) ? 1 : 0;
    }
    writer.finish();
    const RecordingWriter::Status status = writer.status();
    EXPECT_EQ(status.state, RecordingWriter::State::Finished);
    EXPECT_GT(status.messagesDropped, 0u);
    EXPECT_EQ(status.messagesWritten, static_cast<std::uint64_t>(accepted));
    EXPECT_EQ(status.messagesWritten + status.messagesDropped, static_cast<std::uint64_t>(kPosted));
    const McapReader reader = readOurs(readAll(path));
    EXPECT_TRUE(reader.isIntact());
    EXPECT_EQ(reader.messages().size(), static_cast<std::size_t>(accepted));
}

TEST(RecordingWriter, FinishesTheFileAndStopsWhenFreeSpaceRunsLow)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("full.mcap"));
    RecordingWriter::Options options;
    options.minFreeBytes = std::numeric_limits<std::uint64_t>::max();
    RecordingWriter writer(options);
    ASSERT_TRUE(writer.start(path.toStdString(), session::channels(), "kestro-test"));
    for (int i = 0; i < 200 && !writer.isDone(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(writer.isDone());
    EXPECT_EQ(writer.status().state, RecordingWriter::State::DiskFull);
    EXPECT_FALSE(writer.post(session::EventsChannel, 1, std::string("{}")));
    const QJsonObject peer = readWithReferenceReader(path, true);
    EXPECT_TRUE(peer["stream"].toObject()["done"].toBool());
    EXPECT_TRUE(readOurs(readAll(path)).isIntact());
}

// kestro-mcap-info, run as a script runs it, on a whole, a cut and a
// foreign file: what it prints and how it exits.
TEST(McapInfoTool, SummarisesARecordingAndFailsOnDamage)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString whole = dir.filePath(QStringLiteral("whole.mcap"));
    {
        RecordingWriter::Options options;
        options.minFreeBytes = 0;
        RecordingWriter writer(options);
        ASSERT_TRUE(writer.start(whole.toStdString(), session::channels(), "kestro-test"));
        const std::uint64_t t0 = 1765190000000000000ull; // 2025-12-08 10:33:20 UTC
        writer.post(session::EventsChannel, t0, session::event(t0, session::EventLevel::Info,
                                                               QStringLiteral("Teleoperation ACTIVE")));
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t t = t0 + 500000000ull * static_cast<std::uint64_t>(i + 1);
            writer.post(session::TelemetryChannel, t, session::telemetry(t, {}, {}, {}));
        }
        const std::uint64_t end = t0 + 2250000000ull;
        writer.post(session::EventsChannel, end,
                    session::event(end, session::EventLevel::Error, QStringLiteral("Emergency stop: NOT delivered")));
        writer.finish();
    }
    const QByteArray bytes = readAll(whole);
    const QString cut = dir.filePath(QStringLiteral("cut.mcap"));
    const QString foreign = dir.filePath(QStringLiteral("foreign.mcap"));
    {
        QFile cutFile(cut), foreignFile(foreign);
        ASSERT_TRUE(cutFile.open(QIODevice::WriteOnly) && foreignFile.open(QIODevice::WriteOnly));
        cutFile.write(bytes.left(bytes.size() - 30));
        foreignFile.write("just some text\n");
    }

    struct Case
    {
        QString file;
        int exitCode;
        QStringList outputLines;
        QString errorText;
    };
    const std::vector<Case> cases = {
        {whole, 0,
         {"Duration: 2.250 s", "Messages: 5 in 1 chunks", "  /robot/telemetry  kestro.Telemetry  3 messages",
          "  /events  foxglove.Log  2 messages", "  0:00:00.000  INFO  Teleoperation ACTIVE",
          "  0:00:02.250  ERROR  Emergency stop: NOT delivered"},
         ""},
        {cut, 1, {"Messages: 5 in 1 chunks", "  0:00:02.250  ERROR  Emergency stop: NOT delivered"}, "cut off"},
        {foreign, 2, {}, "not an MCAP file"},
        {dir.filePath(QStringLiteral("missing.mcap")), 2, {}, "missing.mcap"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        QProcess tool;
        tool.start(QStringLiteral(KESTRO_MCAP_INFO_PATH), {c.file});
        ASSERT_TRUE(tool.waitForFinished(20000));
        EXPECT_EQ(tool.exitCode(), c.exitCode);
        const QString output = QString::fromUtf8(tool.readAllStandardOutput());
        for (const QString& line : c.outputLines)
            EXPECT_TRUE(output.contains(line)) << line.toStdString() << " not in\n" << output.toStdString();
        EXPECT_TRUE(QString::fromUtf8(tool.readAllStandardError()).contains(c.errorText));
    }
}
