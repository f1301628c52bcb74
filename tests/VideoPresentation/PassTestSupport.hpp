// Pictures in and out of the effect and cleanup kernels, for checks against CPU references.
#pragma once

#include "Platform/Gpu/GpuTestSupport.hpp"
#include "VideoPresentation/EnhancementCleanupRenderer.hpp"
#include "VideoPresentation/PostProcessRenderer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumavane::test {

// An opaque 8-bit BGRA picture, top row first.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bytes;

    // Colour (red, green, blue) of each pixel from f(x, y).
    static Picture make(int width, int height, const std::function<std::array<int, 3>(int, int)>& f) {
        Picture p{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 4)};
        for (int i = 0; i < width * height; ++i) {
            const auto [r, g, b] = f(i % width, i / width);
            p.bytes[4 * i] = std::uint8_t(b), p.bytes[4 * i + 1] = std::uint8_t(g);
            p.bytes[4 * i + 2] = std::uint8_t(r), p.bytes[4 * i + 3] = 255;
        }
        return p;
    }
    static Picture grey(int width, int height, const std::function<int(int, int)>& f) {
        return make(width, height, [&](int x, int y) {
            return std::array<int, 3>{f(x, y), f(x, y), f(x, y)};
        });
    }
    std::uint8_t* at(int x, int y) { return &bytes[(std::size_t(y) * width + x) * 4]; }
    const std::uint8_t* at(int x, int y) const { return &bytes[(std::size_t(y) * width + x) * 4]; }
    int red(int x, int y) const { return at(x, y)[2]; }
    int green(int x, int y) const { return at(x, y)[1]; }
    int blue(int x, int y) const { return at(x, y)[0]; }
};

// The renderers are built once per suite; device and queue come from the GPU layer's fixture.
class PassTest : public gpu::testing::GpuTest {
protected:
    static void SetUpTestSuite() {
        auto device = gpu::Device::systemDefault();
        if (!device) return;
        try {
            effects = std::make_unique<PostProcessRenderer>(device);
            cleanup = std::make_unique<EnhancementCleanupRenderer>(device);
        } catch (const std::exception& error) {
            setUpError = error.what();
        }
    }
    static void TearDownTestSuite() {
        effects.reset();
        cleanup.reset();
    }
    void SetUp() override {
        GpuTest::SetUp();
        ASSERT_TRUE(effects && cleanup) << "no renderers: " << setUpError;
    }

    // Bottom row first, as Core Image renders into textures, unless topRowFirst.
    std::shared_ptr<gpu::Texture> upload(const Picture& p, bool topRowFirst = false) {
        auto texture = device->newTexture(gpu::TextureDescriptor::texture2D(
            gpu::PixelFormat::bgra8Unorm, std::size_t(p.width), std::size_t(p.height)));
        for (int y = 0; y < p.height; ++y)
            texture->replaceRegion(
                {{0, std::size_t(topRowFirst ? y : p.height - 1 - y), 0}, {std::size_t(p.width), 1, 1}}, 0,
                p.at(0, y), std::size_t(p.width) * 4);
        return texture;
    }
    // The passes write the top row first.
    static Picture download(const gpu::Texture& texture) {
        Picture p{int(texture.width()), int(texture.height()),
                  std::vector<std::uint8_t>(texture.width() * texture.height() * 4)};
        texture.getBytes(p.bytes.data(), texture.width() * 4,
                         {{0, 0, 0}, {texture.width(), texture.height(), 1}}, 0);
        return p;
    }
    void encodeAndRun(const std::function<void(const std::shared_ptr<gpu::CommandBuffer>&)>& encode) {
        auto buffer = queue->commandBuffer();
        encode(buffer);
        run(buffer);
    }
    static image::Rect whole(const Picture& p) { return {0, 0, double(p.width), double(p.height)}; }

    Picture applyEffects(const Picture& in, const PostProcessSettings::Options& settings, float start = 0,
                         float end = 1, std::optional<image::Rect> content = {}) {
        const PostProcessConfiguration configuration(
            {.settings = PostProcessSettings(settings), .effectStart = start, .effectEnd = end});
        auto source = upload(in), destination = upload(in);
        encodeAndRun([&](const auto& buffer) {
            effects->encode(buffer, source, destination, configuration, content.value_or(whole(in)), false);
        });
        return download(*destination);
    }

    Picture clean(const Picture& guide, const Picture& in, float strength, float start = 0, float end = 1,
                  std::optional<image::Rect> content = {}) {
        auto guideTexture = upload(guide), source = upload(in), destination = upload(in);
        encodeAndRun([&](const auto& buffer) {
            cleanup->encode(buffer, guideTexture, source, destination, content.value_or(whole(in)), start,
                            end, strength);
        });
        return download(*destination);
    }

    static inline std::unique_ptr<PostProcessRenderer> effects;
    static inline std::unique_ptr<EnhancementCleanupRenderer> cleanup;
    static inline std::string setUpError;
};

} // namespace lumavane::test
