#pragma once

#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Media/MediaAsset.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace lumavane::media {

enum class ItemStatus { unknown, readyToPlay, failed };

// A decoded picture and its time on the item's timeline, in seconds.
struct VideoFrame {
    PixelBuffer buffer;
    double itemTime = 0;
};

// One file prepared for playing. Created by a Player, played once it is the player's current item.
// The callbacks are set on the main thread before the item is handed to the player and run there.
class PlayerItem {
public:
    virtual ~PlayerItem() = default;

    virtual const std::filesystem::path& path() const = 0;
    virtual ItemStatus status() const = 0;
    // The reason of a failed item, when the framework gave one.
    virtual std::optional<std::string> errorDescription() const = 0;
    // Plays the audible group's option `index` (stream order); out-of-range indices are ignored.
    virtual void selectAudioOption(std::size_t index) = 0;
    virtual std::optional<std::size_t> selectedAudioOption() const = 0;

    // The video output: BGRA frames by item time. Thread-safe.
    // True when a frame due at or before `itemTime` has not been taken yet.
    virtual bool hasNewPixelBuffer(double itemTime) const = 0;
    // The newest frame due at or before `itemTime`; older ones are dropped. None when none is due.
    virtual std::optional<VideoFrame> copyPixelBuffer(double itemTime) = 0;
    // The oldest frame due at or before `itemTime`, so that a caller can take every frame in turn.
    virtual std::optional<VideoFrame> copyNextPixelBuffer(double itemTime) { return copyPixelBuffer(itemTime); }

    std::function<void(ItemStatus)> onStatusChange; // only changes are reported
    std::function<void()> onPlayedToEnd;
};

using AssetResult = std::variant<AssetProperties, std::exception_ptr>;

// The one player of the session. Main thread only; every completion runs on the main thread.
class Player {
public:
    virtual ~Player() = default;

    // Inspects the file off the main thread; `completion` gets the properties or the error. Only the
    // newest inspection is waited for: a later call drops the earlier ones (their completions are
    // never called) and so does the player's destruction.
    virtual void loadAsset(const std::filesystem::path& path, std::function<void(AssetResult)> completion) = 0;
    virtual std::shared_ptr<PlayerItem> makeItem(const std::filesystem::path& path) = 0;

    // Stops the current item, if any, and starts preparing `item` (none: nothing is played).
    virtual void replaceCurrentItem(std::shared_ptr<PlayerItem> item) = 0;
    virtual std::shared_ptr<PlayerItem> currentItem() const = 0;
    virtual void setDefaultRate(double rate) = 0;
    virtual double defaultRate() const = 0;
    virtual void playImmediately(double rate) = 0;
    virtual void pause() = 0;
    // 0 while paused.
    virtual double rate() const = 0;
    // Changes the rate of a playing item (0 pauses).
    virtual void setRate(double rate) = 0;
    // 0...1.
    virtual void setVolume(float volume) = 0;
    // Seconds on the current item's timeline; 0 without an item.
    virtual double currentTime() const = 0;
    // How far ahead of their time the video output hands frames over, for the time an enhancer
    // needs (0...0.5 s); kept for later items.
    virtual void setVideoPresentationLeadTime(double) {}
    // The item time shown at `hostTime` (hostTimeSeconds()'s clock) if playback goes on as now.
    virtual double itemTime(double hostTime) const { return currentTime() + (hostTime - hostTimeSeconds()) * rate(); }
    // Seeks exactly to `seconds`; `completion(finished)` runs once, with false when a later seek
    // or a change of item overtook this one.
    virtual void seek(double seconds, std::function<void(bool finished)> completion) = 0;
};

} // namespace lumavane::media
