#include "Lumavane/Session/DirectPlaybackControl.hpp"

#include "DirectPlayback/DirectPlaybackEngine.hpp"

namespace lumavane {

DirectPlaybackEngineControl::DirectPlaybackEngineControl(std::shared_ptr<DirectPlaybackEngine> engine)
    : engine_(std::move(engine)) {}

double DirectPlaybackEngineControl::currentTime() const { return engine_->currentTime(); }
void DirectPlaybackEngineControl::play() { engine_->play(); }
void DirectPlaybackEngineControl::pause() { engine_->pause(); }
void DirectPlaybackEngineControl::seek(double seconds, bool preview) { engine_->seek(seconds, preview); }
void DirectPlaybackEngineControl::setVideoPresentationLeadTime(double seconds) {
    engine_->setVideoPresentationLeadTime(seconds);
}

} // namespace lumavane
