#pragma once

#include "Platform/Image/Image.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <cstddef>
#include <deque>
#include <functional>
#include <iterator>
#include <optional>

namespace lumavane {

// What the surface installs on the session: show (picture, cleanup guide), or clear with
// (nothing, nothing); and save the picture on screen.
using DisplayHook = std::function<void(std::optional<image::Image>, std::optional<image::Image>)>;
using CaptureFrameHook = std::function<void()>;

struct SourcePresentationFrame {
    image::Image image;
    double pts = 0;
    std::optional<PixelBuffer> buffer; // the decoder's, when the picture is it unturned
};

struct EnhancedPresentationFrame {
    image::Image image;
    image::Image original;
    image::Image cleanupGuide;
    double pts = 0;
};

// Frames waiting for their time on screen, oldest first, never more than `capacity`.
template <typename Frame> class PresentationQueue {
public:
    static constexpr std::size_t capacity = 32;

    // In time order: a frame older than the newest queued (an enhancement of the frame held
    // while paused) goes before the newer ones.
    void append(Frame frame) {
        auto place = frames_.end();
        while (place != frames_.begin() && std::prev(place)->pts > frame.pts) --place;
        frames_.insert(place, std::move(frame));
        while (frames_.size() > capacity) frames_.pop_front();
    }
    // The queued frame of exactly this time, if any.
    const Frame* at(double pts) const {
        for (auto it = frames_.rbegin(); it != frames_.rend(); ++it)
            if (it->pts == pts) return &*it;
        return nullptr;
    }
    // The newest frame due at `clock` (within `tolerance`); older ones are forgotten, the found
    // one stays so the next refresh can show it again. Nothing when every frame lies ahead.
    std::optional<Frame> due(double clock, double tolerance) {
        for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
            if (it->pts <= clock + tolerance) {
                frames_.erase(frames_.begin(), std::prev(it.base()));
                return frames_.front();
            }
        }
        return std::nullopt;
    }
    void clear() { frames_.clear(); }
    std::size_t size() const { return frames_.size(); }
    const std::deque<Frame>& frames() const { return frames_; }

private:
    std::deque<Frame> frames_;
};

// How far ahead of the clock a frame still counts as due: a quarter frame, at most 10 ms; 2 ms
// for an unknown rate.
double presentationTolerance(double sourceFPS);

// The compare view: the original, scaled to the enhanced picture, covers the part left of
// `split`. With an empty picture on either side the enhanced picture stands alone.
image::Image compareComposite(const image::Image& enhanced, const image::Image& original, double split);

} // namespace lumavane
