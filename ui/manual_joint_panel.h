#pragma once

#include "robot/joint_set.h"

#include <QString>
#include <QWidget>

#include <array>

class QCheckBox;
class QLabel;
class QSlider;

// One slider per servo channel, in degrees, for jogging joints by hand. The
// panel only shows and reports values: the window decides which channels
// may move, bounds them and sends them through its teleoperation loop.
class ManualJointPanel : public QWidget
{
    Q_OBJECT

public:
    // What a channel's slider offers: its joint's name, whether it may be
    // moved at all, and its range in degrees.
    struct ChannelRange
    {
        QString name;
        bool enabled = false;
        double lowerDeg = 0.0;
        double upperDeg = 0.0;
    };
    using ChannelRanges = std::array<ChannelRange, kServoCount>;

    // Slider steps per degree.
    static constexpr int kStepsPerDegree = 10;

    explicit ManualJointPanel(QWidget* parent = nullptr);

    // New ranges and positions (radians), without reporting a change.
    void setChannels(const ChannelRanges& ranges, const JointAngleArray& angles);
    // The sliders' positions in radians.
    JointAngleArray angles() const;

    bool isManualControlOn() const;
    bool isHoldOn() const;
    // Switches manual control (and with it Hold) off, reporting it.
    void releaseManualControl();

    QCheckBox* manualCheck() const { return m_manualCheck; }
    QCheckBox* holdCheck() const { return m_holdCheck; }
    QSlider* slider(int channel) const { return m_sliders[channel]; }

signals:
    void manualControlToggled(bool on);
    // A slider was moved by the operator (or by a test through the slider).
    void anglesEdited();

private:
    void showValue(int channel);

    QCheckBox* m_manualCheck = nullptr;
    QCheckBox* m_holdCheck = nullptr;
    std::array<QSlider*, kServoCount> m_sliders{};
    std::array<QLabel*, kServoCount> m_names{};
    std::array<QLabel*, kServoCount> m_values{};
    bool m_updating = false;
};
