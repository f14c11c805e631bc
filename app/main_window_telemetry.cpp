// The telemetry table and its live update, the AI-backend badges, and the
// About box.
#include "app/main_window.h"

#include "config/teleop_config.h"
#include "robot/urdf_limits.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/pose_model_info.h"

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QStringList>
#include <QTableWidget>
#include <QTableWidgetItem>

namespace {

enum TelemetryColumn : int {
    ChannelColumn = 0,
    JointNameColumn = 1,
    TargetDegColumn = 2,
    PwmColumn = 3,
    SafeLowerColumn = 4,
    SafeUpperColumn = 5,
    TelemetryColumnCount = 6,
};

// Room above and below a row's text: enough to read, small enough that all
// 17 rows fit under the camera and 3D views at 1280 x 800.
constexpr int kTelemetryRowPaddingPx = 4;

// Shown for a channel that has no row in the limits table.
constexpr double kNoLimitLowerDeg = -90.0;
constexpr double kNoLimitUpperDeg = 90.0;

const char* const kGpuBadgeStyle = "background-color: #0d2818; color: #00ff88; border: 1px solid #00aa55; "
                                   "border-radius: 4px; padding: 2px 8px; font-weight: bold; font-size: 11px;";
const char* const kGpuStatusStyle = "color: #00ff88; padding-right: 15px; font-weight: bold;";
const char* const kAutoCpuBadgeStyle = "background-color: #2b2106; color: #ffc107; border: 1px solid #b28900; "
                                       "border-radius: 4px; padding: 2px 8px; font-weight: bold; font-size: 11px;";
const char* const kAutoCpuStatusStyle = "color: #ffc107; padding-right: 15px; font-weight: bold;";
const char* const kCpuBadgeStyle = "background-color: #1a1a24; color: #88aaff; border: 1px solid #3355aa; "
                                   "border-radius: 4px; padding: 2px 8px; font-weight: bold; font-size: 11px;";
const char* const kCpuStatusStyle = "color: #88aaff; padding-right: 15px; font-weight: bold;";

double toDegrees(double radians)
{
    return radians * 180.0 / kPi;
}

QString oneDecimal(double value)
{
    return QString::number(value, 'f', 1);
}

QTableWidgetItem* numericItem(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

} // namespace

void MainWindow::setupTelemetryTable()
{
    m_telemetryTable->setColumnCount(TelemetryColumnCount);
    m_telemetryTable->setRowCount(kServoCount);
    m_telemetryTable->setHorizontalHeaderLabels({QStringLiteral("Channel"), QStringLiteral("Joint Name"),
                                                 QStringLiteral("Target (deg)"), QStringLiteral("PWM"),
                                                 QStringLiteral("Safe Lower (deg)"),
                                                 QStringLiteral("Safe Upper (deg)")});

    const UrdfLimits* limits = UrdfLimits::instance();
    const std::map<int, UrdfLimits::JointLimit>& rows = limits->getAllLimits();
    for (int channel = 0; channel < kServoCount; ++channel) {
        const auto limit = rows.find(channel);
        const bool hasLimit = limit != rows.end();

        auto* channelItem = new QTableWidgetItem(QString::number(channel));
        channelItem->setTextAlignment(Qt::AlignCenter);
        m_telemetryTable->setItem(channel, ChannelColumn, channelItem);
        m_telemetryTable->setItem(channel, JointNameColumn,
                                  new QTableWidgetItem(hasLimit ? QString::fromStdString(limit->second.name)
                                                                : QStringLiteral("channel_%1").arg(channel)));
        m_telemetryTable->setItem(channel, TargetDegColumn, numericItem(QStringLiteral("0.0")));
        m_telemetryTable->setItem(channel, PwmColumn,
                                  numericItem(QString::number(limits->getCalibration(channel).center)));
        m_telemetryTable->setItem(
            channel, SafeLowerColumn,
            numericItem(oneDecimal(hasLimit ? toDegrees(limit->second.lower) : kNoLimitLowerDeg)));
        m_telemetryTable->setItem(
            channel, SafeUpperColumn,
            numericItem(oneDecimal(hasLimit ? toDegrees(limit->second.upper) : kNoLimitUpperDeg)));
    }

    m_telemetryTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_telemetryTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_telemetryTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Row numbers counted from 1 beside channels counted from 0 invite
    // reading the wrong servo; the "Channel" column is the row's name.
    m_telemetryTable->verticalHeader()->setVisible(false);
    // Every row at the default window size, without scrolling: compact rows,
    // and a size hint that asks for all of them, which the window's splitter
    // gives the table before the camera and 3D views take the rest.
    const int rowHeight = m_telemetryTable->fontMetrics().height() + kTelemetryRowPaddingPx;
    m_telemetryTable->verticalHeader()->setMinimumSectionSize(rowHeight);
    m_telemetryTable->verticalHeader()->setDefaultSectionSize(rowHeight);
    m_telemetryTable->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
}

void MainWindow::onTelemetryReceived(const std::array<int, 17>& pwm, const std::array<bool, 17>& valid)
{
    noteTelemetryArrived();
    const UrdfLimits* limits = UrdfLimits::instance();
    bool anyValid = false;
    for (int channel = 0; channel < kServoCount; ++channel) {
        if (!valid[channel])
            continue;
        anyValid = true;
        m_telemetryPwm[channel] = pwm[channel];
        m_telemetryAngles[channel] = limits->pwmToAngle(channel, pwm[channel]);
    }
    if (anyValid) {
        showTelemetry(m_telemetryPwm, m_telemetryAngles, valid);
        recordTelemetry(valid);
    }
}

void MainWindow::showTelemetry(const ServoPwmArray& pwm, const JointAngleArray& angles, const ServoValidArray& rows)
{
    for (int channel = 0; channel < kServoCount; ++channel) {
        if (!rows[channel])
            continue;
        if (QTableWidgetItem* item = m_telemetryTable->item(channel, TargetDegColumn))
            item->setText(oneDecimal(toDegrees(angles[channel])));
        if (QTableWidgetItem* item = m_telemetryTable->item(channel, PwmColumn))
            item->setText(QString::number(pwm[channel]));
    }
    // The whole arrays, so that channels missing from this message keep their
    // last reported (or seeded) pose in the 3D view.
    if (m_viewer) {
        m_viewer->setJointAngles(angles);
        m_viewer->setJointPwm(pwm);
    }
}

void MainWindow::updateAiProviderBadges()
{
    if (!m_poseEstimator)
        return;
    const QString active = QString::fromStdString(m_poseEstimator->getActiveProviderName());
    const QString preference = QString::fromStdString(TeleopConfig::instance()->ai.provider);
    const std::vector<std::string> available = m_poseEstimator->getAvailableProviders();

    const bool gpu = active == QLatin1String("DirectML") || active == QLatin1String("CUDA");
    const bool automatic = preference == QLatin1String("auto");
    QString text;
    const char* badgeStyle;
    const char* statusStyle;
    if (gpu) {
        text = automatic ? QStringLiteral("AI: %1 (Auto)").arg(active) : QStringLiteral("AI: %1").arg(active);
        badgeStyle = kGpuBadgeStyle;
        statusStyle = kGpuStatusStyle;
    } else if (automatic) {
        text = QStringLiteral("AI: CPU (Auto Fallback)");
        badgeStyle = kAutoCpuBadgeStyle;
        statusStyle = kAutoCpuStatusStyle;
    } else {
        text = QStringLiteral("AI: %1").arg(active);
        badgeStyle = kCpuBadgeStyle;
        statusStyle = kCpuStatusStyle;
    }
    const QString acceleration = gpu ? QStringLiteral("GPU Accelerated") : QStringLiteral("CPU Software");

    QStringList names;
    for (const std::string& name : available)
        names << QString::fromStdString(name);
    QString detected = names.join(QStringLiteral(", "));
    if (detected.isEmpty())
        detected = QStringLiteral("CPUExecutionProvider");

    const QString tooltip = QStringLiteral("<b>%1 Pose Estimation Inference Backend</b><br>"
                                           "<b>Active Execution Provider:</b> %2 (%3)<br>"
                                           "<b>Configured Preference:</b> %4<br>"
                                           "<b>Detected System Providers:</b> %5")
                                .arg(QString::fromUtf8(kestro::kPoseModelName), active, acceleration, preference,
                                     detected);
    for (QLabel* label : {m_aiBadge, m_aiStatusLabel}) {
        if (!label)
            continue;
        label->setText(text);
        label->setStyleSheet(QString::fromLatin1(label == m_aiBadge ? badgeStyle : statusStyle));
        label->setToolTip(tooltip);
    }
}

void MainWindow::onAboutClicked()
{
    QMessageBox::about(this, QStringLiteral("About Kestro Teleop"),
                       QStringLiteral("<h3>Kestro Desktop Teleoperation</h3>"
                                      "<p>Version %1 (Build %2)</p>"
                                      "<p>Real-time human pose teleoperation with %3, URDF kinematics, and MQTT "
                                      "control.</p>")
                           .arg(QString::fromLatin1(kVersion))
                           .arg(kBuildNumber)
                           .arg(QString::fromUtf8(kestro::kPoseModelName)));
}
