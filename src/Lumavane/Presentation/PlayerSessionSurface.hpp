#pragma once

#include "Lumavane/Presentation/MetalSurface.hpp"

namespace lumavane {

class PlayerSession;

// The player session as the surface sees it. Owned beside the session and dropped with it; the
// binder holds it weakly.
class PlayerSessionSurface final : public PresentationSession {
public:
    explicit PlayerSessionSurface(PlayerSession& session) : session_(session) {}

    void tick(double hostTime) override;
    void togglePlayback() override;
    void setDisplayHook(DisplayHook hook) override;
    void setCaptureFrameHook(CaptureHook hook) override;
    void resetPresentationGate() override;
    void refreshDisplay() override;
    std::optional<image::Size> latestSourceSize() const override;
    void updateDisplayPixelSize(image::Size size) override;
    double videoAspectRatio() const override;
    double lastDisplayMetricsUpdate() const override;
    void storeDisplayGPUms(double milliseconds, double now) override;

private:
    PlayerSession& session_;
};

} // namespace lumavane
