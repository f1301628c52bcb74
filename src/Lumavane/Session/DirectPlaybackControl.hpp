#pragma once

#include <memory>

namespace lumavane {

class DirectPlaybackEngine;

// What the frame pipeline drives of the direct back-end: its clock, transport and the lead by
// which it hands frames over early. The engine through DirectPlaybackEngineControl; tests fake it.
class DirectPlaybackControl {
public:
    virtual ~DirectPlaybackControl() = default;
    virtual double currentTime() const = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void seek(double seconds, bool preview) = 0;
    virtual void setVideoPresentationLeadTime(double seconds) = 0;
};

class DirectPlaybackEngineControl final : public DirectPlaybackControl {
public:
    explicit DirectPlaybackEngineControl(std::shared_ptr<DirectPlaybackEngine> engine);
    double currentTime() const override;
    void play() override;
    void pause() override;
    void seek(double seconds, bool preview) override;
    void setVideoPresentationLeadTime(double seconds) override;
    const std::shared_ptr<DirectPlaybackEngine>& engine() const noexcept { return engine_; }

private:
    std::shared_ptr<DirectPlaybackEngine> engine_;
};

} // namespace lumavane
