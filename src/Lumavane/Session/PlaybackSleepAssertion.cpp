#include "Lumavane/Session/PlaybackSleepAssertion.hpp"

#include "Platform/System/DisplaySleepInhibitor.hpp"

namespace lumavane {

PlaybackSleepAssertion::PlaybackSleepAssertion(std::shared_ptr<DisplaySleepInhibiting> inhibitor)
    : inhibitor_(inhibitor ? std::move(inhibitor) : std::make_shared<ScreenSaverInhibitor>()) {}

PlaybackSleepAssertion::~PlaybackSleepAssertion() {
    if (isPreventingIdleSleep_) inhibitor_->uninhibit(assertionID_);
}

void PlaybackSleepAssertion::setPlaybackActive(bool active) {
    if (active == isPreventingIdleSleep_) return;
    if (active) {
        if (const auto cookie = inhibitor_->inhibit(reason)) {
            assertionID_ = *cookie;
            isPreventingIdleSleep_ = true;
        }
    } else {
        inhibitor_->uninhibit(assertionID_);
        assertionID_ = 0;
        isPreventingIdleSleep_ = false;
    }
}

} // namespace lumavane
