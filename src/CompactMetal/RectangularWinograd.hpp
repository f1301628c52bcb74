#pragma once

#include "CompactMetal/CompactModel.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace lumavane {

namespace rectangular {

// The F(4x2, 3x3) kernel transforms: rows of V (vertical, F(2, 3)) and H (horizontal, F(4, 3)).
extern const std::array<std::array<float, 3>, 4> verticalTransform;
extern const std::array<std::array<float, 3>, 6> horizontalTransform;

// Filters in output channel, kernel row, kernel column, input channel order, transformed into
// the 24 points of the 4x6 input tile and rounded once to half: element (p·inputs + i)·outputs + o
// with p = 6·r + c holds Σ V[r][ky]·H[c][kx]·w[o][ky][kx][i], summed in single precision from 0,
// ky outer, kx inner.
std::vector<std::uint16_t> transformFilters(std::span<const float> weights, std::size_t inputs,
                                            std::size_t outputs);

// The value of an integer environment variable as a decimal integer with an optional sign;
// 0 when it does not parse. Nothing when the variable is not set.
std::optional<std::int64_t> integerEnvironment(const char* name);

// A half buffer with these values; the "Rectangular allocation" error when none can be made.
std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        std::span<const std::uint16_t> values);
std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        std::span<const float> values);

} // namespace rectangular

// A 3x3 convolution from C to C feature channels with bias and PReLU, computed as Winograd
// F(4x2, 3x3) over output tiles 4 pixels wide and 2 tall. Built once per body layer; encode
// records one dispatch per frame.
class RectangularWinograd {
public:
    // `weights` holds 9·C·C values, `biases` and `slopes` C each (the caller checks them against
    // the model; other counts are std::invalid_argument). C must be 16 or 24. Fails with "Rectangular
    // tile rows must be 1/2/4/8/16 and divide the tile count" or "Rectangular Winograd exceeds device
    // limits"; source, compile and pipeline errors pass through; an unmade buffer is the
    // "Rectangular allocation" error.
    RectangularWinograd(const std::shared_ptr<gpu::Device>& device, std::int64_t channels,
                        std::span<const float> weights, std::span<const float> biases,
                        std::span<const float> slopes, const RectangularConfiguration& configuration);

    // One pass from the source feature texture into the destination one (same size, C channels).
    void encode(const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                const std::shared_ptr<gpu::CommandBuffer>& command) const;

    const std::shared_ptr<gpu::ComputePipelineState>& pipeline() const noexcept { return pipeline_; }
    const std::shared_ptr<gpu::Buffer>& weights() const noexcept { return weights_; }
    const std::shared_ptr<gpu::Buffer>& bias() const noexcept { return bias_; }
    const std::shared_ptr<gpu::Buffer>& slope() const noexcept { return slope_; }
    int simds() const noexcept { return simds_; }
    int outputHeight() const noexcept { return outputHeight_; }
    int tiles() const noexcept { return tiles_; }
    int tileRows() const noexcept { return tileRows_; }

    // Threadgroups of a dispatch over a width x height source.
    gpu::Size threadgroups(std::size_t width, std::size_t height) const noexcept;

private:
    std::shared_ptr<gpu::ComputePipelineState> pipeline_;
    std::shared_ptr<gpu::Buffer> weights_;
    std::shared_ptr<gpu::Buffer> bias_;
    std::shared_ptr<gpu::Buffer> slope_;
    int simds_ = 0;
    int outputHeight_ = 2;
    int tiles_ = 0;
    int tileRows_ = 1;
};

} // namespace lumavane
