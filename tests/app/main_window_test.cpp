// The main window without a broker: what it shows after construction, the
// telemetry table, the badges, the theme, commands without a connection and
// the camera wiring with the real pose estimator.
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "robot/urdf_limits.h"
#include "tests/app/app_test_support.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/camera_thread.h"
#include "vision/pose_model_info.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QRegularExpression>
#include <QScrollBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QToolBar>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

using kestro_app_test::processEventsUntil;
using namespace std::chrono_literals;

namespace {

// Settings as the window will load them: defaults plus the changes a test
// makes, written to the test's settings file (never the real one).
TeleopConfig& freshConfig()
{
    TeleopConfig& config = *TeleopConfig::instance();
    config.populateDefaults();
    return config;
}

std::unique_ptr<MainWindow> makeWindow(TeleopConfig& config)
{
    EXPECT_TRUE(config.save(""));
    auto window = std::make_unique<MainWindow>(nullptr);
    window->show();
    return window;
}

QStringList menuEntries(QMenu* menu)
{
    QStringList entries;
    for (QAction* action : menu->actions())
        entries << (action->isSeparator() ? QStringLiteral("|") : action->text());
    return entries;
}

QString cell(const MainWindow& window, int row, int column)
{
    const QTableWidgetItem* item = window.telemetryTable()->item(row, column);
    return item ? item->text() : QStringLiteral("<none>");
}

} // namespace

TEST(MainWindow, StartsInStandbyWithItsControls)
{
    auto window = makeWindow(freshConfig());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Kestro Teleoperation Dashboard v2.2.2"));
    EXPECT_FALSE(window->windowIcon().isNull());

    QStringList menus;
    for (QAction* action : window->menuBar()->actions())
        menus << action->text();
    EXPECT_EQ(menus, (QStringList{"&File", "&Robot", "&Help"}));
    const QList<QAction*> top = window->menuBar()->actions();
    EXPECT_EQ(menuEntries(top[0]->menu()), (QStringList{"&Open Recording...", "Replay commands to the robot...", "|",
                                                        "&Settings...", "|", "E&xit"}));
    EXPECT_EQ(menuEntries(top[1]->menu()),
              (QStringList{"&Center All Servos", "&Relax (Torque Off)", "&Emergency Stop", "|", "Record", "|",
                           "&Manual Joint Control", "|", "C&onnect", "&Disconnect"}));
    EXPECT_EQ(menuEntries(top[2]->menu()), (QStringList{"Check for Updates...", "|", "&About Kestro Teleop"}));

    QToolBar* toolBar = window->findChild<QToolBar*>();
    ASSERT_NE(toolBar, nullptr);
    EXPECT_EQ(toolBar->windowTitle(), QStringLiteral("Controls"));
    EXPECT_FALSE(toolBar->isMovable());
    QStringList tools;
    for (QAction* action : toolBar->actions()) {
        auto* button = qobject_cast<QPushButton*>(toolBar->widgetForAction(action));
        auto* label = qobject_cast<QLabel*>(toolBar->widgetForAction(action));
        tools << (action->isSeparator() ? QStringLiteral("|")
                  : button              ? button->text()
                  : label               ? label->text()
                                        : action->text());
    }
    // The stop stands first, apart from the toggle whose text changes; the
    // line after the toggle says what is really sent.
    EXPECT_EQ(tools, (QStringList{"EMERGENCY STOP", "|", "Teleoperation: STANDBY", "Standby: no motion is sent.", "|",
                                  "Center (Neutral)", "Relax (Torque Off)", "|", "Settings", "|", "Record"}));
    EXPECT_EQ(window->recordAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_TRUE(window->teleopButton()->isCheckable());
    EXPECT_FALSE(window->teleopButton()->isChecked());
    EXPECT_FALSE(window->isTeleopActive());

    EXPECT_EQ(window->statusMessageLabel()->text(), QStringLiteral("Ready. Teleoperation is STANDBY."));
    EXPECT_EQ(window->statusMessageLabel()->objectName(), QStringLiteral("statusMessage"));
    EXPECT_EQ(window->mqttStatusLabel()->text(), QStringLiteral("MQTT: Disconnected"));
    EXPECT_EQ(window->fpsLabel()->text(), QStringLiteral("FPS: --"));
    EXPECT_EQ(window->videoLabel()->text(), QStringLiteral("Waiting for camera feed..."));
    EXPECT_EQ(window->updateBadge()->objectName(), QStringLiteral("updateStatusBadge"));
    EXPECT_FALSE(window->isUpdateStatusBadgeVisible());
    EXPECT_TRUE(window->txTimer().isActive());
    EXPECT_EQ(window->txTimer().interval(), 33);
    // Disabled camera: the thread exists but does not run.
    ASSERT_NE(window->cameraThread(), nullptr);
    EXPECT_FALSE(window->cameraThread()->isRunning());
    // Seeded with the calibration centres.
    for (int channel = 0; channel < kServoCount; ++channel) {
        const int center = UrdfLimits::instance()->getCalibration(channel).center;
        EXPECT_EQ(window->targetPwm()[channel], center);
        EXPECT_EQ(window->telemetryPwm()[channel], center);
        EXPECT_FALSE(window->targetValid()[channel]);
    }
}

TEST(MainWindow, TransmitIntervalFromRate)
{
    const std::pair<int, int> cases[] = {{0, 33}, {-4, 33}, {30, 33}, {50, 20}, {7, 142},
                                          // Bounded to the dialog's 5..60 Hz: no 0 ms timer spinning the GUI.
                                          {3, 200}, {1000, 16}, {2147483647, 16}};
    for (const auto& [rate, interval] : cases)
        EXPECT_EQ(MainWindow::txIntervalMsFor(rate), interval) << rate;

    TeleopConfig& config = freshConfig();
    config.safety.txRateHz = 50;
    auto window = makeWindow(config);
    EXPECT_EQ(window->txTimer().interval(), 20);
}

TEST(MainWindow, TelemetryTableLayout)
{
    auto window = makeWindow(freshConfig());
    QTableWidget* table = window->telemetryTable();
    ASSERT_EQ(table->columnCount(), 6);
    ASSERT_EQ(table->rowCount(), 17);
    QStringList headers;
    for (int column = 0; column < 6; ++column)
        headers << table->horizontalHeaderItem(column)->text();
    EXPECT_EQ(headers, (QStringList{"Channel", "Joint Name", "Target (deg)", "PWM", "Safe Lower (deg)",
                                    "Safe Upper (deg)"}));
    EXPECT_EQ(table->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_FALSE(table->verticalHeader()->isVisible());
    // At the default 1280 x 800 every row is in view, none behind a scroll bar.
    EXPECT_EQ(window->size(), QSize(1280, 800));
    EXPECT_TRUE(processEventsUntil([&] { return table->viewport()->height() > 0; }));
    EXPECT_EQ(0, table->verticalScrollBar()->maximum());
    EXPECT_LE(table->rowViewportPosition(16) + table->rowHeight(16), table->viewport()->height());
    window->grab().save(QString::fromStdString(kestro_app_test::artifactFolder() + "/main_window_default_size.png"));

    const UrdfLimits* limits = UrdfLimits::instance();
    for (int channel = 0; channel < 17; ++channel) {
        EXPECT_EQ(cell(*window, channel, 0), QString::number(channel));
        EXPECT_EQ(table->item(channel, 0)->textAlignment(), int(Qt::AlignCenter));
        EXPECT_EQ(cell(*window, channel, 2), QStringLiteral("0.0"));
        EXPECT_EQ(table->item(channel, 2)->textAlignment(), int(Qt::AlignRight | Qt::AlignVCenter));
        EXPECT_EQ(cell(*window, channel, 3), QString::number(limits->getCalibration(channel).center));
        if (limits->hasLimit(channel)) {
            const UrdfLimits::JointLimit limit = limits->getLimit(channel);
            EXPECT_EQ(cell(*window, channel, 1), QString::fromStdString(limit.name));
            EXPECT_EQ(cell(*window, channel, 4), QString::number(limit.lower * 180.0 / kPi, 'f', 1));
            EXPECT_EQ(cell(*window, channel, 5), QString::number(limit.upper * 180.0 / kPi, 'f', 1));
        } else {
            EXPECT_EQ(cell(*window, channel, 1), QStringLiteral("channel_%1").arg(channel));
            EXPECT_EQ(cell(*window, channel, 4), QStringLiteral("-90.0"));
            EXPECT_EQ(cell(*window, channel, 5), QStringLiteral("90.0"));
        }
    }
    // The embedded model names every joint; the head is the last row.
    EXPECT_EQ(cell(*window, 16, 1), QString::fromStdString(limits->getLimit(16).name));
}

TEST(MainWindow, TelemetryUpdatesOnlyReportedChannels)
{
    auto window = makeWindow(freshConfig());
    const UrdfLimits* limits = UrdfLimits::instance();
    const std::array<double, 17> viewerBefore = window->viewer()->jointAngles();

    std::array<int, 17> pwm{};
    std::array<bool, 17> valid{};
    pwm.fill(999); // would be visible anywhere it leaked
    window->onTelemetryReceived(pwm, valid);
    for (int channel = 0; channel < 17; ++channel)
        EXPECT_EQ(cell(*window, channel, 2), QStringLiteral("0.0"));
    EXPECT_EQ(window->viewer()->jointAngles(), viewerBefore);

    const int center4 = limits->getCalibration(4).center;
    pwm[4] = center4 + 20;
    valid[4] = true;
    window->onTelemetryReceived(pwm, valid);
    const double angle4 = limits->pwmToAngle(4, center4 + 20);
    EXPECT_EQ(cell(*window, 4, 2), QString::number(angle4 * 180.0 / kPi, 'f', 1));
    EXPECT_EQ(cell(*window, 4, 3), QString::number(center4 + 20));
    EXPECT_EQ(cell(*window, 5, 2), QStringLiteral("0.0"));
    EXPECT_EQ(cell(*window, 5, 3), QString::number(limits->getCalibration(5).center));
    // The viewer gets all 17: the reported one and the seeded rest.
    const std::array<double, 17>& shown = window->viewer()->jointAngles();
    EXPECT_DOUBLE_EQ(shown[4], angle4);
    for (int channel = 0; channel < 17; ++channel) {
        if (channel != 4) {
            EXPECT_DOUBLE_EQ(shown[channel], limits->pwmToAngle(channel, limits->getCalibration(channel).center));
        }
    }
    EXPECT_EQ(window->viewer()->jointPwm()[4], center4 + 20);
    EXPECT_EQ(window->viewer()->jointPwm()[0], limits->getCalibration(0).center);
}

TEST(MainWindow, CpuBadgesFollowThePreference)
{
    struct Case
    {
        const char* preference;
        const char* color;
    };
    // This machine has no accelerator, so the CPU rows of the table apply.
    for (const Case& c : {Case{"auto", "#ffc107"}, Case{"cpu", "#88aaff"}}) {
        TeleopConfig& config = freshConfig();
        config.ai.provider = c.preference;
        auto window = makeWindow(config);
        const QString text = window->aiBadge()->text();
        if (std::string(c.preference) == "auto")
            EXPECT_EQ(text, QStringLiteral("AI: CPU (Auto Fallback)"));
        else
            EXPECT_TRUE(text.startsWith(QStringLiteral("AI: "))) << text.toStdString();
        EXPECT_EQ(window->aiStatusLabel()->text(), text);
        EXPECT_TRUE(window->aiBadge()->styleSheet().contains(QLatin1String(c.color)));
        EXPECT_TRUE(window->aiStatusLabel()->styleSheet().startsWith(QStringLiteral("color: ") + c.color));
        const QString tooltip = window->aiBadge()->toolTip();
        // The network this build embedded, as the settings dialog names it.
        EXPECT_TRUE(tooltip.startsWith(QStringLiteral("<b>%1 Pose Estimation Inference Backend</b><br>")
                                           .arg(QString::fromUtf8(kestro::kPoseModelName))));
        EXPECT_TRUE(tooltip.contains(QStringLiteral("(CPU Software)")));
        EXPECT_TRUE(tooltip.contains(QStringLiteral("<b>Configured Preference:</b> ") + c.preference));
        EXPECT_TRUE(tooltip.contains(QStringLiteral("CPUExecutionProvider")));
    }
}

TEST(MainWindow, ThemesKeepTheVideoPanelDark)
{
    const QString videoStyle =
        QStringLiteral("background-color: #1a1a1e; color: #e0e0e0; border: 1px solid #333; border-radius: 4px;");
    TeleopConfig& config = freshConfig();
    {
        auto window = makeWindow(config);
        const QString sheet = window->styleSheet();
        EXPECT_TRUE(sheet.startsWith(
            QStringLiteral("QMainWindow { background-color: #1e1e24; color: #e0e0e0; }QWidget { color: #e0e0e0; }")));
        EXPECT_TRUE(sheet.endsWith(QStringLiteral("QSplitter::handle { background-color: #333; }")));
        EXPECT_TRUE(sheet.contains(QStringLiteral(
            "}QSpinBox, QDoubleSpinBox, QAbstractSpinBox { color: #e0e0e0; background-color: #16161a; border: 1px "
            "solid #444; }QComboBox {")));
        EXPECT_EQ(sheet.count(QStringLiteral(" { ")), 33);
        EXPECT_EQ(window->statusMessageLabel()->styleSheet(), QStringLiteral("color: #e0e0e0;"));
        EXPECT_EQ(window->videoLabel()->styleSheet(), videoStyle);
    }
    config.view.darkTheme = false;
    auto window = makeWindow(config);
    EXPECT_EQ(window->styleSheet(), QStringLiteral("QStatusBar { color: #222222; }QStatusBar QLabel#statusMessage { "
                                                   "color: #222222; background: transparent; }"));
    EXPECT_EQ(window->statusMessageLabel()->styleSheet(), QStringLiteral("color: #222222;"));
    EXPECT_EQ(window->videoLabel()->styleSheet(), videoStyle);
}

TEST(MainWindow, CameraErrorIsATemporaryMessage)
{
    auto window = makeWindow(freshConfig());
    const QString message = CameraThread::cameraOpenErrorMessage(2);
    window->onCameraError(message);
    EXPECT_EQ(window->statusBar()->currentMessage(), message);
    // The message line gives way while the temporary message shows, so the
    // two texts never overlap.
    EXPECT_FALSE(window->statusMessageLabel()->isVisible());
    EXPECT_TRUE(processEventsUntil([&] { return window->statusBar()->currentMessage().isEmpty(); }, 20s));
    EXPECT_TRUE(window->statusMessageLabel()->isVisible());
}

TEST(MainWindow, CommandsWithoutBrokerShowTheClientError)
{
    auto window = makeWindow(freshConfig());
    window->teleopButton()->click();
    EXPECT_TRUE(window->isTeleopActive());
    EXPECT_EQ(window->teleopButton()->text(), QStringLiteral("Teleoperation: ACTIVE (STREAMING)"));
    EXPECT_TRUE(window->teleopButton()->styleSheet().contains(QLatin1String("#008855")));
    EXPECT_EQ(window->statusMessageLabel()->text(),
              QStringLiteral("Teleoperation ACTIVE. Streaming motion commands to robot."));

    for (auto slot : {&MainWindow::onCenterClicked, &MainWindow::onRelaxClicked, &MainWindow::onStopClicked}) {
        (window.get()->*slot)();
        EXPECT_EQ(window->statusMessageLabel()->text(), window->mqttClient()->lastError());
        EXPECT_EQ(window->statusMessageLabel()->text(), QStringLiteral("MQTT not connected"));
    }
    // The stop switched streaming off before it tried to send.
    EXPECT_FALSE(window->isTeleopActive());
    EXPECT_FALSE(window->teleopButton()->isChecked());
    EXPECT_EQ(window->teleopButton()->text(), QStringLiteral("Teleoperation: STANDBY"));
}

TEST(MainWindow, EmptyDisableVariableStillKeepsTheBrokerAway)
{
    // Auto-connect is on and a broker address is configured, but the variable
    // is present (empty): the window must not even try.
    ::setenv("KESTRO_DISABLE_AUTO_MQTT", "", 1);
    TeleopConfig& config = freshConfig();
    config.mqtt.host = "127.0.0.1";
    config.mqtt.autoConnect = true;
    auto window = makeWindow(config);
    processEventsUntil([] { return false; }, 200ms);
    EXPECT_EQ(window->mqttStatusLabel()->text(), QStringLiteral("MQTT: Disconnected"));
    ::setenv("KESTRO_DISABLE_AUTO_MQTT", "1", 1);
}

TEST(MainWindow, CameraStartsWithTheEmbeddedNetworkAndReportsTheMissingDevice)
{
    // The one test that lets the window start its camera and load the real
    // network; the capture layer still refuses device 9, which does not exist.
    ::unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    TeleopConfig& config = freshConfig();
    config.camera.deviceIndex = 9;
    config.camera.width = 320;
    config.camera.height = 240;
    auto window = makeWindow(config);
    ::setenv("KESTRO_DISABLE_AUTO_CAMERA", "1", 1);

    EXPECT_TRUE(window->cameraThread()->isRunning());
    EXPECT_TRUE(processEventsUntil(
        [&] {
            return window->statusBar()->currentMessage() ==
                   QStringLiteral("Failed to open camera device 9. Using synthetic test feed.");
        },
        30s));
    EXPECT_TRUE(processEventsUntil([&] { return !window->videoLabel()->pixmap().isNull(); }, 30s));
    EXPECT_TRUE(processEventsUntil([&] { return window->fpsLabel()->text() != QStringLiteral("FPS: 0.0") &&
                                                window->fpsLabel()->text() != QStringLiteral("FPS: --"); },
                                   30s));
    EXPECT_TRUE(window->fpsLabel()->text().contains(QRegularExpression(QStringLiteral("^FPS: \\d+\\.\\d$"))))
        << window->fpsLabel()->text().toStdString();
    // The picture is scaled into the label keeping its 4:3 shape.
    const QPixmap shown = window->videoLabel()->pixmap();
    EXPECT_NEAR(double(shown.width()) / shown.height(), 4.0 / 3.0, 0.02);
}

TEST(MainWindow, HandEditedSettingsAreBoundedWhereTheyAreUsed)
{
    // Values only a hand-edited file can hold, and what the loop and the
    // camera make of them: the dialog's nearest choice.
    struct Case
    {
        int txRateHz, watchdogMs;
        float marginDeg, speedDegS;
        int width, height, fps;
        int intervalMs, boundedWatchdogMs;
        double boundedMarginDeg, boundedSpeedDegS;
        QSize frame;
    };
    const Case cases[] = {
        {100000, 1000000, 90.0f, 1e9f, 100000, 5, 100000, 16, 3000, 15.0, 500.0, {1920, 480}},
        {2, 0, -5.0f, 1.0f, 1, 100000, 1, 200, 100, 0.0, 10.0, {640, 1080}},
        {30, 500, 2.0f, -1.0f, 640, 480, 30, 33, 500, 2.0, -1.0, {640, 480}}, // 0 or less: no speed limit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.txRateHz);
        TeleopConfig& config = freshConfig();
        config.safety.txRateHz = c.txRateHz;
        config.safety.watchdogTimeoutMs = c.watchdogMs;
        config.safety.safetyMarginDeg = c.marginDeg;
        config.retarget.maxVelocityDegS = c.speedDegS;
        config.camera.width = c.width;
        config.camera.height = c.height;
        config.camera.targetFps = c.fps;
        auto window = makeWindow(config);
        EXPECT_EQ(window->txTimer().interval(), c.intervalMs);
        const MotionStream::Settings settings = MainWindow::motionSettings();
        EXPECT_EQ(settings.periodMs, c.intervalMs);
        EXPECT_EQ(settings.watchdogTimeoutMs, c.boundedWatchdogMs);
        EXPECT_EQ(settings.safetyMarginDeg, c.boundedMarginDeg);
        EXPECT_FLOAT_EQ(settings.maxVelocityDegS, c.boundedSpeedDegS);

        std::vector<QSize> frames;
        QObject::connect(window->cameraThread(), &CameraThread::frameReady, window.get(),
                         [&](const QImage& image, const PoseEstimator::PersonPose&) { frames.push_back(image.size()); });
        window->onSettingsApplied(); // starts the (synthetic) camera with these settings
        ASSERT_TRUE(kestro_app_test::processEventsUntil([&] { return frames.size() >= 2; }, 20s));
        EXPECT_TRUE(window->cameraThread()->stopAndWait());
        EXPECT_EQ(frames.front(), c.frame);
    }
}

TEST(MainWindow, StartsWithTheViewOptionsAndNamesAnUnreadableSettingsFile)
{
    TeleopConfig& config = freshConfig();
    config.view.showGrid = false;
    auto window = makeWindow(config);
    // A fresh viewer shows the grid and no links: the settings decide.
    EXPECT_FALSE(window->viewer()->showGrid());
    EXPECT_TRUE(window->viewer()->showMeshes());
    EXPECT_EQ(nullptr, window->settingsProblemLabel());
    window.reset();

    const std::string path = config.getConfigPath();
    const std::string kept = TeleopConfig::keptCopyPath(path);
    {
        std::ofstream broken(path, std::ios::trunc);
        broken << "view : { showGrid = false;\n darkTheme = ; };\n";
    }
    window = std::make_unique<MainWindow>(nullptr);
    window->show();
    QLabel* problem = window->settingsProblemLabel();
    ASSERT_NE(nullptr, problem);
    EXPECT_TRUE(problem->isVisible());
    EXPECT_TRUE(problem->toolTip().contains(QString::fromStdString(kept)));
    EXPECT_TRUE(std::filesystem::exists(kept));

    window.reset();
    std::filesystem::remove(kept);
    EXPECT_TRUE(freshConfig().save(""));
}
