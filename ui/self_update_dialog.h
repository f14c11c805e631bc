#pragma once

#include <QDialog>
#include <QString>

#include <memory>

#include "selfupdate/self_update_controller.h"
#include "selfupdate/update_state.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTextEdit;

namespace kestro {

// Shows one UpdateState of a SelfUpdateController (texts, progress bar and
// the buttons that make sense in that phase) and drives the controller from
// its buttons. A dialog with a parent relies on its owner's binding and
// broadcastState(); a parentless one binds the controller itself.
class SelfUpdateDialog : public QDialog {
public:
    SelfUpdateDialog(std::shared_ptr<selfupdate::SelfUpdateController> controller, const QString& appName,
                     QWidget* parent = nullptr);
    SelfUpdateDialog(selfupdate::SelfUpdateController* controller, const QString& appName,
                     QWidget* parent = nullptr);
    ~SelfUpdateDialog() override;

    SelfUpdateDialog(const SelfUpdateDialog&) = delete;
    SelfUpdateDialog& operator=(const SelfUpdateDialog&) = delete;

    void applyUpdateState(const selfupdate::UpdateState& state);
    // Safe from any thread: the state is applied on the dialog's own thread.
    void onUpdateStateChanged(const selfupdate::UpdateState& state);
    // Applies state to every live dialog that shows this controller.
    static void broadcastState(const selfupdate::SelfUpdateController* controller,
                               const selfupdate::UpdateState& state);

    selfupdate::UpdateState currentUpdateState() const { return m_state; }
    QString phaseLabelText() const;
    QString phaseBadgeText() const { return phaseLabelText(); }
    QString versionLabelText() const;
    QString versionSummaryText() const { return versionLabelText(); }
    QString metadataSummaryText() const;
    QString releaseNotesText() const;
    QString statusText() const;
    int progressValue() const;
    int progressPercent() const { return progressValue(); }
    bool isCheckButtonEnabled() const;
    bool isDownloadButtonEnabled() const;
    bool isInstallButtonEnabled() const;
    bool isCancelButtonEnabled() const;
    bool isCloseButtonEnabled() const;

    void triggerCheckForUpdates();
    void triggerDownloadUpdate();
    void triggerInstallUpdate();
    void triggerDownloadAndInstall();
    void triggerCancel();
    void triggerPrimaryAction();

    // The download percentage shown for (received, expected total).
    static int downloadPercent(std::int64_t downloadedBytes, std::int64_t totalBytes);
    // The metadata line shown for an available release.
    static QString metadataText(const selfupdate::UpdateManifest& manifest);

protected:
    // Leaving the dialog after a Cancel returns the controller to Idle, so
    // the next dialog (or the start-up rule) can check again.
    void done(int result) override;

private:
    void initUi();
    // A check or download the operator cancelled: it publishes nothing more.
    bool isStoppedByCancel() const;
    void buildLayout();
    void setButtonsEnabled(bool check, bool download, bool install, bool cancel);

    std::shared_ptr<selfupdate::SelfUpdateController> m_ownedController;
    selfupdate::SelfUpdateController* m_controller = nullptr;
    QString m_appName;
    bool m_boundToController = false;
    selfupdate::UpdateState m_state;

    QLabel* m_titleLabel = nullptr;
    QLabel* m_phaseBadge = nullptr;
    QLabel* m_versionLabel = nullptr;
    QLabel* m_metadataLabel = nullptr;
    QTextEdit* m_releaseNotes = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_statusLabel = nullptr;
    QPushButton* m_checkButton = nullptr;
    QPushButton* m_downloadButton = nullptr;
    QPushButton* m_installButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_closeButton = nullptr;
};

} // namespace kestro
