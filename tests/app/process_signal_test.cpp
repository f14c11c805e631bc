// The dashboard as a user's terminal runs it: a signal must close it like
// its window's close button, never kill it mid-inference.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <csignal>
#include <thread>
#include <cstdlib>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

class DashboardProcess : public ::testing::TestWithParam<int>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_folder.isValid());
        if (!std::getenv("DISPLAY"))
            GTEST_SKIP() << "needs an X server (scripts/test runs the suite under Xvfb)";
        setenv("KESTRO_CONFIG_PATH", m_folder.filePath("teleop.cfg").toUtf8().constData(), 1);
        setenv("KESTRO_DISABLE_AUTO_MQTT", "1", 1);
        // A port nothing listens on: the start-up update check fails at once
        // without looking up the vendor's host.
        setenv("KESTRO_UPDATE_URL", "https://127.0.0.1:9/version.json", 1);
        unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    }

    QTemporaryDir m_folder;
};

} // namespace

TEST_P(DashboardProcess, QuitsCleanlyOnSignalWhileTheCameraThreadInfers)
{
    kestro_test::ChildProcess dashboard;
    const std::string log = m_folder.filePath("stderr.txt").toStdString();
    ASSERT_TRUE(dashboard.start({KESTRO_TELEOP_PATH}, log));
    // The model-loaded line comes before the camera thread starts; give it a
    // moment to be inside an inference when the signal lands.
    ASSERT_TRUE(dashboard.waitForOutput("PoseEstimator: Loaded model successfully", 60s)) << dashboard.output();
    std::this_thread::sleep_for(1500ms);

    ASSERT_EQ(::kill(dashboard.pid(), GetParam()), 0);
    const int status = dashboard.waitExit(30s);
    ASSERT_NE(status, -1) << "the dashboard did not exit after the signal";
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, DashboardProcess, ::testing::Values(SIGINT, SIGTERM, SIGHUP));
