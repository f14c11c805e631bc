#include "selfupdate/qt_controller_binding.h"
#include "selfupdate/self_update_controller.h"
#include "selfupdate/sha256.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

using selfupdate::CheckerConfig;
using selfupdate::HttpResponse;
using selfupdate::InstallOptions;
using selfupdate::SelfUpdateController;
using selfupdate::UpdateManifest;
using selfupdate::UpdatePhase;
using selfupdate::UpdateState;
using selfupdate_test::TemporaryFolder;

namespace {

// The fake seam: a transport whose answers and pauses the test controls.
class FakeTransport : public selfupdate::HttpTransport {
public:
    std::string catalog;
    std::string package;
    bool sendLength = true;
    std::size_t blockSize = 1000;
    // Calls that wait (until release() or cancellation) before answering.
    int blockGetCall = -1;
    bool blockAfterFirstChunk = false;
    std::atomic<int> getCalls{0};
    std::atomic<int> chunksSent{0};

    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_wake.notify_all();
    }

    HttpResponse get(const std::string&, std::int32_t, std::int32_t, const std::atomic<bool>* cancel) override
    {
        const int call = getCalls++;
        if (call == blockGetCall)
            waitForRelease(cancel);
        HttpResponse response;
        if (cancel != nullptr && cancel->load()) {
            response.error = "Operation cancelled";
            return response;
        }
        response.statusCode = 200;
        response.body = catalog;
        return response;
    }

    bool downloadStream(const std::string&, const selfupdate::HttpChunkCallback& onChunk, std::int32_t,
                        std::int32_t, const std::atomic<bool>* cancel, std::string* errorOut) override
    {
        const std::int64_t total = sendLength ? static_cast<std::int64_t>(package.size()) : -1;
        for (std::size_t offset = 0; offset < package.size(); offset += blockSize) {
            if (cancel != nullptr && cancel->load()) {
                *errorOut = "Download cancelled";
                return false;
            }
            if (!onChunk(package.data() + offset, std::min(blockSize, package.size() - offset), total)) {
                *errorOut = "Stream chunk callback requested abort";
                return false;
            }
            if (chunksSent++ == 0 && blockAfterFirstChunk)
                waitForRelease(cancel);
        }
        return true;
    }

private:
    void waitForRelease(const std::atomic<bool>* cancel)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_released && !(cancel != nullptr && cancel->load()))
            m_wake.wait_for(lock, std::chrono::milliseconds(5));
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_released = false;
};

// Collects every published state, from whichever thread it arrives on.
class Recorder {
public:
    void operator()(const UpdateState& state)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back(state);
    }
    std::vector<UpdateState> states() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    std::vector<UpdatePhase> phases() const
    {
        std::vector<UpdatePhase> result;
        for (const UpdateState& state : states())
            result.push_back(state.phase);
        return result;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<UpdateState> m_states;
};

std::string catalogFor(const std::string& version, const std::string& package, const std::string& mode)
{
    return R"({"applicationId":"com.ombrel.kestro.teleop","versionName":")" + version +
           R"(","versionCode":20300,"packageUrl":"https://fake.test/dl/kestro-teleop.bin","installMode":")" + mode +
           R"(","sha256":")" + selfupdate::Sha256::hashString(package) + R"("})";
}

CheckerConfig checkerConfig()
{
    CheckerConfig config;
    config.applicationId = "com.ombrel.kestro.teleop";
    config.currentVersionName = "2.2.2";
    config.currentVersionCode = 20202;
    config.manifestUrl = "https://fake.test/version.json";
    return config;
}

// Phases without the repeated per-block Downloading entries.
std::vector<UpdatePhase> collapsed(const std::vector<UpdatePhase>& phases)
{
    std::vector<UpdatePhase> result;
    for (UpdatePhase phase : phases) {
        if (result.empty() || result.back() != phase)
            result.push_back(phase);
    }
    return result;
}

QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "selfupdate_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

} // namespace

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        transport->package = selfupdate_test::randomBytes(5500, 5);
        transport->catalog = catalogFor("2.3.0", transport->package, "binary");
        options.skipProcessLaunch = true;
        options.targetExecutablePath = target.file("kestro-teleop");
        selfupdate_test::writeFile(options.targetExecutablePath, "old build");
    }

    std::unique_ptr<SelfUpdateController> makeController()
    {
        auto controller = std::make_unique<SelfUpdateController>(checkerConfig(), options, staging.path(), transport);
        controller->setStateCallback(std::ref(recorder));
        controller->setQuitCallback([this] { ++quitCalls; });
        return controller;
    }

    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    InstallOptions options;
    TemporaryFolder staging;
    TemporaryFolder target;
    Recorder recorder;
    std::atomic<int> quitCalls{0};
};

TEST_F(ControllerTest, CheckPublishesCheckingThenTheResult)
{
    auto controller = makeController();
    controller->checkForUpdates(true);
    controller->waitForIdle();
    const std::vector<UpdateState> states = recorder.states();
    ASSERT_EQ(recorder.phases(), (std::vector<UpdatePhase>{UpdatePhase::Checking, UpdatePhase::Available}));
    EXPECT_TRUE(states[0].userInitiated);
    EXPECT_EQ(states[1].manifest.versionName, "2.3.0");
    EXPECT_EQ(states[1].installedVersionName, "2.2.2");
    EXPECT_EQ(states[1].installedVersionCode, 20202);
    EXPECT_EQ(controller->state().phase, UpdatePhase::Available);

    transport->catalog = catalogFor("2.2.1", transport->package, "binary");
    controller->checkForUpdates(false);
    controller->waitForIdle();
    EXPECT_EQ(recorder.phases().back(), UpdatePhase::UpToDate);

    transport->catalog = "{oops";
    controller->checkForUpdates(false);
    controller->waitForIdle();
    EXPECT_EQ(recorder.states().back().phase, UpdatePhase::Error);
    EXPECT_EQ(recorder.states().back().errorMessage, "Expected string key in object at position 1");
}

TEST_F(ControllerTest, OnlyTheSecondOfTwoChecksIsPublished)
{
    transport->blockGetCall = 0; // the first check hangs until cancelled
    auto controller = makeController();
    controller->checkForUpdates(true);
    ASSERT_TRUE(selfupdate_test::waitFor([&] { return transport->getCalls.load() == 1; }, std::chrono::seconds(30)));
    controller->checkForUpdates(false);
    controller->waitForIdle();

    const std::vector<UpdateState> states = recorder.states();
    ASSERT_EQ(recorder.phases(),
              (std::vector<UpdatePhase>{UpdatePhase::Checking, UpdatePhase::Checking, UpdatePhase::Available}));
    EXPECT_TRUE(states[0].userInitiated);
    EXPECT_FALSE(states[1].userInitiated);
    EXPECT_FALSE(states[2].userInitiated);
    EXPECT_EQ(transport->getCalls.load(), 2);
}

TEST_F(ControllerTest, CancelledCheckStaysCheckingUntilDismissed)
{
    transport->blockGetCall = 0;
    auto controller = makeController();
    controller->checkForUpdates(true);
    ASSERT_TRUE(selfupdate_test::waitFor([&] { return transport->getCalls.load() == 1; }, std::chrono::seconds(30)));
    controller->cancel();
    controller->waitForIdle();
    EXPECT_EQ(recorder.phases(), std::vector<UpdatePhase>{UpdatePhase::Checking});
    EXPECT_EQ(controller->state().phase, UpdatePhase::Checking);

    controller->dismiss();
    const UpdateState idle = recorder.states().back();
    EXPECT_EQ(idle.phase, UpdatePhase::Idle);
    EXPECT_EQ(idle.installedVersionName, "2.2.2");
    EXPECT_EQ(idle.installedVersionCode, 20202);
    EXPECT_EQ(idle.totalBytes, -1);
}

TEST_F(ControllerTest, NothingToDownloadOrInstall)
{
    auto controller = makeController();
    controller->downloadPackage(nullptr);
    ASSERT_EQ(recorder.phases(), std::vector<UpdatePhase>{UpdatePhase::Error});
    EXPECT_EQ(recorder.states()[0].errorMessage, "No package URL to download");

    controller->installStagedPackage();
    ASSERT_EQ(recorder.phases(), (std::vector<UpdatePhase>{UpdatePhase::Error, UpdatePhase::Error}));
    EXPECT_EQ(recorder.states()[1].errorMessage, "No staged package ready to install");
    controller->downloadAndInstall(nullptr);
    EXPECT_EQ(recorder.states().back().errorMessage, "No package URL to download");
}

TEST_F(ControllerTest, DownloadWithoutLengthThenInstallWithRelaunch)
{
    transport->sendLength = false;
    options.relaunchAfterInstall = true;
    auto controller = makeController();
    controller->checkForUpdates(true);
    controller->waitForIdle();
    controller->downloadPackage(nullptr);
    controller->waitForIdle();

    const std::vector<UpdateState> states = recorder.states();
    EXPECT_EQ(collapsed(recorder.phases()),
              (std::vector<UpdatePhase>{UpdatePhase::Checking, UpdatePhase::Available, UpdatePhase::Downloading,
                                        UpdatePhase::ReadyToInstall}));
    std::int64_t previous = -1;
    for (const UpdateState& state : states) {
        if (state.phase != UpdatePhase::Downloading)
            continue;
        EXPECT_EQ(state.totalBytes, -1);
        EXPECT_GT(state.downloadedBytes, previous);
        EXPECT_TRUE(state.userInitiated) << "a download keeps the check's fields";
        previous = state.downloadedBytes;
    }
    EXPECT_EQ(previous, static_cast<std::int64_t>(transport->package.size()));
    const UpdateState ready = states.back();
    EXPECT_EQ(ready.downloadedBytes, -1);
    EXPECT_EQ(ready.totalBytes, -1);
    EXPECT_EQ(ready.stagedPackagePath, staging.file("kestro-teleop.bin"));
    EXPECT_EQ(ready.installedVersionName, "2.2.2");

    controller->installStagedPackage();
    controller->waitForIdle();
    const std::vector<UpdatePhase> phases = recorder.phases();
    EXPECT_EQ(std::vector<UpdatePhase>(phases.end() - 2, phases.end()),
              (std::vector<UpdatePhase>{UpdatePhase::LaunchingInstaller, UpdatePhase::InstallerLaunched}));
    EXPECT_EQ(quitCalls.load(), 1);
    EXPECT_TRUE(controller->lastInstallResult().success);
    EXPECT_EQ(selfupdate_test::readFile(options.targetExecutablePath), transport->package);
    EXPECT_EQ(selfupdate_test::readFile(options.targetExecutablePath + ".old"), "old build");
}

TEST_F(ControllerTest, DownloadAndInstallWithoutRelaunchDoesNotQuit)
{
    auto controller = makeController();
    UpdateManifest release = UpdateManifest::fromJson(transport->catalog, "https://fake.test/version.json", "");
    release.sizeBytes = static_cast<std::int64_t>(transport->package.size());
    controller->downloadAndInstall(&release);
    controller->waitForIdle();
    EXPECT_EQ(collapsed(recorder.phases()),
              (std::vector<UpdatePhase>{UpdatePhase::Downloading, UpdatePhase::ReadyToInstall,
                                        UpdatePhase::LaunchingInstaller, UpdatePhase::InstallerLaunched}));
    const std::vector<UpdateState> states = recorder.states();
    const UpdateState& ready = states[states.size() - 3];
    EXPECT_EQ(ready.downloadedBytes, release.sizeBytes);
    EXPECT_EQ(quitCalls.load(), 0);
    EXPECT_FALSE(controller->lastInstallResult().quitRequired);
}

TEST_F(ControllerTest, FailuresBecomeErrorStates)
{
    auto controller = makeController();
    UpdateManifest release = UpdateManifest::fromJson(transport->catalog, "https://fake.test/version.json", "");
    release.sha256 = std::string(64, 'f');
    controller->downloadPackage(&release);
    controller->waitForIdle();
    UpdateState failed = recorder.states().back();
    EXPECT_EQ(failed.phase, UpdatePhase::Error);
    EXPECT_EQ(failed.errorMessage.rfind("SHA-256 digest mismatch: expected ffff", 0), 0u) << failed.errorMessage;
    EXPECT_EQ(failed.manifest.packageUrl, release.packageUrl) << "kept so that the download can be retried";

    // A staged package that vanished before installation.
    controller->downloadPackage(nullptr);
    controller->waitForIdle();
    EXPECT_EQ(recorder.states().back().phase, UpdatePhase::Error) << "the digest still does not match";
    release.sha256 = selfupdate::Sha256::hashString(transport->package);
    controller->downloadPackage(&release);
    controller->waitForIdle();
    ASSERT_EQ(recorder.states().back().phase, UpdatePhase::ReadyToInstall);
    std::filesystem::remove(recorder.states().back().stagedPackagePath);
    controller->installStagedPackage();
    controller->waitForIdle();
    failed = recorder.states().back();
    EXPECT_EQ(failed.phase, UpdatePhase::Error);
    EXPECT_EQ(failed.errorMessage.rfind("Staged binary path does not exist or is not a regular file: ", 0), 0u);
    EXPECT_FALSE(controller->lastInstallResult().success);
}

TEST_F(ControllerTest, CancelledDownloadPublishesNothingMore)
{
    transport->blockAfterFirstChunk = true;
    auto controller = makeController();
    UpdateManifest release = UpdateManifest::fromJson(transport->catalog, "https://fake.test/version.json", "");
    controller->downloadPackage(&release);
    ASSERT_TRUE(selfupdate_test::waitFor([&] { return transport->chunksSent.load() == 1; }, std::chrono::seconds(30)));
    controller->cancel();
    controller->waitForIdle();
    const std::vector<UpdateState> states = recorder.states();
    ASSERT_EQ(recorder.phases(), (std::vector<UpdatePhase>{UpdatePhase::Downloading, UpdatePhase::Downloading}));
    EXPECT_EQ(states.back().downloadedBytes, 1000);
    EXPECT_TRUE(std::filesystem::is_empty(staging.path())) << "no .part file after a cancel";
}

TEST_F(ControllerTest, DispatcherRunsTasksLaterAndInOrder)
{
    auto controller = makeController();
    std::mutex mutex;
    std::vector<std::function<void()>> queue;
    controller->setUiDispatcher([&](std::function<void()> task) {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(std::move(task));
    });
    controller->checkForUpdates(true);
    controller->waitForIdle();
    EXPECT_TRUE(recorder.states().empty()) << "nothing reaches the callback before the dispatcher runs it";
    EXPECT_EQ(controller->state().phase, UpdatePhase::Available) << "the state itself is stored at once";
    for (auto& task : queue)
        task();
    EXPECT_EQ(recorder.phases(), (std::vector<UpdatePhase>{UpdatePhase::Checking, UpdatePhase::Available}));
}

TEST_F(ControllerTest, QtBindingDeliversOnTheContextThreadAndDropsAfterIt)
{
    QCoreApplication& app = application();
    auto controller = makeController();
    auto context = std::make_unique<QObject>();
    const std::thread::id guiThread = std::this_thread::get_id();
    std::vector<std::thread::id> deliveredOn;
    Recorder delivered;
    int quits = 0;
    selfupdate::bindQtController(
        *controller, context.get(),
        [&](const UpdateState& state) {
            deliveredOn.push_back(std::this_thread::get_id());
            delivered(state);
        },
        [&] { ++quits; });

    controller->checkForUpdates(true);
    controller->waitForIdle();
    EXPECT_TRUE(delivered.states().empty()) << "queued, not called from the worker";
    ASSERT_TRUE(selfupdate_test::waitFor(
        [&] {
            app.processEvents();
            return delivered.states().size() == 2;
        },
        std::chrono::seconds(30)));
    for (const std::thread::id& id : deliveredOn)
        EXPECT_EQ(id, guiThread);

    // The context goes away while a download runs: later states are dropped
    // and the worker still finishes.
    transport->blockAfterFirstChunk = true;
    controller->downloadPackage(nullptr);
    ASSERT_TRUE(selfupdate_test::waitFor([&] { return transport->chunksSent.load() == 1; }, std::chrono::seconds(30)));
    context.reset();
    transport->release();
    controller->waitForIdle();
    app.processEvents();
    EXPECT_EQ(delivered.states().size(), 2u);
    EXPECT_EQ(controller->state().phase, UpdatePhase::ReadyToInstall);
    EXPECT_EQ(quits, 0);
}
