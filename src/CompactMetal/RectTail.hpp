#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace lumavane {

// The last layer of a 4x network (3x3, C -> 48 channels, no PReLU) fused with the pixel shuffle,
// the residual of the source frame and, for `down2`, the reduction to 2x: one pass with the
// rectangular Winograd tiles of RectangularWinograd. The engine records the pass: texture 0 the
// last body layer's features, 1 the source frame, 2 the destination; buffers 0 `weights`, 1 `bias`,
// 4 bytes at 2 the flip flag (1 or 0); (⌈W / 32⌉, ⌈H / 2⌉) threadgroups of 32 · `nativeSimds`
// threads for `native`, 32 · `simds` for `down2`.
class RectTail {
public:
    // C is 16 or 24 with 432·C filter values and 48 biases, else "Rectangular tail requires 16/24
    // input channels and 48 output channels"; the native SIMD groups (nativeSimdGroups, or
    // simdGroups when absent) must be 4, 6 or 8 ("Native tail SIMD count must be 4, 6 or 8").
    // CORAVEL_RECT_TAIL_VECTOR_OUTPUT "0" or "1" overrides vectorOutput. A pipeline beyond the
    // device's limits fails with "Rectangular tail exceeds device limits: ..."; source, compile and
    // pipeline errors pass through; an unmade buffer is the "Rectangular allocation" error.
    RectTail(const std::shared_ptr<gpu::Device>& device, std::int64_t inputChannels,
             std::span<const float> weights, std::span<const float> biases, std::int64_t simdGroups,
             bool vectorOutput, std::optional<std::int64_t> nativeSimdGroups, bool nativeRowPairs);

    const std::shared_ptr<gpu::ComputePipelineState>& down2() const noexcept { return down2_; }
    const std::shared_ptr<gpu::ComputePipelineState>& native() const noexcept { return native_; }
    const std::shared_ptr<gpu::Buffer>& weights() const noexcept { return weights_; }
    const std::shared_ptr<gpu::Buffer>& bias() const noexcept { return bias_; }
    int simds() const noexcept { return simds_; }
    int nativeSimds() const noexcept { return nativeSimds_; }

private:
    std::shared_ptr<gpu::ComputePipelineState> down2_;
    std::shared_ptr<gpu::ComputePipelineState> native_;
    std::shared_ptr<gpu::Buffer> weights_;
    std::shared_ptr<gpu::Buffer> bias_;
    int simds_ = 0;
    int nativeSimds_ = 0;
};

// The same for the 24-channel networks, with one SIMD-group count for both pipelines.
class RectTail24 {
public:
    // 10368 filter values and 48 biases, else "HQ rectangular tail requires 24 input and 48 output
    // channels"; limits, source, compile, pipeline and buffer errors as RectTail's.
    RectTail24(const std::shared_ptr<gpu::Device>& device, std::span<const float> weights,
               std::span<const float> biases, std::int64_t simdGroups);

    const std::shared_ptr<gpu::ComputePipelineState>& down2() const noexcept { return down2_; }
    const std::shared_ptr<gpu::ComputePipelineState>& native() const noexcept { return native_; }
    const std::shared_ptr<gpu::Buffer>& weights() const noexcept { return weights_; }
    const std::shared_ptr<gpu::Buffer>& bias() const noexcept { return bias_; }
    int simds() const noexcept { return simds_; }

private:
    std::shared_ptr<gpu::ComputePipelineState> down2_;
    std::shared_ptr<gpu::ComputePipelineState> native_;
    std::shared_ptr<gpu::Buffer> weights_;
    std::shared_ptr<gpu::Buffer> bias_;
    int simds_ = 0;
};

namespace rectangular {

// The vector-output choice of RectTail's `down2`: CORAVEL_RECT_TAIL_VECTOR_OUTPUT "0" gives false,
// "1" true, anything else (or no variable) `requested`.
bool tailVectorOutput(bool requested);

} // namespace rectangular

} // namespace lumavane
