#pragma once

#include "Lumavane/Presentation/FrameCapture.hpp"
#include "Lumavane/Presentation/ImageSurface.hpp"
#include "Lumavane/Presentation/QtMainExecutor.hpp"
#include "Lumavane/Presentation/SurfaceClock.hpp"

#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QTimer>

#include <memory>
#include <vector>

class QOpenGLTextureBlitter;

namespace lumavane {

// The window half of the video surface: an OpenGL widget that shows the surface's BGRA
// drawables as a texture (painted with QPainter where OpenGL cannot draw), clocks the
// surface with a precise timer at the screen's refresh rate and turns clicks and drags into
// play/pause and window moves.
class VideoSurfaceWidget final : public QOpenGLWidget, protected QOpenGLFunctions, public SurfaceHost {
    Q_OBJECT
public:
    explicit VideoSurfaceWidget(ImageSurface::Dependencies dependencies = {}, QWidget* parent = nullptr);
    // What a surface in the player's windows is made with: it never holds the main thread while
    // its kernels compile (seconds on a busy machine) and draws on the CPU until they are ready.
    static ImageSurface::Dependencies inWindowDependencies() {
        ImageSurface::Dependencies dependencies;
        dependencies.buildProgramsInBackground = true;
        return dependencies;
    }
    ~VideoSurfaceWidget() override;

    ImageSurface& surface() { return *surface_; }
    MainExecutor& executor() { return executor_; }
    bool isDisplayLinkRunning() const { return link_.isActive(); }
    // Re-makes the display link; nothing outside a shown window or while mirroring.
    void restartDisplayLink();
    void prepareForDismantle();
    // Milliseconds of the last upload of a drawable into the texture.
    double lastUploadMilliseconds() const { return lastUploadMS_; }
    // Host time at which the last upload finished.
    double lastUploadFinishedAt() const { return lastUploadEnd_; }

    // SurfaceHost
    image::Size drawableSize() const override { return backingSize(); }
    image::Size backingSize() const override;
    image::Size pointSize() const override { return {double(width()), double(height())}; }
    std::shared_ptr<SurfaceDrawable> nextDrawable(gpu::Device* device) override;
    void present(std::shared_ptr<SurfaceDrawable> drawable, std::function<void()> presented) override;
    void setNeedsDisplay() override;
    void drawNow() override { surface_->draw(); }

protected:
    void initializeGL() override;
    void paintGL() override;
    void resizeGL(int w, int h) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void linkFired();
    void upload();
    void armLink();
    double refreshInterval() const;

    QtMainExecutor executor_{this};
    std::unique_ptr<ImageSurface> surface_;
    DrawablePool pool_;
    std::shared_ptr<SurfaceDrawable> shown_;
    bool shownUploaded_ = false;
    std::vector<std::function<void()>> presentedHandlers_;
    bool drawScheduled_ = false;
    QTimer link_;
    DisplayLinkTimeline timeline_{1.0 / 60};
    PointerGesture gesture_;
    QWidget* observedWindow_ = nullptr;
    bool glUsable_ = false;
    unsigned texture_ = 0;
    int textureWidth_ = 0, textureHeight_ = 0;
    std::unique_ptr<QOpenGLTextureBlitter> blitter_;
    double lastUploadMS_ = 0;
    double lastUploadEnd_ = 0;
};

// Where captures are saved in the application: a non-modal PNG save dialog and a message box
// for errors, both over `parent`'s window.
CaptureSaver::Dependencies captureDialogs(QWidget* parent, DefaultsStore defaults);

} // namespace lumavane
