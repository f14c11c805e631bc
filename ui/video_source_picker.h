#pragma once

#include <QWidget>

#include <string>

class QComboBox;
class QLineEdit;
class QPushButton;

// The camera tab's choice of where pictures come from: the camera device,
// or a video file or network stream (with a file picker for files). The
// location is kept while the device is chosen, so switching back and forth
// loses nothing.
class VideoSourcePicker : public QWidget
{
    Q_OBJECT

public:
    // The two values of the camera.sourceType setting.
    static constexpr const char* kDeviceSource = "device";
    static constexpr const char* kMediaSource = "media";

    explicit VideoSourcePicker(QWidget* parent = nullptr);

    // An unknown type shows the device.
    void setSource(const std::string& sourceType, const std::string& location);
    std::string sourceType() const;
    // The location as typed, without surrounding blanks.
    std::string location() const;

    QComboBox* typeCombo() const { return m_typeCombo; }
    QLineEdit* locationEdit() const { return m_locationEdit; }
    QPushButton* browseButton() const { return m_browseButton; }

private:
    void onBrowseClicked();
    void updateEnabled();

    QComboBox* m_typeCombo = nullptr;
    QLineEdit* m_locationEdit = nullptr;
    QPushButton* m_browseButton = nullptr;
};
