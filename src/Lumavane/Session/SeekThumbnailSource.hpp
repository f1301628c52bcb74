#pragma once

#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Image/CPUImage.hpp"

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace lumavane {

// The seek bar's thumbnails as the session asks for them: SeekThumbnailProvider in the
// application, a scripted stand-in in tests. Completions run on the main thread; a cancelled
// request completes with an error.
class SeekThumbnailSource {
public:
    using ImageCompletion = std::function<void(std::optional<image::CPUImage> image, std::exception_ptr error)>;
    using Completion = std::function<void(std::exception_ptr error)>;

    virtual ~SeekThumbnailSource() = default;
    // The exact image already decoded for a time; never decodes.
    virtual std::optional<image::CPUImage> cachedImage(double seconds) const = 0;
    // Opens the exact decoder before the first hover.
    virtual void prepare() = 0;
    // The exact image at `seconds`, capturing neighbours `neighborhoodStep` apart on the way.
    virtual void image(double seconds, bool retainForRevisit, double neighborhoodStep,
                       CancellationToken cancellation, ImageCompletion completion) = 0;
    virtual void warmBackwardNeighborhood(double seconds, double step, bool onlyIfNeeded,
                                          CancellationToken cancellation, Completion completion) = 0;
};

using SeekThumbnailSourceFactory =
    std::function<std::shared_ptr<SeekThumbnailSource>(const std::filesystem::path& url, bool containingTime)>;

// A SeekThumbnailProvider with batched decoding whose completions are posted to `executor`, which
// must outlive it.
std::shared_ptr<SeekThumbnailSource> makeSeekThumbnailProvider(const std::filesystem::path& url, bool containingTime,
                                                               MainExecutor& executor);

} // namespace lumavane
