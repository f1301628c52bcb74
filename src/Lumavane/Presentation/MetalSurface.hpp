#pragma once

#include "Lumavane/Presentation/FrameCapture.hpp"
#include "Lumavane/Presentation/ImageSurface.hpp"
#include "Lumavane/Session/PresentationFrames.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace lumavane {

// What the surface needs of the player session. PlayerSession answers through an adapter; tests
// use a fake.
class PresentationSession {
public:
    // The session's own hook types, so what the surface installs is what the session calls.
    using DisplayHook = lumavane::DisplayHook;
    using CaptureHook = CaptureFrameHook;

    virtual ~PresentationSession() = default;
    virtual void tick(double hostTime) = 0;
    virtual void togglePlayback() = 0;
    virtual void setDisplayHook(DisplayHook hook) = 0;
    virtual void setCaptureFrameHook(CaptureHook hook) = 0;
    virtual void resetPresentationGate() = 0;
    virtual void refreshDisplay() = 0;
    // Extent of the latest source picture, before enhancement.
    virtual std::optional<image::Size> latestSourceSize() const = 0;
    virtual void updateDisplayPixelSize(image::Size size) = 0;
    virtual double videoAspectRatio() const = 0;
    // The display GPU time readout and when it was last stored.
    virtual double lastDisplayMetricsUpdate() const = 0;
    virtual void storeDisplayGPUms(double milliseconds, double now) = 0;
};

// Stores a display GPU time unless one was stored less than 0.25 s ago (1000 s with the quiet
// trace display); NaN and negative times are never stored.
void offerDisplayGPUTime(PresentationSession& session, double milliseconds, double now, bool quietHUD);

// Ties one surface to the session: the surface's clock ticks the session, a click toggles
// playback, the session's display and capture hooks reach the surface, and the settings of
// the view reach the surface. Both sides are held weakly.
class MetalSurface {
public:
    struct Options {
        PostProcessConfiguration configuration = PostProcessConfiguration::neutral();
        VideoAspectMode aspectMode = VideoAspectMode::automatic;
        std::function<std::optional<image::CPUImage>(image::Size, double)> captureContent;
        CaptureSaver::Dependencies capture;
        std::function<double()> clock;    // media clock; empty: host time
        std::function<bool()> quietHUD;   // empty: the process's trace
    };

    // Installs everything into `surface` (which must outlive this binder or be dismantled
    // first) and runs the reactivation once.
    MetalSurface(std::weak_ptr<PresentationSession> session, ImageSurface& surface, Options options);
    // The view's settings changed; the surface's equality checks make repeats free.
    void update(const PostProcessConfiguration& configuration, VideoAspectMode aspectMode,
                std::function<std::optional<image::CPUImage>(image::Size, double)> captureContent);
    // Captures as the session's hook does: the stored size mode, saved by the saver.
    void captureFrame(ImageSurface::CaptureRequest request = {});

private:
    std::weak_ptr<PresentationSession> session_;
    ImageSurface& surface_;
    std::shared_ptr<CaptureSaver> saver_;
    DefaultsStore defaults_;
    std::function<void(const std::string&)> showError_;
    // The session's capture hook holds this weakly.
    std::shared_ptr<MetalSurface*> alive_ = std::make_shared<MetalSurface*>(this);
};

} // namespace lumavane
