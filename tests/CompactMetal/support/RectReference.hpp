#pragma once

// Textures with a guard band that catches writes outside them, and the engine's dispatch of the
// rectangular fused tails.

#include "CompactMetal/support/CpuReference.hpp"
#include "support/ScopedEnv.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumavane::gpu {
class Buffer;
class CommandBuffer;
class ComputePipelineState;
struct TextureDescriptor;
} // namespace lumavane::gpu

namespace lumavane::testing {

// A texture in the middle of a larger buffer whose surroundings (`guard` pixels on every side,
// the padding at row ends included) hold a fill pattern; guardIntact() says whether anything
// outside the texture was written. Feature textures keep a pixel's slices together, as the
// device's own do, unless `slicesApart` lays every slice out as its own plane.
class GuardedTexture {
public:
    // `shift` moves the texture by that many bytes, e.g. 1 for rows that are not word aligned.
    static GuardedTexture bgra8(const std::shared_ptr<gpu::Device>& device, std::size_t width,
                                std::size_t height, std::size_t guard = 3, std::size_t shift = 0);
    static GuardedTexture features(const std::shared_ptr<gpu::Device>& device, std::size_t width,
                                   std::size_t height, std::size_t channels, std::size_t guard = 3,
                                   bool slicesApart = false);

    const std::shared_ptr<gpu::Texture>& texture() const { return texture_; }
    bool guardIntact() const;
    // Bytes written outside the texture.
    std::size_t guardBytesChanged() const;

    FloatImage readFeatures(std::size_t channels) const;
    void writeFeatures(const FloatImage& image);
    Bgra8Image readBgra8() const;

private:
    static GuardedTexture make(const std::shared_ptr<gpu::Device>& device, gpu::TextureDescriptor descriptor,
                               std::size_t guard, std::size_t bytesPerPixelPerSlice, bool slicesApart,
                               std::size_t shift);

    std::shared_ptr<gpu::Buffer> buffer_;
    std::shared_ptr<gpu::Texture> texture_;
    std::vector<bool> inside_; // per byte of the buffer
    std::vector<std::uint8_t> pattern_;
};

// The tail pass as the engine records it: texture 0 the features, 1 the source frame,
// 2 the destination; buffers 0 weights, 1 bias; 4 bytes at 2 the flip flag;
// (⌈W / 32⌉, ⌈H / 2⌉) threadgroups of 32 · simdGroups threads.
void encodeTail(const std::shared_ptr<gpu::CommandBuffer>& command,
                const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                const std::shared_ptr<gpu::Buffer>& weights, const std::shared_ptr<gpu::Buffer>& bias,
                int simdGroups, const std::shared_ptr<gpu::Texture>& features,
                const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                bool flip);

// Runs a command buffer to completion; throws its error.
void runAndWait(const std::shared_ptr<gpu::CommandBuffer>& command);

using test::ScopedEnv;

} // namespace lumavane::testing
