// The dashboard as a user's terminal runs it: a signal must close it like
// its window's close button, never kill it mid-inference.
#include "tests/app/dashboard_process.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <csignal>
#include <thread>
#include <cstdlib>
#include <sys/wait.h>

using namespace std::chrono_literals;

using DashboardProcess = kestro_app_test::DashboardProcessTest<int>;

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
