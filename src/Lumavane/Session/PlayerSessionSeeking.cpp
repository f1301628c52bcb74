// Seeking on both back-ends, scrubbing, and the seek bar's preview thumbnails.
#include "Lumavane/Session/PlayerSession.hpp"

#include "DirectPlayback/SeekThumbnailProvider.hpp"
#include "Lumavane/Session/SeekThumbnailSource.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {

// Hover movements smaller than this (media seconds) are not counted, and counted movements this
// close in host seconds make a steady drag.
constexpr double movementWindow = 0.05;
constexpr double minimumStep = 0.1;
// Steady drags of at least this step are aimed one step ahead of the pointer.
constexpr double predictionStep = 4.0;

double nonNegative(double seconds) { return std::isfinite(seconds) && seconds > 0 ? seconds : 0; }

} // namespace

// A preview or prefetch task: what it captured when it started.
struct PlayerSession::SeekPreviewTask {
    CancellationToken cancellation;
    // Weak: the provider's own work holds these completions, and it must not be the last owner.
    std::weak_ptr<SeekThumbnailSource> provider;
    std::uint64_t video = 0;
    std::uint64_t request = 0;
    // Prefetch only.
    double origin = 0;
    double direction = 1;
    double step = minimumStep;
    int count = 0;
};

// --- Seeking.

void PlayerSession::seek(double seconds) {
    // Without a video or a time there is nothing to move.
    if (!hasVideo() || !std::isfinite(seconds)) return;
    const double target = std::clamp(seconds, 0.0, std::max(duration(), 0.0));
    if (scrubbing_) {
        scrubPosition.set(target);
        return;
    }
    ++seekPreviewRequest_;
    cancelSeekPreviewTasks();
    invalidate();
    const std::uint64_t token = ++seekGeneration_;
    seeking_ = true;
    setPosition(target);
    positionReadout.update(position_);
    if (directEngine_) {
        // A paused video shows the first frame decoded at the target.
        directEngine_->seek(position_, !playing());
        return;
    }
    platformPlayer_->pause();
    platformPlayer_->seek(position_, [weak = std::weak_ptr(alive_), &executor = executor_, token,
                                      video = videoGeneration_](bool) {
        executor.post([weak, token, video] {
            if (const auto alive = weak.lock()) (*alive)->platformSeekCompleted(token, video);
        });
    });
}

// Any completion of the newest seek ends it, finished or not: one that was refused or cut short
// must not leave the picture, the position and enhancement frozen.
void PlayerSession::platformSeekCompleted(std::uint64_t seekToken, std::uint64_t videoToken) {
    if (seekToken != seekGeneration_ || videoToken != videoGeneration_) return;
    if (seeking_) {
        seeking_ = false;
        // Previews asked for during the seek were refused.
        if (!seekPreviewThumbnail() && seekPreviewPosition()) scheduleSeekPreview(*seekPreviewPosition());
    }
    if (playing()) platformPlayer_->playImmediately(playbackRate());
}

void PlayerSession::setScrubbing(bool scrubbing) {
    if (scrubbing == scrubbing_) return;
    if (scrubbing) {
        scrubbing_ = true;
        scrubPosition.set(position_);
        return;
    }
    const std::optional<double> shown = scrubPosition();
    scrubbing_ = false;
    scrubPosition.set(std::nullopt);
    if (shown) seek(*shown);
}

// --- The seek preview.

void PlayerSession::setSeekPreview(std::optional<double> seconds) {
    if (!seconds || !std::isfinite(*seconds) || !hasVideo()) {
        resetSeekPreview();
        return;
    }
    const double time = std::clamp(*seconds, 0.0, std::max(duration(), 0.0));
    const std::optional<double> previous = seekPreviewPosition();
    if (previous && std::abs(time - *previous) >= movementWindow) {
        const double step = std::max(std::abs(time - *previous), minimumStep);
        const double direction = time < *previous ? -1.0 : 1.0;
        const double now = hostClock_();
        const bool steady = seekPreviewLastMovement_ && now - *seekPreviewLastMovement_ < movementWindow &&
                            direction == seekPreviewDirection_ &&
                            std::abs(step - seekPreviewStep_) <= std::max(step * 0.05, minimumStep);
        seekPreviewStableSteps_ = steady ? std::min(seekPreviewStableSteps_ + 1, 3) : 0;
        seekPreviewStep_ = step;
        seekPreviewDirection_ = direction;
        seekPreviewLastMovement_ = now;
    }
    seekPreviewPosition.set(time);
    if (previous && SeekThumbnailProvider::bucket(*previous) == SeekThumbnailProvider::bucket(time)) return;
    if (const auto prefetch = std::exchange(seekPrefetchTask_, nullptr)) prefetch->cancellation.cancel();
    seekPreviewThumbnail.set(thumbnailProvider_ ? thumbnailProvider_->cachedImage(time) : std::nullopt);
    scheduleSeekPreview(time);
}

void PlayerSession::resetSeekPreview() {
    ++seekPreviewRequest_;
    cancelSeekPreviewTasks();
    seekPreviewPosition.set(std::nullopt);
    seekPreviewThumbnail.set(std::nullopt);
    seekPreviewStep_ = minimumStep;
    seekPreviewStableSteps_ = 0;
    seekPreviewLastMovement_.reset();
}

void PlayerSession::cancelSeekPreviewTasks() {
    if (const auto prefetch = std::exchange(seekPrefetchTask_, nullptr)) prefetch->cancellation.cancel();
    if (const auto preview = std::exchange(seekPreviewTask_, nullptr)) preview->cancellation.cancel();
}

void PlayerSession::configureThumbnailProvider(const std::filesystem::path& url, bool containingTime) {
    resetSeekPreview();
    thumbnailProvider_ = makeThumbnailSource_(url, containingTime);
    thumbnailProviderURL_ = url;
    executor_.post([provider = std::weak_ptr(thumbnailProvider_)] {
        if (const auto source = provider.lock()) source->prepare();
    });
}

void PlayerSession::scheduleSeekPreview(double seconds) {
    // A running task picks up the newest position by itself.
    if (seeking_ || seekPreviewTask_) return;
    const auto url = currentVideoURL();
    if (!url) return;
    // A provider of the video before is no use for this one.
    if (!thumbnailProvider_ || thumbnailProviderURL_ != *url) {
        // Only the platform back-end shows the frame on screen at a time rather than the next one.
        thumbnailProvider_ = makeThumbnailSource_(*url, !directEngine_);
        thumbnailProviderURL_ = *url;
    }
    auto task = std::make_shared<SeekPreviewTask>();
    task->provider = thumbnailProvider_;
    task->video = videoGeneration_;
    task->request = seekPreviewRequest_;
    seekPreviewTask_ = task;
    runSeekPreview(task, seconds);
}

bool PlayerSession::seekPreviewStale(const SeekPreviewTask& task) const {
    return task.cancellation.isCancelled() || !seekPreviewPosition() || task.video != videoGeneration_ ||
           task.request != seekPreviewRequest_;
}

void PlayerSession::endSeekPreviewTask(const std::shared_ptr<SeekPreviewTask>& task) {
    if (seekPreviewTask_ == task) seekPreviewTask_.reset();
}

void PlayerSession::runSeekPreview(const std::shared_ptr<SeekPreviewTask>& task, double target) {
    const auto provider = task->provider.lock();
    if (task->cancellation.isCancelled() || !provider) return endSeekPreviewTask(task);
    const double step = seekPreviewStep_;
    const auto request = [weak = std::weak_ptr(alive_), task, step](double seconds) {
        const auto provider = task->provider.lock();
        if (!provider) {
            if (const auto alive = weak.lock()) (*alive)->endSeekPreviewTask(task);
            return;
        }
        provider->image(
            seconds, true, step, task->cancellation,
            [weak, task, seconds](std::optional<image::CPUImage> image, std::exception_ptr error) {
                if (const auto alive = weak.lock()) (*alive)->seekPreviewImageArrived(task, seconds, std::move(image), error);
            });
    };
    if (seekPreviewDirection_ >= 0 || step < minimumStep) return request(target);
    // Going backwards: the frames behind the target first, so the next positions are cached.
    provider->warmBackwardNeighborhood(
        target, step, true, task->cancellation, [weak = std::weak_ptr(alive_), task, request](std::exception_ptr error) {
            const auto alive = weak.lock();
            if (!alive) return;
            PlayerSession& session = **alive;
            if (error || session.seekPreviewStale(*task)) return session.endSeekPreviewTask(task);
            request(*session.seekPreviewPosition());
        });
}

void PlayerSession::seekPreviewImageArrived(const std::shared_ptr<SeekPreviewTask>& task, double target,
                                            std::optional<image::CPUImage> image, std::exception_ptr error) {
    if (error || seekPreviewStale(*task)) return endSeekPreviewTask(task);
    const double pointer = nonNegative(*seekPreviewPosition());
    target = nonNegative(target);
    if (pointer == target) {
        if (!seekPreviewThumbnail() && image) seekPreviewThumbnail.set(std::move(image));
        endSeekPreviewTask(task);
        startSeekPrefetch(target);
        return;
    }
    // The pointer moved on while decoding: this picture is dropped and the newest position asked for,
    // or one step beyond it when a fast drag holds its pace.
    double next = pointer;
    const bool steady = seekPreviewLastMovement_ && hostClock_() - *seekPreviewLastMovement_ < movementWindow &&
                        seekPreviewStableSteps_ >= 1 && seekPreviewStep_ >= predictionStep &&
                        (pointer - target) * seekPreviewDirection_ >= 0.5 * seekPreviewStep_;
    if (steady)
        next = std::clamp(pointer + seekPreviewStep_ * seekPreviewDirection_, 0.0, std::max(duration(), 0.0));
    runSeekPreview(task, next);
}

void PlayerSession::startSeekPrefetch(double origin) {
    if (const auto prefetch = std::exchange(seekPrefetchTask_, nullptr)) prefetch->cancellation.cancel();
    if (!thumbnailProvider_) return;
    auto task = std::make_shared<SeekPreviewTask>();
    task->provider = thumbnailProvider_;
    task->origin = origin;
    task->direction = seekPreviewDirection_;
    task->step = seekPreviewStep_;
    // Fine movements warm a dozen neighbours, coarse ones two.
    task->count = task->step <= minimumStep ? 12 : 2;
    seekPrefetchTask_ = task;
    if (task->direction >= 0 || task->step < minimumStep) return prefetchSeekThumbnail(task, 1);
    thumbnailProvider_->warmBackwardNeighborhood(
        std::max(origin - task->step, 0.0), task->step, false, task->cancellation,
        [weak = std::weak_ptr(alive_), task](std::exception_ptr error) {
            const auto alive = weak.lock();
            if (!alive) return;
            if (error) return (*alive)->endSeekPrefetch(task);
            (*alive)->prefetchSeekThumbnail(task, 1);
        });
}

void PlayerSession::endSeekPrefetch(const std::shared_ptr<SeekPreviewTask>& task) {
    if (seekPrefetchTask_ == task) seekPrefetchTask_.reset();
}

// One neighbour at a time, each request going back through the main thread so other work interleaves.
void PlayerSession::prefetchSeekThumbnail(const std::shared_ptr<SeekPreviewTask>& task, int index) {
    const auto provider = task->provider.lock();
    if (task->cancellation.isCancelled() || index > task->count || !provider) return endSeekPrefetch(task);
    const double seconds = std::max(task->origin + task->step * task->direction * index, 0.0);
    provider->image(seconds, false, task->step, task->cancellation,
                          [weak = std::weak_ptr(alive_), task, index](std::optional<image::CPUImage>, std::exception_ptr error) {
                              const auto alive = weak.lock();
                              if (!alive) return;
                              if (error) return (*alive)->endSeekPrefetch(task);
                              (*alive)->prefetchSeekThumbnail(task, index + 1);
                          });
}

} // namespace lumavane
