// kestro-teleop's command line on a machine without a display (a terminal
// over SSH, a build server): help and version print and exit, no window.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

// Sets (or, without a value, removes) an environment variable for the
// scope, and puts the old state back afterwards.
class ScopedVariable
{
public:
    explicit ScopedVariable(const char* name, const char* value = nullptr) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_saved = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedVariable()
    {
        if (m_saved)
            setenv(m_name, m_saved->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_saved;
};

} // namespace

TEST(CommandLine, HelpAndVersionNeedNoDisplay)
{
    const ScopedVariable display("DISPLAY"), wayland("WAYLAND_DISPLAY"), platform("QT_QPA_PLATFORM");
    // The settings singleton reads (or creates) its file even for --help.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const ScopedVariable settings("KESTRO_CONFIG_PATH", folder.filePath("teleop.cfg").toUtf8().constData());
    struct Case
    {
        const char* argument;
        std::vector<std::string> printed;
    };
    const Case cases[] = {
        {"--help", {"--source <PATH|URL>", "demo:", "--record", "--start-teleop", "--version"}},
        {"-h", {"--source <PATH|URL>"}},
        {"--version", {"Kestro Teleop 2.2.2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        kestro_test::ChildProcess teleop;
        ASSERT_TRUE(teleop.start({KESTRO_TELEOP_PATH, c.argument}));
        const int status = teleop.waitExit(30s);
        teleop.readAvailable();
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status << ": " << teleop.output();
        EXPECT_EQ(WEXITSTATUS(status), 0);
        for (const std::string& text : c.printed)
            EXPECT_NE(teleop.output().find(text), std::string::npos) << text << " not in:\n" << teleop.output();
    }
}
