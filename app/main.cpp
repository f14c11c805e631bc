// kestro-teleop: the teleoperation dashboard.
#include "app/application_setup.h"
#include "app/main_window.h"
#include "app/quit_on_signal.h"

#include "config/teleop_config.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    selectTeleopSurfaceFormat();

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    QApplication::setApplicationName(QStringLiteral("Kestro Teleop"));
    QApplication::setApplicationVersion(QString::fromLatin1(MainWindow::kVersion));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kestro_head.png")));

    TeleopConfig::instance()->load("");

    registerTeleopMetaTypes();

    QuitOnSignal quitOnSignal;
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
