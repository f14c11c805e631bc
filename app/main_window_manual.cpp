// Manual joint control: sliders in a dock that take the camera's place as
// the source of motion. They pass through the same gate as a retargeted
// pose (the channels the camera path drives in the current mode, the same
// limits and safety margin) and then the same loop: watchdog, joint-speed
// limit, teleoperation switch and emergency stop.
#include "app/main_window.h"

#include "config/setting_ranges.h"
#include "config/teleop_config.h"
#include "robot/pose_retargeter.h"
#include "robot/urdf_limits.h"
#include "ui/manual_joint_panel.h"

#include <QAction>
#include <QDockWidget>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>

#include <limits>

namespace {

constexpr double kRadToDeg = 180.0 / kPi;

} // namespace

void MainWindow::setupManualControl()
{
    m_manualPanel = new ManualJointPanel(this);
    auto* dock = new QDockWidget(QStringLiteral("Manual Joint Control"), this);
    dock->setObjectName(QStringLiteral("manualJointDock"));
    dock->setWidget(m_manualPanel);
    addDockWidget(Qt::RightDockWidgetArea, dock);
    dock->hide();
    for (QAction* action : menuBar()->actions()) {
        if (action->menu() && action->text() == QStringLiteral("&Robot")) {
            action->menu()->addSeparator();
            QAction* toggle = dock->toggleViewAction();
            toggle->setText(QStringLiteral("&Manual Joint Control"));
            action->menu()->addAction(toggle);
        }
    }
    connect(m_manualPanel, &ManualJointPanel::manualControlToggled, this, &MainWindow::onManualControlToggled);
    connect(m_manualPanel, &ManualJointPanel::anglesEdited, this, &MainWindow::onManualAnglesEdited);
}

bool MainWindow::manualControlActive() const
{
    return m_manualPanel && m_manualPanel->isManualControlOn();
}

void MainWindow::onManualControlToggled(bool on)
{
    if (!on) {
        m_statusLabel->setText(QStringLiteral("Manual joint control off. The camera drives the robot."));
        return;
    }
    // The sliders start where the robot was last commanded, so switching on
    // moves nothing; only channels the camera path could drive can move.
    const UrdfLimits* limits = UrdfLimits::instance();
    const ServoValidArray driven = PoseRetargeter::drivenChannels(motionSettings().mode);
    const double margin = motionSettings().safetyMarginDeg;
    ManualJointPanel::ChannelRanges ranges;
    for (int channel = 0; channel < kServoCount; ++channel) {
        ranges[channel].name = QString::fromStdString(limits->getCalibration(channel).name);
        ranges[channel].enabled = driven[channel];
        ranges[channel].lowerDeg = limits->clamp(channel, -std::numeric_limits<double>::max(), margin) * kRadToDeg;
        ranges[channel].upperDeg = limits->clamp(channel, std::numeric_limits<double>::max(), margin) * kRadToDeg;
    }
    m_manualPanel->setChannels(ranges, m_motion.commandedAngles());
    m_statusLabel->setText(QStringLiteral("Manual joint control ON. The sliders drive the robot."));
}

void MainWindow::onManualAnglesEdited()
{
    if (manualControlActive())
        commandJointTargets(m_manualPanel->angles(), PoseRetargeter::drivenChannels(motionSettings().mode));
}

void MainWindow::holdManualTarget()
{
    // Hold renews the target on every tick, so the watchdog never finds it
    // stale; the speed limit and the switches still apply.
    if (manualControlActive() && m_manualPanel->isHoldOn())
        m_motion.setTarget(m_manualPanel->angles(), PoseRetargeter::drivenChannels(motionSettings().mode), monotonicNowMs());
}
