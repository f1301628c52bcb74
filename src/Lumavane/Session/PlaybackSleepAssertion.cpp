#include "Lumavane/Session/PlaybackSleepAssertion.hpp"

#include "Platform/System/DisplaySleepInhibitor.hpp"

namespace lumavane {

PlaybackSleepAssertion::PlaybackSleepAssertion(std::shared_ptr<DisplaySleepInhibiting> inhibitor)
    : inhibitor_(inhibitor ? std::move(inhibitor) : std::make_shared<ScreenSaverInhibitor>()) {}

PlaybackSleepAssertion::~PlaybackSleepAssertion() {
    queue_.async([this] { apply(false); });
    queue_.shutdown();
}

void PlaybackSleepAssertion::setPlaybackActive(bool active) {
    queue_.async([this, active] { apply(active); });
}

std::uint32_t PlaybackSleepAssertion::assertionID() {
    std::uint32_t id = 0;
    queue_.sync([&] { id = assertionID_; });
    return id;
}

bool PlaybackSleepAssertion::isPreventingIdleSleep() {
    bool preventing = false;
    queue_.sync([&] { preventing = isPreventingIdleSleep_; });
    return preventing;
}

void PlaybackSleepAssertion::apply(bool active) {
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
