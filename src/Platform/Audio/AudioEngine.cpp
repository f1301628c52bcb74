#include "Platform/Audio/AudioEngine.hpp"

#include "Platform/Audio/AudioRenderer.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/PlatformError.hpp"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

namespace lumavane::audio {

namespace {

constexpr const char* kErrorDomain = "Lumavane.Audio";
constexpr int kDeviceFrames = 1024; // 21 ms at 48 kHz

// SDL's audio subsystem is process-wide, its driver is chosen when it is initialised, and the
// dummy driver (like some hardware devices) opens only one device at a time. So all engines share
// one output: it is opened by the first running engine and closed with the last, and its callback
// renders every running engine's renderer and adds them up. Its mutex is taken before SDL's
// device lock; the renderer list changes only under both, and the callback reads it under SDL's.
class SharedOutput {
public:
    static SharedOutput& instance() {
        static SharedOutput shared;
        return shared;
    }

    struct Attached {
        SDL_AudioDeviceID device = 0;
        int frames = 0;
        std::string driver;
    };

    Attached attach(AudioRenderer* renderer) {
        std::lock_guard lock(mutex_);
        if (device_ == 0) open();
        SDL_LockAudioDevice(device_);
        renderers_.push_back(renderer); // the callback is locked out, so growing is safe
        SDL_UnlockAudioDevice(device_);
        if (renderers_.size() == 1) SDL_PauseAudioDevice(device_, 0);
        return Attached{device_, frames_, driver_};
    }

    void detach(AudioRenderer* renderer) {
        std::lock_guard lock(mutex_);
        if (device_ == 0) return;
        SDL_LockAudioDevice(device_);
        std::erase(renderers_, renderer);
        SDL_UnlockAudioDevice(device_);
        if (!renderers_.empty()) return;
        SDL_CloseAudioDevice(device_); // waits for the callback to return
        device_ = 0;
        // Shut down so that the next engine chooses its driver afresh (a device may have appeared).
        quit();
    }

private:
    static void callback(void* userdata, Uint8* stream, int length) {
        static_cast<SharedOutput*>(userdata)->render(reinterpret_cast<float*>(stream),
                                                     length / static_cast<int>(sizeof(float) * kChannels));
    }

    void render(float* out, int frames) noexcept {
        const double now = hostTimeSeconds();
        if (renderers_.empty()) {
            std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * kChannels, 0.0f);
            return;
        }
        // SDL asks for its buffer size every time; the loop only guards against a larger request.
        const int block = static_cast<int>(scratch_.size()) / kChannels;
        for (int done = 0; done < frames; done += block) {
            const int n = std::min(block, frames - done);
            float* dst = out + static_cast<std::ptrdiff_t>(done) * kChannels;
            const double at = now + done / AudioRenderer::kSampleRate;
            renderers_.front()->render(dst, n, at);
            for (std::size_t r = 1; r < renderers_.size(); ++r) {
                renderers_[r]->render(scratch_.data(), n, at);
                for (int i = 0; i < n * kChannels; ++i) dst[i] += scratch_[i];
            }
        }
    }

    bool init(const char* driver) {
        // The application handles its own signals.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (driver) SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, driver, SDL_HINT_OVERRIDE);
        initialized_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        // The hint matters only while initialising; later outputs start from the environment again.
        if (driver) SDL_ResetHint(SDL_HINT_AUDIODRIVER);
        return initialized_;
    }

    void quit() {
        if (!initialized_) return;
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        initialized_ = false;
    }

    bool tryOpen() {
        SDL_AudioSpec wanted{};
        wanted.freq = static_cast<int>(AudioRenderer::kSampleRate);
        wanted.format = AUDIO_F32SYS;
        wanted.channels = kChannels;
        wanted.samples = kDeviceFrames;
        wanted.callback = &SharedOutput::callback;
        wanted.userdata = this;
        // SDL converts rate, format and channels when the device differs; only the buffer size may
        // change, so that the latency we report is the device's.
        SDL_AudioSpec obtained{};
        device_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
        if (device_ == 0) return false;
        frames_ = obtained.samples > 0 ? obtained.samples : kDeviceFrames;
        scratch_.assign(static_cast<std::size_t>(std::max(frames_, kDeviceFrames)) * kChannels, 0.0f);
        const char* driver = SDL_GetCurrentAudioDriver();
        driver_ = driver ? driver : "";
        return true;
    }

    void open() {
        std::string failure;
        if (!initialized_ && !init(nullptr)) failure = SDL_GetError();
        if (initialized_) {
            if (tryOpen()) return;
            failure = SDL_GetError();
            const char* driver = SDL_GetCurrentAudioDriver();
            if (driver && std::string(driver) == "dummy") {
                quit();
                throw PlatformError(kErrorDomain, 1, "Could not open the audio output: " + failure);
            }
            quit();
        }
        // No usable output: play into the silent dummy output, which still consumes audio in real
        // time, so video keeps its clock.
        if (init("dummy") && tryOpen()) return;
        const std::string silentFailure = SDL_GetError();
        quit();
        throw PlatformError(kErrorDomain, 1,
                            "Could not start audio output (" + failure + "), nor the silent output (" +
                                silentFailure + ")");
    }

    static constexpr int kChannels = AudioRenderer::kChannels;

    std::mutex mutex_;
    bool initialized_ = false;
    SDL_AudioDeviceID device_ = 0;
    int frames_ = 0;
    std::string driver_;
    std::vector<AudioRenderer*> renderers_;
    std::vector<float> scratch_;
};

} // namespace

struct AudioEngine::Impl {
    AudioRenderer renderer;

    // Serialises start, stop and the transport calls; the transport calls also take SDL's device
    // lock, which SDL holds around every callback, so they never overlap a render.
    std::mutex controlMutex;
    SDL_AudioDeviceID device = 0; // while attached to the shared output
    std::string driver;
    std::atomic<bool> running{false};

    template <class F> void withRenderExcluded(F&& body) {
        std::lock_guard lock(controlMutex);
        if (device != 0) SDL_LockAudioDevice(device);
        body();
        if (device != 0) SDL_UnlockAudioDevice(device);
    }
};

AudioEngine::AudioEngine() : impl_(std::make_unique<Impl>()), node_(*this), timePitch_(*this) {}

AudioEngine::~AudioEngine() { stop(); }

void AudioEngine::start() {
    std::lock_guard lock(impl_->controlMutex);
    if (impl_->device != 0) return;
    SharedOutput::Attached out = SharedOutput::instance().attach(&impl_->renderer);
    impl_->device = out.device;
    impl_->driver = std::move(out.driver);
    // A buffer the callback renders is heard once the one before it has played.
    impl_->renderer.setOutputLatency(out.frames / AudioRenderer::kSampleRate);
    impl_->running.store(true);
}

void AudioEngine::stop() {
    std::lock_guard lock(impl_->controlMutex);
    if (impl_->device == 0) return;
    impl_->running.store(false);
    impl_->renderer.setOutputLatency(0.0);
    SharedOutput::instance().detach(&impl_->renderer);
    impl_->device = 0;
    impl_->driver.clear();
}

bool AudioEngine::isRunning() const noexcept { return impl_->running.load(); }

std::string AudioEngine::outputDriver() const {
    std::lock_guard lock(impl_->controlMutex);
    return impl_->driver;
}

bool AudioPlayerNode::scheduleBuffer(std::shared_ptr<const AudioPCMBuffer> buffer, std::int64_t sampleTime) {
    return engine_.impl_->renderer.scheduleBuffer(std::move(buffer), sampleTime);
}

void AudioPlayerNode::play() {
    auto& impl = *engine_.impl_;
    impl.withRenderExcluded([&] { impl.renderer.playLocked(hostTimeSeconds()); });
}

void AudioPlayerNode::pause() {
    auto& impl = *engine_.impl_;
    impl.withRenderExcluded([&] { impl.renderer.pauseLocked(); });
}

void AudioPlayerNode::stop() {
    auto& impl = *engine_.impl_;
    impl.withRenderExcluded([&] { impl.renderer.stopLocked(); });
}

bool AudioPlayerNode::isPlaying() const noexcept { return engine_.impl_->renderer.isPlaying(); }

std::optional<AudioTime> AudioPlayerNode::lastRenderTime() const {
    const auto& impl = *engine_.impl_;
    if (!impl.running.load()) return std::nullopt;
    const double now = hostTimeSeconds();
    const double frames = impl.renderer.outputSampleTime(now);
    return AudioTime{static_cast<std::int64_t>(std::llround(frames)), AudioRenderer::kSampleRate, now};
}

std::optional<AudioTime> AudioPlayerNode::playerTime(const AudioTime& nodeTime) const {
    const auto& impl = *engine_.impl_;
    const auto frames = impl.renderer.playerSampleTime(nodeTime.hostTime);
    if (!frames) return std::nullopt;
    return AudioTime{static_cast<std::int64_t>(std::llround(*frames)), AudioRenderer::kSampleRate,
                     nodeTime.hostTime};
}

double AudioPlayerNode::outputPresentationLatency() const noexcept { return engine_.impl_->renderer.outputLatency(); }

void AudioPlayerNode::setVolume(float volume) noexcept { engine_.impl_->renderer.setVolume(volume); }

float AudioPlayerNode::volume() const noexcept { return engine_.impl_->renderer.volume(); }

void AudioUnitTimePitch::setRate(float rate) noexcept { engine_.impl_->renderer.setRate(rate); }

float AudioUnitTimePitch::rate() const noexcept { return engine_.impl_->renderer.rate(); }

} // namespace lumavane::audio
