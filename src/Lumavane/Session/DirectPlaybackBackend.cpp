#include "Lumavane/Session/DirectPlaybackBackend.hpp"

#include "DirectPlayback/DirectPlaybackEngine.hpp"

#include <utility>
#include <vector>

namespace lumavane {

namespace {

class EngineBackend final : public DirectPlaybackBackend {
public:
    explicit EngineBackend(std::shared_ptr<DirectPlaybackEngine> engine) : engine_(std::move(engine)) {}
    ~EngineBackend() override { engine_->stop(); }

    // The engine holds its forwarders; they hold this wrapper weakly, so neither keeps the other.
    // The engine is opened away from the main thread and decodes ahead at once: what it reports
    // before the client has set the callback for it (an early subtitle cue, a decoding error)
    // waits until the client first plays.
    void connect(const std::shared_ptr<EngineBackend>& self) {
        std::weak_ptr<EngineBackend> weak = self;
        engine_->onVideoFrame = [weak](const PixelBuffer& frame, double pts) {
            if (const auto backend = weak.lock())
                backend->forward(backend->onVideoFrame, [weak, frame, pts] { forwardLater(weak, &EngineBackend::onVideoFrame, frame, pts); });
        };
        engine_->onEnded = [weak] {
            if (const auto backend = weak.lock())
                backend->forward(backend->onEnded, [weak] { forwardLater(weak, &EngineBackend::onEnded); });
        };
        engine_->onError = [weak](const std::string& message) {
            if (const auto backend = weak.lock())
                backend->forward(backend->onError, [weak, message] { forwardLater(weak, &EngineBackend::onError, message); });
        };
        engine_->onSubtitleCue = [weak](const DirectSubtitleCue& cue) {
            if (const auto backend = weak.lock())
                backend->forward(backend->onSubtitleCue, [weak, cue] { forwardLater(weak, &EngineBackend::onSubtitleCue, cue); });
        };
        engine_->onSubtitlesReset = [weak] {
            if (const auto backend = weak.lock())
                backend->forward(backend->onSubtitlesReset, [weak] { forwardLater(weak, &EngineBackend::onSubtitlesReset); });
        };
    }

    double currentTime() const override { return engine_->currentTime(); }
    void play() override {
        playing_ = true;
        for (auto& event : std::exchange(early_, {})) event();
        engine_->play();
    }
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
    // Main thread, as every callback.
    template <class Callback, class Later>
    void forward(const Callback& callback, Later later) {
        if (callback || playing_) return later();
        early_.push_back(std::move(later));
    }
    template <class Member, class... Arguments>
    static void forwardLater(const std::weak_ptr<EngineBackend>& weak, Member member, const Arguments&... arguments) {
        const auto backend = weak.lock();
        if (!backend) return;
        if (const auto& callback = (*backend).*member) callback(arguments...);
    }

    std::shared_ptr<DirectPlaybackEngine> engine_;
    std::vector<std::function<void()>> early_;
    bool playing_ = false; // has played once
};

} // namespace

std::shared_ptr<DirectPlaybackBackend> openDirectPlaybackEngine(const std::filesystem::path& path,
                                                                MainExecutor& executor) {
    auto backend = std::make_shared<EngineBackend>(DirectPlaybackEngine::create(path, executor));
    backend->connect(backend);
    return backend;
}

} // namespace lumavane
