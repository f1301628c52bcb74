#pragma once

#include "Platform/Foundation/SerialQueue.hpp"

#include <cstdint>
#include <memory>

namespace lumavane {

class DisplaySleepInhibiting;

// Told on every change of the session's `playing` whether playback runs.
class PlaybackSleepPreventing {
public:
    virtual ~PlaybackSleepPreventing() = default;
    virtual void setPlaybackActive(bool active) = 0;
};

// Keeps the display awake while playback runs, through a display-sleep inhibitor. A refused
// request changes nothing and is tried again on the next activation. Destruction releases a
// held request. The inhibitor is called on a queue of its own, in call order, so a slow bus
// never holds up the main thread.
class PlaybackSleepAssertion final : public PlaybackSleepPreventing {
public:
    static constexpr const char* reason = "Lumavaneで動画を再生中";

    // No inhibitor: the desktop's screen saver on the session bus, connected on first use.
    explicit PlaybackSleepAssertion(std::shared_ptr<DisplaySleepInhibiting> inhibitor = nullptr);
    ~PlaybackSleepAssertion() override;
    PlaybackSleepAssertion(const PlaybackSleepAssertion&) = delete;
    PlaybackSleepAssertion& operator=(const PlaybackSleepAssertion&) = delete;

    void setPlaybackActive(bool active) override;

    // After every earlier setPlaybackActive has reached the inhibitor.
    std::uint32_t assertionID();
    bool isPreventingIdleSleep();

private:
    void apply(bool active);

    std::shared_ptr<DisplaySleepInhibiting> inhibitor_;
    // Touched on queue_ only.
    std::uint32_t assertionID_ = 0;
    bool isPreventingIdleSleep_ = false;
    SerialQueue queue_{"Lumavane.displaySleep", QualityOfService::userInitiated};
};

} // namespace lumavane
