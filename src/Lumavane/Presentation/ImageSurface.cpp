#include "Lumavane/Presentation/ImageSurface.hpp"

#include "Lumavane/Session/PlaybackTimingTrace.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "VideoPresentation/EnhancementCleanupRenderer.hpp"
#include "VideoPresentation/PostProcessRenderer.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <cmath>
#include <cstdio>

namespace lumavane {

namespace {

class DevicePasses final : public PresentationPasses {
public:
    explicit DevicePasses(const std::shared_ptr<gpu::Device>& device) {
        try {
            effects_ = std::make_unique<PostProcessRenderer>(device);
        } catch (const std::exception&) {
        }
        try {
            cleanup_ = std::make_unique<EnhancementCleanupRenderer>(device);
        } catch (const std::exception&) {
        }
    }
    bool hasCleanup() const override { return cleanup_ != nullptr; }
    bool hasEffects() const override { return effects_ != nullptr; }
    std::shared_ptr<gpu::Texture> cleanupSource(int w, int h) override { return cleanup_->source(w, h); }
    std::shared_ptr<gpu::Texture> cleanupGuide(int w, int h) override { return cleanup_->guide(w, h); }
    std::shared_ptr<gpu::Texture> effectsIntermediate(int w, int h) override {
        return effects_->intermediateTexture(w, h);
    }
    void encodeCleanup(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                       const std::shared_ptr<gpu::Texture>& guide, const std::shared_ptr<gpu::Texture>& source,
                       const std::shared_ptr<gpu::Texture>& destination, const image::Rect& contentRect, float start,
                       float end, float strength) override {
        cleanup_->encode(commandBuffer, guide, source, destination, contentRect, start, end, strength);
    }
    void encodeEffects(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                       const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                       const PostProcessConfiguration& configuration, const image::Rect& contentRect,
                       bool sourceIsDisplayOriented) override {
        effects_->encode(commandBuffer, source, destination, configuration, contentRect, sourceIsDisplayOriented);
    }

private:
    std::unique_ptr<PostProcessRenderer> effects_;
    std::unique_ptr<EnhancementCleanupRenderer> cleanup_;
};

bool hasArea(const std::optional<image::Image>& picture) {
    if (!picture) return false;
    const image::Rect extent = picture->extent();
    return !extent.isNull() && extent.width > 0 && extent.height > 0;
}

double atLeastOne(double value) { return std::max(std::round(value), 1.0); }

image::Image atOrigin(const image::Image& picture) {
    const image::Rect extent = picture.extent();
    return picture.transformed(image::AffineTransform::translation(-extent.x, -extent.y));
}

} // namespace

// The context and passes of a background build, handed from the surface's queue to the main thread.
struct ImageSurface::ProgramBuild {
    std::mutex mutex;
    bool done = false;
    std::shared_ptr<image::Context> context;
    std::unique_ptr<PresentationPasses> passes;
    std::optional<std::string> failure;
};

std::unique_ptr<PresentationPasses> makeDevicePasses(const std::shared_ptr<gpu::Device>& device) {
    return std::make_unique<DevicePasses>(device);
}

ImageSurface::ImageSurface(SurfaceHost& host, Dependencies dependencies)
    : host_(host), executor_(*dependencies.executor),
      trace_(dependencies.trace ? *dependencies.trace : PlaybackTimingTrace::shared()),
      clock_(dependencies.clock ? std::move(dependencies.clock) : [] { return hostTimeSeconds(); }) {
    // Without a device or a queue the surface still shows frames, drawn on the CPU without the
    // cleanup and effect passes; the reason is reported once, on the first draw.
    try {
        device_ = dependencies.device ? dependencies.device() : gpu::Device::systemDefault();
        if (!device_) throw PlatformError("Lumavane.Surface", 1, "no GPU device");
        commandQueue_ = device_->newCommandQueue();
        if (!commandQueue_) throw PlatformError("Lumavane.Surface", 2, "no GPU command queue");
        commandQueue_->setLabel("Lumavane surface");
        auto makePasses = dependencies.passes ? std::move(dependencies.passes) : makeDevicePasses;
        if (dependencies.buildProgramsInBackground) {
            // Compiling them takes the better part of a second with a cold kernel cache.
            programs_ = std::make_shared<ProgramBuild>();
            programQueue_ = std::make_unique<SerialQueue>("Lumavane.surfaceKernels", QualityOfService::userInitiated);
            programQueue_->async([build = programs_, device = device_, makePasses, weak = weakSelf(),
                                  &executor = executor_] {
                std::shared_ptr<image::Context> context;
                std::unique_ptr<PresentationPasses> passes;
                std::optional<std::string> failure;
                try {
                    context = image::Context::make(device);
                    passes = makePasses(device);
                } catch (const std::exception& error) {
                    failure = error.what();
                }
                {
                    std::lock_guard lock(build->mutex);
                    build->context = std::move(context);
                    build->passes = std::move(passes);
                    build->failure = std::move(failure);
                    build->done = true;
                }
                executor.post([weak] {
                    if (auto self = weak.lock()) (*self)->installPrograms(false);
                });
            });
            return;
        }
        context_ = image::Context::make(device_);
        passes_ = makePasses(device_);
    } catch (const std::exception& error) {
        drawWithoutGPU(error.what());
    }
}

// Frames are still shown, drawn on the CPU; the reason is reported once, at the first draw.
void ImageSurface::drawWithoutGPU(const std::string& reason) {
    unavailableReason_ = "The video is drawn without the GPU (no cleanup or effects): " + reason;
    device_ = nullptr;
    commandQueue_ = nullptr;
    context_ = nullptr;
    passes_ = nullptr;
}

void ImageSurface::installPrograms(bool wait) {
    if (!programs_) return;
    if (wait) programQueue_->sync([] {}); // the build was queued first
    std::unique_lock lock(programs_->mutex);
    if (!programs_->done) return;
    if (programs_->failure) {
        drawWithoutGPU(*programs_->failure);
    } else {
        context_ = std::move(programs_->context);
        passes_ = std::move(programs_->passes);
    }
    lock.unlock();
    programs_.reset();
    // What was drawn on the CPU meanwhile lacks the passes: draw it again.
    lastSubmittedRevision_.reset();
    host_.setNeedsDisplay();
}

bool ImageSurface::programsReady(const std::vector<image::Image>& pictures) {
    if (!programQueue_) return true; // built by the draw that needs them
    if (programs_ || !context_) return false;
    if (kernelPreparationFailed_) return true; // encoding reports it
    std::vector<image::Image> missing;
    for (const image::Image& picture : pictures) {
        try {
            if (!context_->isPrepared(picture)) missing.push_back(picture);
        } catch (const std::exception&) {
            // A recipe no render takes: encoding reports it.
        }
    }
    if (missing.empty()) return true;
    if (!preparingKernels_) {
        preparingKernels_ = true;
        programQueue_->async([context = context_, missing = std::move(missing), weak = weakSelf(),
                              &executor = executor_] {
            bool failed = false;
            for (const image::Image& picture : missing) {
                try {
                    context->prepare(picture);
                } catch (const std::exception&) {
                    failed = true;
                }
            }
            executor.post([weak, failed] {
                auto self = weak.lock();
                if (!self) return;
                ImageSurface& surface = **self;
                surface.preparingKernels_ = false;
                surface.kernelPreparationFailed_ = surface.kernelPreparationFailed_ || failed;
                surface.lastSubmittedRevision_.reset();
                surface.host_.setNeedsDisplay();
            });
        });
    }
    return false;
}

ImageSurface::~ImageSurface() {
    // GPU completion handlers post through the host's executor, which goes with the host: let
    // the ones already running or due finish first (bounded, in case a device never answers).
    for (int waited = 0; *handlersPending_ > 0 && waited < 5000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ImageSurface* ImageSurface::transition() const {
    auto target = transitionSurface_.lock();
    return target ? *target : nullptr;
}

void ImageSurface::bump() {
    ++revision_; // wraps
    host_.setNeedsDisplay();
}

void ImageSurface::present(std::optional<image::Image> picture, std::optional<image::Image> cleanupGuide) {
    image_ = std::move(picture);
    cleanupGuide_ = std::move(cleanupGuide);
    reportDisplayedContentSize(std::nullopt);
    ++presentedFrameCount_;
    bump();
    if (auto* target = transition()) target->present(image_, cleanupGuide_);
}

void ImageSurface::configure(const PostProcessConfiguration& configuration) {
    if (configuration == configuration_) return;
    configuration_ = configuration;
    if (auto* target = transition()) target->configure(configuration);
    bump();
}

void ImageSurface::configureAspectMode(VideoAspectMode mode) {
    if (mode == aspectMode_) return;
    aspectMode_ = mode;
    if (auto* target = transition()) target->configureAspectMode(mode);
    bump();
    reportDisplayedContentSize(std::nullopt);
}

void ImageSurface::configureSourceAspectRatio(double ratio) {
    if (!std::isfinite(ratio) || ratio <= 0 || sourceAspectRatio_ == ratio) return;
    sourceAspectRatio_ = ratio;
    if (auto* target = transition()) target->configureSourceAspectRatio(ratio);
    bump();
    reportDisplayedContentSize(std::nullopt);
}

void ImageSurface::afterNextPresentedFrame(std::function<void()> completion) {
    presentationCompletion_ = std::move(completion);
    host_.resetDrawableSize();
    bump();
    host_.drawNow();
}

void ImageSurface::mirrorPresentation(ImageSurface& target) {
    transitionSurface_ = target.alive_;
    target.configure(configuration_);
    target.configureAspectMode(aspectMode_);
    if (sourceAspectRatio_) target.configureSourceAspectRatio(*sourceAspectRatio_);
    target.present(image_, cleanupGuide_);
    target.reportContentPixelSize = reportContentPixelSize;
    if (restartLink_) restartLink_(); // the host stops its link while mirroring
    target.advanceFrame = advanceFrame;
}

void ImageSurface::finishMirroring() {
    if (auto* target = transition()) {
        target->advanceFrame = nullptr;
        target->reportContentPixelSize = nullptr;
    }
    transitionSurface_.reset();
    if (restartLink_) restartLink_();
}

void ImageSurface::drawableSizeWillChange(image::Size size) {
    bump();
    reportDisplayedContentSize(size);
}

void ImageSurface::displayLinkFired(double targetTimestamp) {
    if (advanceFrame) advanceFrame(targetTimestamp);
    // A draw that found no drawable (or no command buffer) tries again while the state is dirty.
    if (retryOnTick_ && lastSubmittedRevision_ != revision_) host_.setNeedsDisplay();
}

void ImageSurface::linkRestarted() {
    lastSubmittedRevision_.reset();
    bump();
    if (reactivatePresentation) reactivatePresentation();
}

FittedImage ImageSurface::fittedImage(const image::Image& picture, const image::Rect& target) const {
    return lumavane::fittedImage(picture, target, aspectMode_, sourceAspectRatio_);
}

image::Image ImageSurface::canvasFor(const image::Rect& bounds, image::Rect& contentRect) const {
    image::Image canvas = image::Image::constantColor({0, 0, 0, 1}).cropped(bounds);
    contentRect = {};
    if (hasArea(image_)) {
        const FittedImage fitted = fittedImage(*image_, bounds);
        canvas = fitted.image.composited(canvas);
        contentRect = fitted.contentRect;
    }
    return canvas;
}

PresentationEncoding ImageSurface::encodePresentation(const image::Image& canvas,
                                                      const std::optional<image::Image>& guide,
                                                      const std::shared_ptr<gpu::Texture>& destination,
                                                      const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                                                      const image::Rect& bounds, const image::Rect& contentRect) {
    const PostProcessConfiguration& c = configuration_;
    const PostProcessSettings& s = c.settings;
    const bool effectsWanted = (s.sharpenEnabled || s.debandEnabled || s.grainEnabled || s.brightness != 0 ||
                                s.gamma != 1) &&
                               c.effectStart < c.effectEnd;
    const int width = int(destination->width()), height = int(destination->height());
    (void)bounds; // every render covers (0, 0, width, height) of the destination
    // The passes read their sources bottom row first, as the image layer renders; the
    // destination is always written top row first, so the screen and captures need no flip.
    if (cleanupApplies(guide)) {
        const image::Rect g = guide->extent();
        auto source = passes_->cleanupSource(width, height);
        auto guideTexture = source ? passes_->cleanupGuide(int(atLeastOne(g.width)), int(atLeastOne(g.height)))
                                   : nullptr;
        if (source && guideTexture) {
            context_->render(canvas, source, commandBuffer, false);
            context_->render(atOrigin(*guide), guideTexture, commandBuffer, false);
            auto intermediate = effectsWanted && passes_->hasEffects()
                                    ? passes_->effectsIntermediate(width, height)
                                    : nullptr;
            if (intermediate) {
                passes_->encodeCleanup(commandBuffer, guideTexture, source, intermediate, contentRect,
                                       c.cleanupStart, c.cleanupEnd, c.cleanupStrength);
                passes_->encodeEffects(commandBuffer, intermediate, destination, c, contentRect, true);
                return {{source, guideTexture, intermediate}, true};
            }
            passes_->encodeCleanup(commandBuffer, guideTexture, source, destination, contentRect, c.cleanupStart,
                                   c.cleanupEnd, c.cleanupStrength);
            return {{source, guideTexture}, true};
        }
    }
    if (passes_ && effectsWanted && passes_->hasEffects()) {
        if (auto intermediate = passes_->effectsIntermediate(width, height)) {
            context_->render(canvas, intermediate, commandBuffer, false);
            passes_->encodeEffects(commandBuffer, intermediate, destination, c, contentRect, false);
            return {{intermediate}, true};
        }
    }
    context_->render(canvas, destination, commandBuffer, true);
    return {{}, false};
}

bool ImageSurface::cleanupApplies(const std::optional<image::Image>& guide) const {
    const PostProcessConfiguration& c = configuration_;
    return passes_ && c.cleanupEnabled && c.cleanupStrength > 0 && c.cleanupStart < c.cleanupEnd && hasArea(guide) &&
           passes_->hasCleanup();
}

std::vector<image::Image> ImageSurface::renderedPictures(const image::Image& canvas,
                                                         const std::optional<image::Image>& guide) const {
    std::vector<image::Image> pictures{canvas};
    if (cleanupApplies(guide)) pictures.push_back(atOrigin(*guide));
    return pictures;
}

void ImageSurface::reportDisplayedContentSize(std::optional<image::Size> size) {
    if (!hasArea(image_)) return;
    const image::Size target = size ? *size : host_.drawableSize();
    if (!(target.width >= 1 && target.height >= 1)) return;
    const image::Rect rect = fittedImage(*image_, {0, 0, target.width, target.height}).contentRect;
    if (reportContentPixelSize) reportContentPixelSize({atLeastOne(rect.width), atLeastOne(rect.height)});
}

void ImageSurface::drawOnCPU(const std::shared_ptr<SurfaceDrawable>& drawable, const image::Image& canvas) {
    const int width = drawable->width(), height = drawable->height();
    const std::size_t rowBytes = drawable->bytesPerRow();
    std::uint8_t* pixels = drawable->mutablePixels();
    // Bands of rows on a few threads: this stands in on the main thread while kernels compile.
    const int bands = std::clamp(height / 64, 1, 4);
    std::vector<std::exception_ptr> errors(std::size_t(bands), nullptr);
    const auto band = [&](int i) {
        const int first = height * i / bands, end = height * (i + 1) / bands;
        try {
            // The band's rows are the image's from y = height - end up.
            image::renderOnCPU(canvas.transformed(image::AffineTransform::translation(0, end - height)),
                               pixels + std::size_t(first) * rowBytes, width, end - first, rowBytes);
        } catch (...) {
            errors[std::size_t(i)] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (int i = 1; i < bands; ++i) helpers.emplace_back(band, i);
    band(0);
    for (std::thread& helper : helpers) helper.join();
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
}

void ImageSurface::draw() {
    if (lastSubmittedRevision_ && *lastSubmittedRevision_ == revision_) return;
    // On a CPU device the display's renders queue behind whatever the enhancer submitted (a
    // model's first step compiles its kernels for seconds): once they are held up that long, the
    // newest picture is drawn on the CPU rather than the screen freezing while the clock runs.
    // Those draws take the main thread (100 ms a picture on a busy machine): at most a third of it,
    // so the controls keep answering.
    const bool heldUp = rendersInFlight() > 1;
    if (heldUp && clock_() < std::max(rendersInFlight_.front().committedAt + heldUpRenderSeconds, nextStandInAt_)) {
        retryOnTick_ = true; // nothing else may ask again while the device is held up
        return;
    }
    if (unavailableReason_ && !unavailableReported_) {
        unavailableReported_ = true;
        std::fprintf(stderr, "Lumavane: %s\n", unavailableReason_->c_str());
        if (reportUnavailable) reportUnavailable(*unavailableReason_);
    }
    const double t0 = clock_();
    auto drawable = host_.nextDrawable(device_.get());
    std::optional<image::Image> canvas;
    image::Rect contentRect;
    std::shared_ptr<gpu::CommandBuffer> commandBuffer;
    bool onGPU = false;
    if (drawable) {
        canvas = canvasFor({0, 0, double(drawable->width()), double(drawable->height())}, contentRect);
        // Until the kernels this picture needs are compiled, it is drawn on the CPU.
        onGPU = commandQueue_ && !heldUp && programsReady(renderedPictures(*canvas, cleanupGuide_));
        if (onGPU) commandBuffer = commandQueue_->commandBuffer();
    }
    if (!drawable || (onGPU && !commandBuffer)) {
        retryOnTick_ = true; // lastSubmittedRevision_ stays, so the next request tries again
        return;
    }
    retryOnTick_ = false;
    trace_.record("drawable", -1, (clock_() - t0) * 1000);
    const double t1 = clock_();
    lastSubmittedRevision_ = revision_;
    const std::uint64_t sequence = ++drawSequence_;
    auto picture = image_;
    auto guide = cleanupGuide_;
    const double W = drawable->width(), H = drawable->height();
    const image::Rect bounds{0, 0, W, H};

    std::function<void()> presented;
    if (presentationCompletion_) {
        presented = [weak = weakSelf(), W, H] {
            auto self = weak.lock();
            if (!self) return;
            ImageSurface& surface = **self;
            const image::Size backing = surface.host_.backingSize();
            if (backing.width == W && backing.height == H && surface.presentationCompletion_) {
                auto completion = std::move(surface.presentationCompletion_);
                surface.presentationCompletion_ = nullptr;
                completion();
            }
        };
    }

    if (!onGPU) {
        try {
            drawOnCPU(drawable, *canvas);
        } catch (const std::exception& error) {
            // As on the GPU: this state is not drawn again until something changes.
            std::fprintf(stderr, "Lumavane: the picture could not be drawn: %s\n", error.what());
            return;
        }
        presentedSequence_ = sequence;
        host_.present(drawable, std::move(presented));
        const double end = clock_();
        if (heldUp) nextStandInAt_ = end + 2 * (end - t1);
        trace_.record("displayEncode", -1, (end - t1) * 1000);
        return;
    }

    PresentationEncoding encoding;
    try {
        encoding = encodePresentation(*canvas, guide, drawable->texture(), commandBuffer, bounds, contentRect);
    } catch (const std::exception& error) {
        // A recipe the renderer refuses: this state is not drawn again until something changes.
        std::fprintf(stderr, "Lumavane: the picture could not be drawn: %s\n", error.what());
        return;
    }
    rendersInFlight_.push_back({sequence, clock_()});
    ++*handlersPending_;
    commandBuffer->addCompletedHandler([weak = weakSelf(), &executor = executor_, drawable, picture, guide, sequence,
                                        pending = handlersPending_, keepAlive = std::move(encoding.textures),
                                        presented = std::move(presented)](gpu::CommandBuffer& buffer) mutable {
        const double gpuMS = std::max(buffer.GPUEndTime() - buffer.GPUStartTime(), 0.0) * 1000;
        const bool completed = buffer.status() == gpu::CommandBuffer::Status::completed;
        keepAlive.clear();
        picture.reset();
        guide.reset();
        executor.post([weak, drawable = std::move(drawable), presented = std::move(presented), gpuMS, completed,
                       sequence]() mutable {
            auto self = weak.lock();
            if (!self) return;
            ImageSurface& surface = **self;
            std::erase_if(surface.rendersInFlight_, [&](const RenderInFlight& r) { return r.sequence == sequence; });
            // A picture drawn on the CPU while this one was held up is newer: it stays.
            if (completed && sequence > surface.presentedSequence_) {
                surface.presentedSequence_ = sequence;
                surface.host_.present(std::move(drawable), std::move(presented));
            }
            if (surface.reportTiming) surface.reportTiming(gpuMS);
            if (!surface.lastSubmittedRevision_ || *surface.lastSubmittedRevision_ != surface.revision_)
                surface.host_.setNeedsDisplay();
        });
        --*pending;
    });
    commandBuffer->commit();
    trace_.record("displayEncode", -1, (clock_() - t1) * 1000);
}

std::optional<image::Size> ImageSurface::captureSize(const std::string& mode) const {
    if (!hasArea(image_)) return std::nullopt;
    image::Size size;
    std::optional<image::Size> original = mode == "original" && originalSize ? originalSize() : std::nullopt;
    if (mode == "original" && original) {
        size = *original;
    } else if (mode == "original" || mode == "output") {
        size = {image_->extent().width, image_->extent().height};
    } else {
        size = host_.drawableSize();
    }
    double w = atLeastOne(size.width), h = atLeastOne(size.height);
    if (!std::isfinite(w) || !std::isfinite(h)) return std::nullopt;
    // A texture larger than the device allows cannot be made: shrink, keeping the shape.
    const double scale = std::min({1.0, maximumTextureDimension / w, maximumTextureDimension / h});
    if (scale < 1) w = atLeastOne(w * scale), h = atLeastOne(h * scale);
    return image::Size{w, h};
}

void ImageSurface::captureFrame(CaptureRequest request, const std::string& storedSizeMode, CaptureHandler handler,
                                std::function<void(const std::string&)> showError) {
    auto fail = [&](const std::string& why) {
        if (showError) showError("The frame could not be captured: " + why);
    };
    if (!hasArea(image_)) return; // nothing shown, nothing to capture
    installPrograms(true);        // a capture has the passes
    const std::string mode = request.sizeMode.value_or(storedSizeMode.empty() ? "screen" : storedSizeMode);
    const auto size = captureSize(mode);
    if (!size) return fail("the capture size is not usable.");
    const int W = int(size->width), H = int(size->height);
    auto target = SurfaceDrawable::make(device_.get(), W, H);
    if (!target) return fail("no texture of " + std::to_string(W) + " × " + std::to_string(H) + " pixels.");
    const image::Rect bounds{0, 0, double(W), double(H)};
    const FittedImage fitted = fittedImage(*image_, bounds);
    const image::Image canvas = fitted.image.composited(image::Image::constantColor({0, 0, 0, 1}).cropped(bounds));
    std::optional<image::CPUImage> overlay;
    if (captureOverlay) {
        const double scale = W / std::max(host_.pointSize().width, 1.0);
        overlay = captureOverlay({W / scale, H / scale}, scale);
    }
    auto finish = [handler, fail = showError, completion = std::move(request.completion)](
                      const SurfaceDrawable& picture, std::optional<image::CPUImage> overlay) {
        std::vector<std::uint8_t> bytes(picture.bytesPerRow() * std::size_t(picture.height()));
        std::copy(picture.pixels(), picture.pixels() + bytes.size(), bytes.begin());
        auto cpu = image::CPUImage::make(picture.width(), picture.height(), 8, 32, picture.bytesPerRow(),
                                         std::move(bytes));
        if (!cpu) {
            if (fail) fail("The frame could not be captured: no bitmap could be made.");
            return;
        }
        handler(std::move(*cpu), std::move(overlay), completion);
    };
    if (!commandQueue_) {
        image::renderOnCPU(canvas, target->mutablePixels(), W, H, target->bytesPerRow());
        finish(*target, std::move(overlay));
        return;
    }
    auto commandBuffer = commandQueue_->commandBuffer();
    if (!commandBuffer) return fail("no GPU command buffer.");
    PresentationEncoding encoding;
    try {
        encoding = encodePresentation(canvas, cleanupGuide_, target->texture(), commandBuffer, bounds,
                                      fitted.contentRect);
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    ++*handlersPending_;
    commandBuffer->addCompletedHandler([weak = weakSelf(), &executor = executor_, target, finish,
                                        pending = handlersPending_, keepAlive = std::move(encoding.textures),
                                        overlay = std::move(overlay), showError](gpu::CommandBuffer& buffer) mutable {
        keepAlive.clear();
        std::optional<std::string> error;
        if (buffer.status() != gpu::CommandBuffer::Status::completed)
            error = buffer.error() ? buffer.error()->what() : "the GPU did not finish the capture.";
        executor.post([weak, target, finish, overlay = std::move(overlay), showError, error]() mutable {
            if (!weak.lock()) return;
            if (error) {
                if (showError) showError("The frame could not be captured: " + *error);
                return;
            }
            finish(*target, std::move(overlay));
        });
        --*pending;
    });
    commandBuffer->commit();
}

} // namespace lumavane
