#include "CompactMetal/Conv24Weights.hpp"

#include "CompactMetal/Conv24Kernel.hpp"
#include "CompactMetal/ConvWinograd.hpp"

#include <stdexcept>
#include <string>

namespace lumavane {

namespace {

constexpr std::size_t C = Conv24Weights::channels;

std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        std::span<const float> values) {
    const std::vector<std::uint16_t> bits = floatToHalf(values);
    auto buffer = device->newBuffer(bits.data(), bits.size() * sizeof(std::uint16_t));
    if (!buffer)
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory, "Conv24 weights could not be allocated");
    return buffer;
}

void requireCount(std::span<const float> values, std::size_t count, const char* what) {
    if (values.size() != count)
        throw std::invalid_argument(std::string("Conv24Weights: ") + what + " holds " +
                                    std::to_string(values.size()) + " values instead of " +
                                    std::to_string(count));
}

} // namespace

std::vector<float> Conv24Weights::directLayout(std::span<const float> weights) {
    requireCount(weights, weightCount, "weights");
    std::vector<float> out(weightCount);
    for (std::size_t oc = 0; oc < C; ++oc)
        for (std::size_t t = 0; t < 9; ++t)
            for (std::size_t ic = 0; ic < C; ++ic)
                out[(t * C + ic) * C + oc] = weights[(oc * 9 + t) * C + ic];
    return out;
}

std::vector<float> Conv24Weights::winogradLayout(std::span<const float> weights) {
    requireCount(weights, weightCount, "weights");
    return winograd::transformWeightsFloat(weights, static_cast<int>(C), static_cast<int>(C));
}

Conv24Weights::Conv24Weights(const std::shared_ptr<gpu::Device>& device, std::span<const float> weights,
                             std::span<const float> biases, std::span<const float> slopes,
                             std::string_view mode) {
    requireCount(weights, weightCount, "weights");
    requireCount(biases, C, "biases");
    requireCount(slopes, C, "slopes");
    const std::vector<float> layout =
        Conv24Kernel::usesWinogradWeights(mode) ? winogradLayout(weights) : directLayout(weights);
    kernel_ = halfBuffer(device, layout);
    if (mode == "winograd_2d") {
        // F(4x4, 3x3) weights stay in float: half would add their rounding to a transform that
        // already amplifies it.
        const std::vector<float> layout4 =
            winograd::transformWeights4(weights, static_cast<int>(C), static_cast<int>(C));
        kernel4_ = device->newBuffer(layout4.data(), layout4.size() * sizeof(float));
        if (!kernel4_)
            throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                                "Conv24 weights could not be allocated");
    }
    bias_ = halfBuffer(device, biases);
    slope_ = halfBuffer(device, slopes);
}

} // namespace lumavane
