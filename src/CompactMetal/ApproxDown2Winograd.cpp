#include "CompactMetal/ApproxDown2Winograd.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/ConvWinograd.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "Platform/Foundation/Half.hpp"

namespace lumavane {

namespace {

std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        const std::vector<std::uint16_t>& halves) {
    auto buffer = device->newBuffer(halves.data(), halves.size() * sizeof(std::uint16_t));
    if (!buffer)
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                            "Approximate reconstruction buffer not allocated");
    return buffer;
}

// The reduced filters and biases in single precision: 16 outputs in the layer's weight order.
struct Reduced {
    std::vector<float> weights;
    std::vector<float> biases;
};

Reduced reduce(int inputChannels, std::span<const float> weights, std::span<const float> biases) {
    const auto c = static_cast<std::size_t>(inputChannels);
    const std::size_t filter = 9 * c;
    Reduced reduced{std::vector<float>(16 * filter, 0.0f), std::vector<float>(16, 0.0f)};
    for (std::size_t colour = 0; colour < 3; ++colour) {
        for (std::size_t sub = 0; sub < 4; ++sub) { // (X, Y) = (0, 0), (1, 0), (0, 1), (1, 1)
            const std::size_t X = sub & 1, Y = sub >> 1, k = 4 * colour + 2 * Y + X;
            for (std::size_t dy = 0; dy < 2; ++dy) {
                for (std::size_t dx = 0; dx < 2; ++dx) {
                    const std::size_t m = 16 * colour + 4 * (2 * Y + dy) + (2 * X + dx);
                    reduced.biases[k] += 0.25f * biases[m];
                    for (std::size_t e = 0; e < filter; ++e)
                        reduced.weights[k * filter + e] += 0.25f * weights[m * filter + e];
                }
            }
        }
    }
    return reduced;
}

} // namespace

ApproxDown2Winograd::ApproxDown2Winograd(const std::shared_ptr<gpu::Device>& device, int inputChannels,
                                         std::span<const float> weights, std::span<const float> biases) {
    require((inputChannels == 16 || inputChannels == 24) &&
                weights.size() == static_cast<std::size_t>(inputChannels) * 432 && biases.size() == 48,
            "Invalid 4x reconstruction weights");

    const Reduced reduced = reduce(inputChannels, weights, biases);
    kernel_ = halfBuffer(device, winograd::transformWeights(reduced.weights, inputChannels, 16));
    bias_ = halfBuffer(device, floatToHalf(reduced.biases));
    slope_ = halfBuffer(device, std::vector<std::uint16_t>(16, floatToHalf(1.0f)));

    gpu::CompileOptions options;
    auto& macros = options.preprocessorMacros;
    macros = {{"IC", inputChannels},  {"OC", 16},          {"TOTAL_OC", 16}, {"COOP_GROUPS", 4},
              {"WG_GROUPS", 1},       {"TILE_BATCHES", 4}, {"ACTIVATE", 0},  {"FUSED_FINISH", 1},
              {"FUSED_APPROX_2X", 1}, {"UNIFORM_MODE", 0}};
    // 24-channel inputs use the same source: the reduced layer is an ordinary 16-output layer.
    auto build = [&] {
        return ShaderLibrary::compile(device, "ConvWinograd", options).pipeline("conv_winograd");
    };

    pipeline_ = build();
    macros.insert_or_assign("FLIP_OUTPUT_Y", 1);
    flippedPipeline_ = build();
    macros.insert_or_assign("FLIP_OUTPUT_Y", 0);
    macros.insert_or_assign("FUSED_APPROX_2X", 0);
    macros.insert_or_assign("FUSED_OPTIMAL_2X", 1);
    optimalPipeline_ = build();
    macros.insert_or_assign("FLIP_OUTPUT_Y", 1);
    flippedOptimalPipeline_ = build();

    for (const auto* state : {&pipeline_, &flippedPipeline_, &optimalPipeline_, &flippedOptimalPipeline_}) {
        require((*state)->threadExecutionWidth() == 32 && (*state)->maxTotalThreadsPerThreadgroup() >= 128 &&
                    (*state)->staticThreadgroupMemoryLength() <= device->maxThreadgroupMemoryLength(),
                "Unsupported approximate reconstruction threadgroup");
    }
}

} // namespace lumavane
