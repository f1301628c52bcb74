#include "Lumavane/Session/PlaybackEnhancer.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "EnhancementCore/CompactEnhancer.hpp"
#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/Enhancer.hpp"
#include "EnhancementCore/ModelFormat.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Models/ModelArchiveImporter.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "VideoPresentation/PostProcessRenderer.hpp"

#include <algorithm>
#include <cstdio>

namespace lumavane {

namespace {

class CorePlaybackEnhancer final : public PlaybackEnhancer {
public:
    explicit CorePlaybackEnhancer(const std::filesystem::path& url)
        : enhancer_(url, 16, ml::ComputeUnits::cpuAndGPU, false) {}
    const ModelInfo& info() const override { return enhancer_.info(); }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>&,
                                       std::optional<image::Size>, const CancellationToken& cancellation) override {
        return enhancer_.enhancePipelined(image, 3, CompositeBackend::metal, cancellation);
    }

private:
    Enhancer enhancer_;
};

class CompactPlaybackEnhancer final : public PlaybackEnhancer {
public:
    explicit CompactPlaybackEnhancer(std::unique_ptr<CompactEnhancer> enhancer) : enhancer_(std::move(enhancer)) {}
    const ModelInfo& info() const override { return enhancer_->info(); }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>& buffer,
                                       std::optional<image::Size> outputSize,
                                       const CancellationToken& cancellation) override {
        if (buffer) {
            const std::uint32_t format = buffer->pixelFormat();
            if (format == LV_PIXEL_FORMAT_32BGRA || format == LV_PIXEL_FORMAT_420V ||
                format == LV_PIXEL_FORMAT_420F) {
                return enhancer_->enhance(*buffer, outputSize, cancellation);
            }
        }
        return enhancer_->enhance(image, outputSize, cancellation);
    }
    double lastGPUMS() const override { return enhancer_->lastGPUMS(); }
    bool supportsNative4xOutput() const override { return enhancer_->supportsNative4xOutput(); }
    bool supportsOptimalDisplayOutput() const override { return enhancer_->supportsOptimalDisplayOutput(); }

private:
    std::unique_ptr<CompactEnhancer> enhancer_;
};

} // namespace

std::shared_ptr<PlaybackEnhancer> ModelPlaybackEnhancerFactory::make(const std::filesystem::path& url,
                                                                     OutputScale scale) {
    if (detect(url) == ModelFormat::coreML) return std::make_shared<CorePlaybackEnhancer>(url);
    CompactEnhancerOptions options;
    options.url = url;
    options.directInput = true;
    options.native4xOutput = scale == OutputScale::four;
    options.optimalDisplayOutput = scale == OutputScale::optimal;
    auto enhancer = std::make_unique<CompactEnhancer>(options);
    if (scale == OutputScale::optimal && !enhancer->supportsOptimalDisplayOutput()) {
        enhancer.reset(); // one engine at a time
        options.native4xOutput = false;
        options.optimalDisplayOutput = false;
        enhancer = std::make_unique<CompactEnhancer>(options);
    }
    return std::make_shared<CompactPlaybackEnhancer>(std::move(enhancer));
}

PreEnhancementProcessor::PreEnhancementProcessor() = default;
PreEnhancementProcessor::~PreEnhancementProcessor() = default;

std::optional<image::Image> PreEnhancementProcessor::render(const image::Image& image,
                                                            const PostProcessConfiguration& configuration) {
    std::call_once(once_, [this] {
        try {
            if (auto device = gpu::Device::systemDefault()) renderer_ = std::make_unique<PostProcessRenderer>(device);
        } catch (const std::exception&) {
            // No device: the pass is skipped for good.
        }
    });
    if (!renderer_) return std::nullopt;
    return renderer_->render(image, configuration);
}

std::string failureText(const Localize& localize, const char* message, const std::string& name) {
    return AppLocalization::formatString(localize(message), "", {name});
}

std::string displayName(const std::filesystem::path& url) {
    // "folder/" names the folder.
    return (url.has_filename() ? url.filename() : url.parent_path().filename()).string();
}

std::string errorDescription(const std::exception_ptr& error, const Localize& localize,
                             const std::string& general) {
    std::string detail;
    try {
        std::rethrow_exception(error);
    } catch (const EnhancementError& enhancement) {
        const std::vector<long long>& numbers = enhancement.numbers();
        return AppLocalization::formatString(localize(enhancement.format()), "",
                                             std::vector<FormatArgument>(numbers.begin(), numbers.end()));
    } catch (const ModelSeriesManifest::ManifestError& manifest) {
        return localize(manifest.what());
    } catch (const ModelArchiveImporter::ArchiveError& archive) {
        return localize(archive.what());
    } catch (const BenchmarkError& benchmark) {
        return localize(benchmark.what());
    } catch (const PlatformError& platform) {
        // The compact engines' "no device" says what the Core ML road says in words.
        if (platform.domain() == CompactMetalError::metalUnavailableDomain)
            return localize(EnhancementMessage::noMetalDevice);
        // The engine's output limit is the enhancers' own message.
        const std::optional<std::string>& description = platform.localizedDescriptionIfSet();
        if (description && std::find(EnhancementMessage::all.begin(), EnhancementMessage::all.end(),
                                     *description) != EnhancementMessage::all.end())
            return localize(*description);
        detail = platform.domain() + ": " + platform.localizedDescription();
    } catch (const std::exception& other) {
        detail = other.what();
    } catch (...) {
        detail = "unknown error";
    }
    std::fprintf(stderr, "Lumavane: %s (%s)\n", general.c_str(), detail.c_str());
    return general;
}

std::string modelFailureDescription(const std::exception_ptr& error, const Localize& localize,
                                    const char* message, const std::string& name) {
    return errorDescription(error, localize, failureText(localize, message, name));
}

bool isOutputBusy(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const EnhancementError& enhancement) {
        return enhancement.message() == EnhancementMessage::outputBusy;
    } catch (...) {
        return false;
    }
}

} // namespace lumavane
