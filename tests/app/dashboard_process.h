#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdlib>

namespace kestro_app_test {

// The real kestro-teleop run as a child process, as a user's terminal runs
// it: its own settings file in a temporary folder, the camera thread on, no
// broker, and an update check that fails at once.
template <typename Param>
class DashboardProcessTest : public ::testing::TestWithParam<Param>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_folder.isValid());
        if (!std::getenv("DISPLAY"))
            GTEST_SKIP() << "needs an X server (scripts/test runs the suite under Xvfb)";
        setenv("KESTRO_CONFIG_PATH", m_folder.filePath("teleop.cfg").toUtf8().constData(), 1);
        setenv("XDG_DATA_HOME", m_folder.filePath("data").toUtf8().constData(), 1);
        setenv("KESTRO_DISABLE_AUTO_MQTT", "1", 1);
        // A port nothing listens on: the start-up update check fails at once
        // without looking up the vendor's host.
        setenv("KESTRO_UPDATE_URL", "https://127.0.0.1:9/version.json", 1);
        unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    }

    QTemporaryDir m_folder;
};

} // namespace kestro_app_test
