// kestro-teleop: the teleoperation dashboard.
#include "app/application_setup.h"
#include "app/main_window.h"
#include "app/quit_on_signal.h"

#include "config/teleop_config.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

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
    // `--record [FILE]`: the option takes no value so that FILE may be left
    // out; a file named after the option is the one positional argument.
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Record the session from the start, to FILE or to a new file in the recordings folder."));
    parser.addOption(recordOption);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The recording's file, with --record."),
                                 QStringLiteral("[FILE]"));
    parser.process(app);
    if (parser.positionalArguments().size() > (parser.isSet(recordOption) ? 1 : 0))
        parser.showHelp(2);
    MainWindow::RunOptions options;
    options.videoSource = parser.value(sourceOption).toStdString();

    TeleopConfig::instance()->load("");

    registerTeleopMetaTypes();

    QuitOnSignal quitOnSignal;
    MainWindow window(nullptr, nullptr, options);
    window.show();
    if (parser.isSet(recordOption))
        window.startRecording(parser.positionalArguments().value(0));
    return app.exec();
}
