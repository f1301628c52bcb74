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
#include <cstring>

namespace lumavane::testing {
namespace {

using gpu::GPUFamily;
using Pipeline = std::shared_ptr<gpu::ComputePipelineState>;

constexpr std::size_t frameWidth = 37, frameHeight = 23;

class EngineRoads : public EngineTest {
protected:
    // Built and resized to the test frame.
    std::unique_ptr<CompactMetalEngine> build(std::int64_t scale, std::int64_t features, int body,
                                              const nlohmann::json& extra,
                                              std::initializer_list<GPUFamily> families,
                                              CompactMetalEngineOptions options = {}) {
        auto engine = EngineTest::build(scale, features, body, extra, families, std::move(options));
        engine->resize(frameWidth, frameHeight);
        return engine;
    }

    // Encodes the frame (a random one of the engine's frame size when none is given) and checks
    // it against the reference; returns the last pipeline recorded.
    Pipeline check(CompactMetalEngine& engine, EngineOutput output, FrameRequest request = {},
                   std::optional<Bgra8Image> frame = std::nullopt) {
        const Bgra8Image source = frame
                                      ? *frame
                                      : randomBgra8(static_cast<std::size_t>(engine.frameWidth()),
                                                    static_cast<std::size_t>(engine.frameHeight()), ++frames);
        std::vector<Pipeline> pipelines;
        const Bgra8Image actual = encodeFrame(engine, source, request, &pipelines);
        SCOPED_TRACE(::testing::Message() << "scale " << request.outputScale.value_or(0) << " flip "
                                          << request.flip << " direct " << request.directInput);
        expectFrame(actual,
                    expectedOutput(model, source, output, request.flip, request.width, request.height));
        recorded = pipelines;
        return pipelines.empty() ? nullptr : pipelines.back();
    }

    std::vector<Pipeline> recorded; // by the last check
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
        EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .directInput = true}),
                  p.textureFinish);
        if (scale != 4) continue;
        EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), p.textureFinish4xDown2);
        EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true}),
                  p.textureFinish4xDown2Flipped);
        // Native 4x through the plain reconstruction is written upside down when asked, too.
        EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = 4, .flip = true}),
                  p.textureFinishFlipped);
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
    EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}),
              last.flippedNativeFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}), last.fusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true}),
              last.flippedFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .directInput = true}),
              last.fusedPipeline());
    // The deferred last image was never needed.
    EXPECT_EQ(engine->images().back()->width(), 1u);

    const ApproxDown2Winograd& optimal = *engine->optimalOutput();
    for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{1, 1},
                               {4 * frameWidth, 4 * frameHeight},
                               {3 * frameWidth + 1, 2 * frameHeight - 1},
                               {frameWidth - 5, frameHeight + 9}}) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        EXPECT_EQ(check(*engine, EngineOutput::optimal,
                        {.outputScale = {}, .optimal = true, .width = w, .height = h}),
                  optimal.optimalPipeline());
        EXPECT_EQ(check(*engine, EngineOutput::optimal,
                        {.outputScale = {}, .flip = true, .optimal = true, .width = w, .height = h}),
                  optimal.flippedOptimalPipeline());
    }
}

TEST_F(EngineRoads, Winograd16WithoutFusedTailsReconstructsSeparately) {
    const ScopedEnv noTail("CORAVEL_FUSED_TAIL", "0");
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
    EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}),
              p.textureFinishFlipped);
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
    EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2, .flip = true}),
              last.flippedFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::optimal,
                    {.outputScale = {}, .optimal = true, .width = 50, .height = 40}),
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
        EXPECT_EQ(check(*engine, EngineOutput::down2, {.outputScale = 2}),
                  engine->pipelines().textureFinish4xDown2);
        EXPECT_EQ(check(*engine, EngineOutput::native, {.outputScale = {}, .flip = true}),
                  engine->pipelines().textureFinishFlipped);
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
    const ScopedEnv noHQTail("CORAVEL_RECT_HQ_TAIL", "0");
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
    EXPECT_EQ(refusal([&] { engine->encode(bigSource, out4, command, false, std::nullopt, true, false); }),
              sizes);
    auto offByOne = makeBgra8Texture(device, 4 * frameWidth, 4 * frameHeight - 1);
    EXPECT_EQ(refusal([&] { engine->encode(source, offByOne, command, false, 4, false, false); }), sizes);
    auto tooLarge = makeBgra8Texture(device, 4 * frameWidth + 1, 3);
    EXPECT_EQ(refusal([&] { engine->encode(source, tooLarge, command, false, std::nullopt, false, true); }),
              sizes);

    // A committed command buffer takes nothing more: the frame would silently be lost.
    auto committed = engine->queue()->commandBuffer();
    committed->commit();
    committed->waitUntilCompleted();
    EXPECT_EQ(refusal([&] { engine->encode(source, out2, committed, false, 2, false, false); }),
              "The command buffer has already been committed");

    // A 2x model: no flip, no scale 4, no optimal output.
    auto twoX = build(2, 16, 1, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8});
    auto out2x = makeBgra8Texture(device, 2 * frameWidth, 2 * frameHeight);
    auto twoCommand = twoX->queue()->commandBuffer();
    EXPECT_EQ(
        requireFailure([&] { twoX->encode(source, out2x, twoCommand, false, std::nullopt, true, false); }),
        "Flipped direct output requires a 4x model");
    EXPECT_EQ(requireFailure([&] { twoX->encode(source, out4, twoCommand, false, 4, false, false); }), scale);
    EXPECT_EQ(
        requireFailure([&] { twoX->encode(source, out2x, twoCommand, false, std::nullopt, false, true); }),
        "Optimal display output requires the Compact 4x Metal reconstruction");
    // A 4x model without the display-optimal path.
    auto mps = build(4, 16, 1, {}, {});
    auto mpsCommand = mps->queue()->commandBuffer();
    EXPECT_EQ(
        requireFailure([&] { mps->encode(source, out2, mpsCommand, false, std::nullopt, false, true); }),
        "Optimal display output requires the Compact 4x Metal reconstruction");
    // After a resize, a frame of the exported size no longer fits.
    auto exported = makeBgra8Texture(device, 24, 16);
    auto exportedOut = makeBgra8Texture(device, 96, 64);
    EXPECT_EQ(requireFailure([&] { mps->encode(exported, exportedOut, mpsCommand, false, 4, false, false); }),
              sizes);
}

TEST_F(EngineRoads, UniformInputPipelinesFollowTheCountOfTheFrameBefore) {
    CompactMetalEngineOptions options;
    options.uniformInputOptimization = true;
    auto engine =
        build(4, 16, 2, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8}, options);
    ASSERT_TRUE(engine->uniformCounter());
    const ConvWinograd& body = *engine->conv16().at(1);
    const ConvWinograd& last = *engine->conv16().at(3);
    ASSERT_TRUE(last.uniformFusedPipeline());
    // Wide enough for samples away from the frame's edges: 9 samples, 4 of them inside.
    engine->resize(280, 40);
    Bgra8Image flat(280, 40);
    for (std::size_t i = 0; i < flat.bytes.size(); i += 4) {
        flat.bytes[i] = 200;
        flat.bytes[i + 1] = 120;
        flat.bytes[i + 2] = 90;
        flat.bytes[i + 3] = 255;
    }
    const FrameRequest twoX{.outputScale = 2};
    auto uses = [&](const Pipeline& pipeline) {
        return std::find(recorded.begin(), recorded.end(), pipeline) != recorded.end();
    };

    EXPECT_EQ(check(*engine, EngineOutput::down2, twoX, flat), last.fusedPipeline());
    EXPECT_EQ(engine->uniformSampleCount(), 9u);
    EXPECT_EQ(engine->previousUniformInputFraction(), 0.0);
    check(*engine, EngineOutput::down2, twoX, flat);
    EXPECT_GE(engine->previousUniformInputFraction(), 0.35);
    EXPECT_EQ(engine->uniformHighFrames(), 1);
    EXPECT_FALSE(engine->usesUniformInputOptimization());
    // The second high reading in a row switches the uniform pipelines on, and they stay exact.
    EXPECT_EQ(check(*engine, EngineOutput::down2, twoX, flat), last.uniformFusedPipeline());
    EXPECT_TRUE(engine->usesUniformInputOptimization());
    EXPECT_TRUE(uses(body.uniformPipeline()));
    // A detailed frame still reads the flat frame's count, and is still right.
    EXPECT_EQ(check(*engine, EngineOutput::down2, twoX), last.uniformFusedPipeline());
    EXPECT_EQ(check(*engine, EngineOutput::down2, twoX), last.fusedPipeline());
    EXPECT_FALSE(engine->usesUniformInputOptimization());
    EXPECT_EQ(engine->uniformHighFrames(), 0);

    // Native output stops the statistics; the next 2x frame starts from a sample count of 0.
    check(*engine, EngineOutput::down2, twoX, flat);
    check(*engine, EngineOutput::native, {}, flat);
    EXPECT_EQ(engine->uniformSampleCount(), 0u);
    EXPECT_EQ(engine->uniformHighFrames(), 0);
    check(*engine, EngineOutput::down2, twoX, flat);
    EXPECT_EQ(engine->uniformHighFrames(), 0);
    EXPECT_EQ(engine->previousUniformInputFraction(), 0.0);

    // Exactly 35 percent counts as high. 400 x 72 frames take 4 x 5 samples; only recorded here.
    engine->resize(400, 72);
    auto source = makeBgra8Texture(engine->device(), 400, 72);
    auto destination = makeBgra8Texture(engine->device(), 800, 144);
    auto command = engine->queue()->commandBuffer();
    auto count = [&](std::uint32_t n) { std::memcpy(engine->uniformCounter()->contents(), &n, sizeof n); };
    engine->encode(source, destination, command, false, 2, false, false);
    EXPECT_EQ(engine->uniformSampleCount(), 20u);
    count(7);
    engine->encode(source, destination, command, false, 2, false, false);
    EXPECT_DOUBLE_EQ(engine->previousUniformInputFraction(), 0.35);
    EXPECT_EQ(engine->uniformHighFrames(), 1);
    count(7);
    engine->encode(source, destination, command, false, 2, false, false);
    EXPECT_TRUE(engine->usesUniformInputOptimization());
    count(6);
    engine->encode(source, destination, command, false, 2, false, false);
    EXPECT_FALSE(engine->usesUniformInputOptimization());
    EXPECT_EQ(engine->uniformHighFrames(), 0);
    std::uint32_t reset = 1;
    std::memcpy(&reset, engine->uniformCounter()->contents(), sizeof reset);
    EXPECT_EQ(reset, 0u);
}

TEST_F(EngineRoads, ProfileTimesEveryStageOnItsOwnCommandBuffer) {
    auto names = [](const std::vector<CompactMetalEngine::StageTime>& stages) {
        std::vector<std::string> list;
        for (const auto& stage : stages) {
            EXPECT_GT(stage.gpuMS, 0.0) << stage.name;
            list.push_back(stage.name);
        }
        return list;
    };
    auto winograd = build(4, 16, 1, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8});
    const auto& device = winograd->device();
    auto source = makeBgra8Texture(device, randomBgra8(frameWidth, frameHeight, 5));
    auto out2 = makeBgra8Texture(device, 2 * frameWidth, 2 * frameHeight);
    // The fused 2x tail ends the frame; directInput leaves out the input conversion.
    EXPECT_EQ(names(winograd->profile(source, out2, 2)),
              (std::vector<std::string>{"conv_0", "conv_1", "conv_2"}));
    const Bgra8Image frame = readBgra8Texture(*source);
    expectFrame(readBgra8Texture(*out2), expectedOutput(model, frame, EngineOutput::down2, false));

    auto mps = build(3, 8, 1, nullptr, {});
    auto out3 = makeBgra8Texture(device, 3 * frameWidth, 3 * frameHeight);
    EXPECT_EQ(names(mps->profile(source, out3, std::nullopt)),
              (std::vector<std::string>{"conv_0", "conv_1", "conv_2", "pixel_shuffle_residual_pack"}));
    expectFrame(readBgra8Texture(*out3), expectedOutput(model, frame, EngineOutput::native, false));
    EXPECT_EQ(requireFailure([&] { mps->profile(source, out3, 2); }),
              "Only native output or fused 4x-to-2x output is supported");
}

TEST_F(EngineRoads, RunReconstructsTheBenchmarkBuffers) {
    struct Case {
        std::int64_t scale;
        std::int64_t features;
        std::optional<std::int64_t> outputScale;
        bool blockFinish;
        bool winograd;
    };
    for (const Case& c :
         {Case{2, 8, std::nullopt, true, false}, Case{2, 8, std::nullopt, false, false},
          Case{3, 8, std::nullopt, true, false}, Case{4, 8, std::nullopt, true, false},
          Case{4, 8, 2, true, false}, Case{4, 16, 2, true, true}, Case{4, 16, 4, true, true}}) {
        SCOPED_TRACE(::testing::Message() << c.scale << "x to " << c.outputScale.value_or(c.scale) << "x, "
                                          << c.features << " channels, block " << c.blockFinish);
        writeModel(c.scale, c.features, 1,
                   c.winograd ? nlohmann::json{{"conv16_backend", "winograd"}} : nullptr);
        const Bgra8Image frame = randomBgra8(24, 16, 9);
        writeBytes(folder / "input.rgba", rgbaBytes(frame));
        CompactMetalEngineOptions options;
        options.folder = folder;
        options.device =
            c.winograd ? deviceWithFamilies({GPUFamily::apple7, GPUFamily::apple8}) : deviceWithFamilies({});
        options.benchmarkBuffers = true;
        options.blockFinish = c.blockFinish;
        options.benchmarkOutputScale = c.outputScale;
        CompactMetalEngine engine(options);
        EXPECT_EQ(engine.pipelines().finish->functionName(),
                  c.scale == 2 && c.blockFinish ? "finish2x" : "finish");
        EXPECT_EQ(engine.conv16().empty(), !c.winograd);
        EXPECT_GT(engine.run(c.outputScale), 0.0);
        const auto S = static_cast<std::size_t>(c.outputScale.value_or(c.scale));
        ASSERT_EQ(engine.output()->length(), 24 * 16 * S * S * 4);
        const Bgra8Image output =
            fromRgbaBytes(static_cast<const std::uint8_t*>(engine.output()->contents()), 24 * S, 16 * S);
        expectFrame(output, expectedOutput(model, frame,
                                           S == static_cast<std::size_t>(c.scale) ? EngineOutput::native
                                                                                  : EngineOutput::down2,
                                           false));
        if (S == 2 && c.scale == 4) {
            // A buffer sized for 2x output is never written at 4x.
            EXPECT_EQ(requireFailure([&] { engine.run(4); }),
                      "Benchmark output buffer is sized for another output scale");
        }
        engine.resize(30, 16);
        EXPECT_EQ(requireFailure([&] { engine.run(c.outputScale); }),
                  "Benchmark buffers have their exported size; use encode for resized video frames");
    }
    auto live = build(2, 8, 1, nullptr, {});
    live->resize(24, 16);
    EXPECT_EQ(requireFailure([&] { live->run(std::nullopt); }), "Benchmark buffers are disabled");
}

} // namespace
} // namespace lumavane::testing
