#include "DirectPlayback/DirectPlaybackEngine.hpp"

#include "DirectPlayback/SubtitleText.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/PlatformError.hpp"

#include <array>
#include <utility>

namespace lumavane {

namespace {

extern "C" {
static void directVideoCallback(void* opaque, lv_pixel_buffer* frame, double pts) {
    DirectPlaybackCallbacks::video(opaque, frame, pts);
}
static void directAudioCallback(void* opaque, const float* interleaved, int frameCount, int channels,
                                int sampleRate, double pts) {
    DirectPlaybackCallbacks::audio(opaque, interleaved, frameCount, channels, sampleRate, pts);
}
static void directSubtitleCallback(void* opaque, int trackIndex, const char* text, double startTime,
                                   double endTime) {
    DirectPlaybackCallbacks::subtitle(opaque, trackIndex, text, startTime, endTime);
}
}

std::shared_ptr<DirectPlaybackEngine> engineFrom(void* opaque) {
    if (!opaque) return nullptr;
    return static_cast<DirectPlaybackCallbacks*>(opaque)->engine.lock();
}

} // namespace

void DirectPlaybackCallbacks::video(void* opaque, lv_pixel_buffer* frame, double pts) {
    if (!frame) return;
    if (auto engine = engineFrom(opaque)) engine->receiveVideo(frame, pts);
}

void DirectPlaybackCallbacks::audio(void* opaque, const float* interleaved, int frameCount, int channels,
                                    int sampleRate, double pts) {
    if (!interleaved) return;
    if (auto engine = engineFrom(opaque))
        engine->receiveAudio(interleaved, frameCount, channels, static_cast<double>(sampleRate), pts);
}

void DirectPlaybackCallbacks::subtitle(void* opaque, int trackIndex, const char* text, double startTime,
                                       double endTime) {
    if (!text) return;
    if (auto engine = engineFrom(opaque))
        engine->receiveSubtitle(trackIndex, detail::validUtf8(text), startTime, endTime);
}

DirectPlaybackEngine::DirectPlaybackEngine(PrivateTag, MainExecutor& mainExecutor)
    : mainExecutor_(mainExecutor),
      baseHostTime_(hostTimeSeconds()),
      audioNode_(audioEngine_.playerNode()),
      timePitch_(audioEngine_.timePitch()) {}

DirectPlaybackEngine::~DirectPlaybackEngine() { stop(); }

std::shared_ptr<DirectPlaybackEngine> DirectPlaybackEngine::create(const std::filesystem::path& path,
                                                                   MainExecutor& mainExecutor) {
    auto engine = std::make_shared<DirectPlaybackEngine>(PrivateTag{}, mainExecutor);
    engine->open(path);
    engine->startDecodeLoop();
    return engine;
}

void DirectPlaybackEngine::open(const std::filesystem::path& path) {
    std::array<char, 1024> err{};
    decoder_ = lv_decoder_create(path.c_str(), &callbacks_, directVideoCallback, directAudioCallback,
                                 directSubtitleCallback, err.data(), static_cast<int>(err.size()));
    if (!decoder_) throw PlatformError(errorDomain, 1, std::string(err.data()));

    duration_ = lv_decoder_duration(decoder_);
    frameRate_ = lv_decoder_frame_rate(decoder_);
    width_ = lv_decoder_width(decoder_);
    height_ = lv_decoder_height(decoder_);
    hasAudio_ = lv_decoder_has_audio(decoder_) != 0;
    rotationDegrees_ = lv_decoder_rotation_degrees(decoder_);

    const int audioCount = lv_decoder_audio_count(decoder_);
    for (int i = 0; i < audioCount; ++i) {
        audioTracks_.push_back(DirectAudioTrack{i, lv_decoder_audio_title(decoder_, i),
                                                lv_decoder_audio_language(decoder_, i),
                                                lv_decoder_audio_is_default(decoder_, i) != 0});
    }
    const int selected = lv_decoder_selected_audio_track(decoder_);
    if (selected >= 0) initialAudioTrackID_ = selected;
    const int subtitleCount = lv_decoder_subtitle_count(decoder_);
    for (int i = 0; i < subtitleCount; ++i) {
        subtitleTracks_.push_back(DirectSubtitleTrack{i, lv_decoder_subtitle_title(decoder_, i),
                                                      lv_decoder_subtitle_language(decoder_, i),
                                                      lv_decoder_subtitle_is_default(decoder_, i) != 0});
    }

    callbacks_.engine = weak_from_this();

    try {
        audioEngine_.start();
    } catch (const PlatformError&) {
        // The audio layer already falls back to a silent output; if even that cannot start, video still
        // plays, on the host clock, and the audio is discarded.
        audioOutput_ = false;
    }

    std::weak_ptr<DirectPlaybackEngine> weak = weak_from_this();
    presentationTimer_ = std::make_unique<OneShotTimer>(presentationQueue_, [weak] {
        if (auto engine = weak.lock()) engine->presentDueFrame();
    });
}

void DirectPlaybackEngine::startDecodeLoop() {
    // Weak until the block runs; the loop then holds the engine until stop() ends it.
    queue_.async([weak = weak_from_this()] {
        if (auto engine = weak.lock()) engine->decodeLoop();
    });
}

void DirectPlaybackEngine::stop() {
    lv_decoder* decoder = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        awaitingSeekFrame_ = false;
        resettingAudio_ = true;
        if (presentationTimer_) {
            presentationTimer_->cancel();
            presentationTimer_.reset();
        }
        frames_.clear();
        seekLastFrame_.reset();
        decoder = std::exchange(decoder_, nullptr);
        condition_.notify_all();
    }
    // Makes a read waiting on a slow source give up, so the decode loop ends promptly.
    lv_decoder_interrupt(decoder);
    audioNode_.stop();
    audioEngine_.stop();
    // Destroyed on the decode queue, after the loop has left the decoder. Not waited for: a read blocked
    // where the interrupt cannot reach it (a stalled pipe) must not hold up the caller.
    if (decoder) queue_.async([decoder] { lv_decoder_destroy(decoder); });
}

void DirectPlaybackEngine::postError(std::string message, std::optional<std::uint64_t> generation) {
    mainExecutor_.post([weak = weak_from_this(), message = std::move(message), generation] {
        auto engine = weak.lock();
        if (!engine) return;
        if (generation) {
            std::lock_guard lock(engine->mutex_);
            if (!engine->running_ || engine->generation_ != *generation) return;
        }
        if (engine->onError) engine->onError(message);
    });
}

} // namespace lumavane
