// The renderers' host side: when render() passes a picture through, extents, texture caches,
// orientation on every road, and the errors that only disable a pass.
#include "PassTestSupport.hpp"

#include "Platform/Image/Context.hpp"
#include "Platform/Video/PixelBuffer.hpp"
#include "support/ErrorOf.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TemporaryDirectory.hpp"

#include <cstring>
#include <fstream>

using namespace lumavane;
using namespace lumavane::test;

namespace {

using Renderers = PassTest;

PostProcessConfiguration effectsOnly(const PostProcessSettings::Options& settings, float start = 0,
                                     float end = 1) {
    return PostProcessConfiguration(
        {.settings = PostProcessSettings(settings), .effectStart = start, .effectEnd = end});
}

const PostProcessSettings::Options brighter{.brightness = 0.2f}; // +51 levels

TEST_F(Renderers, RenderHandsBackTheInputItselfWhenThereIsNothingToDo) {
    const image::Image colour = image::Image::constantColor({0.2, 0.4, 0.6, 1});
    const image::Image picture = colour.cropped({0, 0, 16, 8});
    struct Case {
        const char* name;
        image::Image image;
        PostProcessConfiguration configuration;
    };
    const Case cases[] = {
        {"neutral", picture, effectsOnly({})},
        {"difference preview only", picture, effectsOnly({.differencePreview = true})},
        {"cleanup only", picture,
         PostProcessConfiguration(
             {.cleanupEnabled = true, .cleanupStrength = 1, .cleanupStart = 0, .cleanupEnd = 1})},
        {"empty band", picture, effectsOnly(brighter, 0.5f, 0.5f)},
        {"reversed band", picture, effectsOnly(brighter, 0.6f, 0.4f)},
        {"zero width", colour.cropped({0, 0, 0, 8}), effectsOnly(brighter)},
        {"zero height", colour.cropped({0, 0, 16, 0}), effectsOnly(brighter)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(effects->render(c.image, c.configuration).node(), c.image.node()) << c.name;
}

TEST_F(Renderers, RenderKeepsTheOriginAndRoundsTheSize) {
    const image::Image picture =
        image::Image::constantColor({0.2, 0.4, 0.6, 1}).cropped({10, 20, 640.5, 359.4});
    const image::Image result = effects->render(picture, effectsOnly(brighter));
    EXPECT_EQ(result.extent(), (image::Rect{10, 20, 641, 359}));
    const auto bitmap = image::Context::make(device)->createCPUImage(result, {300, 200, 1, 1});
    ASSERT_TRUE(bitmap);
    const std::uint8_t* p = bitmap->row(0);
    EXPECT_EQ((std::array<int, 3>{p[2], p[1], p[0]}), (std::array<int, 3>{102, 153, 204}));
}

TEST_F(Renderers, PicturesComeOutUprightOnEveryRoad) {
    auto redOverBlue = [](int width, int height) {
        return Picture::make(width, height, [=](int, int y) {
            return y < height / 2 ? std::array<int, 3>{200, 40, 40} : std::array<int, 3>{40, 40, 200};
        });
    };
    auto redOnTop = [](const Picture& out, int red, int blue) {
        const int bottom = out.height - 1;
        return out.red(0, 0) == red && out.blue(0, 0) == blue && out.red(0, bottom) == blue &&
               out.blue(0, bottom) == red;
    };
    const Picture picture = redOverBlue(8, 8);
    // Before upscaling: a pixel buffer, top row first in memory, through render().
    const PixelBuffer buffer = PixelBuffer::create(8, 8, LV_PIXEL_FORMAT_32BGRA);
    for (int y = 0; y < 8; ++y)
        std::memcpy(static_cast<std::uint8_t*>(buffer.baseAddress(0)) + y * buffer.bytesPerRow(0),
                    picture.at(0, y), 32);
    const image::Image rendered =
        effects->render(image::Image::fromPixelBuffer(buffer), effectsOnly(brighter));
    const auto bitmap = image::Context::make(device)->createCPUImage(rendered, rendered.extent());
    ASSERT_TRUE(bitmap);
    EXPECT_TRUE(redOnTop({8, 8, bitmap->bytes()}, 251, 91)) << "render";
    // After upscaling: from Core Image's texture, or from the cleanup's (display oriented).
    for (const bool displayOriented : {false, true}) {
        auto source = upload(picture, displayOriented), destination = upload(picture);
        encodeAndRun([&](const auto& buffer) {
            effects->encode(buffer, source, destination, effectsOnly(brighter), whole(picture),
                            displayOriented);
        });
        EXPECT_TRUE(redOnTop(download(*destination), 251, 91)) << "encode " << displayOriented;
    }
    EXPECT_TRUE(redOnTop(clean(redOverBlue(4, 4), picture, 1), 200, 40)) << "cleanup";
}

TEST_F(Renderers, TextureCachesFollowTheAskedSize) {
    const auto intermediate = effects->intermediateTexture(8, 8);
    ASSERT_TRUE(intermediate);
    EXPECT_EQ(intermediate->label(), "Lumavane post-process input");
    EXPECT_EQ(effects->intermediateTexture(0, 10), nullptr);
    EXPECT_EQ(effects->intermediateTexture(8, 8), intermediate); // an empty size keeps the cache
    const auto wider = effects->intermediateTexture(9, 8);
    ASSERT_TRUE(wider);
    EXPECT_NE(wider, intermediate);
    EXPECT_EQ(wider->width(), 9u);

    using Cache = std::shared_ptr<gpu::Texture> (EnhancementCleanupRenderer::*)(int, int);
    for (const Cache cache : {&EnhancementCleanupRenderer::source, &EnhancementCleanupRenderer::guide}) {
        EnhancementCleanupRenderer& renderer = *cleanup;
        const auto first = (renderer.*cache)(8, 4);
        ASSERT_TRUE(first);
        EXPECT_EQ((renderer.*cache)(8, 4), first);
        EXPECT_EQ((renderer.*cache)(0, 720), nullptr);
        EXPECT_NE((renderer.*cache)(8, 4), first); // the empty size dropped it
    }
}

// A kernel source that is missing, or lacks the kernel, disables only the renderer that needs it.
TEST_F(Renderers, MissingKernelsAreErrorsNotStops) {
    TemporaryDirectory folder;
    std::filesystem::create_directories(folder.path() / "empty" / "Lumavane_VideoPresentation.bundle");
    std::filesystem::create_directories(folder.path() / "other" / "Lumavane_VideoPresentation.bundle");
    std::ofstream(folder.path() / "other" / "Lumavane_VideoPresentation.bundle" / "PostProcess.cl")
        << "kernel void somethingElse(LV_GRID) {}\n";
    struct Case {
        const char* resources;
        int code;
        const char* effectsMessage;
        const char* cleanupMessage;
    };
    for (const Case c :
         {Case{"absent", 1, "PostProcess.cl is missing", "PostProcess.cl is missing"},
          Case{"empty", 1, "PostProcess.cl is missing", "PostProcess.cl is missing"},
          Case{"other", 2, "postProcess function is missing", "enhancementCleanup function is missing"}}) {
        SCOPED_TRACE(c.resources);
        ResourcesOverride resources(folder.path() / c.resources);
        const PlatformError effectsError = errorOf([&] { PostProcessRenderer renderer(device); });
        EXPECT_EQ(effectsError.domain(), "Lumavane.PostProcess");
        EXPECT_EQ(effectsError.code(), c.code);
        EXPECT_EQ(effectsError.localizedDescription(), c.effectsMessage);
        const PlatformError cleanupError = errorOf([&] { EnhancementCleanupRenderer renderer(device); });
        EXPECT_EQ(cleanupError.domain(), "Lumavane.EnhancementCleanup");
        EXPECT_EQ(cleanupError.code(), c.code);
        EXPECT_EQ(cleanupError.localizedDescription(), c.cleanupMessage);
    }
}

// Without a compute encoder the output texture holds no picture: render() hands back its input.
// A texture of another pixel format is skipped rather than read past its rows.
TEST_F(Renderers, PassesThatCannotRunAreSkipped) {
    PostProcessRenderer renderer(device);
    renderer.setEncoderSourceForTesting([](gpu::CommandBuffer&) { return nullptr; });
    const image::Image picture = image::Image::constantColor({0.2, 0.4, 0.6, 1}).cropped({0, 0, 16, 8});
    EXPECT_EQ(renderer.render(picture, effectsOnly(brighter)).node(), picture.node());
    const Picture grey = Picture::grey(16, 8, [](int, int) { return 90; });
    auto source = upload(grey), destination = upload(grey);
    encodeAndRun([&](const auto& buffer) {
        renderer.encode(buffer, source, destination, effectsOnly(brighter), whole(grey), false);
    });
    EXPECT_EQ(renderer.frameIndex(), 0u);

    renderer.setEncoderSourceForTesting(
        [](gpu::CommandBuffer& buffer) { return buffer.computeCommandEncoder(); });
    EXPECT_NE(renderer.render(picture, effectsOnly(brighter)).node(), picture.node());
    EXPECT_EQ(renderer.frameIndex(), 1u); // the first pass sees 1

    auto narrow = device->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::r8Unorm, 16, 8));
    encodeAndRun([&](const auto& buffer) {
        renderer.encode(buffer, narrow, destination, effectsOnly(brighter), whole(grey), false);
        renderer.encode(buffer, source, narrow, effectsOnly(brighter), whole(grey), false);
        cleanup->encode(buffer, narrow, source, destination, whole(grey), 0, 1, 1);
    });
    EXPECT_EQ(renderer.frameIndex(), 1u);
    EXPECT_EQ(download(*destination).bytes, grey.bytes);
}

} // namespace
