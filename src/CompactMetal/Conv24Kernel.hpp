#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lumavane {

class Conv24Weights;

// The compiled 24-channel 3x3 convolution (bias and PReLU fused) in one of its modes, shared by
// every 24-to-24-channel layer of a model; each layer brings its own Conv24Weights.
//
//   mode             function               WINOGRAD_GROUPS  threads  work per threadgroup
//   "gather"         conv24_simd_gather     4                128      32 pixels
//   "preload"        conv24_simd_preload    4                128      32 pixels
//   "winograd"       conv24_winograd        4                128      32 2x2 tiles
//   "winograd_base"  conv24_winograd_base   4                64       16 2x2 tiles
//   "winograd_2d"    conv24_winograd_2d     1                64       8 2x2 tiles of one tile row
//
// With "winograd_2d" on a CPU device the layers run F(4x4, 3x3) instead ("conv_winograd4" of
// ConvWinograd.cl through Conv24Tail.cl, float weights, 8 4x4 tiles of one tile row per group of
// 32 threads), as the 16-channel body layers do: on PoCL it takes about two thirds of
// conv24_winograd_2d's time (bench/compact conv24_winograd_2d and conv24_winograd_2d_f4).
class Conv24Kernel {
public:
    // Fails with "Invalid Conv24 mode" for a mode outside the table (letter case counts),
    // "Conv24 requires Apple GPU family 7 or newer" on a device without that family, and
    // "Unsupported SIMD width or threadgroup limit" when the pipeline cannot run the mode's
    // threadgroups. Source, compile and pipeline errors pass through. `fourByFour` (only with
    // "winograd_2d") asks for the F(4x4, 3x3) layers or not; nullopt takes them on CPU devices.
    Conv24Kernel(std::shared_ptr<gpu::Device> device, std::string mode,
                 std::optional<bool> fourByFour = std::nullopt);

    // Records one layer: source and destination are 24-channel feature textures (six
    // rgba16Float slices) of the same size; other textures are an encoding error of the command
    // buffer.
    void encode(const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                const Conv24Weights& weights, const std::shared_ptr<gpu::CommandBuffer>& command) const;

    const std::shared_ptr<gpu::ComputePipelineState>& pipeline() const noexcept { return pipeline_; }
    // The F(4x4, 3x3) pipeline that encode() records instead of pipeline(); null when not taken.
    const std::shared_ptr<gpu::ComputePipelineState>& tile4Pipeline() const noexcept {
        return tile4Pipeline_;
    }
    const std::string& mode() const noexcept { return mode_; }
    int simdGroups() const noexcept { return simdGroups_; }
    int threadsPerGroup() const noexcept { return threadsPerGroup_; }

    // The mode table, as pure functions of the mode.
    static bool isValidMode(std::string_view mode);
    static bool usesWinogradWeights(std::string_view mode);
    static std::string functionName(std::string_view mode);
    static int simdGroupsFor(std::string_view mode);
    static int threadsPerGroupFor(std::string_view mode);
    // Threadgroups dispatched for a width x height frame; nullopt for an invalid mode.
    static std::optional<gpu::Size> threadgroups(std::string_view mode, std::size_t width,
                                                 std::size_t height);

private:
    std::shared_ptr<gpu::ComputePipelineState> pipeline_;
    std::shared_ptr<gpu::ComputePipelineState> tile4Pipeline_;
    std::string mode_;
    int simdGroups_;
    int threadsPerGroup_;
};

} // namespace lumavane
