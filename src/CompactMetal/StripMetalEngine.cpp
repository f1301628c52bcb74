#include "CompactMetal/StripMetalEngine.hpp"

#include "CompactMetal/CompactMetalError.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace lumavane {

namespace {

constexpr const char* fullFrameBuffersMessage = "Strip engine needs the base engine's full-frame buffers";

gpu::TextureDescriptor rgbaDescriptor(std::int64_t width, std::int64_t height, gpu::StorageMode storage) {
    auto descriptor = gpu::TextureDescriptor::texture2D(
        gpu::PixelFormat::rgba8Unorm, static_cast<std::size_t>(width), static_cast<std::size_t>(height));
    descriptor.storageMode = storage;
    descriptor.usage = gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite;
    return descriptor;
}

std::shared_ptr<gpu::Texture> makeTexture(const std::shared_ptr<gpu::Device>& device, std::int64_t width,
                                          std::int64_t height) {
    auto texture = device->newTexture(rgbaDescriptor(width, height, gpu::StorageMode::privateStorage));
    if (!texture)
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                            "Strip texture of " + std::to_string(width) + "x" + std::to_string(height) +
                                " could not be allocated");
    return texture;
}

} // namespace

StripMetalEngine::StripMetalEngine(const std::filesystem::path& folder,
                                   std::shared_ptr<CompactMetalEngine> base, std::int64_t rows)
    : base_(std::move(base)) {
    if (!base_) throw std::invalid_argument("StripMetalEngine needs a base engine");
    const Manifest& m = base_->manifest();
    const std::int64_t W = m.width, H = m.height, S = m.scale;
    const auto L = static_cast<std::int64_t>(m.layers.size());
    const auto& device = base_->device();

    require(rows > 15 && rows <= H, "Invalid strip height");
    const auto alignment =
        static_cast<std::int64_t>(device->minimumLinearTextureAlignment(gpu::PixelFormat::rgba8Unorm));
    require(alignment > 0 && (W * 4) % alignment == 0, "Probe input row needs texture-buffer alignment");

    // A base built without benchmark buffers holds 4-byte placeholders, and one built for 4x-to-2x
    // output a quarter-size output buffer: views over them would reach past their ends.
    const auto inputBytes = static_cast<std::size_t>(W * H * 4);
    const auto outputBytes = static_cast<std::size_t>(W * S * H * S * 4);
    require(base_->input() && base_->input()->length() >= inputBytes && base_->output() &&
                base_->output()->length() >= outputBytes,
            fullFrameBuffersMessage);
    source_ = base_->input()->newTexture(rgbaDescriptor(W, H, gpu::StorageMode::shared), 0,
                                         static_cast<std::size_t>(W * 4));
    destination_ = base_->output()->newTexture(rgbaDescriptor(W * S, H * S, gpu::StorageMode::shared), 0,
                                               static_cast<std::size_t>(W * S * 4));
    require(source_ && destination_, fullFrameBuffersMessage);

    for (std::int64_t y = 0; y < H; y += rows) {
        const std::int64_t count = std::min(rows, H - y);
        const std::int64_t first = std::max<std::int64_t>(y - L, 0);
        const std::int64_t end = std::min(y + count + L, H);
        const std::int64_t height = end - first;
        tiles_.push_back({first, y, count, height});
        if (slots_.count(height)) continue;

        CompactMetalEngineOptions options;
        options.folder = folder;
        options.halfAccumulator = true;
        options.blockFinish = true;
        options.benchmarkBuffers = false;
        options.disableInternalTiling = false;
        options.uniformInputOptimization = false;
        // The strips must run where the base's buffers live.
        options.device = device;
        auto engine = std::make_shared<CompactMetalEngine>(options);
        engine->resize(W, height, std::nullopt);
        Slot slot{std::move(engine), makeTexture(device, W, height), makeTexture(device, W * S, height * S)};
        slots_.emplace(height, std::move(slot));
    }
}

double StripMetalEngine::run() {
    const std::int64_t W = base_->manifest().width, S = base_->manifest().scale;
    auto command = base_->queue()->commandBuffer();
    if (!command)
        throw PlatformError(gpu::errorDomain, gpu::errorUnavailable, "No command buffer for the strips");

    auto blit = [&](const std::shared_ptr<gpu::Texture>& from, gpu::Origin origin, gpu::Size size,
                    const std::shared_ptr<gpu::Texture>& to, gpu::Origin destination) {
        auto encoder = command->blitCommandEncoder();
        if (!encoder)
            throw PlatformError(gpu::errorDomain, gpu::errorEncoding, "No blit encoder for the strips");
        encoder->copyFromTexture(from, 0, 0, origin, size, to, 0, 0, destination);
        encoder->endEncoding();
    };

    for (const Tile& tile : tiles_) {
        const auto found = slots_.find(tile.height);
        if (found == slots_.end()) throw std::logic_error("Strip without a slot");
        const Slot& slot = found->second;
        blit(source_, {0, static_cast<std::size_t>(tile.first), 0},
             {static_cast<std::size_t>(W), static_cast<std::size_t>(tile.height), 1}, slot.input, {0, 0, 0});
        slot.engine->encode(slot.input, slot.output, command, false, std::nullopt, false, false);
        blit(slot.output, {0, static_cast<std::size_t>((tile.content - tile.first) * S), 0},
             {static_cast<std::size_t>(W * S), static_cast<std::size_t>(tile.count * S), 1}, destination_,
             {0, static_cast<std::size_t>(tile.content * S), 0});
    }

    command->commit();
    command->waitUntilCompleted();
    if (auto error = command->error()) throw *error;
    return (command->GPUEndTime() - command->GPUStartTime()) * 1000.0;
}

} // namespace lumavane
