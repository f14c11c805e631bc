#include "ui/self_update_dialog.h"
#include "tests/support/qt_wait.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "selfupdate/http_transport_curl.h"
#include "selfupdate/qt_controller_binding.h"
#include "selfupdate/sha256.h"
#include "tests/selfupdate/test_support.h"

using kestro::SelfUpdateDialog;
using selfupdate::InstallType;
using selfupdate::SelfUpdateController;
using selfupdate::UpdateManifest;
using selfupdate::UpdatePhase;
using selfupdate::UpdateState;
using selfupdate_test::HttpsTestServer;
using selfupdate_test::TemporaryFolder;

namespace {

const QString kAppName = QStringLiteral("Kestro Teleop");
const std::size_t kPackageSize = 96 * 1024;

// Spins the event loop until condition holds; generous, so a loaded machine
// does not turn a slow answer into a failure.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 30000)
{
    return kestro_test::waitWithEvents(condition, std::chrono::milliseconds(timeoutMs));
}

QString artifactPath(const QString& name)
{
    const QByteArray dir = qgetenv("KESTRO_TEST_ARTIFACTS");
    const QString folder = dir.isEmpty() ? QStringLiteral(KESTRO_BINARY_DIR) : QString::fromLocal8Bit(dir);
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + name;
}

UpdateManifest release()
{
    UpdateManifest manifest;
    manifest.applicationId = "com.ombrel.kestro.teleop";
    manifest.versionName = "2.3.0";
    manifest.versionCode = 20300;
    manifest.installType = InstallType::BinaryCopy;
    manifest.packageUrl = "https://127.0.0.1:1/kestro-teleop";
    manifest.sha256 = std::string(64, 'a');
    manifest.sizeBytes = 2500000;
    manifest.releaseNotes = "Smoother head tracking.\n<b>Not bold</b>";
    return manifest;
}

UpdateState stateOf(UpdatePhase phase, UpdateManifest manifest = release())
{
    UpdateState state;
    state.phase = phase;
    state.manifest = std::move(manifest);
    state.installedVersionName = "2.2.2";
    state.installedVersionCode = 20202;
    return state;
}

UpdateState downloading(std::int64_t received, std::int64_t total)
{
    UpdateState state = stateOf(UpdatePhase::Downloading);
    state.downloadedBytes = received;
    state.totalBytes = total;
    return state;
}

QPushButton* button(const SelfUpdateDialog& dialog, const QString& text)
{
    for (QPushButton* candidate : dialog.findChildren<QPushButton*>()) {
        if (candidate->text() == text)
            return candidate;
    }
    return nullptr;
}

struct Shown {
    QString badge, version, metadata, notes, status;
    int progress;
    bool check, download, install, cancel;
};

Shown shownBy(const SelfUpdateDialog& dialog)
{
    return {dialog.phaseBadgeText(),      dialog.versionLabelText(),        dialog.metadataSummaryText(),
            dialog.releaseNotesText(),    dialog.statusText(),              dialog.progressValue(),
            dialog.isCheckButtonEnabled(), dialog.isDownloadButtonEnabled(), dialog.isInstallButtonEnabled(),
            dialog.isCancelButtonEnabled()};
}

} // namespace

TEST(SelfUpdateDialog, BuildsTheWindowWithoutAController)
{
    SelfUpdateDialog dialog(static_cast<SelfUpdateController*>(nullptr), QString(), nullptr);
    EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("Software Update \u2014 Kestro"));
    EXPECT_EQ(dialog.minimumSize(), QSize(540, 460));
    EXPECT_EQ(dialog.size(), QSize(580, 500));
    EXPECT_EQ(dialog.phaseBadgeText(), "Idle");
    EXPECT_EQ(dialog.versionLabelText(), "Installed: v2.2.2 (Build 0)");
    EXPECT_EQ(dialog.statusText(), "Ready to check for updates.");
    EXPECT_EQ(dialog.currentUpdateState().phase, UpdatePhase::Idle);

    // Without a controller the buttons do nothing at all.
    dialog.triggerCheckForUpdates();
    dialog.triggerDownloadUpdate();
    dialog.triggerInstallUpdate();
    dialog.triggerDownloadAndInstall();
    dialog.triggerCancel();
    dialog.triggerPrimaryAction();
    EXPECT_EQ(dialog.currentUpdateState().phase, UpdatePhase::Idle);
    EXPECT_EQ(dialog.phaseBadgeText(), "Idle");

    QStringList buttons;
    for (const QPushButton* button : dialog.findChildren<QPushButton*>())
        buttons << button->text();
    // The installation button reads "Install & Restart" on screen.
    EXPECT_EQ(buttons, QStringList({"Check Now", "Download Update", "Install && Restart", "Cancel", "Close"}));
}

// Every phase applied after an Available state and half a download, so that
// the cells a phase leaves alone show what the earlier states put there.
TEST(SelfUpdateDialog, ShowsEveryPhase)
{
    const QString availableVersion = "Installed: v2.2.2 -> Available: v2.3.0 (Build 20300)";
    const QString availableMetadata = "Mode: Standalone Binary | Architecture: x86_64 | Minimum OS: Windows 10 "
                                      "(64-bit)+\nSize: 2441 KB (2500000 bytes) | SHA-256: " +
                                      QString(64, 'a');
    const QString availableNotes = "Smoother head tracking.\n<b>Not bold</b>";
    const QString halfway = "Downloading update package... 50% (1250000 / 2500000 bytes)";

    UpdateState idle; // fresh: no installed version known yet
    UpdateState upToDate = stateOf(UpdatePhase::UpToDate);
    upToDate.installedVersionName = "2.3.1";
    UpdateManifest setup = release();
    setup.installType = InstallType::SetupInstaller;
    setup.sizeBytes = -1;
    setup.releaseNotes.clear();
    setup.arch = "arm64";
    setup.minOs = "Debian 12";
    UpdateManifest unnamed; // a ReadyToInstall state that lost its release
    UpdateState failedWithUrl = stateOf(UpdatePhase::Error);
    failedWithUrl.errorMessage = "Download failed: <i>timeout</i>";
    UpdateState failedWithoutUrl = stateOf(UpdatePhase::Error, UpdateManifest());
    failedWithoutUrl.errorMessage = "HTTP 404";
    UpdateState unknown = stateOf(static_cast<UpdatePhase>(42));

    using Text = std::optional<QString>; // nullopt: kept from the earlier states
    struct Row {
        const char* name;
        UpdateState state;
        Text badge, version, metadata, notes;
        std::optional<int> progress;
        Text status;
        bool check, download, install, cancel;
    };
    const std::vector<Row> rows = {
        {"Idle", idle, "Idle", "Installed: v2.2.2 (Build 0)", "", "No release notes.", 0,
         "Ready to check for updates.", true, false, false, false},
        {"Checking", stateOf(UpdatePhase::Checking), "Checking", "Installed: v2.2.2 (Build 20202)", {}, {}, {},
         "Querying Ombrel Windows release catalog...", false, false, false, true},
        {"UpToDate", upToDate, "UpToDate", "Installed: v2.3.1 (Latest)", {}, {}, 100,
         "Kestro Teleop v2.3.1 is up to date.", true, false, false, false},
        {"Available setup", stateOf(UpdatePhase::Available, setup), "Available", availableVersion,
         "Mode: Setup Installer | Architecture: arm64 | Minimum OS: Debian 12\nSize: Unknown size | SHA-256: " +
             QString(64, 'a'),
         "No release notes provided.", 0, "Update v2.3.0 is available for download.", true, true, false, false},
        {"Downloading a third", downloading(1000, 3000), "Downloading", {}, {}, {}, 33,
         "Downloading update package... 33% (1000 / 3000 bytes)", false, false, false, true},
        {"Downloading unknown size", downloading(5000, -1), "Downloading", {}, {}, {}, 0,
         "Downloading update package... 0% (5000 / 0 bytes)", false, false, false, true},
        {"ReadyToInstall", stateOf(UpdatePhase::ReadyToInstall), "ReadyToInstall",
         "Installed: v2.2.2 -> Ready: v2.3.0 (Build 20300)", {}, availableNotes, 100,
         "Package verified (SHA-256 OK). Ready to install.", true, false, true, false},
        {"ReadyToInstall unnamed", stateOf(UpdatePhase::ReadyToInstall, unnamed), "ReadyToInstall", {}, {}, {}, 100,
         "Package verified (SHA-256 OK). Ready to install.", true, false, true, false},
        {"LaunchingInstaller", stateOf(UpdatePhase::LaunchingInstaller), "LaunchingInstaller", {}, {}, {}, {},
         "Launching update installer...", false, false, false, false},
        {"InstallerLaunched", stateOf(UpdatePhase::InstallerLaunched), "LaunchingInstaller", {}, {}, {}, 100,
         "Update staged. Closing Kestro Teleop to complete installation and relaunch...", false, false, false,
         false},
        {"Error with a package", failedWithUrl, "Error", {}, {}, {}, {}, "Error: Download failed: <i>timeout</i>",
         true, true, false, false},
        {"Error without a package", failedWithoutUrl, "Error", {}, {}, {}, {}, "Error: HTTP 404", true, false,
         false, false},
        {"unknown phase", unknown, "Downloading", availableVersion, availableMetadata, availableNotes, 50, halfway,
         false, false, false, true},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SelfUpdateDialog dialog(static_cast<SelfUpdateController*>(nullptr), kAppName, nullptr);
        dialog.applyUpdateState(stateOf(UpdatePhase::Available));
        dialog.applyUpdateState(downloading(1250000, 2500000));
        ASSERT_EQ(dialog.statusText(), halfway);

        dialog.applyUpdateState(row.state);
        const Shown shown = shownBy(dialog);
        EXPECT_EQ(shown.badge, row.badge.value_or("Downloading"));
        EXPECT_EQ(shown.version, row.version.value_or(availableVersion));
        EXPECT_EQ(shown.metadata, row.metadata.value_or(availableMetadata));
        EXPECT_EQ(shown.notes, row.notes.value_or(availableNotes));
        EXPECT_EQ(shown.progress, row.progress.value_or(50));
        EXPECT_EQ(shown.status, row.status.value_or(halfway));
        EXPECT_EQ(shown.check, row.check);
        EXPECT_EQ(shown.download, row.download);
        EXPECT_EQ(shown.install, row.install);
        EXPECT_EQ(shown.cancel, row.cancel);
        EXPECT_EQ(dialog.isCloseButtonEnabled(), row.state.phase != UpdatePhase::InstallerLaunched);
        EXPECT_EQ(dialog.currentUpdateState().phase, row.state.phase);
    }
}

TEST(SelfUpdateDialog, DownloadPercentage)
{
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t received, total;
        int percent;
    };
    for (const Case& c : {Case{0, 100, 0}, Case{-5, 100, 0}, Case{50, 0, 0}, Case{50, -1, 0}, Case{100, 100, 100},
                          Case{150, 100, 100}, Case{1, 3, 33}, Case{2, 3, 66}, Case{999, 1000, 99},
                          Case{1, huge, 0}, Case{huge / 2, huge, 50}}) {
        SCOPED_TRACE(std::to_string(c.received) + " of " + std::to_string(c.total));
        EXPECT_EQ(SelfUpdateDialog::downloadPercent(c.received, c.total), c.percent);
    }
}

// Values from the catalog are shown literally: no markup, and no second
// round of "%n" substitution.
TEST(SelfUpdateDialog, ShowsCatalogTextsLiterally)
{
    UpdateManifest odd = release();
    odd.versionName = "<b>%2</b>";
    odd.arch = "%5";
    odd.minOs = "%1";
    SelfUpdateDialog dialog(static_cast<SelfUpdateController*>(nullptr), kAppName, nullptr);
    dialog.applyUpdateState(stateOf(UpdatePhase::Available, odd));
    EXPECT_EQ(dialog.versionLabelText(), "Installed: v2.2.2 -> Available: v<b>%2</b> (Build 20300)");
    EXPECT_TRUE(dialog.metadataSummaryText().startsWith("Mode: Standalone Binary | Architecture: %5 | Minimum OS: %1\n"));
    for (const QLabel* label : dialog.findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
}

TEST(SelfUpdateDialog, InstallerLaunchedClosesAVisibleDialog)
{
    SelfUpdateDialog hidden(static_cast<SelfUpdateController*>(nullptr), kAppName, nullptr);
    hidden.applyUpdateState(stateOf(UpdatePhase::InstallerLaunched));
    EXPECT_EQ(hidden.result(), QDialog::Rejected); // never shown, so never accepted

    SelfUpdateDialog modal(static_cast<SelfUpdateController*>(nullptr), kAppName, nullptr);
    modal.applyUpdateState(stateOf(UpdatePhase::ReadyToInstall));
    QTimer::singleShot(0, &modal, [&modal] { modal.applyUpdateState(stateOf(UpdatePhase::LaunchingInstaller)); });
    QTimer::singleShot(50, &modal, [&modal] {
        EXPECT_TRUE(modal.isVisible()); // LaunchingInstaller alone keeps it open
        modal.applyUpdateState(stateOf(UpdatePhase::InstallerLaunched));
    });
    // A safety net: a dialog that ignores InstallerLaunched is rejected here.
    QTimer::singleShot(20000, &modal, &QDialog::reject);
    EXPECT_EQ(modal.exec(), QDialog::Accepted);
    EXPECT_FALSE(modal.isVisible());
    EXPECT_FALSE(modal.isCloseButtonEnabled());
}

TEST(SelfUpdateDialog, StateFromAnotherThreadIsAppliedOnTheDialogsThread)
{
    SelfUpdateDialog dialog(static_cast<SelfUpdateController*>(nullptr), kAppName, nullptr);
    std::thread worker([&dialog] { dialog.onUpdateStateChanged(downloading(3, 4)); });
    worker.join();
    EXPECT_EQ(dialog.phaseBadgeText(), "Idle"); // queued, not applied on the worker
    ASSERT_TRUE(waitUntil([&] { return dialog.progressValue() == 75; }));
    EXPECT_EQ(dialog.phaseBadgeText(), "Downloading");

    dialog.onUpdateStateChanged(stateOf(UpdatePhase::Checking)); // own thread: at once
    EXPECT_EQ(dialog.phaseBadgeText(), "Checking");

    // A state queued for a dialog that is destroyed before it arrives is dropped.
    auto doomed = std::make_unique<SelfUpdateDialog>(static_cast<SelfUpdateController*>(nullptr), kAppName, nullptr);
    std::thread late([&doomed] { doomed->onUpdateStateChanged(stateOf(UpdatePhase::Error)); });
    late.join();
    doomed.reset();
    QCoreApplication::processEvents();
}

TEST(SelfUpdateDialog, BroadcastReachesOnlyLiveDialogsOfThatController)
{
    SelfUpdateController one({}, {}, "", nullptr);
    SelfUpdateController other({}, {}, "", nullptr);
    QWidget owner;
    SelfUpdateDialog first(&one, kAppName, &owner);
    SelfUpdateDialog elsewhere(&other, kAppName, &owner);
    {
        SelfUpdateDialog gone(&one, kAppName, &owner);
    }
    SelfUpdateDialog::broadcastState(&one, stateOf(UpdatePhase::Available));
    EXPECT_EQ(first.phaseBadgeText(), "Available");
    EXPECT_EQ(elsewhere.phaseBadgeText(), "Idle");
}

// The rest runs against a real HTTPS server with a throwaway authority.
class SelfUpdateDialogOnline : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<HttpsTestServer>();
        if (!server->running())
            return;
        package = selfupdate_test::randomBytes(kPackageSize, 5);
        server->serve("kestro-teleop", package);
        // The slow route sends 4096-byte pieces 50 ms apart: a download that
        // lasts long enough to watch the bar move.
        server->serve("version.json", catalog(server->url("/slow/kestro-teleop")));
        server->serve("fast.json", catalog(server->url("/files/kestro-teleop")));
    }
    static void TearDownTestSuite() { server.reset(); }

    static std::string catalog(const std::string& packageUrl)
    {
        return R"({"apps":{"com.ombrel.kestro.teleop":{"applicationId":"com.ombrel.kestro.teleop",)"
               R"("versionName":"2.3.0","versionCode":20300,"installType":"binary","arch":"x86_64",)"
               R"("minOs":"Debian 12","releaseNotes":"Smoother head tracking.","sizeBytes":)" +
               std::to_string(kPackageSize) + R"(,"sha256":")" + selfupdate::Sha256::hashString(package) +
               R"(","packageUrl":")" + packageUrl + R"("}}})";
    }

    void SetUp() override
    {
        ASSERT_TRUE(server->running()) << server->failure();
    }

    std::shared_ptr<SelfUpdateController> controllerFor(const std::string& catalogName)
    {
        return controllerAt("/files/" + catalogName);
    }

    std::shared_ptr<SelfUpdateController> controllerAt(const std::string& catalogPath)
    {
        selfupdate::CheckerConfig config;
        config.applicationId = "com.ombrel.kestro.teleop";
        config.currentVersionName = "2.2.2";
        config.currentVersionCode = 20202;
        config.manifestUrl = server->url(catalogPath);
        // Never the test program itself: an installation may only touch a
        // stand-in in the temporary folder, and starts nothing.
        selfupdate::InstallOptions options;
        options.targetExecutablePath = staging.file("installed/kestro-teleop");
        options.skipProcessLaunch = true;
        return std::make_shared<SelfUpdateController>(
            config, options, staging.path(),
            std::make_shared<selfupdate::CurlHttpTransport>(server->caFile()));
    }

    static std::unique_ptr<HttpsTestServer> server;
    static std::string package;
    TemporaryFolder staging;
};

std::unique_ptr<HttpsTestServer> SelfUpdateDialogOnline::server;
std::string SelfUpdateDialogOnline::package;

// A parentless dialog binds the controller itself and follows it from the
// check through a watched download to the verified package.
TEST_F(SelfUpdateDialogOnline, StandaloneDialogChecksAndDownloads)
{
    auto controller = controllerFor("version.json");
    SelfUpdateDialog dialog(controller, kAppName, nullptr);
    dialog.show();
    EXPECT_EQ(dialog.phaseBadgeText(), "Idle");

    button(dialog, "Check Now")->click();
    ASSERT_TRUE(waitUntil([&] { return dialog.currentUpdateState().phase == UpdatePhase::Available; }))
        << dialog.statusText().toStdString();
    EXPECT_EQ(dialog.versionLabelText(), "Installed: v2.2.2 -> Available: v2.3.0 (Build 20300)");
    EXPECT_EQ(dialog.metadataSummaryText(),
              QString::fromStdString("Mode: Standalone Binary | Architecture: x86_64 | Minimum OS: Debian 12\n"
                                     "Size: 96 KB (98304 bytes) | SHA-256: " +
                                     selfupdate::Sha256::hashString(package)));
    EXPECT_EQ(dialog.releaseNotesText(), "Smoother head tracking.");
    EXPECT_TRUE(dialog.isDownloadButtonEnabled());
    EXPECT_TRUE(dialog.grab().save(artifactPath("update_dialog_available.png")));

    dialog.triggerPrimaryAction(); // Available: download
    std::set<int> seen;
    bool shot = false;
    ASSERT_TRUE(waitUntil([&] {
        const int value = dialog.progressValue();
        if (dialog.currentUpdateState().phase == UpdatePhase::Downloading && value > 0 && value < 100) {
            seen.insert(value);
            if (!shot && value >= 30)
                shot = dialog.grab().save(artifactPath("update_dialog_downloading.png"));
        }
        return dialog.currentUpdateState().phase == UpdatePhase::ReadyToInstall ||
               dialog.currentUpdateState().phase == UpdatePhase::Error;
    })) << dialog.statusText().toStdString();
    EXPECT_EQ(dialog.currentUpdateState().phase, UpdatePhase::ReadyToInstall) << dialog.statusText().toStdString();
    EXPECT_GE(seen.size(), 3u) << "the progress bar did not move";
    EXPECT_TRUE(shot);
    EXPECT_EQ(dialog.progressValue(), 100);
    EXPECT_EQ(dialog.statusText(), "Package verified (SHA-256 OK). Ready to install.");
    EXPECT_TRUE(dialog.isInstallButtonEnabled());
    EXPECT_EQ(selfupdate_test::readFile(dialog.currentUpdateState().stagedPackagePath), package);
}

// Two dialogs of one owner follow the controller together: after every
// state the owner broadcasts, both show the same thing.
TEST_F(SelfUpdateDialogOnline, TwoDialogsOnOneControllerFollowEachOther)
{
    auto controller = controllerFor("fast.json");
    QWidget owner;
    SelfUpdateDialog first(controller, kAppName, &owner);
    SelfUpdateDialog second(controller.get(), kAppName, &owner);
    std::vector<UpdatePhase> phases;
    int mismatches = 0;
    selfupdate::bindQtController(
        *controller, &owner,
        [&](const UpdateState& state) {
            SelfUpdateDialog::broadcastState(controller.get(), state);
            phases.push_back(state.phase);
            const Shown a = shownBy(first), b = shownBy(second);
            if (a.badge != b.badge || a.status != b.status || a.progress != b.progress ||
                a.version != b.version || a.download != b.download || a.install != b.install)
                ++mismatches;
        },
        {});

    first.triggerCheckForUpdates();
    ASSERT_TRUE(waitUntil([&] { return second.currentUpdateState().phase == UpdatePhase::Available; }));
    second.triggerDownloadUpdate();
    ASSERT_TRUE(waitUntil([&] { return first.currentUpdateState().phase == UpdatePhase::ReadyToInstall; }))
        << first.statusText().toStdString();
    EXPECT_EQ(mismatches, 0);
    ASSERT_GE(phases.size(), 5u);
    EXPECT_EQ(phases.front(), UpdatePhase::Checking);
    EXPECT_EQ(phases[1], UpdatePhase::Available);
    EXPECT_EQ(phases.back(), UpdatePhase::ReadyToInstall);
    EXPECT_EQ(second.statusText(), "Package verified (SHA-256 OK). Ready to install.");
    controller->setStateCallback({});
    controller->setUiDispatcher({});
}

// A cancelled check or download publishes nothing more. The dialog must not
// stay stuck with only Cancel enabled: Check starts over, and closing the
// dialog returns the controller to Idle so that the next one checks again.
TEST_F(SelfUpdateDialogOnline, CheckWorksAgainAfterCancel)
{
    struct Row {
        const char* catalog; // "/silent" never answers
        UpdatePhase cancelledIn;
    };
    const Row rows[] = {{"/silent", UpdatePhase::Checking}, {"/files/version.json", UpdatePhase::Downloading}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.catalog);
        auto controller = controllerAt(row.catalog);
        SelfUpdateDialog dialog(controller, kAppName, nullptr);
        dialog.show();
        button(dialog, "Check Now")->click();
        if (row.cancelledIn == UpdatePhase::Downloading) {
            ASSERT_TRUE(waitUntil([&] { return dialog.currentUpdateState().phase == UpdatePhase::Available; }))
                << dialog.statusText().toStdString();
            button(dialog, "Download Update")->click();
            ASSERT_TRUE(waitUntil([&] { return dialog.progressValue() > 0; })) << dialog.statusText().toStdString();
        }
        ASSERT_TRUE(waitUntil([&] { return dialog.currentUpdateState().phase == row.cancelledIn; }));
        ASSERT_TRUE(dialog.isCancelButtonEnabled());
        ASSERT_FALSE(dialog.isCheckButtonEnabled());

        button(dialog, "Cancel")->click();
        EXPECT_TRUE(dialog.isCheckButtonEnabled());
        EXPECT_FALSE(dialog.isCancelButtonEnabled());

        button(dialog, "Check Now")->click();
        EXPECT_FALSE(controller->cancelRequested());
        if (row.cancelledIn == UpdatePhase::Downloading) {
            EXPECT_TRUE(waitUntil([&] { return dialog.currentUpdateState().phase == UpdatePhase::Available; }))
                << dialog.statusText().toStdString();
        } else {
            // Idle from the dismissal, then the new check.
            EXPECT_TRUE(waitUntil([&] { return dialog.isCancelButtonEnabled(); }));
            EXPECT_EQ(dialog.currentUpdateState().phase, UpdatePhase::Checking);
            button(dialog, "Cancel")->click();
        }
        button(dialog, "Close")->click();
        EXPECT_EQ(controller->state().phase, row.cancelledIn == UpdatePhase::Checking ? UpdatePhase::Idle
                                                                                       : UpdatePhase::Available);
    }
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
