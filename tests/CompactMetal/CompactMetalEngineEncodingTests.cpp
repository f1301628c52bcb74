// Every road of the engine's per-layer choice, chosen by device families, manifest keys,
// arguments and environment switches, recorded by encode and checked against the whole
// network on the CPU: the platform convolutions, 16-channel Winograd with its fused tails,
// the approximate 2x tail, the 24-channel modes, rectangular layers and tails, the display-
// optimal output, 4x-to-2x output and flips. Frames are odd-sized so that every grid has a
// partial group at its right and bottom edges.
#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "CompactMetal/support/EngineReference.hpp"
#include "CompactMetal/support/RectReference.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace lumavane::testing {
namespace {

using gpu::GPUFamily;
using Pipeline = std::shared_ptr<gpu::ComputePipelineState>;

constexpr std::size_t frameWidth = 37, frameHeight = 23;

class EngineRoads : public ::testing::Test {
protected:
    // A model of `features` channels (first layer 3 to features, `body` body layers, the last
    // to 3·s²) with extra manifest keys, built on a device of the given families and resized to
    // the test frame.
    std::unique_ptr<CompactMetalEngine> build(std::int64_t scale, std::int64_t features, int body,
                                              const nlohmann::json& extra,
                                              std::initializer_list<GPUFamily> families,
                                              CompactMetalEngineOptions options = {}) {
        nlohmann::json manifest = compactManifest(scale, compactLayers(scale, features, body));
        if (extra.is_object()) manifest.update(extra);
        const auto folder = directory.path() / std::to_string(++models);
        model = writeEngineModel(folder, manifest, 1000 + static_cast<std::uint32_t>(models));
        options.folder = folder;
        options.device = deviceWithFamilies(families);
        auto engine = std::make_unique<CompactMetalEngine>(options);
        engine->resize(frameWidth, frameHeight);
        return engine;
    }

    // Encodes the frame and checks it against the reference; returns the last pipeline recorded.
    Pipeline check(CompactMetalEngine& engine, EngineOutput output, FrameRequest request = {}) {
        const Bgra8Image source = randomBgra8(frameWidth, frameHeight, ++frames);
        std::vector<Pipeline> pipelines;
        const Bgra8Image actual = encodeFrame(engine, source, request, &pipelines);
        SCOPED_TRACE(::testing::Message() << "scale " << request.outputScale.value_or(0) << " flip "
                                          << request.flip << " direct " << request.directInput);
        expectFrame(actual, expectedOutput(model, source, output, request.flip, request.width, request.height));
        return pipelines.empty() ? nullptr : pipelines.back();
    }

    TemporaryDirectory directory;
    EngineModel model;
    int models = 0;
    std::uint32_t frames = 0;
};

TEST_F(EngineRoads, PlatformConvolutionsForEveryScaleWithoutAppleFamilies) {
    for (const std::int64_t scale : {2, 3, 4}) {
        SCOPED_TRACE(scale);
        // The 16-channel key is ignored on a device without Apple 7.
        auto engine = build(scale, 16, 2, {{"conv16_backend", "winograd"}}, {});
        EXPECT_EQ(engine->convolutionBackend(), "mps");
        EXPECT_TRUE(engine->conv16().empty());
        const auto& p = engine->pipelines();
        EXPECT_EQ(check(*engine, EngineOutput::native), p.textureFinish);
        EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .directInput = true}), p.textureFinish);
        if (scale != 4) continue;
        EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), p.textureFinish4xDown2);
        EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true}),
                  p.textureFinish4xDown2Flipped);
        // Native 4x through the plain reconstruction is written upside down when asked, too.
        EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = 4, .flip = true}), p.textureFinishFlipped);
    }
}

TEST_F(EngineRoads, Winograd16WithFusedTailsAndDisplayOptimalOutput) {
    auto engine = build(4, 16, 3, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8});
    EXPECT_EQ(engine->convolutionBackend(), "metal-16-winograd");
    ASSERT_EQ(engine->conv16().size(), 4u); // three body layers and the last
    EXPECT_FALSE(engine->usesApproximateDown2());
    ASSERT_TRUE(engine->supportsOptimalDisplayOutput());
    EXPECT_TRUE(engine->deferReconstructionImage());
    const ConvWinograd& last = *engine->conv16().at(4);

    EXPECT_EQ(check(*engine, EngineOutput::native), last.nativeFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}), last.flippedNativeFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), last.fusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true}), last.flippedFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .directInput = true}), last.fusedPipeline());
    // The deferred last image was never needed.
    EXPECT_EQ(engine->images().back()->width(), 1u);

    const ApproxDown2Winograd& optimal = *engine->optimalOutput();
    for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{1, 1},
                               {4 * frameWidth, 4 * frameHeight},
                               {3 * frameWidth + 1, 2 * frameHeight - 1},
                               {frameWidth - 5, frameHeight + 9}}) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        EXPECT_EQ(check(*engine, EngineOutput::optimal, {.outputScale = {}, .optimal = true, .width = w, .height = h}),
                  optimal.optimalPipeline());
        EXPECT_EQ(check(*engine, EngineOutput::optimal, {.outputScale = {}, .flip = true, .optimal = true, .width = w, .height = h}),
                  optimal.flippedOptimalPipeline());
    }
}

TEST_F(EngineRoads, Winograd16WithoutFusedTailsReconstructsSeparately) {
    const EnvironmentOverride noTail("CORAVEL_FUSED_TAIL", "0");
    auto engine = build(4, 16, 1, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8});
    ASSERT_TRUE(engine->conv16().count(2));
    EXPECT_FALSE(engine->conv16().at(2)->supportsFusedDown2());
    // The display-optimal output still defers the last image; it is made when first needed.
    EXPECT_TRUE(engine->deferReconstructionImage());
    const auto& p = engine->pipelines();
    EXPECT_EQ(p.textureFinish4xDown2->functionName(), "finish4xDown2TextureVector");
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), p.textureFinish4xDown2);
    EXPECT_EQ(engine->images().back()->width(), frameWidth);
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true}),
              p.textureFinish4xDown2Flipped);
    EXPECT_EQ(check(*engine, EngineOutput::native), p.textureFinish);
    EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}), p.textureFinishFlipped);
}

TEST_F(EngineRoads, ApproximateTwoXTailOnApple7WithoutApple8) {
    auto engine = build(4, 16, 1, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7});
    ASSERT_TRUE(engine->usesApproximateDown2());
    EXPECT_EQ(engine->optimalOutput(), engine->approximateDown2()); // one object serves both
    const ApproxDown2Winograd& approximate = *engine->approximateDown2();
    EXPECT_EQ(check(*engine, EngineOutput::approximateDown2, {.outputScale = 2}), approximate.pipeline());
    EXPECT_EQ(check(*engine, EngineOutput::approximateDown2, {.outputScale = 2, .flip = true}),
              approximate.flippedPipeline());
    // Native output keeps the exact fused tail.
    EXPECT_EQ(check(*engine, EngineOutput::native), engine->conv16().at(2)->nativeFusedPipeline());
}

TEST_F(EngineRoads, TwentyFourChannelsInTheTwoDimensionalModeWithItsLastLayerKernel) {
    auto engine = build(4, 24, 2, {{"conv24_backend", "winograd_2d"}}, {GPUFamily::apple7});
    EXPECT_EQ(engine->convolutionBackend(), "metal-24-winograd_2d");
    EXPECT_EQ(engine->conv24Weights().size(), 2u);
    ASSERT_TRUE(engine->conv24Output());
    EXPECT_FALSE(engine->usesApproximateDown2());
    const ConvWinograd& last = *engine->conv24Output();
    EXPECT_EQ(check(*engine, EngineOutput::native), last.nativeFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true}), last.flippedFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::optimal, {.outputScale = {}, .optimal = true, .width = 50, .height = 40}),
              engine->optimalOutput()->optimalPipeline());
}

TEST_F(EngineRoads, EveryOtherTwentyFourChannelModeOnTheBodyLayers) {
    for (const char* mode : {"gather", "preload", "winograd", "winograd_base"}) {
        SCOPED_TRACE(mode);
        CompactMetalEngineOptions options;
        options.conv24Mode = mode;
        auto engine = build(4, 24, 2, {{"conv24_backend", "winograd_2d"}}, {GPUFamily::apple7}, options);
        EXPECT_EQ(engine->convolutionBackend(), std::string("metal-24-") + mode);
        EXPECT_FALSE(engine->conv24Output());
        EXPECT_FALSE(engine->supportsOptimalDisplayOutput());
        EXPECT_EQ(engine->pipelines().textureFinish4xDown2->functionName(), "finish4xDown2Texture");
        EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), engine->pipelines().textureFinish4xDown2);
        EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}), engine->pipelines().textureFinishFlipped);
    }
}

nlohmann::json rectangularBlock(std::vector<int> layers) {
    return {{"rectangular_winograd",
             {{"layers", layers},
              {"tiles_per_group", 8},
              {"simd_groups", 4},
              {"narrow_input", false},
              {"tile_rows", 2},
              {"fused_tail_simd_groups", 6}}}};
}

TEST_F(EngineRoads, RectangularLayersAndTail16) {
    nlohmann::json extra = rectangularBlock({1, 2});
    extra["conv16_backend"] = "winograd";
    auto engine = build(4, 16, 3, extra, {GPUFamily::apple7, GPUFamily::apple8, GPUFamily::apple9});
    EXPECT_TRUE(engine->usesRectangularWinograd());
    EXPECT_EQ(engine->rectangular().size(), 2u);
    ASSERT_TRUE(engine->rectangularTail());
    const RectTail& tail = *engine->rectangularTail();
    EXPECT_EQ(check(*engine, EngineOutput::native), tail.native());
    EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}), tail.native());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), tail.down2());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true, .directInput = true}),
              tail.down2());
}

TEST_F(EngineRoads, RectangularLayersAndHQTail24AndTheSwitchThatSkipsTheTail) {
    nlohmann::json extra = rectangularBlock({1, 2});
    extra["conv24_backend"] = "winograd_2d";
    {
        auto engine = build(4, 24, 2, extra, {GPUFamily::apple7, GPUFamily::apple8, GPUFamily::apple9});
        EXPECT_EQ(engine->rectangular().size(), 2u);
        EXPECT_FALSE(engine->rectangularTail());
        ASSERT_TRUE(engine->usesRectangularHQFusedTail());
        const RectTail24& tail = *engine->rectangularHQTail();
        EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}), tail.native());
        EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), tail.down2());
    }
    const EnvironmentOverride noHQTail("CORAVEL_RECT_HQ_TAIL", "0");
    auto engine = build(4, 24, 2, extra, {GPUFamily::apple7, GPUFamily::apple8, GPUFamily::apple9});
    EXPECT_FALSE(engine->usesRectangularHQFusedTail());
    EXPECT_EQ(check(*engine, EngineOutput::native), engine->conv24Output()->nativeFusedPipeline());
}

TEST_F(EngineRoads, RefusedFramesRecordNothingAndChangeNothing) {
    CompactMetalEngineOptions uniform;
    uniform.uniformInputOptimization = true;
    auto engine =
        build(4, 16, 1, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8}, uniform);
    const auto& device = engine->device();
    auto source = makeBgra8Texture(device, frameWidth, frameHeight);
    auto out4 = makeBgra8Texture(device, 4 * frameWidth, 4 * frameHeight);
    auto out2 = makeBgra8Texture(device, 2 * frameWidth, 2 * frameHeight);
    auto command = engine->queue()->commandBuffer();
    // One good 2x frame sets the uniform statistics going.
    engine->encode(source, out2, command, false, 2, false, false);
    const auto recorded = command->commands().size();
    const auto samples = engine->uniformSampleCount();
    ASSERT_GT(samples, 0u);
    const auto firstImage = engine->images()[0];

    auto refusal = [&](auto&& fn) {
        const std::string message = requireFailure(fn);
        EXPECT_EQ(command->commands().size(), recorded);
        EXPECT_EQ(engine->uniformSampleCount(), samples);
        EXPECT_EQ(engine->images()[0], firstImage);
        return message;
    };
    const std::string scale = "Only native output or fused 4x-to-2x output is supported";
    const std::string sizes = "Metal input/output dimensions differ from the imported model";
    EXPECT_EQ(refusal([&] { engine->encode(source, out4, command, false, 3, false, false); }), scale);
    // The scale is checked before the sizes, the sizes before the optimal output.
    EXPECT_EQ(refusal([&] { engine->encode(source, out2, command, false, 1, true, true); }), scale);
    auto bigSource = makeBgra8Texture(device, frameWidth + 1, frameHeight);
    EXPECT_EQ(refusal([&] { engine->encode(bigSource, out4, command, false, std::nullopt, true, false); }), sizes);
    auto offByOne = makeBgra8Texture(device, 4 * frameWidth, 4 * frameHeight - 1);
    EXPECT_EQ(refusal([&] { engine->encode(source, offByOne, command, false, 4, false, false); }), sizes);
    auto tooLarge = makeBgra8Texture(device, 4 * frameWidth + 1, 3);
    EXPECT_EQ(refusal([&] { engine->encode(source, tooLarge, command, false, std::nullopt, false, true); }), sizes);

    // A 2x model: no flip, no scale 4, no optimal output.
    auto twoX = build(2, 16, 1, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8});
    auto out2x = makeBgra8Texture(device, 2 * frameWidth, 2 * frameHeight);
    auto twoCommand = twoX->queue()->commandBuffer();
    EXPECT_EQ(requireFailure([&] { twoX->encode(source, out2x, twoCommand, false, std::nullopt, true, false); }),
              "Flipped direct output requires a 4x model");
    EXPECT_EQ(requireFailure([&] { twoX->encode(source, out4, twoCommand, false, 4, false, false); }), scale);
    EXPECT_EQ(requireFailure([&] { twoX->encode(source, out2x, twoCommand, false, std::nullopt, false, true); }),
              "Optimal display output requires the Compact 4x Metal reconstruction");
    // A 4x model without the display-optimal path.
    auto mps = build(4, 16, 1, {}, {});
    auto mpsCommand = mps->queue()->commandBuffer();
    EXPECT_EQ(requireFailure([&] { mps->encode(source, out2, mpsCommand, false, std::nullopt, false, true); }),
              "Optimal display output requires the Compact 4x Metal reconstruction");
    // After a resize, a frame of the exported size no longer fits.
    auto exported = makeBgra8Texture(device, 24, 16);
    auto exportedOut = makeBgra8Texture(device, 96, 64);
    EXPECT_EQ(requireFailure([&] { mps->encode(exported, exportedOut, mpsCommand, false, 4, false, false); }), sizes);
}

} // namespace
} // namespace lumavane::testing
