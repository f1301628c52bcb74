#include "Lumavane/Presentation/PlayerSessionSurface.hpp"

#include "Lumavane/Session/PlayerSession.hpp"

namespace lumavane {

void PlayerSessionSurface::tick(double hostTime) { session_.tick(hostTime); }
void PlayerSessionSurface::togglePlayback() { session_.togglePlayback(); }
void PlayerSessionSurface::setDisplayHook(DisplayHook hook) { session_.display = std::move(hook); }
void PlayerSessionSurface::setCaptureFrameHook(CaptureHook hook) { session_.captureFrame = std::move(hook); }
void PlayerSessionSurface::resetPresentationGate() { session_.resetPresentationGate(); }
void PlayerSessionSurface::refreshDisplay() { session_.refreshDisplay(); }
std::optional<image::Size> PlayerSessionSurface::latestSourceSize() const { return session_.latestSourceSize(); }
void PlayerSessionSurface::updateDisplayPixelSize(image::Size size) {
    session_.updateDisplayPixelSize({size.width, size.height});
}
double PlayerSessionSurface::videoAspectRatio() const { return session_.videoAspectRatio(); }
double PlayerSessionSurface::lastDisplayMetricsUpdate() const { return session_.lastDisplayMetricsUpdate(); }
void PlayerSessionSurface::storeDisplayGPUms(double milliseconds, double now) {
    session_.storeDisplayGPUms(milliseconds, now);
}

} // namespace lumavane
