// The updater against a second local account: what it may not influence,
// and what an operator whose account cannot write the install sees. Run as
// root, these tests act as "nobody" for the other account (or for the
// operator, so that file permissions apply); elsewhere they are skipped.
#include "selfupdate/http_transport_curl.h"
#include "selfupdate/self_update_controller.h"
#include "selfupdate/sha256.h"
#include "selfupdate/update_installer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace fs = std::filesystem;
using selfupdate::InstallOptions;
using selfupdate::InstallResult;
using selfupdate::InstallType;
using selfupdate::SelfUpdateController;
using selfupdate::UpdateInstaller;
using selfupdate::UpdateManifest;
using selfupdate::UpdatePhase;
using selfupdate_test::fileExists;
using selfupdate_test::OtherUser;
using selfupdate_test::readFile;
using selfupdate_test::runAs;
using selfupdate_test::TemporaryFolder;
using selfupdate_test::writeFile;

namespace {

#define REQUIRE_OTHER_USER(user)                                                                                       \
    std::string whyNot;                                                                                                \
    const std::optional<OtherUser> user = selfupdate_test::otherUser(whyNot);                                          \
    if (!user)                                                                                                         \
    GTEST_SKIP() << whyNot

std::string errnoName(bool succeeded)
{
    return succeeded ? "succeeded" : (errno == EACCES ? "EACCES" : std::to_string(errno));
}

// A folder the other account can pass through (like a home folder), with a
// staging folder inside that belongs to whoever staged the package.
struct Layout {
    TemporaryFolder root;
    std::string stage = root.file("stage");
    std::string app = root.file("app");
    std::string target = root.file("app/kestro-teleop");

    Layout()
    {
        fs::permissions(root.path(), fs::perms(0755));
        fs::create_directories(stage);
        fs::permissions(stage, fs::perms(0700));
        fs::create_directories(app);
        writeFile(target, "old build");
        fs::permissions(target, fs::perms(0755));
    }
};

} // namespace

// The package waits in its folder while the operator reads the release
// notes. Another account can neither rewrite nor replace it; a package that
// changed anyway (or was handed to another owner) is refused at install.
TEST(AnotherUser, CannotSwapTheStagedPackage)
{
    REQUIRE_OTHER_USER(other);
    Layout layout;
    const std::string staged = layout.stage + "/kestro-teleop";
    writeFile(staged, "verified build");
    UpdateManifest manifest;
    manifest.installType = InstallType::BinaryCopy;
    manifest.sha256 = selfupdate::Sha256::hashString("verified build");

    const std::string attempts = runAs(*other, [&] {
        const int fd = ::open(staged.c_str(), O_WRONLY | O_TRUNC);
        const std::string rewrite = errnoName(fd >= 0);
        const std::string replace = errnoName(::rename("/dev/null", staged.c_str()) == 0);
        return rewrite + " " + replace;
    });
    EXPECT_EQ(attempts, "EACCES EACCES");

    InstallOptions options;
    options.targetExecutablePath = layout.target;
    options.skipProcessLaunch = true;
    struct Case {
        const char* what;
        std::function<void()> change;
        std::string refusal;
    };
    const Case cases[] = {
        {"rewritten", [&] { writeFile(staged, "attacker's build"); },
         "Staged package changed after it was verified: expected " + manifest.sha256 + ", computed " +
             selfupdate::Sha256::hashString("attacker's build")},
        {"given away", [&] { selfupdate_test::giveTo(staged, *other); },
         "Refusing staged package '" + staged + "': it belongs to another user"},
        {"replaced by a link", [&] {
             fs::remove(staged);
             fs::create_symlink(layout.root.file("elsewhere"), staged);
             writeFile(layout.root.file("elsewhere"), "verified build");
         },
         "Cannot open staged package '" + staged + "': too many levels of symbolic links"},
    };
    for (const Case& c : cases) {
        c.change();
        const InstallResult result = UpdateInstaller(options).executeUpdate(manifest, staged);
        EXPECT_FALSE(result.success) << c.what;
        EXPECT_FALSE(result.quitRequired) << c.what;
        EXPECT_EQ(result.errorMessage, c.refusal) << c.what;
        EXPECT_EQ(readFile(layout.target), "old build") << c.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(layout.app), fs::directory_iterator()), 1) << c.what;
        fs::remove(staged);
        writeFile(staged, "verified build");
    }
}

// A link planted where a script is written is replaced, never written
// through; and in a private folder the other account cannot plant one.
TEST(AnotherUser, PlantedLinkIsNotFollowed)
{
    REQUIRE_OTHER_USER(other);
    Layout layout;
    const std::string victim = layout.root.file("victim");
    writeFile(victim, "precious");
    const std::string installer = layout.stage + "/setup.bin";
    writeFile(installer, "#!/bin/sh\nexit 0\n");
    const std::string script = layout.stage + "/selfupdate_trampoline.sh";

    EXPECT_EQ(runAs(*other, [&] { return errnoName(::symlink(victim.c_str(), script.c_str()) == 0); }), "EACCES");

    fs::create_symlink(victim, script);
    UpdateManifest manifest;
    manifest.sha256 = selfupdate::Sha256::hashFile(installer);
    InstallOptions options;
    options.useInstallerTrampoline = true;
    options.skipProcessLaunch = true;
    options.targetExecutablePath = layout.target;
    const InstallResult result = UpdateInstaller(options).executeUpdate(manifest, installer);
    EXPECT_TRUE(result.success) << result.errorMessage;
    EXPECT_EQ(result.scriptPath, script);
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(script)));
    EXPECT_NE(readFile(script).find("'" + installer + "'"), std::string::npos);
}

// The operator's account may not be able to write the installed program.
// Every outcome is either a finished update or an Error that says why,
// with the program still running; a copy that fails after the exit is
// reported at the next start.
class OperatorWithoutWriteAccess : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<selfupdate_test::HttpsTestServer>();
        if (server->running())
            server->serve("kestro-teleop", readFile(SELFUPDATE_HELPER_PATH));
    }
    static void TearDownTestSuite() { server.reset(); }

    // Runs a download-and-install as the other account; returns
    // "<phase>|<error>|<quit calls>".
    std::string installAs(const OtherUser& user, const Layout& layout, bool launch)
    {
        fs::copy_file(server->caFile(), layout.root.file("ca.pem"));
        fs::permissions(layout.root.file("ca.pem"), fs::perms(0644));
        selfupdate_test::giveTo(layout.stage, user);
        UpdateManifest manifest;
        manifest.applicationId = "com.ombrel.kestro.teleop";
        manifest.installType = InstallType::BinaryCopy;
        manifest.packageUrl = server->url("/files/kestro-teleop");
        manifest.sha256 = selfupdate::Sha256::hashFile(SELFUPDATE_HELPER_PATH);
        return runAs(user, [&] {
            InstallOptions options;
            options.targetExecutablePath = layout.target;
            options.relaunchAfterInstall = true;
            options.relaunchArgs = {layout.stage + "/relaunched"};
            options.skipProcessLaunch = !launch;
            SelfUpdateController controller(
                {}, options, layout.stage,
                std::make_shared<selfupdate::CurlHttpTransport>(layout.root.file("ca.pem")));
            int quits = 0;
            controller.setQuitCallback([&] { ++quits; });
            controller.downloadAndInstall(&manifest);
            controller.waitForIdle();
            const auto state = controller.state();
            return std::to_string(static_cast<int>(state.phase)) + "|" + state.errorMessage + "|" +
                   std::to_string(quits);
        });
    }

    static std::unique_ptr<selfupdate_test::HttpsTestServer> server;
};

std::unique_ptr<selfupdate_test::HttpsTestServer> OperatorWithoutWriteAccess::server;

TEST_F(OperatorWithoutWriteAccess, ClosedFolderAndFileGiveAnErrorAndNoQuit)
{
    REQUIRE_OTHER_USER(user);
    ASSERT_TRUE(server->running()) << server->failure();
    Layout layout; // the program and its folder belong to root
    EXPECT_EQ(installAs(*user, layout, true), "8|cannot replace " + layout.target + ": permission denied|0");
    EXPECT_EQ(readFile(layout.target), "old build");
    EXPECT_FALSE(fileExists(layout.stage + "/selfupdate_copy_trampoline.sh"));
}

TEST_F(OperatorWithoutWriteAccess, WritableFileIsReplacedAfterTheExit)
{
    REQUIRE_OTHER_USER(user);
    ASSERT_TRUE(server->running()) << server->failure();
    Layout layout;
    selfupdate_test::giveTo(layout.target, *user); // the file, not its folder
    EXPECT_EQ(installAs(*user, layout, true), "7||1");
    // The script waited for the installing process to end, then copied and
    // started the new build (the helper, which records its arguments).
    const std::string marker = layout.stage + "/relaunched";
    ASSERT_TRUE(selfupdate_test::waitFor([&] { return fileExists(marker); }, std::chrono::seconds(60)));
    EXPECT_EQ(readFile(layout.target), readFile(SELFUPDATE_HELPER_PATH));
    EXPECT_TRUE(selfupdate_test::waitFor(
        [&] { return !fileExists(layout.stage + "/selfupdate_copy_trampoline.sh"); }, std::chrono::seconds(30)));
    EXPECT_FALSE(fileExists(layout.stage + "/selfupdate_install_failed.txt"));
}

TEST_F(OperatorWithoutWriteAccess, CopyThatFailsAfterTheExitIsReportedAtTheNextStart)
{
    REQUIRE_OTHER_USER(user);
    ASSERT_TRUE(server->running()) << server->failure();
    Layout layout;
    selfupdate_test::giveTo(layout.target, *user);
    EXPECT_EQ(installAs(*user, layout, false), "7||1");
    // Between the exit and the copy the file stops being writable.
    ASSERT_EQ(::chown(layout.target.c_str(), 0, 0), 0);
    const std::string script = layout.stage + "/selfupdate_copy_trampoline.sh";
    runAs(*user, [&] { return std::to_string(std::system(("/bin/sh '" + script + "'").c_str())); });
    EXPECT_EQ(readFile(layout.target), "old build");

    const std::string shown = runAs(*user, [&] {
        SelfUpdateController controller({}, InstallOptions(), layout.stage, nullptr);
        const bool reported = controller.reportFailedInstall();
        const auto state = controller.state();
        return std::to_string(reported) + "|" + std::to_string(static_cast<int>(state.phase)) + "|" +
               state.errorMessage + "|" + std::to_string(controller.reportFailedInstall());
    });
    // cp's own words follow, whatever its version calls the step that failed.
    const std::string prefix = "1|8|The last update was not installed: cannot replace " + layout.target + ": cp: ";
    EXPECT_EQ(shown.rfind(prefix, 0), 0u) << shown;
    const std::string tail = "'" + layout.target + "': Permission denied|0";
    EXPECT_EQ(shown.size() > tail.size() ? shown.substr(shown.size() - tail.size()) : shown, tail) << shown;
}
