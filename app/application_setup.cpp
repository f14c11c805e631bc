#include "app/application_setup.h"

#include "robot/joint_set.h"
#include "vision/pose_estimator.h"

#include <QCoreApplication>
#include <QMetaType>
#include <QSurfaceFormat>

#include <array>

void selectTeleopSurfaceFormat()
{
    QCoreApplication::setAttribute(Qt::AA_UseDesktopOpenGL);
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setVersion(2, 1);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
}

void registerTeleopMetaTypes()
{
    qRegisterMetaType<PoseEstimator::PersonPose>("PoseEstimator::PersonPose");
    qRegisterMetaType<std::array<int, 17>>("std::array<int, 17>");
    qRegisterMetaType<std::array<bool, 17>>("std::array<bool, 17>");
    qRegisterMetaType<std::array<double, 17>>("std::array<double, 17>");
    qRegisterMetaType<ServoPwmArray>("ServoPwmArray");
    qRegisterMetaType<ServoValidArray>("ServoValidArray");
}
