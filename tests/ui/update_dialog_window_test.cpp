// The main window's self-update binding against a local HTTPS catalog named
// by KESTRO_UPDATE_URL: the start-up check, the badge, the dialog opened from
// the window, and a binary-copy installation into a temporary install folder
// that relaunches the installed program.
#include "app/application_setup.h"
#include "tests/support/qt_wait.h"
#include "app/main_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaType>
#include <QPushButton>
#include <QStatusBar>
#include <QSurfaceFormat>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "selfupdate/app_config.h"
#include "selfupdate/http_transport_curl.h"
#include "selfupdate/self_update_controller.h"
#include "selfupdate/sha256.h"
#include "selfupdate/update_installer.h"
#include "tests/selfupdate/test_support.h"
#include "ui/self_update_dialog.h"

using kestro::SelfUpdateDialog;
using selfupdate::SelfUpdateController;
using selfupdate::UpdatePhase;
using selfupdate_test::HttpsTestServer;
using selfupdate_test::TemporaryFolder;

namespace {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 30000)
{
    return kestro_test::waitWithEvents(condition, std::chrono::milliseconds(timeoutMs));
}

// The real libcurl transport, counting catalog requests so that a test can
// tell one start-up check from two.
class CountingTransport : public selfupdate::HttpTransport {
public:
    explicit CountingTransport(const std::string& caFile) : m_inner(caFile) {}

    selfupdate::HttpResponse get(const std::string& url, std::int32_t connectTimeoutMs,
                                 std::int32_t receiveTimeoutMs, const std::atomic<bool>* cancel) override
    {
        ++catalogRequests;
        return m_inner.get(url, connectTimeoutMs, receiveTimeoutMs, cancel);
    }
    bool downloadStream(const std::string& url, const selfupdate::HttpChunkCallback& onChunk,
                        std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs,
                        const std::atomic<bool>* cancel, std::string* errorOut) override
    {
        return m_inner.downloadStream(url, onChunk, connectTimeoutMs, receiveTimeoutMs, cancel, errorOut);
    }

    std::atomic<int> catalogRequests{0};

private:
    selfupdate::CurlHttpTransport m_inner;
};

std::string artifactFolder()
{
    const char* dir = std::getenv("KESTRO_TEST_ARTIFACTS");
    const std::string folder = dir != nullptr && dir[0] != '\0' ? dir : KESTRO_BINARY_DIR;
    std::filesystem::create_directories(folder);
    return folder;
}

QPushButton* buttonOf(QWidget* dialog, const QString& text)
{
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

} // namespace

class MainWindowUpdate : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<HttpsTestServer>();
        if (!server->running())
            return;
        // The release is the relaunch helper: once installed and started, it
        // writes its arguments to a file, which proves the copy runs.
        // Zero bytes after the program (which the loader ignores) make the
        // download long enough to watch whatever the build type.
        package = selfupdate_test::readFile(SELFUPDATE_HELPER_PATH) + std::string(64 * 1024, '\0');
        server->serve("kestro-teleop", package);
        server->serve("version.json", catalog());
        ::setenv(selfupdate::kUpdateUrlEnvironmentVariable, server->url("/files/version.json").c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        ::unsetenv(selfupdate::kUpdateUrlEnvironmentVariable);
        server.reset();
    }

    static std::string catalog()
    {
        // The slow route sends 4096-byte pieces 50 ms apart, so the bar moves.
        return R"({"apps":{"com.ombrel.kestro.teleop":{"applicationId":"com.ombrel.kestro.teleop",)"
               R"("versionName":"2.3.0","versionCode":20300,"installType":"binary","sizeBytes":)" +
               std::to_string(package.size()) + R"(,"sha256":")" + selfupdate::Sha256::hashString(package) +
               R"(","packageUrl":")" + server->url("/slow/kestro-teleop") + R"(","releaseNotes":"Faster."}}})";
    }

    void SetUp() override
    {
        ASSERT_TRUE(server->running()) << server->failure();
        std::filesystem::create_directories(install.file("bin"));
        selfupdate_test::writeFile(installedPath(), "the old build");
    }

    std::string installedPath() const { return install.file("bin/kestro-teleop"); }
    std::string recordPath() const { return install.file("relaunched.txt"); }

    // The window's configuration with an installation that touches only the
    // temporary install folder, and a transport that trusts the test's
    // authority. The catalog location comes from KESTRO_UPDATE_URL.
    std::shared_ptr<SelfUpdateController> controller()
    {
        selfupdate::InstallOptions options;
        options.targetExecutablePath = installedPath();
        options.relaunchArgs = {recordPath()};
        options.relaunchAfterInstall = true;
        options.useInstallerTrampoline = true;
        transport = std::make_shared<CountingTransport>(server->caFile());
        return std::make_shared<SelfUpdateController>(MainWindow::defaultSelfUpdateConfig().checker, options,
                                                      staging.path(), transport);
    }

    static std::unique_ptr<HttpsTestServer> server;
    static std::string package;
    TemporaryFolder install;
    TemporaryFolder staging;
    std::shared_ptr<CountingTransport> transport;
};

std::unique_ptr<HttpsTestServer> MainWindowUpdate::server;
std::string MainWindowUpdate::package;

TEST_F(MainWindowUpdate, DefaultConfigurationNamesThisApplication)
{
    const selfupdate::AppConfig config = MainWindow::defaultSelfUpdateConfig();
    EXPECT_EQ(config.checker.applicationId, "com.ombrel.kestro.teleop");
    EXPECT_EQ(config.checker.currentVersionName, "2.2.2");
    EXPECT_EQ(config.checker.currentVersionCode, 20202);
    EXPECT_EQ(config.checker.manifestUrl, server->url("/files/version.json"));
    EXPECT_EQ(config.checker.connectTimeoutMs, 10000);
    EXPECT_EQ(config.checker.receiveTimeoutMs, 10000);
    EXPECT_EQ(config.displayName, "Kestro Teleop");
    EXPECT_TRUE(config.checkOnStartup);

    ::unsetenv(selfupdate::kUpdateUrlEnvironmentVariable);
    const std::string builtIn = MainWindow::defaultSelfUpdateConfig().checker.manifestUrl;
    ::setenv(selfupdate::kUpdateUrlEnvironmentVariable, server->url("/files/version.json").c_str(), 1);
    EXPECT_EQ(builtIn.rfind("https://", 0), 0u) << builtIn;
    EXPECT_NE(builtIn.find("/software/windows/version.json"), std::string::npos) << builtIn;
}

TEST_F(MainWindowUpdate, RemovesTheStaleBackupAtConstruction)
{
    const std::string backup = selfupdate::UpdateInstaller::detectCurrentExecutablePath() + ".old";
    selfupdate_test::writeFile(backup, "the build before the last update");
    MainWindow window(controller(), nullptr);
    EXPECT_FALSE(selfupdate_test::fileExists(backup));
}

TEST_F(MainWindowUpdate, StartUpCheckRunsOnceAfterTheEventLoopStartsAndShowsTheBadge)
{
    MainWindow window(controller(), nullptr);
    ASSERT_NE(window.updateBadge(), nullptr);
    EXPECT_EQ(window.updateBadge()->objectName(), "updateStatusBadge");
    EXPECT_FALSE(window.isUpdateStatusBadgeVisible());
    // Nothing is asked before the event loop runs.
    EXPECT_EQ(window.currentSelfUpdateState().phase, UpdatePhase::Idle);
    EXPECT_EQ(transport->catalogRequests.load(), 0);

    ASSERT_TRUE(waitUntil([&] { return window.currentSelfUpdateState().phase == UpdatePhase::Available; }))
        << window.currentSelfUpdateState().errorMessage;
    EXPECT_FALSE(window.currentSelfUpdateState().userInitiated);
    EXPECT_TRUE(window.isUpdateStatusBadgeVisible());
    EXPECT_EQ(window.updateStatusBadgeText(), QString::fromUtf8("\u2B06 Update Available (v2.3.0)"));
    window.show();
    EXPECT_TRUE(window.grab().save(QString::fromStdString(artifactFolder() + "/main_window_update_badge.png")));

    // Later turns of the event loop start no second check.
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 300; });
    EXPECT_EQ(transport->catalogRequests.load(), 1);

    // The badge goes away in phases that offer nothing to install.
    window.selfUpdateController()->dismiss();
    ASSERT_TRUE(waitUntil([&] { return window.currentSelfUpdateState().phase == UpdatePhase::Idle; }));
    EXPECT_FALSE(window.isUpdateStatusBadgeVisible());
}

// The operator opens the dialog before the start-up check ran: one check,
// asked for by the user, and the dialog follows it.
// A copy that a script attempted after the last exit and that failed left
// its reason behind: the next start shows it instead of checking again.
TEST_F(MainWindowUpdate, ShowsAnUpdateThatFailedAfterTheLastExit)
{
    selfupdate_test::writeFile(staging.file("selfupdate_install_failed.txt"),
                               "cannot replace /opt/k/kestro-teleop: cp: Permission denied\n");
    MainWindow window(controller(), nullptr);
    const std::string shown =
        "The last update was not installed: cannot replace /opt/k/kestro-teleop: cp: Permission denied";
    EXPECT_EQ(window.currentSelfUpdateState().phase, UpdatePhase::Error);
    EXPECT_EQ(window.currentSelfUpdateState().errorMessage, shown);
    EXPECT_EQ(window.statusBar()->currentMessage().toStdString(), shown);
    EXPECT_FALSE(selfupdate_test::fileExists(staging.file("selfupdate_install_failed.txt"))) << "shown once";
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 300; });
    EXPECT_EQ(transport->catalogRequests.load(), 0) << "the start-up check must not hide the failure";
    EXPECT_EQ(window.currentSelfUpdateState().phase, UpdatePhase::Error);
}

TEST_F(MainWindowUpdate, DialogOpenedFirstReplacesTheAutomaticCheck)
{
    MainWindow window(controller(), nullptr);
    QString shownInDialog;
    QTimer::singleShot(0, &window, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog == nullptr)
            return;
        waitUntil([&] {
            return dynamic_cast<SelfUpdateDialog*>(dialog)->currentUpdateState().phase == UpdatePhase::Available;
        });
        shownInDialog = dynamic_cast<SelfUpdateDialog*>(dialog)->versionLabelText();
        dynamic_cast<SelfUpdateDialog*>(dialog)->reject();
    });
    QTimer::singleShot(30000, &window, [] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    window.onCheckForUpdatesClicked();
    EXPECT_EQ(shownInDialog, "Installed: v2.2.2 -> Available: v2.3.0 (Build 20300)");
    EXPECT_TRUE(window.currentSelfUpdateState().userInitiated);

    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 300; });
    EXPECT_EQ(transport->catalogRequests.load(), 1);
    EXPECT_TRUE(window.isUpdateStatusBadgeVisible());
}

// From the badge to the relaunched program: the dialog opened in Available
// starts no new check, downloads with a moving bar, verifies, offers
// "Install & Restart", and the installation replaces the installed
// executable, starts it, closes the window and quits the application.
TEST_F(MainWindowUpdate, DownloadsVerifiesInstallsAndRelaunches)
{
    MainWindow window(controller(), nullptr);
    window.show();
    ASSERT_TRUE(waitUntil([&] { return window.isUpdateStatusBadgeVisible(); }))
        << window.currentSelfUpdateState().errorMessage;

    std::set<int> progressSeen;
    QString readyBadge;
    bool installOffered = false;
    QString failure;
    // Drives the modal dialog from inside its own event loop.
    auto drive = [&] {
        auto* dialog = dynamic_cast<SelfUpdateDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            failure = "no modal dialog";
            return;
        }
        if (dialog->currentUpdateState().phase != UpdatePhase::Available)
            failure = "the dialog does not show the known release";
        buttonOf(dialog, "Download Update")->click();
        waitUntil([&] {
            const int value = dialog->progressValue();
            if (value > 0 && value < 100)
                progressSeen.insert(value);
            const UpdatePhase phase = dialog->currentUpdateState().phase;
            return phase == UpdatePhase::ReadyToInstall || phase == UpdatePhase::Error;
        });
        readyBadge = window.updateStatusBadgeText();
        QPushButton* install = buttonOf(dialog, "Install && Restart");
        installOffered = install != nullptr && install->isEnabled();
        if (!installOffered) {
            failure = dialog->statusText();
            dialog->reject();
            return;
        }
        install->click();
    };

    QTimer::singleShot(60000, &window, [] { QCoreApplication::exit(99); }); // a safety net
    QTimer::singleShot(0, &window, [&] {
        QTimer::singleShot(0, &window, drive);
        window.updateBadge()->click(); // opens the dialog, modal
    });
    const int exitCode = QApplication::exec();

    EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
    EXPECT_EQ(exitCode, 0) << "the quit callback did not quit the application";
    EXPECT_GE(progressSeen.size(), 3u) << "the progress bar did not move";
    EXPECT_EQ(readyBadge, QString::fromUtf8("\u2B06 Ready to Install (v2.3.0)"));
    EXPECT_TRUE(installOffered);
    EXPECT_EQ(transport->catalogRequests.load(), 1);
    EXPECT_EQ(window.currentSelfUpdateState().phase, UpdatePhase::InstallerLaunched);
    EXPECT_FALSE(window.isVisible());

    EXPECT_EQ(selfupdate_test::readFile(installedPath()), package);
    EXPECT_EQ(selfupdate_test::readFile(installedPath() + ".old"), "the old build");
    ASSERT_TRUE(selfupdate_test::waitFor([&] { return selfupdate_test::fileExists(recordPath()); },
                                         std::chrono::seconds(30)))
        << "the installed program was not started";
    EXPECT_EQ(selfupdate_test::readFile(recordPath()), recordPath() + "\n");
}

int main(int argc, char** argv)
{
    // No camera and no broker: the window is built in a known state.
    ::setenv("KESTRO_DISABLE_AUTO_CAMERA", "1", 1);
    ::setenv("KESTRO_DISABLE_AUTO_MQTT", "1", 1);

    selectTeleopSurfaceFormat();

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    registerTeleopMetaTypes();

    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
