#include "Lumavane/Session/SeekThumbnailSource.hpp"

#include "DirectPlayback/SeekThumbnailProvider.hpp"
#include "Platform/Foundation/SerialQueue.hpp"

namespace lumavane {

namespace {

class ProviderThumbnailSource final : public SeekThumbnailSource {
public:
    ProviderThumbnailSource(const std::filesystem::path& url, bool containingTime, MainExecutor& executor)
        : executor_(executor), provider_(std::make_unique<SeekThumbnailProvider>(url, true, containingTime)) {}

    std::optional<image::CPUImage> cachedImage(double seconds) const override { return provider_->cachedImage(seconds); }

    void prepare() override { (void)provider_->prepare(false); }

    void image(double seconds, bool retainForRevisit, double neighborhoodStep, CancellationToken cancellation,
               ImageCompletion completion) override {
        provider_->image(seconds, false, retainForRevisit, neighborhoodStep, std::move(cancellation), executor_,
                         std::move(completion));
    }

    void warmBackwardNeighborhood(double seconds, double step, bool onlyIfNeeded, CancellationToken cancellation,
                                  Completion completion) override {
        std::shared_future<void> done =
            provider_->warmBackwardNeighborhood(seconds, step, onlyIfNeeded, std::move(cancellation)).share();
        // The provider answers warm-ups with a future only; one waiter brings them to the main thread.
        waiter_.async([done, &executor = executor_, completion = std::move(completion)] {
            std::exception_ptr error;
            try {
                done.get();
            } catch (...) {
                error = std::current_exception();
            }
            executor.post([completion, error] { completion(error); });
        });
    }

private:
    MainExecutor& executor_;
    SerialQueue waiter_{"Lumavane.seek-thumbnails.waiter", QualityOfService::utility};
    // Destroyed before the waiter: its queued work then ends at once with a cancellation.
    std::unique_ptr<SeekThumbnailProvider> provider_;
};

} // namespace

std::shared_ptr<SeekThumbnailSource> makeSeekThumbnailProvider(const std::filesystem::path& url, bool containingTime,
                                                               MainExecutor& executor) {
    return std::make_shared<ProviderThumbnailSource>(url, containingTime, executor);
}

} // namespace lumavane
