#include "VideoPresentation/PostProcessKernels.hpp"

#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace lumavane::postprocess {

namespace {

constexpr std::size_t pixelsPerItem = 32; // the kernels' LANES x BLOCKS_PER_ITEM

std::string kernelSource(const char* domain) {
    const auto path = resourceBundle("Lumavane_VideoPresentation.bundle") / "PostProcess.cl";
    // A missing file only disables the pass that needs it, so it is an error, not a stop.
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored))
        throw PlatformError(domain, 1, "PostProcess.cl is missing");
    return files::readWholeText(path);
}

} // namespace

std::shared_ptr<gpu::ComputePipelineState> pipeline(gpu::Device& device, const std::string& function,
                                                    const char* domain, const char* missingFunction) {
    const auto library = device.newLibrary(kernelSource(domain));
    auto kernel = library->newFunction(function);
    if (!kernel) throw PlatformError(domain, 2, missingFunction);
    return device.newComputePipelineState(kernel);
}

std::shared_ptr<gpu::Texture> frameTexture(gpu::Device& device, std::size_t width, std::size_t height,
                                           const char* label) {
    auto descriptor = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height);
    descriptor.storageMode = gpu::StorageMode::privateStorage;
    descriptor.usage =
        gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite | gpu::textureUsageRenderTarget;
    auto texture = device.newTexture(descriptor);
    if (texture) texture->setLabel(label);
    return texture;
}

std::shared_ptr<gpu::Texture> cachedTexture(std::shared_ptr<gpu::Texture>& cache, gpu::Device& device,
                                            std::size_t width, std::size_t height, const char* label) {
    if (cache && cache->width() == width && cache->height() == height) return cache;
    cache = frameTexture(device, width, height, label);
    return cache;
}

bool isColourTexture(const gpu::Texture& texture) {
    return texture.pixelFormat() == gpu::PixelFormat::bgra8Unorm ||
           texture.pixelFormat() == gpu::PixelFormat::rgba8Unorm;
}

void dispatchOver(gpu::ComputeCommandEncoder& encoder, const gpu::ComputePipelineState& pipeline,
                  const gpu::Texture& destination) {
    const std::size_t w = pipeline.threadExecutionWidth();
    const std::size_t h = std::max<std::size_t>(1, pipeline.maxTotalThreadsPerThreadgroup() / w);
    encoder.dispatchThreads(
        {(destination.width() + pixelsPerItem - 1) / pixelsPerItem, destination.height(), 1}, {w, h, 1});
}

} // namespace lumavane::postprocess
