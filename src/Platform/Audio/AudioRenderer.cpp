#include "Platform/Audio/AudioRenderer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

// How the player time is kept.
//
// The source timeline is read by a cursor: render() feeds SoundTouch from it until SoundTouch has
// a callback's worth of output. The source frame reaching the device is then
//     cursor - (numUnprocessedSamples + numSamples x rate) + alignment(rate),
// what was fed minus what SoundTouch still holds (its output counted back in source frames),
// plus the mean lead of WSOLA's search offset and sequence splicing (tempoAlignmentFrames).
// Each render publishes the span of source frames it played and the host time it starts to be
// heard, the output latency after the render: the output still holds that much ahead of it. A
// reader interpolates across that span as the device plays it, so the clock moves smoothly
// between callbacks and stops at the span's end when callbacks stop; before the span is heard it
// reads the span before it back at this one's pace. Gaps in the schedule are fed as silence, so
// the clock runs through them; paused renders play silence and feed nothing.

namespace lumavane::audio {

namespace {

const AudioFormat kRenderFormat{AudioRenderer::kSampleRate, AudioRenderer::kChannels};

float clampRate(float rate) {
    if (!std::isfinite(rate)) return 1.0f;
    return std::clamp(rate, AudioRenderer::kMinRate, AudioRenderer::kMaxRate);
}

} // namespace

double AudioRenderer::tempoAlignmentFrames(double rate) noexcept {
    // Measured with SoundTouch 2.3's automatic sequence and seek settings at 48 kHz, averaged over
    // noise-like and tonal material (the spread within one run is a few milliseconds). At 1 the
    // lead is the overlap SoundTouch skips when it starts; after a rate change it can settle
    // anywhere within one seek window.
    static constexpr std::array<std::pair<double, double>, 9> table{{
        {0.5, 1510},
        {0.625, 1200},
        {0.75, 900},
        {0.875, 730},
        {1.0, 396},
        {1.25, -10},
        {1.5, -290},
        {1.75, -480},
        {2.0, -590},
    }};
    if (!(rate > table.front().first)) return table.front().second;
    for (std::size_t i = 1; i < table.size(); ++i) {
        if (rate <= table[i].first) {
            const auto [r0, a0] = table[i - 1];
            const auto [r1, a1] = table[i];
            return a0 + (a1 - a0) * (rate - r0) / (r1 - r0);
        }
    }
    return table.back().second;
}

void AudioRenderer::ClockCell::store(const Chunk& chunk) noexcept {
    const std::uint32_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    hostTime_.store(chunk.hostTime, std::memory_order_relaxed);
    floor_.store(chunk.floorPosition, std::memory_order_relaxed);
    frames_.store(chunk.frames, std::memory_order_relaxed);
    start_.store(chunk.startPosition, std::memory_order_relaxed);
    end_.store(chunk.endPosition, std::memory_order_relaxed);
    outputBefore_.store(chunk.outputFramesBefore, std::memory_order_relaxed);
    state_.store(static_cast<int>(chunk.state), std::memory_order_relaxed);
    sequence_.store(s + 2, std::memory_order_release);
}

AudioRenderer::Chunk AudioRenderer::ClockCell::load() const noexcept {
    for (;;) {
        const std::uint32_t before = sequence_.load(std::memory_order_acquire);
        Chunk chunk;
        chunk.hostTime = hostTime_.load(std::memory_order_relaxed);
        chunk.floorPosition = floor_.load(std::memory_order_relaxed);
        chunk.frames = frames_.load(std::memory_order_relaxed);
        chunk.startPosition = start_.load(std::memory_order_relaxed);
        chunk.endPosition = end_.load(std::memory_order_relaxed);
        chunk.outputFramesBefore = outputBefore_.load(std::memory_order_relaxed);
        chunk.state = static_cast<State>(state_.load(std::memory_order_relaxed));
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1u) == 0 && sequence_.load(std::memory_order_relaxed) == before) return chunk;
    }
}

AudioRenderer::AudioRenderer(int maxRenderFrames) {
    timeline_.reserve(kTimelineCapacity);
    feedScratch_.assign(static_cast<std::size_t>(kFeedFrames) * kChannels, 0.0f);
    tempo_.setSampleRate(static_cast<unsigned>(kSampleRate));
    tempo_.setChannels(kChannels);

    // Grow SoundTouch's FIFOs to their working size now, at both ends of the rate range, so the
    // audio thread does not allocate later.
    std::vector<float> sink(static_cast<std::size_t>(std::max(maxRenderFrames, 1)) * kChannels);
    for (const double rate : {kMinRate, kMaxRate, 1.0f}) {
        tempo_.setTempo(rate);
        for (int produced = 0; produced < static_cast<int>(kSampleRate);) {
            while (tempo_.numSamples() < static_cast<unsigned>(maxRenderFrames)) {
                tempo_.putSamples(feedScratch_.data(), kFeedFrames);
            }
            produced += static_cast<int>(tempo_.receiveSamples(sink.data(), maxRenderFrames));
        }
        tempo_.clear();
    }
    tempo_.setTempo(1.0);
    publish(last_);
}

AudioRenderer::~AudioRenderer() = default;

bool AudioRenderer::scheduleBuffer(std::shared_ptr<const AudioPCMBuffer> buffer, std::int64_t sampleTime) {
    if (!buffer || buffer->format() != kRenderFormat || buffer->frameLength() == 0) return false;
    std::lock_guard lock(producerMutex_);
    drainRetiredLocked();
    const std::int64_t frames = buffer->frameLength();
    return scheduled_.push(Entry{std::move(buffer), sampleTime, frames});
}

void AudioRenderer::drainRetiredLocked() {
    std::shared_ptr<const AudioPCMBuffer> done;
    while (retired_.pop(done)) done.reset();
}

void AudioRenderer::playLocked(double hostTime) {
    if (last_.state == State::Playing) return;
    if (last_.state != State::Paused) {
        // From a stop (or the first play) the timeline starts at 0; nothing is in flight.
        last_ = Chunk{hostTime, 0, 0, 0, outputFrames_, State::Playing};
    } else {
        // What is rendered from now on is heard after what the output still holds.
        last_.floorPosition = heardPosition(last_, hostTime);
        last_.state = State::Playing;
    }
    publish(last_);
}

void AudioRenderer::pauseLocked() {
    if (last_.state != State::Playing) return;
    last_.state = State::Paused;
    publish(last_);
}

void AudioRenderer::stopLocked() {
    {
        std::lock_guard lock(producerMutex_);
        Entry dropped;
        while (scheduled_.pop(dropped)) dropped = Entry{};
        drainRetiredLocked();
    }
    timeline_.clear();
    tempo_.clear();
    cursor_ = 0;
    position_ = 0;
    const bool played = last_.state != State::NeverPlayed;
    last_ = Chunk{last_.hostTime, 0, 0, 0, outputFrames_, played ? State::Stopped : State::NeverPlayed};
    publish(last_);
}

bool AudioRenderer::isPlaying() const noexcept { return clock_.load().state == State::Playing; }

void AudioRenderer::setOutputLatency(double seconds) noexcept {
    outputLatency_.store(std::isfinite(seconds) && seconds > 0 ? seconds : 0.0, std::memory_order_relaxed);
}

void AudioRenderer::setRate(float rate) noexcept { rate_.store(clampRate(rate), std::memory_order_relaxed); }

void AudioRenderer::setVolume(float volume) noexcept {
    const float v = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
    volume_.store(v, std::memory_order_relaxed);
}

void AudioRenderer::publish(const Chunk& chunk) noexcept { clock_.store(chunk); }

void AudioRenderer::acceptScheduled() noexcept {
    Entry entry;
    while (timeline_.size() < timeline_.capacity() && scheduled_.pop(entry)) {
        const auto at = std::upper_bound(timeline_.begin(), timeline_.end(), entry.start,
                                         [](std::int64_t start, const Entry& e) { return start < e.start; });
        timeline_.insert(at, std::move(entry)); // within capacity: no allocation
        entry = Entry{};
    }
}

void AudioRenderer::feed(int frames) noexcept {
    float* out = feedScratch_.data();
    std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * kChannels, 0.0f);
    const std::int64_t from = cursor_;
    const std::int64_t to = cursor_ + frames;
    for (const Entry& entry : timeline_) {
        if (entry.start >= to) break;
        const std::int64_t end = entry.start + entry.frames;
        if (end <= from) continue;
        const std::int64_t a = std::max(from, entry.start);
        const std::int64_t b = std::min(to, end);
        const float* left = entry.buffer->floatChannelData(0) + (a - entry.start);
        const float* right = entry.buffer->floatChannelData(1) + (a - entry.start);
        float* dst = out + (a - from) * kChannels;
        for (std::int64_t i = 0; i < b - a; ++i) {
            dst[2 * i] += left[i];
            dst[2 * i + 1] += right[i];
        }
    }
    tempo_.putSamples(out, static_cast<unsigned>(frames));
    cursor_ = to;
}

void AudioRenderer::retireConsumed() noexcept {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < timeline_.size(); ++i) {
        Entry& entry = timeline_[i];
        // A full return ring keeps the entry until the next render; it is behind the cursor and
        // plays no more.
        if (entry.start + entry.frames <= cursor_ && retired_.push(std::move(entry.buffer))) continue;
        if (kept != i) timeline_[kept] = std::move(entry);
        ++kept;
    }
    timeline_.erase(timeline_.begin() + static_cast<std::ptrdiff_t>(kept), timeline_.end());
}

void AudioRenderer::applyVolume(float* interleaved, int frames) noexcept {
    const float target = volume_.load(std::memory_order_relaxed);
    const float from = appliedVolume_;
    appliedVolume_ = target;
    if (from == target) {
        if (target == 1.0f) return;
        for (int i = 0; i < frames * kChannels; ++i) interleaved[i] *= target;
        return;
    }
    // A ramp across the callback avoids a click when the volume jumps.
    const float step = (target - from) / static_cast<float>(frames);
    for (int i = 0; i < frames; ++i) {
        const float gain = from + step * static_cast<float>(i + 1);
        interleaved[2 * i] *= gain;
        interleaved[2 * i + 1] *= gain;
    }
}

void AudioRenderer::render(float* interleaved, int frames, double hostTime) noexcept {
    if (frames <= 0) return;
    acceptScheduled();
    const float rate = rate_.load(std::memory_order_relaxed);
    if (rate != appliedRate_) {
        tempo_.setTempo(rate);
        appliedRate_ = rate;
    }

    const double start = position_;
    if (last_.state != State::Playing) {
        std::fill(interleaved, interleaved + static_cast<std::ptrdiff_t>(frames) * kChannels, 0.0f);
    } else {
        // Bounded in case SoundTouch ever stops producing: two source frames per output frame at
        // the fastest rate, plus its largest working window.
        const int maxFeeds = frames * 2 / kFeedFrames + 64;
        for (int n = 0; tempo_.numSamples() < static_cast<unsigned>(frames) && n < maxFeeds; ++n) {
            feed(kFeedFrames);
        }
        retireConsumed();
        const unsigned got = tempo_.receiveSamples(interleaved, static_cast<unsigned>(frames));
        std::fill(interleaved + static_cast<std::ptrdiff_t>(got) * kChannels,
                  interleaved + static_cast<std::ptrdiff_t>(frames) * kChannels, 0.0f);
        const double held = tempo_.numUnprocessedSamples() + tempo_.numSamples() * static_cast<double>(rate);
        position_ = std::max(start, static_cast<double>(cursor_) - held + tempoAlignmentFrames(rate));
    }
    applyVolume(interleaved, frames);

    last_ = Chunk{hostTime + outputLatency(), static_cast<double>(frames), start, position_, outputFrames_,
                  last_.state,     last_.floorPosition};
    outputFrames_ += frames;
    publish(last_);
}

double AudioRenderer::heardPosition(const Chunk& chunk, double hostTime) noexcept {
    double progress = 1.0;
    if (chunk.frames > 0) progress = std::min((hostTime - chunk.hostTime) * kSampleRate / chunk.frames, 1.0);
    return std::max(chunk.floorPosition, chunk.startPosition + (chunk.endPosition - chunk.startPosition) * progress);
}

std::optional<double> AudioRenderer::playerSampleTime(double hostTime) const noexcept {
    const Chunk chunk = clock_.load();
    if (chunk.state == State::NeverPlayed) return std::nullopt;
    if (chunk.state == State::Stopped) return 0.0;
    return heardPosition(chunk, hostTime) + outputLatency() * kSampleRate * static_cast<double>(rate());
}

double AudioRenderer::outputSampleTime(double hostTime) const noexcept {
    const Chunk chunk = clock_.load();
    const double elapsed = std::clamp((hostTime - chunk.hostTime) * kSampleRate, 0.0, chunk.frames);
    return chunk.outputFramesBefore + elapsed;
}

} // namespace lumavane::audio
