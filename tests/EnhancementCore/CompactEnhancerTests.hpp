#pragma once

// Shared by the compact enhancer tests: random-weight model folders, enhancers over them, input
// frames in every form the enhancer takes (BGRA and 4:2:0 pixel buffers, images), and reading
// what it wrote, top row first, for comparison with the network run on the CPU.

#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/support/EngineReference.hpp"
#include "EnhancementCore/CompactEnhancer.hpp"
#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/MessageOf.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Context.hpp"
#include "Platform/Image/Image.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace lumavane {

struct CompactEnhancerTestAccess {
    static const CompactMetalEngine& engine(const CompactEnhancer& enhancer) { return *enhancer.engine_; }
    static const PixelBufferPool& pool(const CompactEnhancer& enhancer) { return enhancer.pool_; }
    static const std::shared_ptr<gpu::Texture>& inputTexture(const CompactEnhancer& enhancer) {
        return enhancer.inputTexture_;
    }
};

} // namespace lumavane

namespace lumavane::testing {

inline std::size_t outstandingOutputs(const CompactEnhancer& enhancer) {
    return CompactEnhancerTestAccess::pool(enhancer).outstandingCount();
}

inline Bgra8Image flipRows(const Bgra8Image& image) {
    Bgra8Image flipped(image.width, image.height);
    for (std::size_t y = 0; y < image.height; ++y)
        std::memcpy(flipped.pixel(0, image.height - 1 - y), image.pixel(0, y), image.width * 4);
    return flipped;
}

enum class InputKind { bgra, yuv420, image };
inline constexpr InputKind allInputKinds[] = {InputKind::bgra, InputKind::yuv420, InputKind::image};
const char* nameOf(InputKind kind);

// One input frame and the upright BGRA picture the enhancer should see in it.
struct InputFrame {
    Bgra8Image picture;
    PixelBuffer buffer;                // bgra and yuv420
    std::optional<image::Image> image; // image: made from a texture whose row 0 is the bottom
};

class CompactEnhancerTest : public ::testing::Test {
protected:
    // A random-weight model of 16 features and one body layer at width x height, written to
    // "<name>.bundle"; sets `model` and returns the folder.
    std::filesystem::path writeModel(std::int64_t scale, const nlohmann::json& extra = nullptr,
                                     std::int64_t width = 24, std::int64_t height = 16,
                                     const std::string& name = "tiny");
    // The enhancer over the last folder written, on a device of the common families plus `apple`.
    std::unique_ptr<CompactEnhancer> build(CompactEnhancerOptions options,
                                           std::vector<gpu::GPUFamily> apple = {});

    InputFrame makeInput(InputKind kind, std::size_t width, std::size_t height, std::uint32_t seed);
    // The result image (y up) read back top row first.
    Bgra8Image read(const image::Image& image);

    std::shared_ptr<image::Context> context();

    TemporaryDirectory directory;
    EngineModel model;
    std::filesystem::path folder;
    std::shared_ptr<gpu::Device> device;

private:
    std::shared_ptr<image::Context> context_;
    int models_ = 0;
};

} // namespace lumavane::testing
