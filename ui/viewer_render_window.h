#pragma once

#include <QImage>
#include <QOpenGLWindow>

class UrdfViewerWidget;

// The native OpenGL surface of the 3D robot viewer, shown inside the viewer
// widget through a window container. A QOpenGLWidget would make the whole
// main window composite through OpenGL on every camera frame (with software
// OpenGL that cost about 60 % of a core for a 30 Hz camera label); a window
// of its own is drawn only when the robot or the camera moves, and the rest
// of the dashboard keeps its ordinary raster painting.
//
// It draws with the widget's scene code and hands pointer input to the
// widget, which owns the scene and the camera.
class ViewerRenderWindow : public QOpenGLWindow
{
public:
    explicit ViewerRenderWindow(UrdfViewerWidget& scene);

    // The scene drawn now with its current state, read back from the
    // framebuffer; a null image while the window has no OpenGL context yet.
    QImage grabScene();
    // Frames put on screen so far, for any reason.
    int framesShown() const { return m_framesShown; }
    // Frames drawn because the scene asked for one. The window system also
    // repaints whenever another window uncovers this one; those frames are
    // not the scene's doing and are not counted here.
    int framesRequested() const { return m_framesRequested; }

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;
    bool event(QEvent* event) override;

private:
    UrdfViewerWidget& m_scene;
    int m_framesShown = 0;
    int m_framesRequested = 0;
};
