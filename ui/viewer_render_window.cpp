#include "ui/viewer_render_window.h"

#include "ui/urdf_viewer_widget.h"

#include <QCoreApplication>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

ViewerRenderWindow::ViewerRenderWindow(UrdfViewerWidget& scene) : m_scene(scene)
{
    connect(this, &QOpenGLWindow::frameSwapped, this, [this] { ++m_framesShown; });
}

QImage ViewerRenderWindow::grabScene()
{
    if (!isValid())
        return QImage();
    // The back buffer holds nothing reliable after a swap: draw it again.
    makeCurrent();
    paintGL();
    return grabFramebuffer();
}

void ViewerRenderWindow::initializeGL()
{
    m_scene.initializeGL();
}

void ViewerRenderWindow::resizeGL(int w, int h)
{
    m_scene.resizeGL(w, h);
}

void ViewerRenderWindow::paintGL()
{
    // The viewport in device pixels: the scene sees the logical size, which
    // would fill only part of a high-density screen.
    const qreal ratio = devicePixelRatio();
    context()->functions()->glViewport(0, 0, qRound(width() * ratio), qRound(height() * ratio));
    m_scene.paintGL();
}

bool ViewerRenderWindow::event(QEvent* event)
{
    // Pointer input arrives at this native window, not at the widget around
    // it; the widget owns the camera, so it gets the events as they are (the
    // window covers the widget exactly, so the positions agree).
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
    case QEvent::Wheel:
        return QCoreApplication::sendEvent(&m_scene, event);
    case QEvent::UpdateRequest:
        ++m_framesRequested;
        return QOpenGLWindow::event(event);
    default:
        return QOpenGLWindow::event(event);
    }
}
