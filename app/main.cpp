// kestro-teleop: the teleoperation dashboard.
#include "app/main_window.h"
#include "app/quit_on_signal.h"

#include "config/teleop_config.h"
#include "robot/joint_set.h"
#include "vision/pose_estimator.h"

#include <QApplication>
#include <QIcon>
#include <QMetaType>
#include <QSurfaceFormat>

#include <array>

int main(int argc, char* argv[])
{
    // The robot view uses the fixed-function pipeline, so desktop OpenGL in
    // a compatibility profile, chosen before anything creates a context.
    QCoreApplication::setAttribute(Qt::AA_UseDesktopOpenGL);
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setVersion(2, 1);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    QApplication::setApplicationName(QStringLiteral("Kestro Teleop"));
    QApplication::setApplicationVersion(QString::fromLatin1(MainWindow::kVersion));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kestro_head.png")));

    TeleopConfig::instance()->load("");

    // Values that travel between threads through queued signals.
    qRegisterMetaType<PoseEstimator::PersonPose>("PoseEstimator::PersonPose");
    qRegisterMetaType<std::array<int, 17>>("std::array<int, 17>");
    qRegisterMetaType<std::array<bool, 17>>("std::array<bool, 17>");
    qRegisterMetaType<std::array<double, 17>>("std::array<double, 17>");
    qRegisterMetaType<ServoPwmArray>("ServoPwmArray");
    qRegisterMetaType<ServoValidArray>("ServoValidArray");

    QuitOnSignal quitOnSignal;
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
