#include "ui/settings_dialog.h"

#include "config/teleop_config.h"
#include "tests/config/test_environment.h"
#include "tests/ui/settings_saved_file.h"
#include "vision/pose_model_info.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using kestro::config::test::freshFolder;
using kestro::config::test::readFileBytes;
using kestro::config::test::writeFileBytes;
using kestro_test::SavedSettingsFile;

namespace {

TeleopConfig& store()
{
    return *TeleopConfig::instance();
}

// A hand-edited file: out-of-range numbers, an unknown resolution and an
// unknown provider, and a custom model the dialog must not touch.
const char kOutOfRangeFile[] =
    "camera : { deviceIndex = 12; width = 800; height = 600; targetFps = 240; mirrorVideo = false; };\n"
    "ai : { modelSource = \"custom\"; customModelPath = \"/opt/models/pose.onnx\"; provider = \"tpu\";\n"
    "       confThreshold = 0.123; kptThreshold = 1.5; targetSelection = \"confidence\"; };\n"
    "retarget : { smoothingAlpha = 0.0; deadbandDeg = 2.5; maxVelocityDegS = 900.0;\n"
    "             mode = \"full_body\"; stancePreset = \"combat\"; };\n"
    "safety : { safetyMarginDeg = 3.25; txRateHz = 100; watchdogTimeoutMs = 50; };\n"
    "mqtt : { host = \"broker.lan\"; port = 0; username = \"op\"; password = \" secret \";\n"
    "         robotId = \"arm-7\"; keepalive = 600; autoConnect = false; };\n"
    "view : { showRobotMeshes = false; showSkeleton = true; showGrid = false; darkTheme = false; };\n";

class SettingsDialogTest : public ::testing::Test
{
protected:
    void loadFile(const std::string& text)
    {
        m_path = freshFolder("settings") + "/teleop.cfg";
        writeFileBytes(m_path, text);
        store().populateDefaults();
        ASSERT_TRUE(store().load(m_path));
        ASSERT_EQ(m_path, store().getConfigPath());
    }

    SavedSettingsFile readBack()
    {
        SavedSettingsFile file;
        EXPECT_TRUE(file.read(m_path)) << file.error();
        return file;
    }

    template <typename Widget>
    static Widget* find(const SettingsDialog& dialog, const char* name)
    {
        auto* widget = dialog.findChild<Widget*>(QString::fromLatin1(name));
        if (!widget)
            ADD_FAILURE() << "no widget " << name;
        return widget;
    }

    static void showAndWait(SettingsDialog& dialog)
    {
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    }

    static void click(const SettingsDialog& dialog, const char* button)
    {
        QTest::mouseClick(find<QPushButton>(dialog, button), Qt::LeftButton);
    }

    static void retype(const SettingsDialog& dialog, const char* edit, const QString& text)
    {
        QLineEdit* line = find<QLineEdit>(dialog, edit);
        line->clear();
        QTest::keyClicks(line, text);
    }

    static QString comboData(const SettingsDialog& dialog, const char* combo)
    {
        return find<QComboBox>(dialog, combo)->currentData().toString();
    }

    std::string m_path;
};

TEST_F(SettingsDialogTest, ShowsFileValuesClampedToTheWidgetRangesAndStoresThemClamped)
{
    loadFile(kOutOfRangeFile);
    SettingsDialog dialog;

    EXPECT_EQ(10, find<QSpinBox>(dialog, "cameraIndexSpin")->value());
    EXPECT_EQ(0, find<QComboBox>(dialog, "resolutionCombo")->currentIndex());
    EXPECT_EQ(120, find<QSpinBox>(dialog, "fpsSpin")->value());
    EXPECT_FALSE(find<QCheckBox>(dialog, "mirrorCheck")->isChecked());
    EXPECT_EQ("auto", comboData(dialog, "providerCombo"));
    EXPECT_DOUBLE_EQ(0.12, find<QDoubleSpinBox>(dialog, "confSpin")->value());
    EXPECT_DOUBLE_EQ(0.99, find<QDoubleSpinBox>(dialog, "kptSpin")->value());
    EXPECT_EQ("confidence", comboData(dialog, "targetCombo"));
    EXPECT_DOUBLE_EQ(0.01, find<QDoubleSpinBox>(dialog, "smoothingSpin")->value());
    EXPECT_DOUBLE_EQ(2.5, find<QDoubleSpinBox>(dialog, "deadbandSpin")->value());
    EXPECT_DOUBLE_EQ(500.0, find<QDoubleSpinBox>(dialog, "maxVelocitySpin")->value());
    EXPECT_EQ("full_body", comboData(dialog, "modeCombo"));
    EXPECT_EQ("combat", comboData(dialog, "stanceCombo"));
    EXPECT_DOUBLE_EQ(3.25, find<QDoubleSpinBox>(dialog, "safetyMarginSpin")->value());
    EXPECT_EQ(60, find<QSpinBox>(dialog, "txRateSpin")->value());
    EXPECT_EQ(100, find<QSpinBox>(dialog, "watchdogSpin")->value());
    EXPECT_EQ("broker.lan", find<QLineEdit>(dialog, "hostEdit")->text());
    EXPECT_EQ(1, find<QSpinBox>(dialog, "portSpin")->value());
    EXPECT_EQ("op", find<QLineEdit>(dialog, "usernameEdit")->text());
    EXPECT_EQ(" secret ", find<QLineEdit>(dialog, "passwordEdit")->text());
    EXPECT_EQ("arm-7", find<QLineEdit>(dialog, "robotIdEdit")->text());
    EXPECT_EQ(300, find<QSpinBox>(dialog, "keepaliveSpin")->value());
    EXPECT_FALSE(find<QCheckBox>(dialog, "autoConnectCheck")->isChecked());
    EXPECT_FALSE(find<QCheckBox>(dialog, "showMeshesCheck")->isChecked());
    EXPECT_TRUE(find<QCheckBox>(dialog, "showSkeletonCheck")->isChecked());
    EXPECT_FALSE(find<QCheckBox>(dialog, "showGridCheck")->isChecked());
    EXPECT_FALSE(find<QCheckBox>(dialog, "darkThemeCheck")->isChecked());

    showAndWait(dialog);
    QSignalSpy applied(&dialog, &SettingsDialog::settingsApplied);
    click(dialog, "applyButton");
    EXPECT_EQ(1, applied.count());
    EXPECT_TRUE(dialog.isVisible());

    const SavedSettingsFile file = readBack();
    EXPECT_EQ(10, file.intAt("camera.deviceIndex"));
    EXPECT_EQ(640, file.intAt("camera.width"));
    EXPECT_EQ(480, file.intAt("camera.height"));
    EXPECT_EQ(120, file.intAt("camera.targetFps"));
    EXPECT_EQ("auto", file.stringAt("ai.provider"));
    EXPECT_FLOAT_EQ(0.12f, file.floatAt("ai.confThreshold"));
    EXPECT_FLOAT_EQ(0.99f, file.floatAt("ai.kptThreshold"));
    EXPECT_FLOAT_EQ(0.01f, file.floatAt("retarget.smoothingAlpha"));
    EXPECT_FLOAT_EQ(500.0f, file.floatAt("retarget.maxVelocityDegS"));
    EXPECT_EQ(60, file.intAt("safety.txRateHz"));
    EXPECT_EQ(100, file.intAt("safety.watchdogTimeoutMs"));
    EXPECT_EQ(1, file.intAt("mqtt.port"));
    EXPECT_EQ(300, file.intAt("mqtt.keepalive"));
    EXPECT_EQ(" secret ", file.stringAt("mqtt.password"));
    // The model source is not the dialog's to edit.
    EXPECT_EQ("custom", file.stringAt("ai.modelSource"));
    EXPECT_EQ("/opt/models/pose.onnx", file.stringAt("ai.customModelPath"));
}

TEST_F(SettingsDialogTest, UnknownComboValuesKeepTheCurrentItem)
{
    loadFile("camera : { width = 1280; height = 720; };\n"
             "ai : { provider = \"cuda\"; targetSelection = \"confidence\"; };\n"
             "retarget : { mode = \"full_body\"; stancePreset = \"combat\"; };\n");
    SettingsDialog dialog;
    ASSERT_EQ("1280x720", comboData(dialog, "resolutionCombo"));

    // Item data are matched exactly and case-sensitively.
    loadFile("camera : { width = 1280; height = 721; };\n"
             "ai : { provider = \"CUDA\"; targetSelection = \"biggest\"; };\n"
             "retarget : { mode = \"Upper_Body\"; stancePreset = \"\"; };\n");
    dialog.loadCurrentConfig();
    EXPECT_EQ("1280x720", comboData(dialog, "resolutionCombo"));
    EXPECT_EQ("cuda", comboData(dialog, "providerCombo"));
    EXPECT_EQ("confidence", comboData(dialog, "targetCombo"));
    EXPECT_EQ("full_body", comboData(dialog, "modeCombo"));
    EXPECT_EQ("combat", comboData(dialog, "stanceCombo"));

    dialog.applyToConfig();
    const SavedSettingsFile file = readBack();
    EXPECT_EQ(1280, file.intAt("camera.width"));
    EXPECT_EQ(720, file.intAt("camera.height"));
    EXPECT_EQ("cuda", file.stringAt("ai.provider"));
    EXPECT_EQ("confidence", file.stringAt("ai.targetSelection"));
    EXPECT_EQ("full_body", file.stringAt("retarget.mode"));
    EXPECT_EQ("combat", file.stringAt("retarget.stancePreset"));
}

TEST_F(SettingsDialogTest, EditedValuesAreSavedAndReadBackFromTheFile)
{
    loadFile("");
    {
        SettingsDialog dialog;
        showAndWait(dialog);
        find<QSpinBox>(dialog, "cameraIndexSpin")->setValue(3);
        find<QComboBox>(dialog, "resolutionCombo")->setCurrentIndex(2);
        find<QSpinBox>(dialog, "fpsSpin")->setValue(60);
        find<QCheckBox>(dialog, "mirrorCheck")->setChecked(false);
        find<QSpinBox>(dialog, "recordFpsSpin")->setValue(15);
        find<QComboBox>(dialog, "providerCombo")->setCurrentIndex(3);
        find<QDoubleSpinBox>(dialog, "confSpin")->setValue(0.65);
        find<QDoubleSpinBox>(dialog, "kptSpin")->setValue(0.25);
        find<QComboBox>(dialog, "targetCombo")->setCurrentIndex(1);
        find<QDoubleSpinBox>(dialog, "smoothingSpin")->setValue(0.8);
        find<QDoubleSpinBox>(dialog, "deadbandSpin")->setValue(4.5);
        find<QDoubleSpinBox>(dialog, "maxVelocitySpin")->setValue(240.0);
        find<QComboBox>(dialog, "modeCombo")->setCurrentIndex(1);
        find<QComboBox>(dialog, "stanceCombo")->setCurrentIndex(1);
        find<QDoubleSpinBox>(dialog, "safetyMarginSpin")->setValue(7.5);
        find<QSpinBox>(dialog, "txRateSpin")->setValue(50);
        find<QSpinBox>(dialog, "watchdogSpin")->setValue(750);
        retype(dialog, "hostEdit", "  10.0.0.7 ");
        find<QSpinBox>(dialog, "portSpin")->setValue(8883);
        retype(dialog, "usernameEdit", " pilot ");
        retype(dialog, "passwordEdit", " p@ss word ");
        retype(dialog, "robotIdEdit", "QRX-ab12");
        find<QSpinBox>(dialog, "keepaliveSpin")->setValue(20);
        find<QCheckBox>(dialog, "autoConnectCheck")->setChecked(false);
        find<QCheckBox>(dialog, "showMeshesCheck")->setChecked(false);
        find<QCheckBox>(dialog, "showSkeletonCheck")->setChecked(false);
        find<QCheckBox>(dialog, "showGridCheck")->setChecked(false);
        find<QCheckBox>(dialog, "darkThemeCheck")->setChecked(false);

        QSignalSpy applied(&dialog, &SettingsDialog::settingsApplied);
        click(dialog, "okButton");
        EXPECT_EQ(1, applied.count());
        EXPECT_EQ(QDialog::Accepted, dialog.result());
        EXPECT_FALSE(dialog.isVisible());
    }

    const SavedSettingsFile file = readBack();
    struct Expected
    {
        const char* path;
        const char* kind;
        std::string value;
    };
    const std::vector<Expected> scalars = {
        {"camera.deviceIndex", "int", "3"},       {"camera.width", "int", "1920"},
        {"camera.height", "int", "1080"},         {"camera.targetFps", "int", "60"},
        {"safety.txRateHz", "int", "50"},         {"safety.watchdogTimeoutMs", "int", "750"},
        {"mqtt.port", "int", "8883"},             {"mqtt.keepalive", "int", "20"},
        {"camera.mirrorVideo", "bool", "0"},      {"mqtt.autoConnect", "bool", "0"},
        {"view.showRobotMeshes", "bool", "0"},    {"view.showSkeleton", "bool", "0"},
        {"view.showGrid", "bool", "0"},           {"view.darkTheme", "bool", "0"},
        {"ai.provider", "string", "cpu"},         {"ai.targetSelection", "string", "confidence"},
        {"retarget.mode", "string", "full_body"}, {"retarget.stancePreset", "string", "combat"},
        {"mqtt.host", "string", "10.0.0.7"},      {"mqtt.username", "string", "pilot"},
        {"mqtt.password", "string", " p@ss word "}, {"mqtt.robotId", "string", "QRX-ab12"},
        {"ai.modelSource", "string", "embedded"}, {"camera.recordFps", "int", "15"},
    };
    for (const Expected& expected : scalars) {
        EXPECT_EQ(expected.kind, file.kind(expected.path)) << expected.path;
        if (file.kind(expected.path) == "int")
            EXPECT_EQ(std::stoi(expected.value), file.intAt(expected.path)) << expected.path;
        else if (file.kind(expected.path) == "bool")
            EXPECT_EQ(expected.value == "1", file.boolAt(expected.path)) << expected.path;
        else
            EXPECT_EQ(expected.value, file.stringAt(expected.path)) << expected.path;
    }
    const std::vector<std::pair<const char*, float>> floats = {
        {"ai.confThreshold", 0.65f},         {"ai.kptThreshold", 0.25f},
        {"retarget.smoothingAlpha", 0.8f},   {"retarget.deadbandDeg", 4.5f},
        {"retarget.maxVelocityDegS", 240.0f}, {"safety.safetyMarginDeg", 7.5f},
    };
    for (const auto& [path, value] : floats) {
        EXPECT_EQ("float", file.kind(path)) << path;
        EXPECT_FLOAT_EQ(value, file.floatAt(path)) << path;
    }

    // A later start reads the same values back into a new dialog.
    store().populateDefaults();
    ASSERT_TRUE(store().load(m_path));
    SettingsDialog reopened;
    EXPECT_EQ("1920x1080", comboData(reopened, "resolutionCombo"));
    EXPECT_DOUBLE_EQ(0.65, find<QDoubleSpinBox>(reopened, "confSpin")->value());
    EXPECT_EQ(" p@ss word ", find<QLineEdit>(reopened, "passwordEdit")->text());
    EXPECT_EQ(750, find<QSpinBox>(reopened, "watchdogSpin")->value());
    EXPECT_FALSE(find<QCheckBox>(reopened, "darkThemeCheck")->isChecked());
}

TEST_F(SettingsDialogTest, RobotIdIsReducedToTheIdOfAPastedTopic)
{
    loadFile("");
    SettingsDialog dialog;
    const std::vector<std::pair<QString, std::string>> cases = {
        {"  robot/kestro/arm-7/control/  ", "arm-7"},
        {"robot/kestro/", "kestro"},
        {"arm-7/status", "arm-7"},
        {"robot/kestro/arm-7/status///", "arm-7"},
        {"Robot/kestro/x", "Robot/kestro/x"},
        {"robot/kestro/robot/kestro/x", "robot/kestro/x"},
        {"", "kestro"},
        {"   ", "kestro"},
        {"/control", "kestro"},
        {"arm-7/control/status", "arm-7/control"},
        {"QRX-ab12", "QRX-ab12"},
    };
    for (const auto& [typed, stored] : cases) {
        retype(dialog, "robotIdEdit", typed);
        dialog.applyToConfig();
        EXPECT_EQ(stored, store().mqtt.robotId) << typed.toStdString();
        EXPECT_EQ(stored, readBack().stringAt("mqtt.robotId")) << typed.toStdString();
    }
}

TEST_F(SettingsDialogTest, RobotIdsThatMqttReservesAreRefusedAndNothingIsApplied)
{
    loadFile("mqtt : { robotId = \"arm-7\"; };");
    SettingsDialog dialog;
    showAndWait(dialog);
    QSignalSpy applied(&dialog, &SettingsDialog::settingsApplied);
    QLabel* problem = find<QLabel>(dialog, "settingsProblemLabel");
    EXPECT_TRUE(problem->isHidden());
    const QString refused[] = {QStringLiteral("arm#7"), QStringLiteral("robot/kestro/+/status"),
                               QStringLiteral("arm") + QChar(0) + QStringLiteral("7")};
    for (const QString& typed : refused) {
        // setText: a NUL cannot be typed, only pasted.
        find<QLineEdit>(dialog, "robotIdEdit")->setText(typed);
        click(dialog, "okButton");
        EXPECT_TRUE(dialog.isVisible()) << "OK keeps the dialog open";
        EXPECT_FALSE(problem->isHidden());
        EXPECT_TRUE(problem->text().contains(QStringLiteral("Robot ID may not contain")));
        EXPECT_EQ("arm-7", store().mqtt.robotId);
        EXPECT_EQ("arm-7", readBack().stringAt("mqtt.robotId"));
    }
    EXPECT_EQ(0, applied.count());
}

TEST_F(SettingsDialogTest, FileProblemsAreShownAndOkClosesOnlyOnceSaved)
{
    // A file that did not parse is named, with the copy that was kept of it.
    m_path = freshFolder("settings") + "/teleop.cfg";
    writeFileBytes(m_path, "camera : { width = ; };\n");
    store().populateDefaults();
    EXPECT_FALSE(store().load(m_path));
    SettingsDialog dialog;
    showAndWait(dialog);
    QLabel* problem = find<QLabel>(dialog, "settingsProblemLabel");
    EXPECT_FALSE(problem->isHidden());
    EXPECT_TRUE(problem->text().contains(QString::fromStdString(TeleopConfig::keptCopyPath(m_path))));

    // A save the file system refuses: shown, the dialog stays, and the
    // values still apply to this session.
    std::filesystem::remove(m_path);
    std::filesystem::create_directory(m_path);
    QSignalSpy applied(&dialog, &SettingsDialog::settingsApplied);
    click(dialog, "okButton");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(QStringLiteral("Could not save settings to %1: Is a directory.").arg(QString::fromStdString(m_path)),
              problem->text());
    EXPECT_EQ(1, applied.count());

    std::filesystem::remove(m_path);
    click(dialog, "okButton");
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(problem->isHidden());
    EXPECT_EQ("", store().loadProblem());
    std::filesystem::remove(TeleopConfig::keptCopyPath(m_path));
}

TEST_F(SettingsDialogTest, BrokerAddressIsTrimmedAndFallsBackToTheLoopbackHost)
{
    loadFile("mqtt : { host = \"broker.lan\"; };\n");
    SettingsDialog dialog;
    struct Case
    {
        QString host, username, password;
        std::string storedHost, storedUsername, storedPassword;
    };
    const std::vector<Case> cases = {
        {"", "", "", "localhost", "", ""},
        {" \t ", " ", "  ", "localhost", "", "  "},
        {" 192.168.4.1 ", " op ", " pw ", "192.168.4.1", "op", " pw "},
    };
    for (const Case& c : cases) {
        find<QLineEdit>(dialog, "hostEdit")->setText(c.host);
        find<QLineEdit>(dialog, "usernameEdit")->setText(c.username);
        find<QLineEdit>(dialog, "passwordEdit")->setText(c.password);
        dialog.applyToConfig();
        const SavedSettingsFile file = readBack();
        EXPECT_EQ(c.storedHost, file.stringAt("mqtt.host")) << c.host.toStdString();
        EXPECT_EQ(c.storedUsername, file.stringAt("mqtt.username")) << c.username.toStdString();
        EXPECT_EQ(c.storedPassword, file.stringAt("mqtt.password")) << c.password.toStdString();
    }
    EXPECT_EQ(QLineEdit::Password, find<QLineEdit>(dialog, "passwordEdit")->echoMode());
}

TEST_F(SettingsDialogTest, EveryApplySavesAndAnnouncesEvenWithoutChanges)
{
    loadFile("");
    SettingsDialog dialog;
    showAndWait(dialog);
    QSignalSpy applied(&dialog, &SettingsDialog::settingsApplied);

    click(dialog, "applyButton");
    const std::string saved = readFileBytes(m_path);
    // Something else rewrites the file; the next apply writes it again.
    writeFileBytes(m_path, "# replaced\n");
    click(dialog, "applyButton");
    EXPECT_EQ(2, applied.count());
    EXPECT_EQ(saved, readFileBytes(m_path));
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(SettingsDialogTest, CancelWritesNothingAndTheNextShowingReloads)
{
    loadFile("safety : { txRateHz = 20; };\n");
    SettingsDialog dialog;
    showAndWait(dialog);
    QSignalSpy applied(&dialog, &SettingsDialog::settingsApplied);

    find<QSpinBox>(dialog, "txRateSpin")->setValue(40);
    click(dialog, "applyButton");
    find<QSpinBox>(dialog, "txRateSpin")->setValue(55);
    retype(dialog, "robotIdEdit", "never-stored");
    const std::string afterApply = readFileBytes(m_path);
    click(dialog, "cancelButton");

    EXPECT_EQ(QDialog::Rejected, dialog.result());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(1, applied.count());
    EXPECT_EQ(40, store().safety.txRateHz);
    EXPECT_EQ("kestro", store().mqtt.robotId);
    EXPECT_EQ(afterApply, readFileBytes(m_path));

    dialog.loadCurrentConfig();
    EXPECT_EQ(40, find<QSpinBox>(dialog, "txRateSpin")->value());
    EXPECT_EQ("kestro", find<QLineEdit>(dialog, "robotIdEdit")->text());
}

TEST_F(SettingsDialogTest, BackendLabelNamesTheActiveAndDetectedProviders)
{
    loadFile("");
    SettingsDialog dialog;
    QLabel* label = find<QLabel>(dialog, "backendLabel");
    EXPECT_EQ("Active Backend: Initializing...", label->text());
    EXPECT_EQ("color: #00ADB5; font-weight: bold; font-size: 11px;", label->styleSheet());

    struct Case
    {
        QString active;
        QStringList detected;
        QString text;
    };
    const std::vector<Case> cases = {
        {"CUDA", {"CUDAExecutionProvider", "CPUExecutionProvider"},
         "Active: <span style='color: #00ff88;'>CUDA</span> (Detected: CUDAExecutionProvider, CPUExecutionProvider)"},
        {"DirectML", {"DmlExecutionProvider"},
         "Active: <span style='color: #00ff88;'>DirectML</span> (Detected: DmlExecutionProvider)"},
        {"CPU", {}, "Active: <span style='color: #ffcc00;'>CPU</span> (Detected: CPU)"},
        {"cuda", {"CPUExecutionProvider"},
         "Active: <span style='color: #ffcc00;'>cuda</span> (Detected: CPUExecutionProvider)"},
        {"", {}, "Active: <span style='color: #ffcc00;'>None</span> (Detected: CPU)"},
    };
    for (const Case& c : cases) {
        dialog.setEstimatorInfo(c.active, c.detected);
        EXPECT_EQ(c.text, label->text()) << c.active.toStdString();
    }
    EXPECT_EQ(Qt::RichText, label->textFormat());

    const QLabel* model = find<QLabel>(dialog, "modelLabel");
    EXPECT_EQ(QString::fromUtf8(kestro::kPoseModelLabel), model->text());
    EXPECT_TRUE(model->text().startsWith("Model: Embedded "));
}

} // namespace

TEST_F(SettingsDialogTest, VideoSourceChoiceIsSavedAndTheLocationKeptForTheDevice)
{
    loadFile("camera : { sourceType = \"media\"; mediaLocation = \"rtsp://cam.local/live\"; };\n");
    SettingsDialog dialog;
    showAndWait(dialog);
    EXPECT_EQ(comboData(dialog, "sourceTypeCombo"), QStringLiteral("media"));
    EXPECT_EQ(find<QLineEdit>(dialog, "mediaLocationEdit")->text(), QStringLiteral("rtsp://cam.local/live"));
    EXPECT_TRUE(find<QPushButton>(dialog, "mediaBrowseButton")->isEnabled());

    // Back to the camera: the location stays for the next switch.
    retype(dialog, "mediaLocationEdit", "  /videos/rehearsal.mp4 ");
    find<QComboBox>(dialog, "sourceTypeCombo")->setCurrentIndex(0);
    EXPECT_FALSE(find<QLineEdit>(dialog, "mediaLocationEdit")->isEnabled());
    click(dialog, "applyButton");
    const SavedSettingsFile file = readBack();
    EXPECT_EQ(file.stringAt("camera.sourceType"), "device");
    EXPECT_EQ(file.stringAt("camera.mediaLocation"), "/videos/rehearsal.mp4");
    // This machine's camera list: none here, so the index row is the choice.
    QComboBox* devices = find<QComboBox>(dialog, "cameraDeviceCombo");
    ASSERT_GE(devices->count(), 1);
    EXPECT_FALSE(devices->itemData(devices->count() - 1).isValid());
}

TEST_F(SettingsDialogTest, EncryptionFieldsShowTheFileAndSwitchingTlsMovesOnlyTheUsualPorts)
{
    loadFile("mqtt : { port = 8883; tls = true; caFile = \"/etc/kestro/ca.pem\"; certFile = \"robot.crt\";\n"
             "         keyFile = \"robot.key\"; tlsInsecure = true; };\n");
    SettingsDialog dialog;
    showAndWait(dialog);
    auto* tls = find<QCheckBox>(dialog, "tlsCheck");
    auto* insecure = find<QCheckBox>(dialog, "tlsInsecureCheck");
    EXPECT_TRUE(tls->isChecked());
    EXPECT_EQ("/etc/kestro/ca.pem", find<QLineEdit>(dialog, "caFileEdit")->text());
    EXPECT_EQ("robot.key", find<QLineEdit>(dialog, "keyFileEdit")->text());
    EXPECT_TRUE(insecure->isChecked());
    EXPECT_TRUE(insecure->styleSheet().contains("#ff5555")) << "the insecure switch is marked red";

    retype(dialog, "caFileEdit", "  /srv/broker ca.pem ");
    struct Step
    {
        int portBefore;
        int portAfter; // after the operator's click on the TLS switch
    };
    // Off from 8883 goes to 1883, on again to 8883; a chosen port stays.
    for (const Step step : {Step{8883, 1883}, Step{1883, 8883}, Step{1884, 1884}}) {
        find<QSpinBox>(dialog, "portSpin")->setValue(step.portBefore);
        QTest::mouseClick(tls, Qt::LeftButton, {}, QPoint(8, tls->height() / 2));
        EXPECT_EQ(step.portAfter, find<QSpinBox>(dialog, "portSpin")->value()) << step.portBefore;
        EXPECT_EQ(tls->isChecked(), insecure->isEnabled());
        EXPECT_EQ(tls->isChecked(), find<QLineEdit>(dialog, "caFileEdit")->isEnabled());
    }
    ASSERT_FALSE(tls->isChecked());
    click(dialog, "applyButton");

    const SavedSettingsFile file = readBack();
    EXPECT_FALSE(file.boolAt("mqtt.tls"));
    EXPECT_EQ("/srv/broker ca.pem", file.stringAt("mqtt.caFile"));
    EXPECT_EQ("robot.crt", file.stringAt("mqtt.certFile"));
    EXPECT_TRUE(file.boolAt("mqtt.tlsInsecure"));
    EXPECT_EQ(1884, file.intAt("mqtt.port"));
}
