#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QSlider;

// The strip under the camera view while a recording plays: play/pause, a
// position slider with the elapsed and total time, and "Close" back to the
// live camera. It only shows and asks; the playback clock decides.
class PlaybackBar : public QWidget
{
    Q_OBJECT

public:
    explicit PlaybackBar(QWidget* parent = nullptr);

    // What the bar shows; never taken for the operator's own move.
    void setState(qint64 positionMs, qint64 durationMs, bool playing);
    // "m:ss", or "h:mm:ss" from an hour on.
    static QString clockText(qint64 ms);

    QPushButton* playPauseButton() const { return m_playPause; }
    QSlider* positionSlider() const { return m_slider; }
    QLabel* timeLabel() const { return m_time; }
    QPushButton* closeButton() const { return m_close; }

signals:
    void playPauseClicked();
    void seekRequested(qint64 positionMs);
    void closeClicked();

private:
    QPushButton* m_playPause = nullptr;
    QSlider* m_slider = nullptr;
    QLabel* m_time = nullptr;
    QPushButton* m_close = nullptr;
};
