#pragma once

#include "config/teleop_config.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <string>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class VideoSourcePicker;
class VideoSourcePicker;

// The operator's editor for every teleoperation setting except the model
// source and the custom model path. It holds no copy of the configuration:
// the widgets are the only pending state between loadCurrentConfig() and an
// apply, which writes them into TeleopConfig, saves the file and emits
// settingsApplied(). Bringing the running system in line is the main
// window's job. GUI thread only.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget* parent = nullptr);

    // Copies TeleopConfig into the widgets; the main window calls it before
    // every showing so that a cancelled edit never lingers.
    void loadCurrentConfig();
    // Copies the widgets into TeleopConfig, saves the file and emits
    // settingsApplied(), whether anything changed or not. A robot id that
    // MQTT cannot carry is refused before anything is written (no signal);
    // a failed save still emits, since the values are in force. Both show
    // in the dialog and return false.
    bool applyToConfig();
    // Shows which inference backend the estimator really runs on.
    void setEstimatorInfo(const QString& activeProvider, const QStringList& availableProviders);

    // The robot id as stored from what the operator typed: blanks trimmed, a
    // pasted control or status topic reduced to its id, empty as the default.
    static QString normalizeRobotIdInput(const QString& text);

signals:
    void settingsApplied();

public slots:
    // OK applies and closes, Apply applies and stays open, Cancel closes
    // and writes nothing.
    void onOkClicked();
    void onApplyClicked();
    void onCancelClicked();

private:
    void setupUi();
    QWidget* createCameraTab();
    void listCameraDevices();
    QWidget* createInferenceTab();
    QWidget* createRetargetingTab();
    QWidget* createSafetyTab();
    QWidget* createNetworkTab();
    QWidget* createViewTab();
    // The encryption rows of the MQTT tab, which make it taller than the
    // dialog: that tab scrolls instead of growing the window.
    static QWidget* scrollable(QWidget* page);
    void addTlsRows(QFormLayout* form);
    QWidget* pathRow(QLineEdit* edit, const char* title);
    void updateTlsRows();
    void loadTlsFields(const TeleopConfig::MqttConfig& mqtt);
    void applyTlsFields(TeleopConfig::MqttConfig& mqtt) const;

    // Shows what the operator must know about the settings file (it could
    // not be read, or not be saved); hidden when there is nothing to say.
    void showProblem(const std::string& problem);

    QTabWidget* m_tabs = nullptr;
    QLabel* m_problemLabel = nullptr;

    // Camera
    VideoSourcePicker* m_sourcePicker = nullptr;
    // The capture devices present, by card name; it sets the index below,
    // which still takes a device that is not plugged in now.
    QComboBox* m_cameraDeviceCombo = nullptr;
    QSpinBox* m_cameraIndexSpin = nullptr;
    QComboBox* m_resolutionCombo = nullptr;
    QSpinBox* m_fpsSpin = nullptr;
    QCheckBox* m_mirrorCheck = nullptr;
    // Pictures per second a recording keeps; 0 keeps every frame.
    QSpinBox* m_recordFpsSpin = nullptr;

    // AI Inference
    QComboBox* m_providerCombo = nullptr;
    QLabel* m_backendLabel = nullptr;
    QDoubleSpinBox* m_confSpin = nullptr;
    QDoubleSpinBox* m_kptSpin = nullptr;
    QComboBox* m_targetCombo = nullptr;

    // Retargeting
    QDoubleSpinBox* m_smoothingSpin = nullptr;
    QDoubleSpinBox* m_deadbandSpin = nullptr;
    QDoubleSpinBox* m_maxVelocitySpin = nullptr;
    QComboBox* m_modeCombo = nullptr;
    QComboBox* m_stanceCombo = nullptr;

    // Safety
    QDoubleSpinBox* m_safetyMarginSpin = nullptr;
    QSpinBox* m_txRateSpin = nullptr;
    QSpinBox* m_watchdogSpin = nullptr;

    // MQTT Network
    QLineEdit* m_hostEdit = nullptr;
    QSpinBox* m_portSpin = nullptr;
    QLineEdit* m_usernameEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QLineEdit* m_robotIdEdit = nullptr;
    QSpinBox* m_keepaliveSpin = nullptr;
    QCheckBox* m_autoConnectCheck = nullptr;
    QCheckBox* m_tlsCheck = nullptr;
    QLineEdit* m_caFileEdit = nullptr;
    QLineEdit* m_certFileEdit = nullptr;
    QLineEdit* m_keyFileEdit = nullptr;
    QCheckBox* m_tlsInsecureCheck = nullptr;

    // View
    QCheckBox* m_showMeshesCheck = nullptr;
    QCheckBox* m_showSkeletonCheck = nullptr;
    QCheckBox* m_showGridCheck = nullptr;
    QCheckBox* m_darkThemeCheck = nullptr;

    QPushButton* m_okButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_applyButton = nullptr;
};
