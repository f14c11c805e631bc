// The self-update part of the window: the stale-backup removal at start, the
// controller binding and the start-up check, the status-bar update badge and
// the "Check for Updates..." dialog.
#include "app/main_window.h"

#include <QCoreApplication>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <iostream>

#include "selfupdate/app_config.h"
#include "selfupdate/qt_controller_binding.h"
#include "selfupdate/self_update_controller.h"
#include "selfupdate/update_installer.h"
#include "selfupdate/update_manifest.h"
#include "ui/self_update_dialog.h"

using selfupdate::SelfUpdateController;
using selfupdate::UpdatePhase;
using selfupdate::UpdateState;

namespace {

const char* const kApplicationId = "com.ombrel.kestro.teleop";
const char* const kShortName = "kestro-teleop";
const char* const kDisplayName = "Kestro Teleop";
const std::int32_t kCatalogTimeoutMs = 10000;

const char* const kUpdateBadgeStyle =
    "background-color: #00ADB5; color: #ffffff; font-weight: bold; padding: 2px 10px; border-radius: 3px;";

} // namespace

selfupdate::AppConfig MainWindow::defaultSelfUpdateConfig()
{
    selfupdate::AppConfig config;
    config.checker.applicationId = kApplicationId;
    config.checker.currentVersionName = kVersion;
    config.checker.currentVersionCode = kBuildNumber;
    config.checker.manifestUrl = selfupdate::UpdateManifest::defaultManifestUrl();
    config.checker.connectTimeoutMs = kCatalogTimeoutMs;
    config.checker.receiveTimeoutMs = kCatalogTimeoutMs;
    config.applicationId = kApplicationId;
    config.shortName = kShortName;
    config.executableStem = kShortName;
    config.displayName = kDisplayName;
    config.versionName = kVersion;
    config.versionCode = kBuildNumber;
    config.checkOnStartup = true;
    return config;
}

void MainWindow::removeStaleUpdateBackup()
{
    // The ".old" copy that a binary-copy update left beside the executable;
    // it can only be removed once the process that was replaced has ended.
    if (!selfupdate::UpdateInstaller::cleanupStaleBackup(""))
        std::cerr << "MainWindow: could not remove the backup of an earlier update" << std::endl;
}

void MainWindow::startSelfUpdate()
{
    if (m_updateBadge != nullptr) {
        m_updateBadge->setStyleSheet(QString::fromLatin1(kUpdateBadgeStyle));
        m_updateBadge->setCursor(Qt::PointingHandCursor);
        connect(m_updateBadge, &QPushButton::clicked, this, &MainWindow::onCheckForUpdatesClicked);
    }

    const selfupdate::AppConfig config = defaultSelfUpdateConfig();
    if (!m_selfUpdateController) {
        selfupdate::InstallOptions options;
        options.relaunchAfterInstall = true;
        options.useInstallerTrampoline = true;
        options.skipProcessLaunch = false;
        m_selfUpdateController = std::make_shared<SelfUpdateController>(config.checker, options, "", nullptr);
    }
    bindSelfUpdateController();
    // An update finished by a script after the last exit may have failed;
    // its reason is shown (and keeps the start-up check from hiding it).
    if (m_selfUpdateController->reportFailedInstall()) {
        const UpdateState failed = m_selfUpdateController->state();
        std::cerr << "MainWindow: " << failed.errorMessage << std::endl;
        onSelfUpdateStateChanged(failed);
        statusBar()->showMessage(QString::fromStdString(failed.errorMessage));
    }

    if (config.checkOnStartup) {
        // Zero-delay: the check starts once the event loop runs, so the
        // window is up first and an operator who opens the dialog before
        // that gets one user check instead of two.
        m_autoUpdateCheckPending = true;
        QTimer::singleShot(0, this, [this] {
            if (m_autoUpdateCheckPending && m_updateState.phase == UpdatePhase::Idle) {
                m_autoUpdateCheckPending = false;
                if (m_selfUpdateController)
                    m_selfUpdateController->checkForUpdates(false);
            }
        });
    }
}

void MainWindow::bindSelfUpdateController()
{
    if (!m_selfUpdateController)
        return;
    QPointer<MainWindow> window(this);
    selfupdate::bindQtController(
        *m_selfUpdateController, this, [this](const UpdateState& state) { onSelfUpdateStateChanged(state); },
        [window] {
            if (window)
                window->close();
            if (QCoreApplication::instance() != nullptr)
                QCoreApplication::quit();
        });
    onSelfUpdateStateChanged(m_selfUpdateController->state());
}

void MainWindow::setSelfUpdateController(std::shared_ptr<SelfUpdateController> controller)
{
    m_autoUpdateCheckPending = false;
    if (m_selfUpdateController) {
        m_selfUpdateController->setStateCallback({});
        m_selfUpdateController->setQuitCallback({});
        m_selfUpdateController->setUiDispatcher({});
        m_selfUpdateController->cancel();
    }
    m_selfUpdateController = std::move(controller);
    if (m_selfUpdateController)
        bindSelfUpdateController();
}

SelfUpdateController* MainWindow::selfUpdateController() const
{
    return m_selfUpdateController.get();
}

std::shared_ptr<SelfUpdateController> MainWindow::selfUpdateControllerShared() const
{
    return m_selfUpdateController;
}

UpdateState MainWindow::currentSelfUpdateState() const
{
    return m_updateState;
}

void MainWindow::checkForAppUpdates(bool userInitiated)
{
    m_autoUpdateCheckPending = false;
    if (m_selfUpdateController)
        m_selfUpdateController->checkForUpdates(userInitiated);
}

QString MainWindow::updateStatusBadgeText() const
{
    return m_updateBadge != nullptr ? m_updateBadge->text() : QString();
}

bool MainWindow::isUpdateStatusBadgeVisible() const
{
    // Whether the badge is switched on, also while the window itself is not
    // on screen (isVisible() would then always be false).
    return m_updateBadge != nullptr && !m_updateBadge->isHidden();
}

void MainWindow::onSelfUpdateStateChanged(const UpdateState& state)
{
    m_updateState = state;
    if (m_updateBadge != nullptr) {
        const QString version = QString::fromStdString(state.manifest.versionName);
        if (state.phase == UpdatePhase::Available) {
            m_updateBadge->setText(QString::fromUtf8("\u2B06 Update Available (v%1)").arg(version));
            m_updateBadge->show();
        } else if (state.phase == UpdatePhase::ReadyToInstall) {
            m_updateBadge->setText(QString::fromUtf8("\u2B06 Ready to Install (v%1)").arg(version));
            m_updateBadge->show();
        } else {
            m_updateBadge->hide();
        }
    }
    kestro::SelfUpdateDialog::broadcastState(m_selfUpdateController.get(), state);
}

void MainWindow::onCheckForUpdatesClicked()
{
    kestro::SelfUpdateDialog dialog(m_selfUpdateController, QString::fromLatin1(kDisplayName), this);
    dialog.applyUpdateState(m_updateState);
    if (m_updateState.phase == UpdatePhase::Idle) {
        m_autoUpdateCheckPending = false;
        if (m_selfUpdateController)
            m_selfUpdateController->checkForUpdates(true);
    }
    // Modal; while it is open the controller's states reach it through
    // broadcastState, and it is destroyed when closed.
    dialog.exec();
}
