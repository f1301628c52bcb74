#include "CompactMetal/RectTail.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/RectangularWinograd.hpp"
#include "CompactMetal/ShaderLibrary.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

namespace lumavane {

namespace {

constexpr const char* tailMessage = "Rectangular tail requires 16/24 input channels and 48 output channels";
constexpr const char* nativeSimdMessage = "Native tail SIMD count must be 4, 6 or 8";
constexpr const char* hqTailMessage = "HQ rectangular tail requires 24 input and 48 output channels";

std::int64_t threadsFor(std::int64_t simdGroups) {
    return 32 * std::clamp<std::int64_t>(simdGroups, 0, INT32_MAX);
}

// The limits check of one pipeline and its SIMD-group count; both tails report alike.
void checkLimits(const gpu::Device& device, const gpu::ComputePipelineState& pipeline,
                 std::int64_t simdGroups) {
    const std::int64_t requested = threadsFor(simdGroups);
    const auto available = static_cast<std::int64_t>(pipeline.maxTotalThreadsPerThreadgroup());
    const std::size_t bytes = pipeline.staticThreadgroupMemoryLength();
    const std::size_t maximum = device.maxThreadgroupMemoryLength();
    require(available >= requested && bytes <= maximum,
            "Rectangular tail exceeds device limits: requested threads " + std::to_string(requested) +
                ", available " + std::to_string(available) + ", threadgroup bytes " + std::to_string(bytes) +
                "/" + std::to_string(maximum));
}

} // namespace

bool rectangular::tailVectorOutput(bool requested) {
    const char* value = std::getenv("CORAVEL_RECT_TAIL_VECTOR_OUTPUT");
    if (!value) return requested;
    const std::string_view text(value);
    if (text == "0") return false;
    if (text == "1") return true;
    return requested;
}

RectTail::RectTail(const std::shared_ptr<gpu::Device>& device, std::int64_t inputChannels,
                   std::span<const float> weights, std::span<const float> biases, std::int64_t simdGroups,
                   bool vectorOutput, std::optional<std::int64_t> nativeSimdGroups, bool nativeRowPairs) {
    require((inputChannels == 16 || inputChannels == 24) &&
                weights.size() == 432 * static_cast<std::size_t>(inputChannels) && biases.size() == 48,
            tailMessage);
    simds_ = static_cast<int>(simdGroups);
    const std::int64_t nativeGroups = nativeSimdGroups.value_or(simdGroups);
    require(nativeGroups == 4 || nativeGroups == 6 || nativeGroups == 8, nativeSimdMessage);
    nativeSimds_ = static_cast<int>(nativeGroups);
    const bool vector = rectangular::tailVectorOutput(vectorOutput);

    gpu::CompileOptions down2Options;
    down2Options.preprocessorMacros = {{"SIMDS", simdGroups},
                                       {"NATIVE", false},
                                       {"INPUT_CHANNELS", inputChannels},
                                       {"VECTOR_OUTPUT", vector},
                                       {"NATIVE_ROW_PAIRS", false}};
    down2_ = ShaderLibrary::compile(device, "ConvRectTail", down2Options).pipeline("rect_tail");
    gpu::CompileOptions nativeOptions;
    nativeOptions.preprocessorMacros = {{"SIMDS", nativeGroups},
                                        {"NATIVE", true},
                                        {"INPUT_CHANNELS", inputChannels},
                                        {"VECTOR_OUTPUT", false},
                                        {"NATIVE_ROW_PAIRS", nativeRowPairs}};
    native_ = ShaderLibrary::compile(device, "ConvRectTail", nativeOptions).pipeline("rect_tail");

    const std::vector<std::uint16_t> transformed =
        rectangular::transformFilters(weights, static_cast<std::size_t>(inputChannels), 48);
    weights_ = rectangular::halfBuffer(device, std::span<const std::uint16_t>(transformed));
    bias_ = rectangular::halfBuffer(device, biases);

    checkLimits(*device, *down2_, simdGroups);
    checkLimits(*device, *native_, nativeGroups);
}

RectTail24::RectTail24(const std::shared_ptr<gpu::Device>& device, std::span<const float> weights,
                       std::span<const float> biases, std::int64_t simdGroups) {
    require(weights.size() == 10368 && biases.size() == 48, hqTailMessage);
    simds_ = static_cast<int>(simdGroups);

    gpu::CompileOptions down2Options;
    down2Options.preprocessorMacros = {{"SIMDS", simdGroups}, {"NATIVE", false}};
    const ShaderLibrary down2Library = ShaderLibrary::compile(device, "ConvRectTail24", down2Options);
    down2_ = down2Library.pipeline("rect_tail_hq24");
    gpu::CompileOptions nativeOptions;
    nativeOptions.preprocessorMacros = {{"SIMDS", simdGroups}, {"NATIVE", true}};
    native_ = ShaderLibrary::compile(device, "ConvRectTail24", nativeOptions).pipeline("rect_tail_hq24");

    const std::vector<std::uint16_t> transformed = rectangular::transformFilters(weights, 24, 48);
    weights_ = rectangular::halfBuffer(device, std::span<const std::uint16_t>(transformed));
    bias_ = rectangular::halfBuffer(device, biases);

    checkLimits(*device, *down2_, simdGroups);
    checkLimits(*device, *native_, simdGroups);
}

} // namespace lumavane
