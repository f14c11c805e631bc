#include "ui/self_update_dialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

#include "selfupdate/qt_controller_binding.h"

namespace kestro {

using selfupdate::InstallType;
using selfupdate::UpdateManifest;
using selfupdate::UpdatePhase;
using selfupdate::UpdateState;

namespace {

const char* const kDefaultAppName = "Kestro";
// Shown when the state does not name the running build yet (before a check).
const char* const kFallbackInstalledVersion = "2.2.2";

// The dialog keeps this dark look whatever the application theme, so the
// teal accents stay readable.
const char* const kDialogStyleSheet =
    "QDialog { background-color: #1e1e24; color: #e0e0e0; }"
    "QLabel { color: #e0e0e0; }"
    "QGroupBox { color: #e0e0e0; border: 1px solid #444; margin-top: 8px; font-weight: bold; }"
    "QGroupBox::title { color: #00ADB5; }"
    "QTextEdit { background-color: #16161a; color: #e0e0e0; border: 1px solid #444; }"
    "QProgressBar { border: 1px solid #444; border-radius: 4px; text-align: center; "
    "background-color: #16161a; color: #ffffff; }"
    "QProgressBar::chunk { background-color: #00ADB5; }"
    "QPushButton { background-color: #33333d; color: #fff; border: 1px solid #4a4a55; border-radius: 4px; "
    "padding: 6px 12px; }"
    "QPushButton:hover { background-color: #3d3d4a; border-color: #00ADB5; }"
    "QPushButton:disabled { background-color: #25252c; color: #666; border-color: #333; }";

// The live dialogs, so that a controller's owner can make all of them follow
// one state. Touched on the GUI thread only.
std::vector<SelfUpdateDialog*>& openDialogs()
{
    static std::vector<SelfUpdateDialog*> dialogs;
    return dialogs;
}

bool isOpen(const SelfUpdateDialog* dialog)
{
    const auto& dialogs = openDialogs();
    return std::find(dialogs.begin(), dialogs.end(), dialog) != dialogs.end();
}

QString text(const std::string& utf8)
{
    return QString::fromStdString(utf8);
}

QString number(std::int64_t value)
{
    return QString::number(static_cast<qlonglong>(value));
}

// Texts from the network (version names, digests, error messages) must be
// shown as they are, never interpreted as markup.
QLabel* plainLabel(const QString& initial, const char* style)
{
    auto* label = new QLabel(initial);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(QString::fromLatin1(style));
    return label;
}

} // namespace

SelfUpdateDialog::SelfUpdateDialog(std::shared_ptr<selfupdate::SelfUpdateController> controller,
                                   const QString& appName, QWidget* parent)
    : QDialog(parent),
      m_ownedController(std::move(controller)),
      m_controller(m_ownedController.get()),
      m_appName(appName.isEmpty() ? QString::fromLatin1(kDefaultAppName) : appName)
{
    initUi();
}

SelfUpdateDialog::SelfUpdateDialog(selfupdate::SelfUpdateController* controller, const QString& appName,
                                   QWidget* parent)
    : QDialog(parent),
      m_controller(controller),
      m_appName(appName.isEmpty() ? QString::fromLatin1(kDefaultAppName) : appName)
{
    initUi();
}

SelfUpdateDialog::~SelfUpdateDialog()
{
    auto& dialogs = openDialogs();
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), this), dialogs.end());
    // The binding's dispatcher already drops tasks for a destroyed dialog;
    // clearing the callback also stops the controller from queueing them.
    if (m_boundToController && m_controller != nullptr)
        m_controller->setStateCallback({});
}

void SelfUpdateDialog::initUi()
{
    openDialogs().push_back(this);

    setWindowTitle(QString::fromUtf8("Software Update \u2014 %1").arg(m_appName));
    setMinimumSize(540, 460);
    resize(580, 500);
    setStyleSheet(QString::fromLatin1(kDialogStyleSheet));
    buildLayout();

    connect(m_checkButton, &QPushButton::clicked, this, [this] { triggerCheckForUpdates(); });
    connect(m_downloadButton, &QPushButton::clicked, this, [this] { triggerDownloadUpdate(); });
    connect(m_installButton, &QPushButton::clicked, this, [this] { triggerInstallUpdate(); });
    connect(m_cancelButton, &QPushButton::clicked, this, [this] { triggerCancel(); });
    connect(m_closeButton, &QPushButton::clicked, this, &QDialog::reject);

    if (m_controller == nullptr) {
        applyUpdateState(m_state);
        return;
    }
    if (parentWidget() == nullptr) {
        // Nobody else forwards the controller's states to a standalone
        // dialog; an empty quit callback means "quit the application".
        selfupdate::bindQtController(
            *m_controller, this, [this](const UpdateState& state) { applyUpdateState(state); }, {});
        m_boundToController = true;
    }
    applyUpdateState(m_controller->state());
}

void SelfUpdateDialog::buildLayout()
{
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(16, 16, 16, 16);
    root->setSpacing(12);

    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    auto* titleColumn = new QVBoxLayout;
    titleColumn->setSpacing(2);
    m_titleLabel = plainLabel(m_appName, "font-size: 16px; font-weight: bold; color: #00ADB5;");
    m_versionLabel = plainLabel(QString(), "font-size: 13px;");
    titleColumn->addWidget(m_titleLabel);
    titleColumn->addWidget(m_versionLabel);
    header->addLayout(titleColumn, 1);
    m_phaseBadge = plainLabel(QStringLiteral("Idle"), "font-size: 11px; font-weight: bold; padding: 4px 8px; "
                                                      "border-radius: 4px; border: 1px solid #00ADB5; color: #00ADB5;");
    header->addWidget(m_phaseBadge, 0, Qt::AlignTop);
    root->addLayout(header);

    m_metadataLabel = plainLabel(QString(), "font-size: 11px; color: #aaaaaa;");
    m_metadataLabel->setWordWrap(true);
    root->addWidget(m_metadataLabel);

    auto* notesGroup = new QGroupBox(QStringLiteral("Release Notes"));
    auto* notesLayout = new QVBoxLayout(notesGroup);
    m_releaseNotes = new QTextEdit;
    m_releaseNotes->setReadOnly(true);
    m_releaseNotes->setAcceptRichText(false);
    notesLayout->addWidget(m_releaseNotes);
    root->addWidget(notesGroup, 1);

    m_progressBar = new QProgressBar;
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setFixedHeight(20);
    root->addWidget(m_progressBar);

    m_statusLabel = plainLabel(QString(), "font-size: 12px;");
    m_statusLabel->setWordWrap(true);
    root->addWidget(m_statusLabel);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    m_checkButton = new QPushButton(QStringLiteral("Check Now"));
    m_downloadButton = new QPushButton(QStringLiteral("Download Update"));
    // "&&": a single "&" would become a mnemonic and vanish from the label.
    m_installButton = new QPushButton(QStringLiteral("Install && Restart"));
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"));
    m_closeButton = new QPushButton(QStringLiteral("Close"));
    // Enter must not start a download or an installation by accident.
    for (QPushButton* button : {m_checkButton, m_downloadButton, m_installButton, m_cancelButton, m_closeButton})
        button->setAutoDefault(false);
    buttons->addWidget(m_checkButton);
    buttons->addWidget(m_downloadButton);
    buttons->addWidget(m_installButton);
    buttons->addWidget(m_cancelButton);
    buttons->addStretch();
    buttons->addWidget(m_closeButton);
    root->addLayout(buttons);
}

int SelfUpdateDialog::downloadPercent(std::int64_t downloadedBytes, std::int64_t totalBytes)
{
    if (totalBytes < 1 || downloadedBytes < 1)
        return 0;
    if (downloadedBytes >= totalBytes)
        return 100;
    const double percent = static_cast<double>(downloadedBytes) / static_cast<double>(totalBytes) * 100.0;
    return std::clamp(static_cast<int>(percent), 0, 100);
}

QString SelfUpdateDialog::metadataText(const UpdateManifest& manifest)
{
    const QString mode = manifest.installType == InstallType::BinaryCopy ? QStringLiteral("Standalone Binary")
                                                                         : QStringLiteral("Setup Installer");
    const QString size = manifest.sizeBytes < 1
                             ? QStringLiteral("Unknown size")
                             : QStringLiteral("%1 KB (%2 bytes)")
                                   .arg(number(manifest.sizeBytes / 1024), number(manifest.sizeBytes));
    // One multi-argument arg() call, so that a "%1" inside a value from the
    // catalog is not substituted again.
    return QStringLiteral("Mode: %1 | Architecture: %2 | Minimum OS: %3\nSize: %4 | SHA-256: %5")
        .arg(mode, text(manifest.arch), text(manifest.minOs), size, text(manifest.sha256));
}

void SelfUpdateDialog::setButtonsEnabled(bool check, bool download, bool install, bool cancel)
{
    m_checkButton->setEnabled(check);
    m_downloadButton->setEnabled(download);
    m_installButton->setEnabled(install);
    m_cancelButton->setEnabled(cancel);
}

void SelfUpdateDialog::applyUpdateState(const UpdateState& state)
{
    m_state = state;
    const QString installed =
        state.installedVersionName.empty() ? QString::fromLatin1(kFallbackInstalledVersion)
                                           : text(state.installedVersionName);
    const QString installedLine =
        QStringLiteral("Installed: v%1 (Build %2)").arg(installed, number(state.installedVersionCode));
    const UpdateManifest& release = state.manifest;
    const QString releaseNotes = text(release.releaseNotes);

    // The close button is only taken away while the application is about
    // to quit for the installation; every other phase gives it back.
    const auto phaseValue = static_cast<std::int32_t>(state.phase);
    const bool knownPhase = phaseValue >= static_cast<std::int32_t>(UpdatePhase::Idle) &&
                            phaseValue <= static_cast<std::int32_t>(UpdatePhase::Error);
    if (knownPhase && state.phase != UpdatePhase::InstallerLaunched)
        m_closeButton->setEnabled(true);

    switch (state.phase) {
    case UpdatePhase::Idle:
        m_phaseBadge->setText(QStringLiteral("Idle"));
        m_versionLabel->setText(installedLine);
        m_metadataLabel->clear();
        m_releaseNotes->setPlainText(QStringLiteral("No release notes."));
        m_progressBar->setValue(0);
        m_statusLabel->setText(QStringLiteral("Ready to check for updates."));
        setButtonsEnabled(true, false, false, false);
        break;
    case UpdatePhase::Checking:
        m_phaseBadge->setText(QStringLiteral("Checking"));
        m_versionLabel->setText(installedLine);
        m_statusLabel->setText(QStringLiteral("Querying Ombrel Windows release catalog..."));
        setButtonsEnabled(isStoppedByCancel(), false, false, !isStoppedByCancel());
        break;
    case UpdatePhase::UpToDate:
        m_phaseBadge->setText(QStringLiteral("UpToDate"));
        m_versionLabel->setText(QStringLiteral("Installed: v%1 (Latest)").arg(installed));
        m_progressBar->setValue(100);
        m_statusLabel->setText(QStringLiteral("%1 v%2 is up to date.").arg(m_appName, installed));
        setButtonsEnabled(true, false, false, false);
        break;
    case UpdatePhase::Available:
        m_phaseBadge->setText(QStringLiteral("Available"));
        m_versionLabel->setText(QStringLiteral("Installed: v%1 -> Available: v%2 (Build %3)")
                                    .arg(installed, text(release.versionName), number(release.versionCode)));
        m_metadataLabel->setText(metadataText(release));
        m_releaseNotes->setPlainText(releaseNotes.isEmpty() ? QStringLiteral("No release notes provided.")
                                                            : releaseNotes);
        m_progressBar->setValue(0);
        m_statusLabel->setText(
            QStringLiteral("Update v%1 is available for download.").arg(text(release.versionName)));
        setButtonsEnabled(true, true, false, false);
        break;
    case UpdatePhase::Downloading: {
        const int percent = downloadPercent(state.downloadedBytes, state.totalBytes);
        m_phaseBadge->setText(QStringLiteral("Downloading"));
        m_progressBar->setValue(percent);
        m_statusLabel->setText(QStringLiteral("Downloading update package... %1% (%2 / %3 bytes)")
                                   .arg(QString::number(percent), number(state.downloadedBytes),
                                        number(std::max<std::int64_t>(state.totalBytes, 0))));
        setButtonsEnabled(isStoppedByCancel(), false, false, !isStoppedByCancel());
        break;
    }
    case UpdatePhase::ReadyToInstall:
        m_phaseBadge->setText(QStringLiteral("ReadyToInstall"));
        if (!release.versionName.empty())
            m_versionLabel->setText(QStringLiteral("Installed: v%1 -> Ready: v%2 (Build %3)")
                                        .arg(installed, text(release.versionName), number(release.versionCode)));
        if (!releaseNotes.isEmpty())
            m_releaseNotes->setPlainText(releaseNotes);
        m_progressBar->setValue(100);
        m_statusLabel->setText(QStringLiteral("Package verified (SHA-256 OK). Ready to install."));
        setButtonsEnabled(true, false, true, false);
        break;
    case UpdatePhase::LaunchingInstaller:
        m_phaseBadge->setText(QStringLiteral("LaunchingInstaller"));
        m_statusLabel->setText(QStringLiteral("Launching update installer..."));
        setButtonsEnabled(false, false, false, false);
        break;
    case UpdatePhase::InstallerLaunched:
        m_phaseBadge->setText(QStringLiteral("LaunchingInstaller"));
        m_progressBar->setValue(100);
        m_statusLabel->setText(
            QStringLiteral("Update staged. Closing %1 to complete installation and relaunch...").arg(m_appName));
        setButtonsEnabled(false, false, false, false);
        m_closeButton->setEnabled(false);
        if (isVisible())
            accept();
        break;
    case UpdatePhase::Error:
        m_phaseBadge->setText(QStringLiteral("Error"));
        m_statusLabel->setText(QStringLiteral("Error: %1").arg(text(state.errorMessage)));
        // A failed download of a known release can be retried from here.
        setButtonsEnabled(true, !release.packageUrl.empty(), false, false);
        break;
    }
}

void SelfUpdateDialog::onUpdateStateChanged(const UpdateState& state)
{
    if (QThread::currentThread() == thread()) {
        applyUpdateState(state);
        return;
    }
    // Queued on the dialog itself: Qt drops the call if the dialog is gone.
    QMetaObject::invokeMethod(
        this, [this, state] { applyUpdateState(state); }, Qt::QueuedConnection);
}

void SelfUpdateDialog::broadcastState(const selfupdate::SelfUpdateController* controller, const UpdateState& state)
{
    // A copy, and a membership test before each call: applying a state may
    // close a dialog, and closing may destroy it and change the list.
    const std::vector<SelfUpdateDialog*> dialogs = openDialogs();
    for (SelfUpdateDialog* dialog : dialogs) {
        if (isOpen(dialog) && dialog->m_controller == controller)
            dialog->applyUpdateState(state);
    }
}

QString SelfUpdateDialog::phaseLabelText() const
{
    return m_phaseBadge != nullptr ? m_phaseBadge->text() : QString();
}

QString SelfUpdateDialog::versionLabelText() const
{
    return m_versionLabel != nullptr ? m_versionLabel->text() : QString();
}

QString SelfUpdateDialog::metadataSummaryText() const
{
    return m_metadataLabel != nullptr ? m_metadataLabel->text() : QString();
}

QString SelfUpdateDialog::releaseNotesText() const
{
    return m_releaseNotes != nullptr ? m_releaseNotes->toPlainText() : QString();
}

QString SelfUpdateDialog::statusText() const
{
    return m_statusLabel != nullptr ? m_statusLabel->text() : QString();
}

int SelfUpdateDialog::progressValue() const
{
    return m_progressBar != nullptr ? m_progressBar->value() : 0;
}

bool SelfUpdateDialog::isCheckButtonEnabled() const
{
    return m_checkButton != nullptr && m_checkButton->isEnabled();
}

bool SelfUpdateDialog::isDownloadButtonEnabled() const
{
    return m_downloadButton != nullptr && m_downloadButton->isEnabled();
}

bool SelfUpdateDialog::isInstallButtonEnabled() const
{
    return m_installButton != nullptr && m_installButton->isEnabled();
}

bool SelfUpdateDialog::isCancelButtonEnabled() const
{
    return m_cancelButton != nullptr && m_cancelButton->isEnabled();
}

bool SelfUpdateDialog::isCloseButtonEnabled() const
{
    return m_closeButton != nullptr && m_closeButton->isEnabled();
}

bool SelfUpdateDialog::isStoppedByCancel() const
{
    return m_controller != nullptr && m_controller->cancelRequested() &&
           (m_state.phase == UpdatePhase::Checking || m_state.phase == UpdatePhase::Downloading);
}

void SelfUpdateDialog::done(int result)
{
    if (isStoppedByCancel())
        m_controller->dismiss();
    QDialog::done(result);
}

void SelfUpdateDialog::triggerCheckForUpdates()
{
    if (m_controller == nullptr)
        return;
    if (isStoppedByCancel())
        m_controller->dismiss();
    m_controller->checkForUpdates(true);
}

void SelfUpdateDialog::triggerDownloadUpdate()
{
    if (m_controller != nullptr)
        m_controller->downloadPackage(nullptr);
}

void SelfUpdateDialog::triggerInstallUpdate()
{
    if (m_controller != nullptr)
        m_controller->installStagedPackage();
}

void SelfUpdateDialog::triggerDownloadAndInstall()
{
    if (m_controller == nullptr)
        return;
    if (m_state.phase == UpdatePhase::ReadyToInstall)
        m_controller->installStagedPackage();
    else
        m_controller->downloadAndInstall(nullptr);
}

void SelfUpdateDialog::triggerCancel()
{
    if (m_controller == nullptr)
        return;
    m_controller->cancel();
    // No further state will come for the stopped step: show the way out now.
    applyUpdateState(m_state);
}

void SelfUpdateDialog::triggerPrimaryAction()
{
    if (m_controller == nullptr)
        return;
    if (m_state.phase == UpdatePhase::Available)
        m_controller->downloadPackage(nullptr);
    else if (m_state.phase == UpdatePhase::ReadyToInstall)
        m_controller->installStagedPackage();
    else
        triggerCheckForUpdates();
}

} // namespace kestro
