#pragma once

#include "CompactMetal/CompactMetalEngine.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

namespace lumavane {

// A measuring engine that upscales the frame of a base CompactMetalEngine in horizontal strips:
// each band of `rows` rows is widened by one halo row per layer above and below (clipped to the
// frame), upscaled by an engine sized to that band, and only the band's own rows are copied into
// the full-size output. All strips go into one command buffer, so a run has one GPU time.
//
// The base supplies the geometry, device, queue and the frame buffers (it must carry full-frame
// benchmark buffers at its native output scale); it is never encoded itself.
class StripMetalEngine {
public:
    // One strip, in frame rows: the engine is fed rows first ..< first + height and the strip
    // owns rows content ..< content + count.
    struct Tile {
        std::int64_t first = 0;
        std::int64_t content = 0;
        std::int64_t count = 0;
        std::int64_t height = 0;
    };

    // What every strip of one input height shares.
    struct Slot {
        std::shared_ptr<CompactMetalEngine> engine;
        std::shared_ptr<gpu::Texture> input;  // W x height
        std::shared_ptr<gpu::Texture> output; // (W·S) x (height·S)
    };

    // `folder` is the model folder the base was built from; `rows` the rows each strip owns.
    // Throws "Invalid strip height" (rows outside 16...H), "Probe input row needs texture-buffer
    // alignment", "Strip engine needs the base engine's full-frame buffers" (a base built
    // without benchmark buffers or at a reduced output scale), the Gpu layer's out-of-memory
    // error for a texture that cannot be had, and passes errors of building and sizing the
    // strip engines through unchanged.
    StripMetalEngine(const std::filesystem::path& folder, std::shared_ptr<CompactMetalEngine> base,
                     std::int64_t rows);

    // Upscales the frame in the base's `input` buffer (RGBA8, rows of W·4 bytes) into its
    // `output` buffer (rows of W·S·4 bytes); blocks until the GPU has finished and returns its
    // time in milliseconds. Recording and command-buffer errors are thrown.
    double run();

    const std::shared_ptr<CompactMetalEngine>& base() const noexcept { return base_; }
    const std::shared_ptr<gpu::Texture>& source() const noexcept { return source_; }
    const std::shared_ptr<gpu::Texture>& destination() const noexcept { return destination_; }
    const std::vector<Tile>& tiles() const noexcept { return tiles_; }
    const std::map<std::int64_t, Slot>& slots() const noexcept { return slots_; }

private:
    std::shared_ptr<CompactMetalEngine> base_;
    std::shared_ptr<gpu::Texture> source_;
    std::shared_ptr<gpu::Texture> destination_;
    std::vector<Tile> tiles_;
    std::map<std::int64_t, Slot> slots_;
};

} // namespace lumavane
