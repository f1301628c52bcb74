#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace lumavane {

namespace winograd {

// U = G·g·Gᵀ of one 3x3 filter g[ky][kx] (row-major), G the F(2x2, 3x3) kernel transform with
// rows (1, 0, 0), (1/2, 1/2, 1/2), (1/2, -1/2, 1/2), (0, 0, 1); single precision, summed
// ky-major, kx-minor. Element i·4 + j is U[i][j].
std::array<float, 16> transformFilter(const float* g);

// A layer's weights (output channel, kernel row, kernel column, input channel order) transformed
// and rounded to half once: element ((i·4 + j)·inputs + ic)·outputs + oc holds U[i][j] of filter
// (oc, ic).
std::vector<std::uint16_t> transformWeights(std::span<const float> weights, int inputs, int outputs);
// The same before rounding.
std::vector<float> transformWeightsFloat(std::span<const float> weights, int inputs, int outputs);

// The same for F(4x4, 3x3), in float: element ((i·6 + j)·inputs + ic)·outputs + oc holds
// U[i][j] = (G·g·Gᵀ)[i][j] with G rows (1/4, 0, 0), (-1/6, -1/6, -1/6), (-1/6, 1/6, -1/6),
// (1/24, 1/12, 1/6), (1/24, -1/12, 1/6), (0, 0, 1).
std::vector<float> transformWeights4(std::span<const float> weights, int inputs, int outputs);

} // namespace winograd

// One 3x3 convolution layer as a Winograd F(2x2, 3x3) kernel (a 16-to-16 body layer as
// F(4x4, 3x3) unless its input is uniform): 16 to 16 channels with PReLU, or
// the 16-to-48 / 24-to-48 last layer of a 4x network with its fused reconstruction tails
// (the engine records the tails with the pipelines and buffers kept here).
class ConvWinograd {
public:
    // Throws the module's check errors ("Unsupported Winograd channels",
    // "Unsupported fused reconstruction threadgroup", "Unsupported Winograd threadgroup");
    // source, compile and pipeline errors pass through.
    ConvWinograd(const std::shared_ptr<gpu::Device>& device, int input, int output,
                 std::span<const float> weights, std::span<const float> biases,
                 std::optional<std::span<const float>> slopes, bool uniformInputOptimization);

    // Records one dispatch of the plain convolution (or its uniform-input variant) from the
    // source feature texture into the destination one.
    void encode(const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                const std::shared_ptr<gpu::CommandBuffer>& command, bool useUniformInput) const;

    bool supportsFusedDown2() const noexcept { return fusedPipeline_ != nullptr; }
    bool supportsFusedNative4x() const noexcept { return nativeFusedPipeline_ != nullptr; }
    bool supportsUniformInput() const noexcept { return uniformFusedPipeline_ != nullptr; }

    const std::shared_ptr<gpu::ComputePipelineState>& pipeline() const noexcept { return pipeline_; }
    const std::shared_ptr<gpu::ComputePipelineState>& tile4Pipeline() const noexcept {
        return tile4Pipeline_;
    }
    // F(4x4, 3x3) weights of the body layer's tile4Pipeline() and of the native tails.
    const std::shared_ptr<gpu::Buffer>& kernel4() const noexcept { return kernel4_; }
    const std::shared_ptr<gpu::Buffer>& kernel() const noexcept { return kernel_; }
    const std::shared_ptr<gpu::Buffer>& bias() const noexcept { return bias_; }
    const std::shared_ptr<gpu::Buffer>& slope() const noexcept { return slope_; }
    int threadsPerGroup() const noexcept { return threadsPerGroup_; }
    int channelGroups() const noexcept { return channelGroups_; }
    int tilesPerGroup() const noexcept { return tilesPerGroup_; }
    const std::shared_ptr<gpu::ComputePipelineState>& uniformPipeline() const noexcept {
        return uniformPipeline_;
    }
    const std::shared_ptr<gpu::ComputePipelineState>& uniformFusedPipeline() const noexcept {
        return uniformFusedPipeline_;
    }
    const std::shared_ptr<gpu::ComputePipelineState>& flippedFusedPipeline() const noexcept {
        return flippedFusedPipeline_;
    }
    // The native 4x tails run F(4x4, 3x3) with kernel4(): groups of 32 x 4 pixels, 128 threads.
    const std::shared_ptr<gpu::ComputePipelineState>& nativeFusedPipeline() const noexcept {
        return nativeFusedPipeline_;
    }
    const std::shared_ptr<gpu::ComputePipelineState>& flippedNativeFusedPipeline() const noexcept {
        return flippedNativeFusedPipeline_;
    }
    const std::shared_ptr<gpu::ComputePipelineState>& fusedPipeline() const noexcept {
        return fusedPipeline_;
    }

private:
    std::shared_ptr<gpu::ComputePipelineState> pipeline_;
    std::shared_ptr<gpu::Buffer> kernel_;
    std::shared_ptr<gpu::Buffer> bias_;
    std::shared_ptr<gpu::Buffer> slope_;
    int threadsPerGroup_ = 0;
    int channelGroups_ = 0;
    int tilesPerGroup_ = 0;
    std::shared_ptr<gpu::ComputePipelineState> uniformPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> uniformFusedPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> flippedFusedPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> nativeFusedPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> flippedNativeFusedPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> fusedPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> tile4Pipeline_;
    std::shared_ptr<gpu::Buffer> kernel4_;
};

} // namespace lumavane
