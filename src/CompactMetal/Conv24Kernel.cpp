#include "CompactMetal/Conv24Kernel.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/Conv24Weights.hpp"
#include "CompactMetal/ShaderLibrary.hpp"

#include <array>

namespace lumavane {

namespace {

constexpr std::array<std::string_view, 5> modes = {"gather", "preload", "winograd", "winograd_base",
                                                   "winograd_2d"};

// Tiles of one tile row that a "winograd_2d" threadgroup computes (2x2, or 4x4 with F(4x4)).
constexpr std::size_t rowTilesPerGroup = 8;

std::size_t divideRoundingUp(std::size_t value, std::size_t divisor) {
    return (value + divisor - 1) / divisor;
}

} // namespace

bool Conv24Kernel::isValidMode(std::string_view mode) {
    for (std::string_view known : modes)
        if (mode == known) return true;
    return false;
}

bool Conv24Kernel::usesWinogradWeights(std::string_view mode) { return mode.starts_with("winograd"); }

std::string Conv24Kernel::functionName(std::string_view mode) {
    return (usesWinogradWeights(mode) ? "conv24_" : "conv24_simd_") + std::string(mode);
}

int Conv24Kernel::simdGroupsFor(std::string_view mode) { return mode == "winograd_2d" ? 1 : 4; }

int Conv24Kernel::threadsPerGroupFor(std::string_view mode) {
    return mode == "winograd_2d" || mode == "winograd_base" ? 64 : 128;
}

std::optional<gpu::Size> Conv24Kernel::threadgroups(std::string_view mode, std::size_t width,
                                                    std::size_t height) {
    if (!isValidMode(mode)) return std::nullopt;
    const std::size_t tilesX = divideRoundingUp(width, 2), tilesY = divideRoundingUp(height, 2);
    if (mode == "winograd_2d") return gpu::Size{divideRoundingUp(tilesX, rowTilesPerGroup), tilesY, 1};
    if (mode == "winograd") return gpu::Size{divideRoundingUp(tilesX * tilesY, 32), 1, 1};
    if (mode == "winograd_base") return gpu::Size{divideRoundingUp(tilesX * tilesY, 16), 1, 1};
    return gpu::Size{divideRoundingUp(width * height, 32), 1, 1};
}

Conv24Kernel::Conv24Kernel(std::shared_ptr<gpu::Device> device, std::string mode,
                           std::optional<bool> fourByFour)
    : mode_(std::move(mode)), simdGroups_(simdGroupsFor(mode_)), threadsPerGroup_(threadsPerGroupFor(mode_)) {
    require(isValidMode(mode_), "Invalid Conv24 mode");
    require(device->supportsFamily(gpu::GPUFamily::apple7), "Conv24 requires Apple GPU family 7 or newer");
    gpu::CompileOptions options;
    options.preprocessorMacros.emplace("WINOGRAD_GROUPS", simdGroups_);
    pipeline_ = ShaderLibrary::compile(device, "Conv24", options).pipeline(functionName(mode_));
    require(pipeline_->threadExecutionWidth() == 32 &&
                pipeline_->maxTotalThreadsPerThreadgroup() >= static_cast<std::size_t>(threadsPerGroup_),
            "Unsupported SIMD width or threadgroup limit");
    if (mode_ == "winograd_2d" && fourByFour.value_or(device->isCPU())) {
        // The F(4x4, 3x3) body layer of ConvWinograd.cl: each work item takes a tile from input
        // to pixels with 1.78x fewer products than F(2x2, 3x3).
        gpu::CompileOptions tile4;
        tile4.preprocessorMacros = {{"IC", 24},          {"OC", 24},
                                    {"TOTAL_OC", 24},    {"COOP_GROUPS", threadsPerGroup_ / 32},
                                    {"TILE_BATCHES", 1}, {"W4_TILES", rowTilesPerGroup},
                                    {"WG_GROUPS", 1},    {"ACTIVATE", 1}};
        tile4Pipeline_ = ShaderLibrary::compile(device, "Conv24Tail", tile4).pipeline("conv_winograd4");
        require(tile4Pipeline_->threadExecutionWidth() == 32 &&
                    tile4Pipeline_->maxTotalThreadsPerThreadgroup() >=
                        static_cast<std::size_t>(threadsPerGroup_),
                "Unsupported SIMD width or threadgroup limit");
    }
}

void Conv24Kernel::encode(const std::shared_ptr<gpu::Texture>& source,
                          const std::shared_ptr<gpu::Texture>& destination, const Conv24Weights& weights,
                          const std::shared_ptr<gpu::CommandBuffer>& command) const {
    // The kernels read six rgba16Float slices and write the source's size: anything else would
    // touch memory outside the textures, so it fails the command buffer instead.
    auto isFeature24 = [](const std::shared_ptr<gpu::Texture>& texture) {
        return texture && texture->pixelFormat() == gpu::PixelFormat::rgba16Float &&
               texture->arrayLength() == 6;
    };
    if (!isFeature24(source) || !isFeature24(destination) || source->width() != destination->width() ||
        source->height() != destination->height())
        return command->recordError("Conv24 needs 24-channel half-float source and destination of one size");
    auto encoder = command->computeCommandEncoder();
    if (!encoder) return; // a committed buffer takes no more work
    encoder->setLabel("Conv24 SIMD 3x3 + PReLU");
    encoder->setComputePipelineState(pipeline_);
    encoder->setTexture(source, 0);
    encoder->setTexture(destination, 1);
    encoder->setBuffer(weights.bias(), 0, 1);
    encoder->setBuffer(weights.slope(), 0, 2);
    if (tile4Pipeline_ && weights.kernel4()) {
        encoder->setComputePipelineState(tile4Pipeline_);
        encoder->setBuffer(weights.kernel4(), 0, 0);
        encoder->dispatchThreadgroups({divideRoundingUp(source->width(), 4 * rowTilesPerGroup),
                                       divideRoundingUp(source->height(), 4), 1},
                                      {static_cast<std::size_t>(threadsPerGroup_), 1, 1});
        encoder->endEncoding();
        return;
    }
    encoder->setBuffer(weights.kernel(), 0, 0);
    const gpu::Size groups = *threadgroups(mode_, source->width(), source->height());
    encoder->dispatchThreadgroups(groups, {static_cast<std::size_t>(threadsPerGroup_), 1, 1});
    encoder->endEncoding();
}

} // namespace lumavane
