#include "ui/manual_joint_panel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr double kRadToDeg = 180.0 / kPi;

int toSteps(double degrees)
{
    return static_cast<int>(std::lround(degrees * ManualJointPanel::kStepsPerDegree));
}

} // namespace

ManualJointPanel::ManualJointPanel(QWidget* parent) : QWidget(parent)
{
    m_manualCheck = new QCheckBox(QStringLiteral("Manual control (sliders drive the robot instead of the camera)"));
    m_manualCheck->setObjectName(QStringLiteral("manualControlCheck"));
    m_holdCheck = new QCheckBox(QStringLiteral("Hold"));
    m_holdCheck->setObjectName(QStringLiteral("manualHoldCheck"));
    m_holdCheck->setToolTip(QStringLiteral("Keep streaming the slider values; without it the watchdog stops the "
                                           "stream when the sliders rest"));
    m_holdCheck->setEnabled(false);

    auto* grid = new QGridLayout;
    for (int channel = 0; channel < kServoCount; ++channel) {
        auto* slider = new QSlider(Qt::Horizontal);
        slider->setObjectName(QStringLiteral("manualSlider%1").arg(channel));
        slider->setEnabled(false);
        m_sliders[channel] = slider;
        m_values[channel] = new QLabel;
        m_values[channel]->setMinimumWidth(60);
        m_names[channel] = new QLabel(QString::number(channel));
        grid->addWidget(m_names[channel], channel, 0);
        grid->addWidget(slider, channel, 1);
        grid->addWidget(m_values[channel], channel, 2);
        connect(slider, &QSlider::valueChanged, this, [this, channel] {
            showValue(channel);
            if (!m_updating)
                emit anglesEdited();
        });
        showValue(channel);
    }
    auto* sliders = new QWidget;
    sliders->setLayout(grid);
    auto* scroll = new QScrollArea;
    scroll->setWidget(sliders);
    scroll->setWidgetResizable(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_manualCheck);
    layout->addWidget(m_holdCheck);
    layout->addWidget(scroll, 1);

    connect(m_manualCheck, &QCheckBox::toggled, this, [this](bool on) {
        if (!on)
            m_holdCheck->setChecked(false);
        m_holdCheck->setEnabled(on);
        emit manualControlToggled(on);
    });
}

void ManualJointPanel::setChannels(const ChannelRanges& ranges, const JointAngleArray& angles)
{
    m_updating = true;
    for (int channel = 0; channel < kServoCount; ++channel) {
        QSlider* slider = m_sliders[channel];
        const ChannelRange& range = ranges[channel];
        slider->setRange(toSteps(range.lowerDeg), toSteps(range.upperDeg));
        slider->setValue(toSteps(angles[channel] * kRadToDeg));
        slider->setEnabled(range.enabled);
        m_names[channel]->setText(QStringLiteral("%1  %2").arg(channel).arg(range.name));
        showValue(channel);
    }
    m_updating = false;
}

JointAngleArray ManualJointPanel::angles() const
{
    JointAngleArray angles{};
    for (int channel = 0; channel < kServoCount; ++channel)
        angles[channel] = m_sliders[channel]->value() / static_cast<double>(kStepsPerDegree) / kRadToDeg;
    return angles;
}

bool ManualJointPanel::isManualControlOn() const
{
    return m_manualCheck->isChecked();
}

bool ManualJointPanel::isHoldOn() const
{
    return m_holdCheck->isChecked();
}

void ManualJointPanel::releaseManualControl()
{
    m_manualCheck->setChecked(false);
}

void ManualJointPanel::showValue(int channel)
{
    const QSlider* slider = m_sliders[channel];
    m_values[channel]->setText(slider->isEnabled()
                                   ? QStringLiteral("%1°").arg(slider->value() / static_cast<double>(kStepsPerDegree),
                                                              0, 'f', 1)
                                   : QStringLiteral("—"));
}
