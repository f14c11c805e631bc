#include "selfupdate/self_update_controller.h"

#include <cstdio>
#include <exception>

namespace selfupdate {

namespace {

// The downloader's timeouts: a package is larger than the catalog, and a
// slow mirror may pause longer between blocks.
constexpr std::int32_t kDownloadConnectTimeoutMs = 10000;
constexpr std::int32_t kDownloadReceiveTimeoutMs = 30000;

const char* const kNoPackageUrlMessage = "No package URL to download";
const char* const kNoStagedPackageMessage = "No staged package ready to install";
const char* const kInstallationFailedMessage = "Installation failed";
const char* const kPreviousInstallFailedMessage = "The last update was not installed: ";

std::shared_ptr<HttpTransport> orDefault(std::shared_ptr<HttpTransport> transport)
{
    return transport ? std::move(transport) : HttpTransport::createDefault();
}

} // namespace

SelfUpdateController::SelfUpdateController(CheckerConfig checkerConfig, InstallOptions installOptions,
                                           std::string stagingDir, std::shared_ptr<HttpTransport> transport)
    : m_checkerConfig(std::move(checkerConfig)), m_installOptions(std::move(installOptions)),
      m_stagingDir(std::move(stagingDir)), m_transport(orDefault(std::move(transport))),
      m_checker(m_checkerConfig, m_transport),
      m_downloader(m_stagingDir, m_transport, kDownloadConnectTimeoutMs, kDownloadReceiveTimeoutMs),
      m_installer(m_installOptions)
{
}

SelfUpdateController::~SelfUpdateController()
{
    stopWorker();
}

void SelfUpdateController::joinWorker()
{
    if (!m_worker.joinable())
        return;
    if (m_worker.get_id() == std::this_thread::get_id()) {
        // Called from the worker itself (a callback without a dispatcher):
        // it cannot join itself, and a joinable thread must not be replaced,
        // so it is let go to finish on its own.
        std::fprintf(stderr, "SelfUpdateController: operation started from its own worker thread\n");
        m_worker.detach();
        return;
    }
    m_worker.join();
}

void SelfUpdateController::startOperation()
{
    m_cancel.exchange(true);
    joinWorker();
    m_cancel.exchange(false);
}

void SelfUpdateController::stopWorker()
{
    m_cancel.exchange(true);
    joinWorker();
}

template <typename Work>
void SelfUpdateController::startWorker(Work work)
{
    m_worker = std::thread([this, work = std::move(work)]() mutable {
        // Nothing may escape a std::thread; an unexpected failure (memory)
        // still ends as an Error state the operator can see.
        try {
            work();
        } catch (const std::exception& error) {
            UpdateState failed = currentState();
            failed.phase = UpdatePhase::Error;
            failed.errorMessage = error.what();
            dispatchState(failed);
        }
    });
}

UpdateState SelfUpdateController::currentState() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

UpdateState SelfUpdateController::state() const
{
    return currentState();
}

InstallResult SelfUpdateController::lastInstallResult() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastInstallResult;
}

void SelfUpdateController::setStateCallback(StateCallback callback)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stateCallback = std::move(callback);
}

void SelfUpdateController::setUiDispatcher(UiDispatcher dispatcher)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_uiDispatcher = std::move(dispatcher);
}

void SelfUpdateController::setQuitCallback(QuitCallback callback)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quitCallback = std::move(callback);
}

void SelfUpdateController::dispatchState(const UpdateState& state)
{
    StateCallback callback;
    UiDispatcher dispatcher;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = state;
        callback = m_stateCallback;
        dispatcher = m_uiDispatcher;
    }
    if (!callback)
        return;
    if (dispatcher)
        dispatcher([callback, state] { callback(state); });
    else
        callback(state);
}

void SelfUpdateController::dispatchQuit()
{
    QuitCallback callback;
    UiDispatcher dispatcher;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback = m_quitCallback;
        dispatcher = m_uiDispatcher;
    }
    if (!callback)
        return;
    if (dispatcher)
        dispatcher([callback] { callback(); });
    else
        callback();
}

void SelfUpdateController::checkForUpdates(bool userInitiated)
{
    startOperation();
    UpdateState checking = currentState();
    checking.phase = UpdatePhase::Checking;
    checking.errorMessage.clear();
    checking.userInitiated = userInitiated;
    dispatchState(checking);

    startWorker([this, userInitiated] {
        const UpdateState result = m_checker.checkForUpdate(userInitiated, &m_cancel);
        if (!m_cancel.load())
            dispatchState(result);
    });
}

bool SelfUpdateController::beginDownload(const UpdateManifest* manifest, UpdateManifest& chosen)
{
    startOperation();
    UpdateState downloading;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        chosen = manifest != nullptr ? *manifest : m_state.manifest;
        m_state.phase = UpdatePhase::Downloading;
        m_state.manifest = chosen;
        m_state.downloadedBytes = 0;
        m_state.totalBytes = chosen.sizeBytes;
        m_state.errorMessage.clear();
        downloading = m_state;
    }
    if (chosen.packageUrl.empty()) {
        downloading.phase = UpdatePhase::Error;
        downloading.errorMessage = kNoPackageUrlMessage;
        dispatchState(downloading);
        return false;
    }
    dispatchState(downloading);
    return true;
}

bool SelfUpdateController::runDownload(const UpdateManifest& chosen, std::string& stagedPath)
{
    const DownloadProgressCallback progress = [this, &chosen](std::int64_t bytes, std::int64_t total) {
        if (m_cancel.load())
            return;
        UpdateState update = currentState();
        update.phase = UpdatePhase::Downloading;
        update.manifest = chosen;
        update.downloadedBytes = bytes;
        update.totalBytes = total;
        dispatchState(update);
    };
    try {
        stagedPath = m_downloader.downloadAndVerify(chosen, progress, &m_cancel);
    } catch (const std::exception& error) {
        if (!m_cancel.load()) {
            UpdateState failed = currentState();
            failed.phase = UpdatePhase::Error;
            failed.errorMessage = error.what();
            dispatchState(failed);
        }
        return false;
    }
    if (m_cancel.load())
        return false;
    UpdateState ready = currentState();
    ready.phase = UpdatePhase::ReadyToInstall;
    ready.manifest = chosen;
    ready.stagedPackagePath = stagedPath;
    ready.downloadedBytes = ready.totalBytes >= 1 ? ready.totalBytes : chosen.sizeBytes;
    ready.errorMessage.clear();
    dispatchState(ready);
    return true;
}

void SelfUpdateController::runInstall(const UpdateManifest& release, const std::string& stagedPath)
{
    const InstallResult result = m_installer.executeUpdate(release, stagedPath);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastInstallResult = result;
    }
    UpdateState next = currentState();
    if (result.success) {
        next.phase = UpdatePhase::InstallerLaunched;
        next.errorMessage.clear();
        dispatchState(next);
        if (result.quitRequired)
            dispatchQuit();
        return;
    }
    next.phase = UpdatePhase::Error;
    next.errorMessage = result.errorMessage.empty() ? kInstallationFailedMessage : result.errorMessage;
    dispatchState(next);
}

void SelfUpdateController::downloadPackage(const UpdateManifest* manifest)
{
    UpdateManifest chosen;
    if (!beginDownload(manifest, chosen))
        return;
    startWorker([this, chosen] {
        std::string stagedPath;
        runDownload(chosen, stagedPath);
    });
}

void SelfUpdateController::downloadAndInstall(const UpdateManifest* manifest)
{
    UpdateManifest chosen;
    if (!beginDownload(manifest, chosen))
        return;
    startWorker([this, chosen] {
        std::string stagedPath;
        if (!runDownload(chosen, stagedPath))
            return;
        // From here on the cancel flag is no longer consulted: a half-done
        // installation is worse than a finished one.
        UpdateState launching = currentState();
        launching.phase = UpdatePhase::LaunchingInstaller;
        launching.errorMessage.clear();
        dispatchState(launching);
        runInstall(chosen, stagedPath);
    });
}

void SelfUpdateController::installStagedPackage()
{
    startOperation();
    std::string staged;
    UpdateManifest release;
    UpdateState launching;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        staged = m_state.stagedPackagePath;
        release = m_state.manifest;
        m_state.phase = UpdatePhase::LaunchingInstaller;
        m_state.errorMessage.clear();
        launching = m_state;
    }
    if (staged.empty()) {
        launching.phase = UpdatePhase::Error;
        launching.errorMessage = kNoStagedPackageMessage;
        dispatchState(launching);
        return;
    }
    dispatchState(launching);
    startWorker([this, release, staged] { runInstall(release, staged); });
}

void SelfUpdateController::cancel()
{
    m_cancel.exchange(true);
}

void SelfUpdateController::dismiss()
{
    stopWorker();
    UpdateState idle;
    idle.installedVersionName = m_checkerConfig.currentVersionName;
    idle.installedVersionCode = m_checkerConfig.currentVersionCode;
    dispatchState(idle);
}

bool SelfUpdateController::reportFailedInstall()
{
    const std::string reason = UpdateInstaller::takeFailureReport(m_downloader.stagingRoot());
    if (reason.empty())
        return false;
    UpdateState failed = currentState();
    failed.phase = UpdatePhase::Error;
    failed.errorMessage = kPreviousInstallFailedMessage + reason;
    dispatchState(failed);
    return true;
}

void SelfUpdateController::waitForIdle()
{
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id())
        m_worker.join();
}

} // namespace selfupdate
