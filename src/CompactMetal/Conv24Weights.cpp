#include "CompactMetal/Conv24Weights.hpp"

#include "CompactMetal/Conv24Kernel.hpp"

#include <bit>
#include <stdexcept>
#include <string>

namespace lumavane {

namespace {

constexpr std::size_t C = Conv24Weights::channels;

// Kernel transform of Winograd F(2x2, 3x3).
constexpr float G[4][3] = {{1.0f, 0.0f, 0.0f}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0.0f, 0.0f, 1.0f}};

std::vector<std::uint16_t> toHalf(std::span<const float> values) {
    std::vector<std::uint16_t> bits(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) bits[k] = halfBits(values[k]);
    return bits;
}

std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        std::span<const float> values) {
    const std::vector<std::uint16_t> bits = toHalf(values);
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

std::uint16_t halfBits(float value) {
    const std::uint32_t f = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t sign = (f >> 16) & 0x8000u;
    const std::uint32_t magnitude = f & 0x7fffffffu;
    if (magnitude >= 0x7f800000u) // infinity or NaN (kept quiet)
        return static_cast<std::uint16_t>(sign | 0x7c00u | (magnitude > 0x7f800000u ? 0x200u : 0u));
    if (magnitude >= 0x477ff000u) return static_cast<std::uint16_t>(sign | 0x7c00u); // rounds past 65504
    if (magnitude < 0x38800000u) {                                                   // subnormal half or zero
        if (magnitude < 0x33000000u) return static_cast<std::uint16_t>(sign); // below half the smallest
        const std::uint32_t exponent = magnitude >> 23;
        const std::uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
        const std::uint32_t shift = 126u - exponent; // value = half · 2^-24
        std::uint32_t half = mantissa >> shift;
        const std::uint32_t rest = mantissa & ((1u << shift) - 1u);
        const std::uint32_t halfway = 1u << (shift - 1u);
        if (rest > halfway || (rest == halfway && (half & 1u))) ++half;
        return static_cast<std::uint16_t>(sign | half);
    }
    std::uint32_t half = ((magnitude - 0x38000000u) >> 13);
    const std::uint32_t rest = magnitude & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half; // a carry into the exponent is right
    return static_cast<std::uint16_t>(sign | half);
}

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
    std::vector<float> out(16 * C * C);
    for (std::size_t oc = 0; oc < C; ++oc)
        for (std::size_t ic = 0; ic < C; ++ic)
            for (std::size_t i = 0; i < 4; ++i)
                for (std::size_t j = 0; j < 4; ++j) {
                    float u = 0.0f;
                    for (std::size_t ky = 0; ky < 3; ++ky)
                        for (std::size_t kx = 0; kx < 3; ++kx)
                            u += G[i][ky] * weights[((oc * 3 + ky) * 3 + kx) * C + ic] * G[j][kx];
                    out[((i * 4 + j) * C + ic) * C + oc] = u;
                }
    return out;
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
    bias_ = halfBuffer(device, biases);
    slope_ = halfBuffer(device, slopes);
}

} // namespace lumavane
