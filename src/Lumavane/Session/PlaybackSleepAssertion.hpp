#pragma once

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
// held request.
class PlaybackSleepAssertion final : public PlaybackSleepPreventing {
public:
    static constexpr const char* reason = "Lumavaneで動画を再生中";

    // No inhibitor: the desktop's screen saver on the session bus, connected on first use.
    explicit PlaybackSleepAssertion(std::shared_ptr<DisplaySleepInhibiting> inhibitor = nullptr);
    ~PlaybackSleepAssertion() override;
    PlaybackSleepAssertion(const PlaybackSleepAssertion&) = delete;
    PlaybackSleepAssertion& operator=(const PlaybackSleepAssertion&) = delete;

    void setPlaybackActive(bool active) override;

    std::uint32_t assertionID() const noexcept { return assertionID_; }
    bool isPreventingIdleSleep() const noexcept { return isPreventingIdleSleep_; }

private:
    std::shared_ptr<DisplaySleepInhibiting> inhibitor_;
    std::uint32_t assertionID_ = 0;
    bool isPreventingIdleSleep_ = false;
};

} // namespace lumavane
