#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

// One convolution of a SPAN model folder: its weights are "<name>.weights" (output channel,
// kernel row, kernel column, input channel) and its biases "<name>.bias".
struct SPANLayer {
    std::string name;
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t kernel = 0;
};

// "manifest.json" of a SPAN model folder. Field names follow the keys.
struct SPANManifest {
    std::string architecture;
    std::string variant;
    std::int64_t scale = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t feature_channels = 0;
    std::vector<SPANLayer> layers;
    std::string checkpoint_sha256;
    std::optional<std::string> source;
    std::optional<std::string> license;

    // Throws JSONDecodingError for text that is not a SPAN manifest; values are not checked.
    static SPANManifest decode(std::string_view json);
};

// A measuring engine for the fixed SPAN graph (six blocks of 48 features, 2x): the platform's
// convolutions plus six element-wise kernels of "SPAN.cl", run once per run() on the folder's
// "input.rgba" fixture into `output` (2W x 2H RGBA8, rows of 8W bytes).
class SPANMetalEngine {
public:
    // halfAccumulator and reducedPrecision set the convolutions' accumulator precision and
    // reduced-precision option. Throws the module's errors: "Unsupported SPAN graph",
    // "Invalid SPAN layer", "Invalid weights for <name>", "Invalid SPAN input fixture" (domain
    // "DirectMetalProbe"), "Metal unavailable", and "SPANMetal" code 2 for a missing kernel;
    // file, JSON, compile and pipeline errors pass through.
    SPANMetalEngine(const std::filesystem::path& folder, bool halfAccumulator, bool reducedPrecision);

    // Encodes the whole graph into one command buffer of the engine's queue, commits it, waits
    // and returns its GPU time in milliseconds. A convolution name the graph needs but the folder
    // lacks is "SPANMetal" code 3, thrown before anything is committed; GPU errors are thrown.
    double run();

    const std::shared_ptr<gpu::Device>& device() const noexcept { return device_; }
    const SPANManifest& manifest() const noexcept { return manifest_; }
    const std::shared_ptr<gpu::Buffer>& input() const noexcept { return input_; }
    const std::shared_ptr<gpu::Buffer>& output() const noexcept { return output_; }
    // Bytes the device holds allocated right now.
    std::size_t allocatedGPUBytes() const noexcept { return device_->currentAllocatedSize(); }

private:
    gpu::Convolution& convolution(const std::string& name);
    void encodeConvolution(const std::shared_ptr<gpu::CommandBuffer>& command, const std::string& name,
                           const std::shared_ptr<gpu::FeatureImage>& source,
                           const std::shared_ptr<gpu::FeatureImage>& destination);
    void encodeElementwise(const std::shared_ptr<gpu::CommandBuffer>& command,
                           const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                           const std::vector<std::shared_ptr<gpu::FeatureImage>>& textures) const;

    std::shared_ptr<gpu::Device> device_;
    SPANManifest manifest_;
    std::shared_ptr<gpu::Buffer> input_;
    std::shared_ptr<gpu::Buffer> output_;
    std::shared_ptr<gpu::CommandQueue> queue_;
    std::map<std::string, std::shared_ptr<gpu::Convolution>> convolutions_;
    std::shared_ptr<gpu::FeatureImage> inputImage_;
    std::shared_ptr<gpu::FeatureImage> feature_, block1_, block6C1_, scratchA_, scratchB_, stateC_, stateD_;
    std::shared_ptr<gpu::FeatureImage> upsampled_;
    std::shared_ptr<gpu::ComputePipelineState> unpack_, silu_, attention_, copyKernel_, add_, finish_;
};

} // namespace lumavane
