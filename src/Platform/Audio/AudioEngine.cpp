#include "Platform/Audio/AudioEngine.hpp"

#include "Platform/Audio/AudioRenderer.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/PlatformError.hpp"

#include <SDL.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <string>

namespace lumavane::audio {

namespace {

constexpr const char* kErrorDomain = "Lumavane.Audio";
constexpr int kDeviceFrames = 1024; // 21 ms at 48 kHz

// SDL's audio subsystem is process-wide and its driver is chosen when it is initialised, so the
// engines share it: it is initialised by the first open output and shut down with the last, and
// the fall-back to the dummy driver re-initialises it, which only happens while no output is open.
struct SdlAudio {
    std::mutex mutex;
    bool initialized = false;
    int openOutputs = 0;
};

SdlAudio& sdlAudio() {
    static SdlAudio shared;
    return shared;
}

bool initAudioLocked(SdlAudio& sdl, const char* driver) {
    // The application handles its own signals.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (driver) SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, driver, SDL_HINT_OVERRIDE);
    sdl.initialized = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    // The hint matters only while initialising; later engines start from the environment again.
    if (driver) SDL_ResetHint(SDL_HINT_AUDIODRIVER);
    return sdl.initialized;
}

void quitAudioLocked(SdlAudio& sdl) {
    if (!sdl.initialized) return;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    sdl.initialized = false;
}

struct OpenedOutput {
    SDL_AudioDeviceID device = 0;
    int frames = 0;
    std::string driver;
};

OpenedOutput openOutput(SDL_AudioCallback callback, void* userdata) {
    SdlAudio& sdl = sdlAudio();
    std::lock_guard lock(sdl.mutex);

    SDL_AudioSpec wanted{};
    wanted.freq = static_cast<int>(AudioRenderer::kSampleRate);
    wanted.format = AUDIO_F32SYS;
    wanted.channels = AudioRenderer::kChannels;
    wanted.samples = kDeviceFrames;
    wanted.callback = callback;
    wanted.userdata = userdata;

    // SDL converts rate, format and channels when the device differs; only the buffer size may
    // change, so that the latency we report is the device's.
    auto tryOpen = [&]() -> OpenedOutput {
        SDL_AudioSpec obtained{};
        const SDL_AudioDeviceID device =
            SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
        if (device == 0) return {};
        const char* driver = SDL_GetCurrentAudioDriver();
        return OpenedOutput{device, obtained.samples > 0 ? obtained.samples : kDeviceFrames, driver ? driver : ""};
    };

    std::string failure;
    if (!sdl.initialized && !initAudioLocked(sdl, nullptr)) failure = SDL_GetError();
    if (sdl.initialized) {
        if (OpenedOutput out = tryOpen(); out.device != 0) {
            ++sdl.openOutputs;
            return out;
        }
        failure = SDL_GetError();
        const char* driver = SDL_GetCurrentAudioDriver();
        if (driver && std::string(driver) == "dummy") {
            throw PlatformError(kErrorDomain, 1, "Could not open the audio output: " + failure);
        }
        if (sdl.openOutputs > 0) {
            throw PlatformError(kErrorDomain, 1,
                                "Could not open another audio output on " + std::string(driver ? driver : "SDL") +
                                    ": " + failure);
        }
        quitAudioLocked(sdl);
    }

    // No usable output: play into the silent dummy output, which still consumes audio in real
    // time, so video keeps its clock.
    if (!initAudioLocked(sdl, "dummy")) {
        throw PlatformError(kErrorDomain, 1,
                            "Could not start audio output (" + failure + "), nor the silent output (" +
                                SDL_GetError() + ")");
    }
    if (OpenedOutput out = tryOpen(); out.device != 0) {
        ++sdl.openOutputs;
        return out;
    }
    const std::string dummyFailure = SDL_GetError();
    quitAudioLocked(sdl);
    throw PlatformError(kErrorDomain, 1,
                        "Could not start audio output (" + failure + "), nor the silent output (" + dummyFailure +
                            ")");
}

void closeOutput(SDL_AudioDeviceID device) {
    SdlAudio& sdl = sdlAudio();
    std::lock_guard lock(sdl.mutex);
    SDL_CloseAudioDevice(device); // waits for the callback to return
    if (--sdl.openOutputs == 0) quitAudioLocked(sdl);
}

} // namespace

struct AudioEngine::Impl {
    AudioRenderer renderer;

    // Serialises start, stop and the transport calls; the transport calls also take SDL's device
    // lock, which SDL holds around every callback, so they never overlap a render.
    std::mutex controlMutex;
    SDL_AudioDeviceID device = 0;
    std::string driver;
    std::atomic<bool> running{false};
    std::atomic<double> latency{0.0};

    static void callback(void* userdata, Uint8* stream, int length) {
        auto* self = static_cast<Impl*>(userdata);
        const int frames = length / static_cast<int>(sizeof(float) * AudioRenderer::kChannels);
        self->renderer.render(reinterpret_cast<float*>(stream), frames, hostTimeSeconds());
    }

    template <class F>
    void withRenderExcluded(F&& body) {
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
    OpenedOutput out = openOutput(&Impl::callback, impl_.get());
    impl_->device = out.device;
    impl_->driver = std::move(out.driver);
    impl_->latency.store(out.frames / AudioRenderer::kSampleRate);
    impl_->running.store(true);
    SDL_PauseAudioDevice(out.device, 0);
}

void AudioEngine::stop() {
    std::lock_guard lock(impl_->controlMutex);
    if (impl_->device == 0) return;
    impl_->running.store(false);
    impl_->latency.store(0.0);
    closeOutput(impl_->device);
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
    const auto frames = impl.renderer.playerSampleTime(nodeTime.hostTime, impl.latency.load());
    if (!frames) return std::nullopt;
    return AudioTime{static_cast<std::int64_t>(std::llround(*frames)), AudioRenderer::kSampleRate,
                     nodeTime.hostTime};
}

double AudioPlayerNode::outputPresentationLatency() const noexcept { return engine_.impl_->latency.load(); }

void AudioPlayerNode::setVolume(float volume) noexcept { engine_.impl_->renderer.setVolume(volume); }

float AudioPlayerNode::volume() const noexcept { return engine_.impl_->renderer.volume(); }

void AudioUnitTimePitch::setRate(float rate) noexcept { engine_.impl_->renderer.setRate(rate); }

float AudioUnitTimePitch::rate() const noexcept { return engine_.impl_->renderer.rate(); }

} // namespace lumavane::audio
