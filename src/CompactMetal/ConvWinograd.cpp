#include "CompactMetal/ConvWinograd.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "Platform/Foundation/Half.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace lumavane {

namespace winograd {

namespace {

// U = G·g·Gᵀ of every filter, summed ky-major, kx-minor, in the kernels' layout.
template <std::size_t N>
std::vector<float> transformLayout(std::span<const float> weights, int inputs, int outputs,
                                   const float (&G)[N][3]) {
    const auto in = static_cast<std::size_t>(inputs), out = static_cast<std::size_t>(outputs);
    std::vector<float> transformed(N * N * in * out);
    for (std::size_t oc = 0; oc < out; ++oc)
        for (std::size_t ic = 0; ic < in; ++ic)
            for (std::size_t i = 0; i < N; ++i)
                for (std::size_t j = 0; j < N; ++j) {
                    float sum = 0.0f;
                    for (std::size_t ky = 0; ky < 3; ++ky)
                        for (std::size_t kx = 0; kx < 3; ++kx)
                            sum += G[i][ky] * weights[(oc * 9 + ky * 3 + kx) * in + ic] * G[j][kx];
                    transformed[((i * N + j) * in + ic) * out + oc] = sum;
                }
    return transformed;
}

constexpr float G2[4][3] = {{1.0f, 0.0f, 0.0f}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0.0f, 0.0f, 1.0f}};
constexpr float G4[6][3] = {{0.25f, 0.0f, 0.0f},
                            {-1.0f / 6, -1.0f / 6, -1.0f / 6},
                            {-1.0f / 6, 1.0f / 6, -1.0f / 6},
                            {1.0f / 24, 1.0f / 12, 1.0f / 6},
                            {1.0f / 24, -1.0f / 12, 1.0f / 6},
                            {0.0f, 0.0f, 1.0f}};

} // namespace

std::array<float, 16> transformFilter(const float* g) {
    std::array<float, 16> u{};
    const std::vector<float> one = transformLayout(std::span<const float>(g, 9), 1, 1, G2);
    std::copy(one.begin(), one.end(), u.begin());
    return u;
}

std::vector<float> transformWeightsFloat(std::span<const float> weights, int inputs, int outputs) {
    return transformLayout(weights, inputs, outputs, G2);
}

std::vector<std::uint16_t> transformWeights(std::span<const float> weights, int inputs, int outputs) {
    return floatToHalf(transformWeightsFloat(weights, inputs, outputs));
}

std::vector<float> transformWeights4(std::span<const float> weights, int inputs, int outputs) {
    return transformLayout(weights, inputs, outputs, G4);
}

} // namespace winograd

namespace {

// Unset, or anything but "0", leaves a switch on.
bool switchAllows(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr || std::string(value) != "0";
}

std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        const std::vector<std::uint16_t>& halves) {
    auto buffer = device->newBuffer(halves.data(), halves.size() * sizeof(std::uint16_t));
    if (!buffer)
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory, "Winograd weight buffer not allocated");
    return buffer;
}

} // namespace

ConvWinograd::ConvWinograd(const std::shared_ptr<gpu::Device>& device, int input, int output,
                           std::span<const float> weights, std::span<const float> biases,
                           std::optional<std::span<const float>> slopes, bool uniformInputOptimization) {
    require((input == 16 && output == 16) || (input == 16 && output == 48) || (input == 24 && output == 48),
            "Unsupported Winograd channels");
    // The kernels read exactly these counts; the engine has checked them already.
    require(weights.size() == static_cast<std::size_t>(output * 9 * input) &&
                biases.size() == static_cast<std::size_t>(output),
            "Invalid weights");
    require(!slopes || slopes->size() == static_cast<std::size_t>(output), "Invalid PReLU");

    tilesPerGroup_ = output == 16 ? 32 : 8;
    threadsPerGroup_ = output == 16 ? 128 : 64;
    channelGroups_ = output == 48 ? output / 24 : output / 16;
    const int groupChannels = output == 48 ? 24 : 16;

    bool uniformSafe = input == 16 && uniformInputOptimization;
    for (const float w : weights) {
        if (!uniformSafe) break;
        uniformSafe = std::isfinite(w) && std::fabs(w) <= 4096.0f;
    }

    gpu::CompileOptions options;
    auto& macros = options.preprocessorMacros;
    macros = {{"IC", input},
              {"OC", groupChannels},
              {"COOP_GROUPS", threadsPerGroup_ / 32},
              {"TOTAL_OC", output},
              {"TILE_BATCHES", tilesPerGroup_ / 8},
              {"WG_GROUPS", 1},
              {"ACTIVATE", slopes.has_value()}};
    const char* sourceName = input == 24 ? "Conv24Tail" : "ConvWinograd";
    auto build = [&](std::string_view function = "conv_winograd") {
        return ShaderLibrary::compile(device, sourceName, options).pipeline(function);
    };

    pipeline_ = build();

    // Body layers: F(4x4, 3x3), 16 tiles (64 pixels of four rows) per group.
    if (output == 16 && slopes) {
        macros.insert_or_assign("W4_TILES", 16);
        macros.insert_or_assign("COOP_GROUPS", 1);
        tile4Pipeline_ = build("conv_winograd4");
        macros.erase("W4_TILES");
        macros.insert_or_assign("COOP_GROUPS", threadsPerGroup_ / 32);
    }

    if (uniformSafe && output == 16) {
        macros.insert_or_assign("TILE_BATCHES", 2);
        macros.insert_or_assign("COOP_GROUPS", 2);
        macros.insert_or_assign("UNIFORM_MODE", 2);
        uniformPipeline_ = build();
    }

    if (output == 48 && switchAllows(input == 16 ? "CORAVEL_FUSED_TAIL" : "CORAVEL_FUSED_HQ_TAIL")) {
        macros = {
            {"IC", input},    {"OC", 48},      {"TOTAL_OC", 48},    {"COOP_GROUPS", 4},
            {"WG_GROUPS", 1}, {"ACTIVATE", 0}, {"FUSED_FINISH", 1}, {"UNIFORM_MODE", uniformSafe ? 1 : 0}};
        fusedPipeline_ = build();

        macros.insert_or_assign("FLIP_OUTPUT_Y", 1);
        flippedFusedPipeline_ = build();
        macros.insert_or_assign("FLIP_OUTPUT_Y", 0);

        if (switchAllows("CORAVEL_FUSED_NATIVE_4X")) {
            // The native tail as F(4x4, 3x3): 8 tiles (32 pixels of four rows) per group, two
            // tiles and two points per pass so that all 48 channels of a tile fit in registers.
            macros.insert_or_assign("FUSED_NATIVE_4X", 1);
            macros.insert_or_assign("UNIFORM_MODE", 0);
            macros.insert_or_assign("W4_TILES", 8);
            macros.insert_or_assign("LV_UNIT_TILES", 2);
            macros.insert_or_assign("LV_POINTS", 2);
            nativeFusedPipeline_ = build("conv_winograd4");
            macros.insert_or_assign("FLIP_OUTPUT_Y", 1);
            flippedNativeFusedPipeline_ = build("conv_winograd4");
            for (const char* name : {"W4_TILES", "LV_UNIT_TILES", "LV_POINTS"}) macros.erase(name);
            macros.insert_or_assign("FLIP_OUTPUT_Y", 0);
            macros.insert_or_assign("FUSED_NATIVE_4X", 0);
        }

        if (uniformSafe) {
            macros.insert_or_assign("COOP_GROUPS", 4);
            macros.insert_or_assign("UNIFORM_MODE", 2);
            uniformFusedPipeline_ = build();
        }

        require(fusedPipeline_->maxTotalThreadsPerThreadgroup() >= 128 &&
                    fusedPipeline_->staticThreadgroupMemoryLength() <= device->maxThreadgroupMemoryLength(),
                "Unsupported fused reconstruction threadgroup");
    }

    const std::pair<const std::shared_ptr<gpu::ComputePipelineState>*, std::size_t> limits[] = {
        {&pipeline_, static_cast<std::size_t>(threadsPerGroup_)},
        {&uniformPipeline_, 64},
        {&fusedPipeline_, 128},
        {&flippedFusedPipeline_, 128},
        {&nativeFusedPipeline_, 128},
        {&flippedNativeFusedPipeline_, 128},
        {&uniformFusedPipeline_, 128},
        {&tile4Pipeline_, 32}};
    for (const auto& [state, threads] : limits) {
        if (!*state) continue;
        require((*state)->threadExecutionWidth() == 32 &&
                    (*state)->maxTotalThreadsPerThreadgroup() >= threads &&
                    (*state)->staticThreadgroupMemoryLength() <= device->maxThreadgroupMemoryLength(),
                "Unsupported Winograd threadgroup");
    }

    kernel_ = halfBuffer(device, winograd::transformWeights(weights, input, output));
    if (tile4Pipeline_ || nativeFusedPipeline_) {
        const std::vector<float> transformed = winograd::transformWeights4(weights, input, output);
        kernel4_ = device->newBuffer(transformed.data(), transformed.size() * sizeof(float));
        if (!kernel4_)
            throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                                "Winograd weight buffer not allocated");
    }
    bias_ = halfBuffer(device, floatToHalf(biases));
    slope_ = halfBuffer(
        device, slopes ? floatToHalf(*slopes)
                       : std::vector<std::uint16_t>(static_cast<std::size_t>(output), floatToHalf(1.0f)));
}

void ConvWinograd::encode(const std::shared_ptr<gpu::Texture>& source,
                          const std::shared_ptr<gpu::Texture>& destination,
                          const std::shared_ptr<gpu::CommandBuffer>& command, bool useUniformInput) const {
    auto encoder = command->computeCommandEncoder();
    if (!encoder) return; // a committed buffer takes no more work
    encoder->setLabel("Compact Winograd convolution");
    const bool uniform = useUniformInput && uniformPipeline_;
    const std::size_t width = source->width(), height = source->height();
    if (!uniform && tile4Pipeline_) {
        encoder->setComputePipelineState(tile4Pipeline_);
        encoder->setTexture(source, 0);
        encoder->setTexture(destination, 1);
        encoder->setBuffer(kernel4_, 0, 0);
        encoder->setBuffer(bias_, 0, 1);
        encoder->setBuffer(slope_, 0, 2);
        encoder->dispatchThreadgroups({(width + 63) / 64, (height + 3) / 4, 1}, {32, 1, 1});
        encoder->endEncoding();
        return;
    }
    const std::size_t tiles = uniform ? 16 : static_cast<std::size_t>(tilesPerGroup_);
    const std::size_t threads = uniform ? 64 : static_cast<std::size_t>(threadsPerGroup_);
    encoder->setComputePipelineState(uniform ? uniformPipeline_ : pipeline_);
    encoder->setTexture(source, 0);
    encoder->setTexture(destination, 1);
    encoder->setBuffer(kernel_, 0, 0);
    encoder->setBuffer(bias_, 0, 1);
    encoder->setBuffer(slope_, 0, 2);
    encoder->dispatchThreadgroups(
        {(width + 2 * tiles - 1) / (2 * tiles), (height + 1) / 2, static_cast<std::size_t>(channelGroups_)},
        {threads, 1, 1});
    encoder->endEncoding();
}

} // namespace lumavane
