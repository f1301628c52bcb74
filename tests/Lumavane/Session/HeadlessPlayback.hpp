#pragma once

// Plays a file through the direct engine into a session on a manual run loop, ticking it at 60 Hz
// as the surface's display link would, and notes what the display hook was given.
#include "Lumavane/Session/PlayerSession.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>

namespace lumavane::test {

// Counts the enhancer's finished frames.
class CountingEnhancer final : public PlaybackEnhancer {
public:
    explicit CountingEnhancer(std::shared_ptr<PlaybackEnhancer> inner) : inner_(std::move(inner)) {}
    const ModelInfo& info() const override { return inner_->info(); }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>& buffer,
                                       std::optional<image::Size> outputSize,
                                       const CancellationToken& cancellation) override {
        const double start = hostTimeSeconds();
        EnhancementResult result = inner_->enhancePipelined(image, buffer, outputSize, cancellation);
        seconds = seconds + (hostTimeSeconds() - start);
        ++completed;
        return result;
    }
    double lastGPUMS() const override { return inner_->lastGPUMS(); }
    std::atomic<int> completed{0};
    std::atomic<double> seconds{0}; // spent in the enhancer

private:
    std::shared_ptr<PlaybackEnhancer> inner_;
};

struct HeadlessPlayback {
    struct Shown {
        image::Image picture;
        std::optional<image::Image> guide;
        double pts = 0;
        bool enhanced = false;
    };

    PlayerSession& session;
    ManualRunLoop& loop;
    std::shared_ptr<DirectPlaybackBackend> engine;
    std::map<const void*, double> sourcePTS; // source picture -> its time
    std::set<double> delivered;              // frame times the engine handed over
    std::set<double> shownFrames;            // frame times shown, either picture
    std::set<double> shownEnhanced;          // frame times shown enhanced
    std::optional<Shown> lastShown;
    std::optional<Shown> lastEnhanced;
    std::function<void(const Shown&)> onShown;
    std::optional<double> consuming; // the frame being handed to the session
    int ticks = 0;
    int enhancedTicks = 0;
    bool ended = false;

    HeadlessPlayback(PlayerSession& session, ManualRunLoop& loop, const std::filesystem::path& clip)
        : session(session), loop(loop), engine(openDirectPlaybackEngine(clip, loop)) {
        session.setDirectPlayback(engine);
        session.setSourceFPS(engine->frameRate());
        session.setDuration(engine->duration());
        session.setHasVideo(true);
        engine->onVideoFrame = [this](const PixelBuffer& buffer, double pts) {
            delivered.insert(pts);
            consuming = pts;
            this->session.consumeDirectFrame(buffer, pts);
            consuming.reset();
            if (const auto& latest = this->session.latest()) sourcePTS[latest->node().get()] = pts;
        };
        engine->onEnded = [this] { ended = true; };
        session.display = [this](std::optional<image::Image> picture, std::optional<image::Image> guide) {
            if (!picture) return;
            // The guide is the source picture of an enhanced one; an original comes alone.
            const void* source = (guide ? guide : picture)->node().get();
            const auto& latest = this->session.latest();
            if (consuming && latest && latest->node().get() == source) sourcePTS[source] = *consuming;
            const auto found = sourcePTS.find(source);
            Shown shown{*picture, guide, found == sourcePTS.end() ? -1 : found->second, guide.has_value()};
            if (shown.pts >= 0) {
                shownFrames.insert(shown.pts);
                if (shown.enhanced) shownEnhanced.insert(shown.pts);
            }
            if (onShown) onShown(shown);
            if (shown.enhanced) lastEnhanced = shown;
            lastShown = std::move(shown);
        };
    }

    ~HeadlessPlayback() {
        session.display = nullptr;
        engine->stop();
    }

    // Plays until the end, or for `seconds` of media time when given; returns the wall time taken.
    double play(std::optional<double> seconds = std::nullopt, double timeoutSeconds = 120) {
        const double start = hostTimeSeconds();
        session.togglePlayback();
        double next = start;
        while (!ended && hostTimeSeconds() - start < timeoutSeconds) {
            if (seconds && engine->currentTime() >= *seconds) break;
            next += 1.0 / 60;
            loop.runUntil([this] { return ended; }, std::max(next - hostTimeSeconds(), 0.0));
            session.tick(hostTimeSeconds());
            ++ticks;
            enhancedTicks += session.showingEnhancement() ? 1 : 0;
        }
        return hostTimeSeconds() - start;
    }
};

} // namespace lumavane::test
