#pragma once

#include "Platform/Foundation/Half.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace lumavane {

// One 24-to-24-channel layer's weights, biases and PReLU slopes in half precision, laid out for
// a Conv24Kernel mode. Weights come in the model file's order, element
// ((oc·3 + ky)·3 + kx)·24 + ic.
//   direct (modes not beginning with "winograd"): 5184 values, element (t·24 + ic)·24 + oc,
//     t = ky·3 + kx.
//   Winograd (modes beginning with "winograd"): 9216 values, element ((i·4 + j)·24 + ic)·24 + oc
//     holding U = G·g·Gᵀ of F(2x2, 3x3), computed in float and rounded once.
//   "winograd_2d" also keeps F(4x4, 3x3) in float (winograd::transformWeights4's layout) for
//     the kernel's F(4x4) layers.
class Conv24Weights {
public:
    static constexpr std::size_t channels = 24;
    static constexpr std::size_t weightCount = channels * 9 * channels;

    // The caller gives exactly 5184 weights and 24 biases and slopes; other counts are a
    // programming error (std::invalid_argument), never read past. A buffer the device cannot
    // allocate is a Gpu out-of-memory error.
    Conv24Weights(const std::shared_ptr<gpu::Device>& device, std::span<const float> weights,
                  std::span<const float> biases, std::span<const float> slopes, std::string_view mode);

    const std::shared_ptr<gpu::Buffer>& kernel() const noexcept { return kernel_; }
    // The F(4x4, 3x3) weights ("winograd_2d" only; null otherwise).
    const std::shared_ptr<gpu::Buffer>& kernel4() const noexcept { return kernel4_; }
    const std::shared_ptr<gpu::Buffer>& bias() const noexcept { return bias_; }
    const std::shared_ptr<gpu::Buffer>& slope() const noexcept { return slope_; }

    // The layouts as float values (before rounding to half), for the kernels' CPU side.
    static std::vector<float> directLayout(std::span<const float> weights);
    static std::vector<float> winogradLayout(std::span<const float> weights);

private:
    std::shared_ptr<gpu::Buffer> kernel_;
    std::shared_ptr<gpu::Buffer> kernel4_;
    std::shared_ptr<gpu::Buffer> bias_;
    std::shared_ptr<gpu::Buffer> slope_;
};

// IEEE half precision bits of a float, rounded to nearest even.
inline std::uint16_t halfBits(float value) { return floatToHalf(value); }

} // namespace lumavane
