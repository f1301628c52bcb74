#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace lumavane {

// A measuring probe of one 64-to-64-channel 3x3 layer of a Real-CUGAN "2x-fast" weight folder:
// the layer as the platform's convolution, as the module's Winograd kernel
// "realcugan_conv64_winograd_valid", and as a chain of two platform convolutions
// ("unet2.conv5" with a leaky ReLU, then the layer). All are valid convolutions: a W x H input
// gives (W - 2) x (H - 2), the pair (W - 4) x (H - 4). The input is a synthetic pattern over
// all 64 channels, seeded once at construction.
class RealCUGANConvBenchmark {
public:
    struct Options {
        std::filesystem::path folder;
        std::string layerName; // a tensor name without ".weight" / ".bias"
        int width = 0;
        int height = 0;
        bool halfAccumulator = false;
        bool reducedPrecision = false;
        bool disableInternalTiling = false;
    };

    // Throws the module's check errors ("Convolution input is too small", "Unsupported manifest",
    // "Probe currently requires a 64→64 3×3 layer", "Invalid tensor size",
    // "Unsupported SIMD-group configuration"), "RealCUGANConvProbe" code 1 ("Layer weights not
    // found", "Pair weights not found") and "Metal unavailable"; file, JSON, compile, pipeline
    // and command-buffer errors pass through.
    explicit RealCUGANConvBenchmark(const Options& options);

    // Each run is one command buffer, committed and waited for; the result is its GPU time in
    // milliseconds. Command-buffer errors are thrown.
    double runMPS();
    double runCustom();
    double runMPSPair();

    struct Comparison {
        double mae = 0;
        double maximum = 0; // NaN when any difference is NaN
    };
    // Runs the platform convolution and the custom kernel afresh and compares their outputs.
    Comparison compareOutputs();

    const std::shared_ptr<gpu::Device>& device() const noexcept { return device_; }
    const std::string& checkpointSHA256() const noexcept { return checkpointSHA256_; }
    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }

    // The images, for inspection while no run is under way.
    const std::shared_ptr<gpu::FeatureImage>& source() const noexcept { return source_; }
    const std::shared_ptr<gpu::FeatureImage>& mpsOutput() const noexcept { return mpsOutput_; }
    const std::shared_ptr<gpu::FeatureImage>& customOutput() const noexcept { return customOutput_; }
    const std::shared_ptr<gpu::FeatureImage>& pairIntermediate() const noexcept { return pairIntermediate_; }
    const std::shared_ptr<gpu::FeatureImage>& pairOutput() const noexcept { return pairOutput_; }

private:
    void encodeCustom(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                      const std::shared_ptr<gpu::FeatureImage>& source,
                      const std::shared_ptr<gpu::FeatureImage>& destination);
    // Every pixel's 64 channels as half bits, in the readback kernel's order.
    std::vector<std::uint16_t> values(const std::shared_ptr<gpu::FeatureImage>& image);
    double finish(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer);

    std::shared_ptr<gpu::Device> device_;
    std::string checkpointSHA256_;
    int width_ = 0;
    int height_ = 0;
    std::shared_ptr<gpu::CommandQueue> queue_;
    std::shared_ptr<gpu::Convolution> mps_;
    std::shared_ptr<gpu::Convolution> pairFirst_;
    std::shared_ptr<gpu::ComputePipelineState> custom_, seed_, readback_;
    std::shared_ptr<gpu::Buffer> transformedWeights_, biases_;
    std::shared_ptr<gpu::FeatureImage> source_, mpsOutput_, customOutput_, pairIntermediate_, pairOutput_;
};

} // namespace lumavane
