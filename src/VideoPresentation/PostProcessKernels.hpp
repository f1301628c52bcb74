// What the effect and cleanup renderers share: the kernel source, their frame textures and the
// dispatch over a destination.
#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <memory>
#include <string>

namespace lumavane::postprocess {

// The kernel `function` of the bundle's "PostProcess.cl", compiled on `device` without options.
// Throws PlatformError(domain, 1) when the source is not installed and PlatformError(domain, 2,
// missingFunction) when it has no such kernel; read, compile and pipeline errors pass through.
std::shared_ptr<gpu::ComputePipelineState> pipeline(gpu::Device& device, const std::string& function,
                                                    const char* domain, const char* missingFunction);

// The texture in `cache` when it has this size, else a new private BGRA texture labelled `label`
// stored there (nullptr, and an empty cache, when it cannot be made). Sizes must be at least 1.
std::shared_ptr<gpu::Texture> cachedTexture(std::shared_ptr<gpu::Texture>& cache, gpu::Device& device,
                                            std::size_t width, std::size_t height, const char* label);

// A private BGRA texture for a frame, usable by kernels and as a render target.
std::shared_ptr<gpu::Texture> frameTexture(gpu::Device& device, std::size_t width, std::size_t height,
                                           const char* label);

// The kernels read and write four bytes a pixel: BGRA (or RGBA, whose channels they then see swapped).
bool isColourTexture(const gpu::Texture& texture);

// Runs `pipeline` over `destination`. Each work item computes 32 pixels of a row (whole vectors on
// CPU devices), so the grid is one item per 32 columns by the destination's rows.
void dispatchOver(gpu::ComputeCommandEncoder& encoder, const gpu::ComputePipelineState& pipeline,
                  const gpu::Texture& destination);

} // namespace lumavane::postprocess
