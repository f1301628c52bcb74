#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <memory>
#include <span>

namespace lumavane {

// A 4x network's last layer folded into its 2x output: the 48 output channels (3 colours times
// 4 x 4 sub-pixels) are replaced by 12 (3 colours times 2 x 2), each the mean of the four 4x
// channels inside one 2x sub-pixel, so the reduced layer yields the 2 x 2 mean of the 4x output
// with a third of the work. Channels 12 to 15 are zero. The engine records the dispatches with
// the pipelines and buffers kept here.
class ApproxDown2Winograd {
public:
    // Throws "Invalid 4x reconstruction weights" and "Unsupported approximate reconstruction
    // threadgroup"; source, compile and pipeline errors pass through.
    ApproxDown2Winograd(const std::shared_ptr<gpu::Device>& device, int inputChannels,
                        std::span<const float> weights, std::span<const float> biases);

    const std::shared_ptr<gpu::ComputePipelineState>& pipeline() const noexcept { return pipeline_; }
    const std::shared_ptr<gpu::ComputePipelineState>& flippedPipeline() const noexcept {
        return flippedPipeline_;
    }
    const std::shared_ptr<gpu::ComputePipelineState>& optimalPipeline() const noexcept {
        return optimalPipeline_;
    }
    const std::shared_ptr<gpu::ComputePipelineState>& flippedOptimalPipeline() const noexcept {
        return flippedOptimalPipeline_;
    }
    const std::shared_ptr<gpu::Buffer>& kernel() const noexcept { return kernel_; }
    const std::shared_ptr<gpu::Buffer>& bias() const noexcept { return bias_; }
    const std::shared_ptr<gpu::Buffer>& slope() const noexcept { return slope_; }

private:
    std::shared_ptr<gpu::ComputePipelineState> pipeline_;
    std::shared_ptr<gpu::ComputePipelineState> flippedPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> optimalPipeline_;
    std::shared_ptr<gpu::ComputePipelineState> flippedOptimalPipeline_;
    std::shared_ptr<gpu::Buffer> kernel_;
    std::shared_ptr<gpu::Buffer> bias_;
    std::shared_ptr<gpu::Buffer> slope_;
};

} // namespace lumavane
