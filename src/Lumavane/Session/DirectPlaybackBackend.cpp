#include "Lumavane/Session/DirectPlaybackBackend.hpp"

#include "DirectPlayback/DirectPlaybackEngine.hpp"

namespace lumavane {

namespace {

class EngineBackend final : public DirectPlaybackBackend {
public:
    explicit EngineBackend(std::shared_ptr<DirectPlaybackEngine> engine) : engine_(std::move(engine)) {}
    ~EngineBackend() override { engine_->stop(); }

    // The engine holds its forwarders; they hold this wrapper weakly, so neither keeps the other.
    void connect(const std::shared_ptr<EngineBackend>& self) {
        std::weak_ptr<EngineBackend> weak = self;
        engine_->onVideoFrame = [weak](const PixelBuffer& frame, double pts) {
            if (const auto backend = weak.lock(); backend && backend->onVideoFrame) backend->onVideoFrame(frame, pts);
        };
        engine_->onEnded = [weak] {
            if (const auto backend = weak.lock(); backend && backend->onEnded) backend->onEnded();
        };
        engine_->onError = [weak](const std::string& message) {
            if (const auto backend = weak.lock(); backend && backend->onError) backend->onError(message);
        };
        engine_->onSubtitleCue = [weak](const DirectSubtitleCue& cue) {
            if (const auto backend = weak.lock(); backend && backend->onSubtitleCue) backend->onSubtitleCue(cue);
        };
        engine_->onSubtitlesReset = [weak] {
            if (const auto backend = weak.lock(); backend && backend->onSubtitlesReset) backend->onSubtitlesReset();
        };
    }

    double currentTime() const override { return engine_->currentTime(); }
    void play() override { engine_->play(); }
    void pause() override { engine_->pause(); }
    void seek(double seconds, bool preview) override { engine_->seek(seconds, preview); }
    void setVideoPresentationLeadTime(double seconds) override { engine_->setVideoPresentationLeadTime(seconds); }

    double duration() const override { return engine_->duration(); }
    double frameRate() const override { return engine_->frameRate(); }
    int width() const override { return engine_->width(); }
    int height() const override { return engine_->height(); }
    double rotationDegrees() const override { return engine_->rotationDegrees(); }
    std::vector<DirectAudioTrack> audioTracks() const override { return engine_->audioTracks(); }
    std::optional<int> initialAudioTrackID() const override { return engine_->initialAudioTrackID(); }
    std::vector<DirectSubtitleTrack> subtitleTracks() const override { return engine_->subtitleTracks(); }

    void stop() override { engine_->stop(); }
    void setVolume(float volume) override { engine_->setVolume(volume); }
    void setPlaybackRate(double rate) override { engine_->setPlaybackRate(rate); }
    void selectAudioTrack(int id) override { engine_->selectAudioTrack(id); }

private:
    std::shared_ptr<DirectPlaybackEngine> engine_;
};

} // namespace

std::shared_ptr<DirectPlaybackBackend> openDirectPlaybackEngine(const std::filesystem::path& path,
                                                                MainExecutor& executor) {
    auto backend = std::make_shared<EngineBackend>(DirectPlaybackEngine::create(path, executor));
    backend->connect(backend);
    return backend;
}

} // namespace lumavane
