#include "EnhancementCore/CompactEnhancer.hpp"

#include "CompactMetal/CompactMetalEngine.hpp"
#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/EnhancerBuffers.hpp"
#include "EnhancementCore/MetalBufferView.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Context.hpp"

#include <algorithm>
#include <cmath>
#include <future>

namespace lumavane {
namespace {

// At most this many output buffers exist at a time: the display may hold several recent
// frames while inference goes on.
constexpr std::size_t kOutputAllocationThreshold = 6;
constexpr std::int64_t kMaxOutputSide = 8192;
constexpr std::int64_t kMaxOutputPixels = 33'554'432;
constexpr double kMaxImageSide = 8192;

const char* const kEnhanceOperation = "CompactEnhancer.enhance";
const char* const kRenderOperation = "CompactEnhancer.render";

bool isUsableExtent(const image::Rect& extent) {
    const auto side = [](double value) {
        return std::isfinite(value) && value > 0 && value <= kMaxImageSide && value == std::floor(value);
    };
    return !extent.isNull() && !extent.isInfinite() && side(extent.width) && side(extent.height) &&
           extent.x == 0 && extent.y == 0;
}

// A requested output side: rounded half away from zero, then at least 1 and at most `largest`.
std::int64_t outputSide(double requested, std::int64_t largest) {
    const double rounded = std::round(requested);
    if (!(rounded >= 1)) return 1; // also NaN
    return rounded >= double(largest) ? std::max<std::int64_t>(largest, 1) : std::int64_t(rounded);
}

std::string modelName(const std::filesystem::path& url) {
    std::filesystem::path path = url;
    if (!path.has_filename()) path = path.parent_path(); // "folder/" names the folder
    return path.stem().string();
}

} // namespace

CompactEnhancer::CompactEnhancer(const CompactEnhancerOptions& options)
    : optimalDisplayOutput_(options.optimalDisplayOutput), directInput_(options.directInput) {
    CompactMetalEngineOptions engineOptions;
    engineOptions.folder = options.url;
    engineOptions.halfAccumulator = true;
    engineOptions.blockFinish = true;
    engineOptions.reducedPrecision = std::nullopt;
    engineOptions.benchmarkBuffers = false;
    engineOptions.disableInternalTiling = false;
    engineOptions.customConv24 = options.customConv24;
    engineOptions.conv24Mode = options.conv24Mode;
    engineOptions.benchmarkOutputScale = std::nullopt;
    engineOptions.customConv16 = options.customConv16;
    engineOptions.uniformInputOptimization = false;
    engineOptions.device = options.device;
    engine_ = std::make_unique<CompactMetalEngine>(engineOptions);

    const Manifest& manifest = engine_->manifest();
    const std::int64_t modelScale = manifest.scale;
    outputScale_ = modelScale == 4 ? (options.native4xOutput ? 4 : 2) : modelScale;

    std::string name = modelName(options.url) + " · OpenCL FP16";
    if (modelScale == 4) {
        if (options.optimalDisplayOutput)
            name += " · Optimal display";
        else if (options.native4xOutput)
            name += " · Native 4×";
        else
            name += " · 4×SS→2×";
    }
    info_ = ModelInfo{std::move(name),
                      int(manifest.width),
                      int(manifest.height),
                      int(outputScale_),
                      manifest.license.value_or("未指定"),
                      manifest.source.value_or("未指定"),
                      false};

    context_ = image::Context::make(engine_->device());
    cache_ = MetalTextureCache::make(engine_->device());
    if (!cache_) throw EnhancementError::invalid(EnhancementMessage::textureCache);

    outputWidth_ = manifest.width * outputScale_;
    outputHeight_ = manifest.height * outputScale_;
    pool_ = enhancerOutputPool(outputWidth_, outputHeight_);
    if (!pool_) throw EnhancementError::invalid(EnhancementMessage::outputPool);
}

CompactEnhancer::~CompactEnhancer() = default;

std::string CompactEnhancer::convolutionBackend() const { return engine_->convolutionBackend(); }
bool CompactEnhancer::usesApproximateDown2() const { return engine_->usesApproximateDown2(); }
std::size_t CompactEnhancer::activationAllocatedBytes() const { return engine_->activationAllocatedBytes(); }
bool CompactEnhancer::usesUniformInputOptimization() const { return engine_->usesUniformInputOptimization(); }
double CompactEnhancer::previousUniformInputFraction() const {
    return engine_->previousUniformInputFraction();
}
bool CompactEnhancer::supportsNative4xOutput() const { return engine_->manifest().scale == 4; }
bool CompactEnhancer::supportsOptimalDisplayOutput() const { return engine_->supportsOptimalDisplayOutput(); }

// Public operations -------------------------------------------------------------------------

EnhancementResult CompactEnhancer::enhance(const image::Image& image, const CancellationToken& cancellation) {
    return *enhanceImage(image, {std::nullopt, nullptr, false, kEnhanceOperation}, cancellation);
}

EnhancementResult CompactEnhancer::enhance(const image::Image& image, std::optional<image::Size> outputSize,
                                           const CancellationToken& cancellation) {
    return *enhanceImage(image, {outputSize, nullptr, false, kEnhanceOperation}, cancellation);
}

EnhancementResult CompactEnhancer::enhance(const image::Image& image,
                                           const std::shared_ptr<gpu::Texture>& renderingTo,
                                           const CancellationToken& cancellation) {
    return *enhanceImage(image, {std::nullopt, renderingTo, false, kEnhanceOperation}, cancellation);
}

EnhancementResult CompactEnhancer::enhance(const PixelBuffer& pixelBuffer,
                                           const CancellationToken& cancellation) {
    return *enhancePixelBuffer(pixelBuffer, {std::nullopt, nullptr, false, kEnhanceOperation}, cancellation);
}

EnhancementResult CompactEnhancer::enhance(const PixelBuffer& pixelBuffer,
                                           std::optional<image::Size> outputSize,
                                           const CancellationToken& cancellation) {
    return *enhancePixelBuffer(pixelBuffer, {outputSize, nullptr, false, kEnhanceOperation}, cancellation);
}

EnhancementResult CompactEnhancer::enhance(const PixelBuffer& pixelBuffer,
                                           const std::shared_ptr<gpu::Texture>& renderingTo,
                                           const CancellationToken& cancellation) {
    return *enhancePixelBuffer(pixelBuffer, {std::nullopt, renderingTo, false, kEnhanceOperation},
                               cancellation);
}

void CompactEnhancer::render(const image::Image& image, const std::shared_ptr<gpu::Texture>& to,
                             const CancellationToken& cancellation) {
    enhanceImage(image, {std::nullopt, to, true, kRenderOperation}, cancellation);
}

void CompactEnhancer::render(const PixelBuffer& pixelBuffer, const std::shared_ptr<gpu::Texture>& to,
                             const CancellationToken& cancellation) {
    enhancePixelBuffer(pixelBuffer, {std::nullopt, to, true, kRenderOperation}, cancellation);
}

// Inputs ------------------------------------------------------------------------------------

std::optional<EnhancementResult> CompactEnhancer::enhanceImage(const image::Image& image,
                                                               const Request& request,
                                                               const CancellationToken& cancellation) {
    cancellation.throwIfCancelled();
    const image::Rect extent = image.extent();
    if (!isUsableExtent(extent)) throw EnhancementError::invalid(EnhancementMessage::imageExtent);
    std::optional<image::Size> outputSize = request.outputSize;
    if (request.target)
        outputSize = image::Size{double(request.target->width()), double(request.target->height())};
    prepare(std::int64_t(extent.width), std::int64_t(extent.height), outputSize);
    if (!inputTexture_) {
        auto descriptor = gpu::TextureDescriptor::texture2D(
            gpu::PixelFormat::bgra8Unorm, std::size_t(info_.inputWidth), std::size_t(info_.inputHeight));
        descriptor.mipmapLevelCount = 1;
        descriptor.storageMode = gpu::StorageMode::privateStorage;
        descriptor.usage =
            gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite | gpu::textureUsageRenderTarget;
        inputTexture_ = engine_->device()->newTexture(descriptor);
        if (!inputTexture_) throw EnhancementError::invalid(EnhancementMessage::inputTexture);
    }
    return dispatch(inputTexture_, &image, request, cancellation);
}

std::optional<EnhancementResult> CompactEnhancer::enhancePixelBuffer(const PixelBuffer& pixelBuffer,
                                                                     const Request& request,
                                                                     const CancellationToken& cancellation) {
    cancellation.throwIfCancelled();
    if (!pixelBuffer || pixelBuffer.pixelFormat() != LV_PIXEL_FORMAT_32BGRA)
        return enhanceImage(image::Image::fromPixelBuffer(pixelBuffer), request, cancellation);

    std::optional<image::Size> outputSize = request.outputSize;
    if (request.target)
        outputSize = image::Size{double(request.target->width()), double(request.target->height())};
    prepare(std::int64_t(pixelBuffer.width()), std::int64_t(pixelBuffer.height()), outputSize);
    lastInputPreparationMS_ = 0;
    // The view's texture keeps the caller's buffer alive for as long as the GPU reads it.
    const MetalBufferView view(pixelBuffer, *cache_);
    return dispatch(view.texture(), nullptr, request, cancellation);
}

std::optional<EnhancementResult> CompactEnhancer::dispatch(const std::shared_ptr<gpu::Texture>& source,
                                                           const image::Image* preparing,
                                                           const Request& request,
                                                           const CancellationToken& cancellation) {
    if (request.direct) {
        processDirect(source, request.target, preparing, request.operation, cancellation);
        return std::nullopt;
    }
    return process(source, preparing, request.target, request.operation, cancellation);
}

// Sizing ------------------------------------------------------------------------------------

void CompactEnhancer::prepare(std::int64_t width, std::int64_t height,
                              std::optional<image::Size> outputSize) {
    const std::int64_t modelScale = engine_->manifest().scale;
    // Computed before anything is compared, so that an empty frame still gets an output of 1 x 1
    // and is refused by the limits below.
    std::int64_t targetWidth = width * outputScale_, targetHeight = height * outputScale_;
    if (optimalDisplayOutput_) {
        const std::int64_t largestWidth = width * modelScale, largestHeight = height * modelScale;
        targetWidth = outputSize ? outputSide(outputSize->width, largestWidth) : 2 * width;
        targetHeight = outputSize ? outputSide(outputSize->height, largestHeight) : 2 * height;
        targetWidth = std::max<std::int64_t>(1, std::min(targetWidth, largestWidth));
        targetHeight = std::max<std::int64_t>(1, std::min(targetHeight, largestHeight));
    } else {
        targetWidth = std::max<std::int64_t>(1, targetWidth);
        targetHeight = std::max<std::int64_t>(1, targetHeight);
    }

    if (width == info_.inputWidth && height == info_.inputHeight && targetWidth == outputWidth_ &&
        targetHeight == outputHeight_)
        return;

    bool withinLimits = width >= 1 && height >= 1;
    if (optimalDisplayOutput_) {
        // The display-optimal output is the asked size (up to the model's scale), not frame x scale.
        withinLimits = withinLimits && targetWidth <= kMaxOutputSide && targetHeight <= kMaxOutputSide &&
                       targetWidth * targetHeight <= kMaxOutputPixels;
    } else {
        const std::int64_t s = info_.scale;
        withinLimits = withinLimits && width <= kMaxOutputSide / s && height <= kMaxOutputSide / s &&
                       width * height * s * s <= kMaxOutputPixels;
    }
    if (!withinLimits) throw EnhancementError::invalid(EnhancementMessage::metalOutputLimit);

    PixelBufferPool pool = enhancerOutputPool(targetWidth, targetHeight);
    if (!pool) throw EnhancementError::invalid(EnhancementMessage::resizedPool);
    engine_->resize(width, height, outputScale_);

    inputTexture_.reset();
    pool_ = std::move(pool);
    outputWidth_ = targetWidth;
    outputHeight_ = targetHeight;
    info_.inputWidth = int(width);
    info_.inputHeight = int(height);
    info_.isWholeFrame = false;
}

// Running a frame ---------------------------------------------------------------------------

std::shared_ptr<gpu::CommandBuffer> CompactEnhancer::makeCommandBuffer(const char* operation) const {
    auto commandBuffer = engine_->queue()->commandBuffer();
    if (!commandBuffer) throw EnhancementError::invalid(EnhancementMessage::metalCommand);
    commandBuffer->setLabel(operation);
    return commandBuffer;
}

void CompactEnhancer::prepareInput(const image::Image& image, const std::shared_ptr<gpu::Texture>& source,
                                   const std::shared_ptr<gpu::CommandBuffer>& commandBuffer) {
    const double start = hostTimeSeconds();
    // Flipped: the engine reads texture rows top first, as in a pixel buffer.
    context_->render(image, source, commandBuffer, true);
    lastInputPreparationMS_ = (hostTimeSeconds() - start) * 1000;
}

EnhancementResult CompactEnhancer::process(const std::shared_ptr<gpu::Texture>& source,
                                           const image::Image* preparing,
                                           const std::shared_ptr<gpu::Texture>& target, const char* operation,
                                           const CancellationToken& cancellation) {
    // Before the engine records anything: a refused frame must leave the engine as it was.
    if (target &&
        (std::int64_t(target->width()) != outputWidth_ || std::int64_t(target->height()) != outputHeight_))
        throw EnhancementError::invalid(EnhancementMessage::renderTargetSize);

    PixelBuffer output = pool_.tryCreateBuffer(kOutputAllocationThreshold);
    if (!output) throw EnhancementError::invalid(EnhancementMessage::outputBusy);
    const MetalBufferView view(output, *cache_);
    auto commandBuffer = makeCommandBuffer(operation);
    if (preparing) prepareInput(*preparing, source, commandBuffer);
    engine_->encode(source, view.texture(), commandBuffer, directInput_, outputScale_, false,
                    optimalDisplayOutput_);
    EnhancementResult result{image::Image::fromPixelBuffer(output), 1};
    if (target) context_->render(result.image, target, commandBuffer, false);
    commitAndWait(commandBuffer, cancellation);
    return result;
}

void CompactEnhancer::processDirect(const std::shared_ptr<gpu::Texture>& source,
                                    const std::shared_ptr<gpu::Texture>& destination,
                                    const image::Image* preparing, const char* operation,
                                    const CancellationToken& cancellation) {
    if (!destination || std::int64_t(destination->width()) != outputWidth_ ||
        std::int64_t(destination->height()) != outputHeight_ ||
        destination->pixelFormat() != gpu::PixelFormat::bgra8Unorm)
        throw EnhancementError::invalid(EnhancementMessage::directDestination);
    if (!engineFlipsOutput()) {
        // The engine writes these models' output top row first only; a pooled frame rendered
        // into the destination by the image layer stands it the right way up.
        process(source, preparing, destination, operation, cancellation);
        return;
    }
    auto commandBuffer = makeCommandBuffer(operation);
    if (preparing) prepareInput(*preparing, source, commandBuffer);
    engine_->encode(source, destination, commandBuffer, directInput_, outputScale_, true,
                    optimalDisplayOutput_);
    commitAndWait(commandBuffer, cancellation);
}

bool CompactEnhancer::engineFlipsOutput() const {
    // The engine refuses a flipped output from 2x and 3x models.
    return engine_->manifest().scale == 4;
}

void CompactEnhancer::commitAndWait(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                                    const CancellationToken& cancellation) {
    // Dropping an uncommitted buffer runs nothing and lets go of the output buffer.
    cancellation.throwIfCancelled();
    auto completion = std::make_shared<std::promise<double>>();
    auto gpuMS = completion->get_future();
    commandBuffer->addCompletedHandler([completion](gpu::CommandBuffer& finished) {
        if (auto error = finished.error())
            completion->set_exception(std::make_exception_ptr(*error));
        else
            completion->set_value((finished.GPUEndTime() - finished.GPUStartTime()) * 1000);
    });
    commandBuffer->commit();
    gpuMS.wait();
    // The buffer lets go of the textures it used only after its handlers have run; waiting for
    // that puts the output buffer back in the pool as soon as the caller drops the result.
    commandBuffer->waitUntilCompleted();
    lastGPUMS_ = gpuMS.get();
    cancellation.throwIfCancelled();
}

} // namespace lumavane
