#include "ui/playback_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

PlaybackBar::PlaybackBar(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("playbackBar"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_playPause = new QPushButton(QStringLiteral("Play"), this);
    m_playPause->setObjectName(QStringLiteral("playPauseButton"));
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setObjectName(QStringLiteral("positionSlider"));
    m_time = new QLabel(clockText(0) + QStringLiteral(" / ") + clockText(0), this);
    m_time->setObjectName(QStringLiteral("playbackTime"));
    m_close = new QPushButton(QStringLiteral("Close"), this);
    m_close->setObjectName(QStringLiteral("closePlaybackButton"));
    layout->addWidget(m_playPause);
    layout->addWidget(m_slider, 1);
    layout->addWidget(m_time);
    layout->addWidget(m_close);

    connect(m_playPause, &QPushButton::clicked, this, &PlaybackBar::playPauseClicked);
    connect(m_close, &QPushButton::clicked, this, &PlaybackBar::closeClicked);
    // Dragging scrubs, a click on the groove steps: both change the value.
    connect(m_slider, &QSlider::valueChanged, this, [this](int value) { emit seekRequested(value); });
}

void PlaybackBar::setState(qint64 positionMs, qint64 durationMs, bool playing)
{
    m_playPause->setText(playing ? QStringLiteral("Pause") : QStringLiteral("Play"));
    m_time->setText(clockText(positionMs) + QStringLiteral(" / ") + clockText(durationMs));
    // The operator's hand on the slider wins over the clock's position.
    if (m_slider->isSliderDown())
        return;
    const QSignalBlocker blocker(m_slider);
    m_slider->setRange(0, static_cast<int>(durationMs));
    m_slider->setValue(static_cast<int>(positionMs));
}

QString PlaybackBar::clockText(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    const QString minutesAndSeconds = QStringLiteral("%1:%2").arg(seconds / 60 % 60, seconds >= 3600 ? 2 : 1, 10, QLatin1Char('0'))
                                          .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return seconds >= 3600 ? QStringLiteral("%1:%2").arg(seconds / 3600).arg(minutesAndSeconds) : minutesAndSeconds;
}
