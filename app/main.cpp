// kestro-teleop: the teleoperation dashboard.
#include "app/application_setup.h"
#include "app/main_window.h"
#include "app/quit_on_signal.h"

#include "config/teleop_config.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QStringList>

namespace {

// `--record [FILE]`: record from the start, to FILE or to a new file in the
// default folder. Returns whether the option was given.
bool recordOption(const QStringList& arguments, QString& file)
{
    const int at = arguments.indexOf(QStringLiteral("--record"));
    if (at < 0)
        return false;
    if (at + 1 < arguments.size() && !arguments[at + 1].startsWith(QLatin1Char('-')))
        file = arguments[at + 1];
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    selectTeleopSurfaceFormat();

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    QApplication::setApplicationName(QStringLiteral("Kestro Teleop"));
    QApplication::setApplicationVersion(QString::fromLatin1(MainWindow::kVersion));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kestro_head.png")));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Drives a humanoid robot from the pose of a person on camera."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption sourceOption(
        QStringLiteral("source"),
        QStringLiteral("Read pictures from a video file or stream URL for this run, instead of the configured "
                       "camera; the settings file is not changed."),
        QStringLiteral("PATH|URL"));
    parser.addOption(sourceOption);
    parser.process(app);
    MainWindow::RunOptions options;
    options.videoSource = parser.value(sourceOption).toStdString();

    TeleopConfig::instance()->load("");

    registerTeleopMetaTypes();

    QuitOnSignal quitOnSignal;
    MainWindow window(nullptr, nullptr, options);
    window.show();
    QString recordFile;
    if (recordOption(QApplication::arguments(), recordFile))
        window.startRecording(recordFile);
    return app.exec();
}
