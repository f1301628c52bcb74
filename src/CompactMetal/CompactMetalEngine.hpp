#pragma once

#include "CompactMetal/ApproxDown2Winograd.hpp"
#include "CompactMetal/CompactModel.hpp"
#include "CompactMetal/Conv24Kernel.hpp"
#include "CompactMetal/Conv24Weights.hpp"
#include "CompactMetal/ConvWinograd.hpp"
#include "CompactMetal/RectTail.hpp"
#include "CompactMetal/RectangularWinograd.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumavane {

// The engine's construction arguments. Both live clients pass the defaults for everything but
// the three custom-kernel choices; the rest serves benchmarks and experiments.
struct CompactMetalEngineOptions {
    std::filesystem::path folder;
    // Half-precision platform convolutions; also what every custom kernel path requires.
    bool halfAccumulator = true;
    // Block-wise 2x reconstruction of the benchmark buffers; only 2x models use it.
    bool blockFinish = true;
    // nullopt takes "reduced_precision" from the manifest (false when absent).
    std::optional<bool> reducedPrecision;
    // Real input and output buffers at the manifest size and full-size input and last images.
    // Without them the activation images are made for the first frame (resize or encode), not
    // for the size the manifest declares: a declaration costs no memory until frames come.
    bool benchmarkBuffers = false;
    bool disableInternalTiling = false;
    // Force the 24- and 16-channel custom kernels on or off; nullopt decides from the model and
    // the device.
    std::optional<bool> customConv24;
    // 24-channel kernel mode; nullopt takes it from "conv24_backend".
    std::optional<std::string> conv24Mode;
    // Output scale of the benchmark buffers; nullopt is the model's scale.
    std::optional<std::int64_t> benchmarkOutputScale;
    std::optional<bool> customConv16;
    bool uniformInputOptimization = false;
    // The device to run on; nullptr takes the system default. Tests give devices answering with
    // other GPU families so that every road can run here.
    std::shared_ptr<gpu::Device> device;
};

// Runs one compact model: input conversion, one stage per 3x3 layer (the platform convolution,
// or the engine's Winograd, 24-channel or rectangular kernels where the model, device and
// caller allow them), and the reconstruction (pixel shuffle plus the input as residual), or a
// fused tail doing the last layer and the reconstruction in one pass. Everything expensive
// happens at construction; afterwards the engine resizes its images and records work.
// Not thread-safe: one caller at a time.
class CompactMetalEngine {
public:
    struct StageTime {
        std::string name;
        double gpuMS = 0;
    };

    // Throws the module's check errors in the order the folder and arguments are examined,
    // CompactMetalError::metalUnavailable() without a device, and passes file, JSON, compile,
    // pipeline and kernel construction errors through. Nothing survives a failed construction.
    explicit CompactMetalEngine(const CompactMetalEngineOptions& options);

    // Makes the activation images fit width x height frames (made now when they are still
    // waiting for the first frame, even at the current size). "Only native output or fused
    // 4x-to-2x output is supported" and "出力上限（各辺8192px・約33MP）を超えています。"
    // are checked first; an image the device cannot allocate throws the Gpu layer's
    // out-of-memory error. A failed resize leaves the engine exactly as it was.
    void resize(std::int64_t width, std::int64_t height,
                std::optional<std::int64_t> outputScale = std::nullopt);

    // Records one frame into `commandBuffer` (never commits or waits). `source` is a
    // frameWidth x frameHeight picture; `destination` gets the output (S times the frame, or,
    // with optimalDisplayOutput, any size up to 4x). directInput lets the first layer read
    // `source` itself. A refused frame records nothing and changes nothing: an output beyond
    // the output limit and a command buffer already committed are refused.
    void encode(const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                const std::shared_ptr<gpu::CommandBuffer>& commandBuffer, bool directInput,
                std::optional<std::int64_t> outputScale, bool flipOutputY, bool optimalDisplayOutput);

    // One command buffer per stage on the engine's queue, run to completion; GPU time per stage.
    std::vector<StageTime> profile(const std::shared_ptr<gpu::Texture>& source,
                                   const std::shared_ptr<gpu::Texture>& destination,
                                   std::optional<std::int64_t> outputScale);

    // The benchmark frame from `input` into `output`; its GPU time in milliseconds.
    double run(std::optional<std::int64_t> outputScale);

    // Readouts.
    std::size_t activationAllocatedBytes() const;
    std::string convolutionBackend() const;
    bool usesApproximateDown2() const noexcept { return approximateDown2_ != nullptr; }
    bool supportsOptimalDisplayOutput() const noexcept { return optimalOutput_ != nullptr; }
    bool usesRectangularWinograd() const noexcept { return !rectangular_.empty(); }
    bool usesRectangularHQFusedTail() const noexcept { return rectangularHQTail_ != nullptr; }
    bool usesUniformInputOptimization() const noexcept { return usesUniformInputOptimization_; }
    double previousUniformInputFraction() const noexcept { return previousUniformInputFraction_; }

    const std::shared_ptr<gpu::Device>& device() const noexcept { return device_; }
    const std::shared_ptr<gpu::CommandQueue>& queue() const noexcept { return queue_; }
    const Manifest& manifest() const noexcept { return manifest_; }
    const std::shared_ptr<gpu::Buffer>& input() const noexcept { return input_; }
    const std::shared_ptr<gpu::Buffer>& output() const noexcept { return output_; }

    // The engine's state, read-only, for its tools and tests.
    std::int64_t frameWidth() const noexcept { return frameWidth_; }
    std::int64_t frameHeight() const noexcept { return frameHeight_; }
    const std::vector<std::shared_ptr<gpu::FeatureImage>>& images() const noexcept { return images_; }
    const std::vector<std::shared_ptr<gpu::Convolution>>& convolutions() const noexcept {
        return convolutions_;
    }
    bool blockFinish() const noexcept { return blockFinish_; }
    bool deferReconstructionImage() const noexcept { return deferReconstructionImage_; }
    bool deferInputImage() const noexcept { return deferInputImage_; }
    const std::map<int, std::shared_ptr<ConvWinograd>>& conv16() const noexcept { return conv16_; }
    const std::map<int, std::shared_ptr<RectangularWinograd>>& rectangular() const noexcept {
        return rectangular_;
    }
    const std::shared_ptr<RectTail>& rectangularTail() const noexcept { return rectangularTail_; }
    const std::shared_ptr<RectTail24>& rectangularHQTail() const noexcept { return rectangularHQTail_; }
    const std::shared_ptr<ApproxDown2Winograd>& approximateDown2() const noexcept {
        return approximateDown2_;
    }
    const std::shared_ptr<ApproxDown2Winograd>& optimalOutput() const noexcept { return optimalOutput_; }
    const std::shared_ptr<ConvWinograd>& conv24Output() const noexcept { return conv24Output_; }
    const std::shared_ptr<Conv24Kernel>& conv24() const noexcept { return conv24_; }
    const std::map<int, std::shared_ptr<Conv24Weights>>& conv24Weights() const noexcept {
        return conv24Weights_;
    }
    const std::shared_ptr<gpu::Buffer>& uniformCounter() const noexcept { return uniformCounter_; }
    std::uint32_t uniformSampleCount() const noexcept { return uniformSampleCount_; }
    int uniformHighFrames() const noexcept { return uniformHighFrames_; }

    struct Pipelines {
        std::shared_ptr<gpu::ComputePipelineState> unpack, finish, finish4xDown2, textureUnpack,
            textureFinish, textureFinish4xDown2, textureFinish4xDown2Flipped;
        // textureFinish writing the rows bottom up, so a flip asked of the plain native-scale
        // reconstruction is honoured like everywhere else.
        std::shared_ptr<gpu::ComputePipelineState> textureFinishFlipped;
    };
    const Pipelines& pipelines() const noexcept { return pipelines_; }

private:
    using CommandForStage = std::function<std::shared_ptr<gpu::CommandBuffer>(const std::string&)>;

    void encodeStages(const std::shared_ptr<gpu::Texture>& source,
                      const std::shared_ptr<gpu::Texture>& destination, bool directInput,
                      std::optional<std::int64_t> outputScale, bool flipOutputY, bool optimalDisplayOutput,
                      const CommandForStage& commandForStage);
    void updateUniformStatistics(std::int64_t outputScale);
    // Whether the last layer ended the frame with one of the fused tails.
    bool encodeTail(const std::shared_ptr<gpu::Texture>& source,
                    const std::shared_ptr<gpu::Texture>& destination,
                    const std::shared_ptr<gpu::CommandBuffer>& command, std::int64_t outputScale,
                    bool flipOutputY, bool optimalDisplayOutput);
    void prepareImage(std::size_t index);
    std::vector<std::shared_ptr<gpu::FeatureImage>> makeImages(std::int64_t width, std::int64_t height) const;

    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::CommandQueue> queue_;
    Manifest manifest_;
    std::shared_ptr<gpu::Buffer> input_;
    std::shared_ptr<gpu::Buffer> output_;
    Pipelines pipelines_;
    bool blockFinish_ = false;
    std::vector<std::shared_ptr<gpu::Convolution>> convolutions_;
    std::vector<std::shared_ptr<gpu::FeatureImage>> images_;
    std::map<int, std::shared_ptr<ConvWinograd>> conv16_;
    std::map<int, std::shared_ptr<RectangularWinograd>> rectangular_;
    std::shared_ptr<RectTail> rectangularTail_;
    std::shared_ptr<RectTail24> rectangularHQTail_;
    std::shared_ptr<ApproxDown2Winograd> approximateDown2_;
    std::shared_ptr<ApproxDown2Winograd> optimalOutput_;
    std::shared_ptr<ConvWinograd> conv24Output_;
    std::shared_ptr<Conv24Kernel> conv24_;
    std::map<int, std::shared_ptr<Conv24Weights>> conv24Weights_;
    bool deferReconstructionImage_ = false;
    bool deferInputImage_ = false;
    bool activationsDeferred_ = false; // images_ are 1x1 placeholders until the first frame
    std::shared_ptr<gpu::Buffer> uniformCounter_;
    std::uint32_t uniformSampleCount_ = 0;
    int uniformHighFrames_ = 0;
    bool usesUniformInputOptimization_ = false;
    double previousUniformInputFraction_ = 0.0;
    std::int64_t frameWidth_ = 0;
    std::int64_t frameHeight_ = 0;
};

} // namespace lumavane
