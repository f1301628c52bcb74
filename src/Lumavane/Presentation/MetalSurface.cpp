#include "Lumavane/Presentation/MetalSurface.hpp"

#include "Lumavane/Session/PlaybackTimingTrace.hpp"
#include "Platform/Foundation/HostClock.hpp"

#include <cmath>

namespace lumavane {

void offerDisplayGPUTime(PresentationSession& session, double milliseconds, double now, bool quietHUD) {
    if (!std::isfinite(milliseconds) || milliseconds < 0) return;
    const double interval = quietHUD ? 1000 : 0.25;
    if (now - session.lastDisplayMetricsUpdate() >= interval) session.storeDisplayGPUms(milliseconds, now);
}

MetalSurface::MetalSurface(std::weak_ptr<PresentationSession> session, ImageSurface& surface, Options options)
    : session_(std::move(session)), surface_(surface),
      saver_(std::make_shared<CaptureSaver>(options.capture)), defaults_(options.capture.defaults),
      showError_(options.capture.showError) {
    auto clock = options.clock ? options.clock : [] { return hostTimeSeconds(); };
    auto quiet = options.quietHUD ? options.quietHUD : [] { return PlaybackTimingTrace::shared().quietHUD(); };
    auto weakSession = session_;
    surface.advanceFrame = [weakSession](double timestamp) {
        if (auto s = weakSession.lock()) s->tick(timestamp);
    };
    surface.togglePlayback = [weakSession] {
        if (auto s = weakSession.lock()) s->togglePlayback();
    };
    auto weakSurface = surface.weakSelf();
    surface.reactivatePresentation = [this, weakSession, weakSurface] {
        auto s = weakSession.lock();
        if (!s || !weakSurface.lock()) return;
        s->setDisplayHook([weakSurface](std::optional<image::Image> picture, std::optional<image::Image> guide) {
            if (auto surface = weakSurface.lock()) (*surface)->present(std::move(picture), std::move(guide));
        });
        s->setCaptureFrameHook([binder = std::weak_ptr<MetalSurface*>(alive_), weakSurface] {
            auto self = binder.lock();
            if (self && weakSurface.lock()) (*self)->captureFrame();
        });
        s->resetPresentationGate();
        s->refreshDisplay();
    };
    surface.captureOverlay = options.captureContent;
    surface.originalSize = [weakSession]() -> std::optional<image::Size> {
        auto s = weakSession.lock();
        return s ? s->latestSourceSize() : std::nullopt;
    };
    surface.reportTiming = [weakSession, clock, quiet](double gpuMS) {
        if (auto s = weakSession.lock()) offerDisplayGPUTime(*s, gpuMS, clock(), quiet());
    };
    surface.reportContentPixelSize = [weakSession](image::Size size) {
        if (auto s = weakSession.lock()) s->updateDisplayPixelSize(size);
    };
    if (auto s = session_.lock()) surface.configureSourceAspectRatio(s->videoAspectRatio());
    surface.configure(options.configuration);
    surface.configureAspectMode(options.aspectMode);
    surface.reactivatePresentation();
}

void MetalSurface::update(const PostProcessConfiguration& configuration, VideoAspectMode aspectMode,
                          std::function<std::optional<image::CPUImage>(image::Size, double)> captureContent) {
    surface_.configure(configuration);
    surface_.configureAspectMode(aspectMode);
    if (auto s = session_.lock()) surface_.configureSourceAspectRatio(s->videoAspectRatio());
    surface_.captureOverlay = std::move(captureContent);
}

void MetalSurface::captureFrame(ImageSurface::CaptureRequest request) {
    std::weak_ptr<CaptureSaver> saver = saver_;
    surface_.captureFrame(
        std::move(request), defaults_.string("player.captureSize").value_or("screen"),
        [saver](image::CPUImage picture, std::optional<image::CPUImage> overlay,
                std::function<void(image::CPUImage)> completion) {
            if (auto s = saver.lock()) s->save(picture, overlay, completion);
        },
        showError_);
}

} // namespace lumavane
