#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "selfupdate/http_transport.h"
#include "selfupdate/package_downloader.h"
#include "selfupdate/self_update_checker.h"
#include "selfupdate/update_installer.h"
#include "selfupdate/update_state.h"

namespace selfupdate {

// The one object through which the application checks for, downloads and
// installs updates. Each request runs on one background worker thread at a
// time; every state change is stored and handed to the state callback,
// through the UI dispatcher when one is set.
class SelfUpdateController {
public:
    using StateCallback = std::function<void(const UpdateState&)>;
    using UiDispatcher = std::function<void(std::function<void()>)>;
    using QuitCallback = std::function<void()>;

    SelfUpdateController(CheckerConfig checkerConfig, InstallOptions installOptions, std::string stagingDir,
                         std::shared_ptr<HttpTransport> transport);
    ~SelfUpdateController();

    SelfUpdateController(const SelfUpdateController&) = delete;
    SelfUpdateController& operator=(const SelfUpdateController&) = delete;

    // Each starts an operation and returns at once. A null manifest means
    // the manifest of the current state.
    void checkForUpdates(bool userInitiated);
    void downloadPackage(const UpdateManifest* manifest);
    void installStagedPackage();
    void downloadAndInstall(const UpdateManifest* manifest);

    void cancel();
    // True from cancel() (or dismiss()) until the next operation starts. A
    // cancelled check or download publishes nothing more, so a view uses this
    // to offer a new check instead of waiting for a state that never comes.
    bool cancelRequested() const { return m_cancel.load(); }
    void dismiss();
    void waitForIdle();

    // When an installation that finished after the application had exited
    // failed, its script left the reason in the staging folder: publishes it
    // as an Error state (once) and returns true. Called at start-up.
    bool reportFailedInstall();

    UpdateState state() const;
    InstallResult lastInstallResult() const;

    void setStateCallback(StateCallback callback);
    void setUiDispatcher(UiDispatcher dispatcher);
    void setQuitCallback(QuitCallback callback);

private:
    void startOperation();
    void stopWorker();
    void joinWorker();
    template <typename Work>
    void startWorker(Work work);

    void dispatchState(const UpdateState& state);
    void dispatchQuit();
    UpdateState currentState() const;

    // Worker steps shared by downloadPackage and downloadAndInstall; false
    // when the download failed or was cancelled (then it has published what
    // there was to publish).
    bool runDownload(const UpdateManifest& chosen, std::string& stagedPath);
    void runInstall(const UpdateManifest& release, const std::string& stagedPath);
    bool beginDownload(const UpdateManifest* manifest, UpdateManifest& chosen);

    mutable std::mutex m_mutex;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    CheckerConfig m_checkerConfig;
    InstallOptions m_installOptions;
    std::string m_stagingDir;
    std::shared_ptr<HttpTransport> m_transport;
    SelfUpdateChecker m_checker;
    PackageDownloader m_downloader;
    UpdateInstaller m_installer;
    UpdateState m_state;
    InstallResult m_lastInstallResult;
    StateCallback m_stateCallback;
    UiDispatcher m_uiDispatcher;
    QuitCallback m_quitCallback;
};

} // namespace selfupdate
