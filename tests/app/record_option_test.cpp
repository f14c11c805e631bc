// `kestro-teleop --record [FILE]` as a script runs it: the session is on disk
// while it runs, a clean quit finishes the file, and a crash (SIGKILL) keeps
// everything but the last second.
#include "record/mcap_reader.h"
#include "record/session_messages.h"
#include "tests/record/mcap_peer.h"
#include "tests/app/dashboard_process.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct RecordCase
{
    const char* name;
    bool namedFile;
    int signal;
};

using RecordOption = kestro_app_test::DashboardProcessTest<RecordCase>;

} // namespace

TEST_P(RecordOption, KeepsTheSessionUpToTheLastSecondWhateverEndsTheProgram)
{
    const RecordCase& c = GetParam();
    std::vector<std::string> argv = {KESTRO_TELEOP_PATH, "--record"};
    const QString named = m_folder.filePath("named.mcap");
    if (c.namedFile)
        argv.push_back(named.toStdString());

    kestro_test::ChildProcess dashboard;
    ASSERT_TRUE(dashboard.start(argv, m_folder.filePath("stderr.txt").toStdString()));
    ASSERT_TRUE(dashboard.waitForOutput("PoseEstimator: Loaded model successfully", 60s)) << dashboard.output();
    std::this_thread::sleep_for(4s);
    const qint64 endedAtMs = QDateTime::currentMSecsSinceEpoch();
    ASSERT_EQ(::kill(dashboard.pid(), c.signal), 0);
    ASSERT_NE(dashboard.waitExit(30s), -1);

    QString path = named;
    if (!c.namedFile) {
        const QDir folder(m_folder.filePath("data/kestro/recordings"));
        const QStringList files = folder.entryList({"kestro-*.mcap"});
        ASSERT_EQ(files.size(), 1) << folder.path().toStdString();
        path = folder.filePath(files.front());
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray bytes = file.readAll();
    McapReader reader;
    ASSERT_TRUE(reader.read(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                            static_cast<std::size_t>(bytes.size())));
    const bool crashed = c.signal == SIGKILL;
    EXPECT_EQ(reader.isIntact(), !crashed) << (reader.problems().empty() ? "" : reader.problems().front());
    EXPECT_EQ(reader.isCutShort(), crashed);

    const std::vector<McapReader::Message> pictures = reader.messagesOnTopic(session::kCameraTopic);
    ASSERT_FALSE(pictures.empty());
    const qint64 lastPictureMs = static_cast<qint64>(pictures.back().logTime / 1000000u);
    // A chunk is synced about once a second; allow a second more for a loaded machine.
    EXPECT_LT(endedAtMs - lastPictureMs, 2000);

    const QJsonObject peer = kestro_test::readWithReferenceReader(path, !crashed);
    const QJsonObject stream = peer["stream"].toObject();
    EXPECT_TRUE(stream["error"].isNull()) << stream["error"].toString().toStdString();
    EXPECT_EQ(stream["done"].toBool(), !crashed);
    EXPECT_EQ(stream["perTopic"].toObject()[session::kCameraTopic].toInt(), static_cast<int>(pictures.size()));
    if (!crashed) {
        EXPECT_EQ(peer["indexed"].toObject()["messages"].toInt(), static_cast<int>(reader.messages().size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, RecordOption,
                         ::testing::Values(RecordCase{"QuitToDefaultFolder", false, SIGTERM},
                                           RecordCase{"CrashWithNamedFile", true, SIGKILL}),
                         [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });
