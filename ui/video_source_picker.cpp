#include "ui/video_source_picker.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const char* const kVideoFileFilter =
    "Video files (*.mp4 *.mkv *.avi *.mov *.webm *.mjpg *.mjpeg *.m4v *.mpg *.mpeg *.ts);;All files (*)";

} // namespace

VideoSourcePicker::VideoSourcePicker(QWidget* parent) : QWidget(parent)
{
    m_typeCombo = new QComboBox(this);
    m_typeCombo->setObjectName(QStringLiteral("sourceTypeCombo"));
    m_typeCombo->addItem(QStringLiteral("Camera device"), QString::fromLatin1(kDeviceSource));
    m_typeCombo->addItem(QStringLiteral("Video file or stream URL"), QString::fromLatin1(kMediaSource));

    m_locationEdit = new QLineEdit(this);
    m_locationEdit->setObjectName(QStringLiteral("mediaLocationEdit"));
    m_locationEdit->setPlaceholderText(QStringLiteral("/path/to/clip.mp4, rtsp://camera/stream or demo:"));
    m_locationEdit->setToolTip(QStringLiteral("A video file, a stream URL (rtsp://, http://...), or \"demo:\" for the built-in animated\n"
                                              "photograph whose arm motion is known, for trying the dashboard without a camera."));
    m_browseButton = new QPushButton(QStringLiteral("Browse..."), this);
    m_browseButton->setObjectName(QStringLiteral("mediaBrowseButton"));

    auto* locationRow = new QHBoxLayout;
    locationRow->setContentsMargins(0, 0, 0, 0);
    locationRow->addWidget(m_locationEdit, 1);
    locationRow->addWidget(m_browseButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_typeCombo);
    layout->addLayout(locationRow);

    connect(m_typeCombo, &QComboBox::currentIndexChanged, this, [this] { updateEnabled(); });
    connect(m_browseButton, &QPushButton::clicked, this, &VideoSourcePicker::onBrowseClicked);
    updateEnabled();
}

void VideoSourcePicker::setSource(const std::string& sourceType, const std::string& location)
{
    const int index = m_typeCombo->findData(QString::fromStdString(sourceType));
    m_typeCombo->setCurrentIndex(index >= 0 ? index : 0);
    m_locationEdit->setText(QString::fromStdString(location));
    updateEnabled();
}

std::string VideoSourcePicker::sourceType() const
{
    return m_typeCombo->currentData().toString().toStdString();
}

std::string VideoSourcePicker::location() const
{
    return m_locationEdit->text().trimmed().toStdString();
}

void VideoSourcePicker::onBrowseClicked()
{
    const QString current = m_locationEdit->text().trimmed();
    const QString start = current.contains(QStringLiteral("://")) ? QString() : QFileInfo(current).absolutePath();
    const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("Choose a video file"), start,
                                                        QString::fromLatin1(kVideoFileFilter));
    if (chosen.isEmpty())
        return;
    m_locationEdit->setText(chosen);
    m_typeCombo->setCurrentIndex(m_typeCombo->findData(QString::fromLatin1(kMediaSource)));
}

void VideoSourcePicker::updateEnabled()
{
    const bool media = sourceType() == kMediaSource;
    m_locationEdit->setEnabled(media);
    m_browseButton->setEnabled(media);
}
