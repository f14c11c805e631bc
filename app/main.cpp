// kestro-teleop: the teleoperation dashboard.
#include "app/application_setup.h"
#include "app/main_window.h"
#include "app/quit_on_signal.h"

#include "config/teleop_config.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QPushButton>

#include <cstring>

namespace {

struct CommandLine
{
    QCommandLineOption source{QStringLiteral("source"),
                              QStringLiteral("Read pictures from a video file or stream URL for this run, instead of "
                                             "the configured camera; \"demo:\" shows a photograph of a person moving "
                                             "their arms. The settings file is not changed."),
                              QStringLiteral("PATH|URL")};
    // `--record [FILE]`: the option takes no value so that FILE may be left
    // out; a file named after the option is the one positional argument.
    QCommandLineOption record{
        QStringLiteral("record"),
        QStringLiteral("Record the session from the start, to FILE or to a new file in the recordings folder.")};
    QCommandLineOption startTeleop{
        QStringLiteral("start-teleop"),
        QStringLiteral("Switch teleoperation on at start-up instead of standby. Only for a simulated robot or "
                       "one you watch: it moves as soon as the broker connects.")};
    QCommandLineParser parser;

    CommandLine()
    {
        parser.setApplicationDescription(
            QStringLiteral("Drives a humanoid robot from the pose of a person on camera."));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOption(source);
        parser.addOption(record);
        parser.addOption(startTeleop);
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The recording's file, with --record."),
                                     QStringLiteral("[FILE]"));
    }
};

void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("Kestro Teleop"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(MainWindow::kVersion));
}

// Help and version need no window: answered before QApplication, which
// would refuse to start without a display.
bool asksForHelpOrVersion(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char* flag : {"-h", "--help", "-?", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], flag) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    if (asksForHelpOrVersion(argc, argv)) {
        QCoreApplication app(argc, argv);
        nameApplication();
        CommandLine commandLine;
        // Prints and exits; an error in the other arguments is reported too.
        commandLine.parser.process(app);
    }

    selectTeleopSurfaceFormat();

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    nameApplication();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kestro_head.png")));

    CommandLine commandLine;
    QCommandLineParser& parser = commandLine.parser;
    parser.process(app);
    if (parser.positionalArguments().size() > (parser.isSet(commandLine.record) ? 1 : 0))
        parser.showHelp(2);
    MainWindow::RunOptions options;
    options.videoSource = parser.value(commandLine.source).toStdString();

    TeleopConfig::instance()->load("");

    registerTeleopMetaTypes();

    QuitOnSignal quitOnSignal;
    MainWindow window(nullptr, nullptr, options);
    window.show();
    if (parser.isSet(commandLine.record))
        window.startRecording(parser.positionalArguments().value(0));
    if (parser.isSet(commandLine.startTeleop))
        window.teleopButton()->click();
    return app.exec();
}
