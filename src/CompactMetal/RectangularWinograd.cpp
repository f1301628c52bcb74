#include "CompactMetal/RectangularWinograd.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "Platform/Foundation/Half.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace lumavane {

namespace rectangular {

const std::array<std::array<float, 3>, 4> verticalTransform = {{
    {1.0f, 0.0f, 0.0f},
    {0.5f, 0.5f, 0.5f},
    {0.5f, -0.5f, 0.5f},
    {0.0f, 0.0f, 1.0f},
}};

const std::array<std::array<float, 3>, 6> horizontalTransform = {{
    {1.0f / 4.0f, 0.0f, 0.0f},
    {-1.0f / 6.0f, -1.0f / 6.0f, -1.0f / 6.0f},
    {-1.0f / 6.0f, 1.0f / 6.0f, -1.0f / 6.0f},
    {1.0f / 24.0f, 1.0f / 12.0f, 1.0f / 6.0f},
    {1.0f / 24.0f, -1.0f / 12.0f, 1.0f / 6.0f},
    {0.0f, 0.0f, 1.0f},
}};

std::vector<std::uint16_t> transformFilters(std::span<const float> weights, std::size_t inputs,
                                            std::size_t outputs) {
    if (weights.size() != outputs * 9 * inputs) throw std::invalid_argument("transformFilters: weight count");
    std::vector<std::uint16_t> transformed(24 * inputs * outputs, 0);
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 6; ++c) {
            const std::size_t p = 6 * r + c;
            for (std::size_t i = 0; i < inputs; ++i) {
                for (std::size_t o = 0; o < outputs; ++o) {
                    float sum = 0.0f;
                    for (std::size_t ky = 0; ky < 3; ++ky) {
                        for (std::size_t kx = 0; kx < 3; ++kx) {
                            const float w = weights[((o * 3 + ky) * 3 + kx) * inputs + i];
                            sum += horizontalTransform[c][kx] * (verticalTransform[r][ky] * w);
                        }
                    }
                    transformed[(p * inputs + i) * outputs + o] = floatToHalf(sum);
                }
            }
        }
    }
    return transformed;
}

std::optional<std::int64_t> integerEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    std::string_view text(value);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // Digits only: from_chars alone would take a sign of its own and stop at trailing junk.
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return 0;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    (void)end;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    if (error != std::errc() || magnitude > limit) return 0;
    return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        std::span<const std::uint16_t> values) {
    auto buffer = device->newBuffer(values.data(), values.size_bytes());
    if (!buffer) throw CompactMetalError::rectangularAllocation();
    return buffer;
}

std::shared_ptr<gpu::Buffer> halfBuffer(const std::shared_ptr<gpu::Device>& device,
                                        std::span<const float> values) {
    return halfBuffer(device, std::span<const std::uint16_t>(floatToHalf(values)));
}

} // namespace rectangular

namespace {

constexpr const char* tileRowsMessage = "Rectangular tile rows must be 1/2/4/8/16 and divide the tile count";
constexpr const char* limitsMessage = "Rectangular Winograd exceeds device limits";
constexpr const char* encoderLabel = "Rectangular Winograd 4x2 output tile";

std::size_t ceilDiv(std::size_t n, std::size_t d) { return (n + d - 1) / d; }

} // namespace

RectangularWinograd::RectangularWinograd(const std::shared_ptr<gpu::Device>& device, std::int64_t channels,
                                         std::span<const float> weights, std::span<const float> biases,
                                         std::span<const float> slopes,
                                         const RectangularConfiguration& configuration) {
    if (channels != 16 && channels != 24)
        throw std::invalid_argument("RectangularWinograd: 16 or 24 channels");
    const auto c = static_cast<std::size_t>(channels);
    if (weights.size() != 9 * c * c || biases.size() != c || slopes.size() != c)
        throw std::invalid_argument("RectangularWinograd: weight, bias or slope count");

    simds_ = static_cast<int>(configuration.simd_groups);
    outputHeight_ = 2;
    tiles_ = static_cast<int>(configuration.tiles_per_group);
    std::int64_t rows = configuration.tile_rows.value_or(1);
    if (channels == 16) {
        if (const auto fromEnvironment = rectangular::integerEnvironment("CORAVEL_RECT_TILE_ROWS"))
            rows = *fromEnvironment;
    }
    const bool rowsValid = (rows == 1 || rows == 2 || rows == 4 || rows == 8 || rows == 16) &&
                           configuration.tiles_per_group % rows == 0;
    require(rowsValid, tileRowsMessage);
    tileRows_ = static_cast<int>(rows);

    gpu::CompileOptions options;
    options.preprocessorMacros = {
        {"CHANNELS", channels},
        {"SIMDS", configuration.simd_groups},
        {"TILES", configuration.tiles_per_group},
        {"NARROW_INPUT", configuration.narrow_input},
        {"TILE_ROWS", static_cast<std::int64_t>(tileRows_)},
    };
    const ShaderLibrary library = ShaderLibrary::compile(device, "ConvRectangular", options);
    pipeline_ = library.pipeline("conv_rectangular");

    const std::int64_t threads = 32 * std::clamp<std::int64_t>(configuration.simd_groups, 0, INT32_MAX);
    require(pipeline_->staticThreadgroupMemoryLength() <= device->maxThreadgroupMemoryLength() &&
                static_cast<std::int64_t>(pipeline_->maxTotalThreadsPerThreadgroup()) >= threads,
            limitsMessage);

    const std::vector<std::uint16_t> transformed = rectangular::transformFilters(weights, c, c);
    weights_ = rectangular::halfBuffer(device, std::span<const std::uint16_t>(transformed));
    bias_ = rectangular::halfBuffer(device, biases);
    slope_ = rectangular::halfBuffer(device, slopes);
}

gpu::Size RectangularWinograd::threadgroups(std::size_t width, std::size_t height) const noexcept {
    const auto tilesAcross = static_cast<std::size_t>(tiles_ / tileRows_);
    const std::size_t blockWidth = 4 * tilesAcross;
    const std::size_t blockHeight = 2 * static_cast<std::size_t>(tileRows_);
    return {ceilDiv(width, blockWidth), ceilDiv(height, blockHeight), 1};
}

void RectangularWinograd::encode(const std::shared_ptr<gpu::Texture>& source,
                                 const std::shared_ptr<gpu::Texture>& destination,
                                 const std::shared_ptr<gpu::CommandBuffer>& command) const {
    auto encoder = command->computeCommandEncoder();
    if (!encoder) return;
    encoder->setLabel(encoderLabel);
    encoder->setComputePipelineState(pipeline_);
    encoder->setTexture(source, 0);
    encoder->setTexture(destination, 1);
    encoder->setBuffer(weights_, 0, 0);
    encoder->setBuffer(bias_, 0, 1);
    encoder->setBuffer(slope_, 0, 2);
    encoder->dispatchThreadgroups(threadgroups(source->width(), source->height()),
                                  {32 * static_cast<std::size_t>(simds_), 1, 1});
    encoder->endEncoding();
}

} // namespace lumavane
