// Every frame operation against the network run on the CPU, on each output road, with BGRA and
// 4:2:0 buffers and images; the output pool's limit; cancellation.

#include "EnhancementCore/CompactEnhancerTests.hpp"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lumavane::testing {
namespace {

using gpu::GPUFamily;

struct Road {
    const char* name;
    std::int64_t scale;
    bool native4xOutput;
    std::vector<GPUFamily> families;
    EngineOutput output;
    std::size_t outputScale;
};

void PrintTo(const Road& road, std::ostream* os) { *os << road.name; }

class CompactEnhancerRoads : public CompactEnhancerTest, public ::testing::WithParamInterface<Road> {};

// Each operation on each kind of input, upright: pixel buffers and result images top row first,
// textures with row 0 at the bottom.
TEST_P(CompactEnhancerRoads, EveryOperationGivesTheNetworkUpright) {
    const Road& road = GetParam();
    writeModel(road.scale,
               road.families.empty() ? nlohmann::json() : nlohmann::json{{"conv16_backend", "winograd"}});
    CompactEnhancerOptions options;
    options.native4xOutput = road.native4xOutput;
    auto enhancer = build(options, road.families);
    ASSERT_EQ(enhancer->info().scale, int(road.outputScale));
    if (!road.families.empty()) {
        ASSERT_EQ(enhancer->convolutionBackend(), "metal-16-winograd");
    }
    EXPECT_EQ(enhancer->usesApproximateDown2(), road.output == EngineOutput::approximateDown2);

    const std::size_t width = 32, height = 24;
    const std::size_t outputWidth = width * road.outputScale, outputHeight = height * road.outputScale;
    std::uint32_t seed = 10;
    for (InputKind kind : allInputKinds) {
        SCOPED_TRACE(nameOf(kind));
        const InputFrame frame = makeInput(kind, width, height, ++seed);
        const FloatImage expected = expectedOutput(model, frame.picture, road.output, false);
        const FloatImage flipped = flipVertically(expected);
        const bool isImage = kind == InputKind::image;

        {
            SCOPED_TRACE("enhance");
            auto result = isImage ? enhancer->enhance(*frame.image) : enhancer->enhance(frame.buffer);
            EXPECT_EQ(result.tileCount, 1);
            expectFrame(read(result.image), expected);
        }
        {
            SCOPED_TRACE("enhance rendering into a texture");
            auto target = makeBgra8Texture(device, outputWidth, outputHeight, 77);
            auto result =
                isImage ? enhancer->enhance(*frame.image, target) : enhancer->enhance(frame.buffer, target);
            expectFrame(read(result.image), expected);
            expectFrame(readBgra8Texture(*target), flipped);
        }
        {
            SCOPED_TRACE("render");
            auto destination = makeBgra8Texture(device, outputWidth, outputHeight, 77);
            if (isImage)
                enhancer->render(*frame.image, destination);
            else
                enhancer->render(frame.buffer, destination);
            expectFrame(readBgra8Texture(*destination), flipped);
        }
        EXPECT_EQ(outstandingOutputs(*enhancer), 0u);
        EXPECT_GT(enhancer->lastGPUMS(), 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, CompactEnhancerRoads,
    ::testing::Values(
        Road{"2x", 2, false, {}, EngineOutput::native, 2}, Road{"3x", 3, false, {}, EngineOutput::native, 3},
        Road{"4x native", 4, true, {}, EngineOutput::native, 4},
        Road{"4x at 2x", 4, false, {}, EngineOutput::down2, 2},
        // The engine's own kernels: fused native and approximate 2x tails.
        Road{"4x native fused", 4, true, {GPUFamily::apple7, GPUFamily::apple8}, EngineOutput::native, 4},
        Road{"4x at approximate 2x", 4, false, {GPUFamily::apple7}, EngineOutput::approximateDown2, 2}),
    [](const ::testing::TestParamInfo<Road>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST_F(CompactEnhancerTest, DisplayOptimalOutputResamplesToTheAskedSize) {
    writeModel(4, {{"conv16_backend", "winograd"}});
    CompactEnhancerOptions options;
    options.native4xOutput = true;
    options.optimalDisplayOutput = true;
    auto enhancer = build(options, {GPUFamily::apple7, GPUFamily::apple8});
    ASSERT_TRUE(enhancer->supportsOptimalDisplayOutput());

    const std::size_t width = 24, height = 16;
    std::uint32_t seed = 40;
    for (InputKind kind : allInputKinds) {
        SCOPED_TRACE(nameOf(kind));
        const InputFrame frame = makeInput(kind, width, height, ++seed);
        const bool isImage = kind == InputKind::image;
        auto enhance = [&](std::optional<image::Size> size) {
            return isImage ? enhancer->enhance(*frame.image, size) : enhancer->enhance(frame.buffer, size);
        };
        // Twice the frame when no size is asked; at most the model's scale.
        expectFrame(read(enhance(std::nullopt).image),
                    expectedOutput(model, frame.picture, EngineOutput::optimal, false, 48, 32));
        expectFrame(read(enhance(image::Size{50, 30}).image),
                    expectedOutput(model, frame.picture, EngineOutput::optimal, false, 50, 30));
        expectFrame(read(enhance(image::Size{500, 20}).image),
                    expectedOutput(model, frame.picture, EngineOutput::optimal, false, 96, 20));

        auto target = makeBgra8Texture(device, 40, 20, 77);
        auto result =
            isImage ? enhancer->enhance(*frame.image, target) : enhancer->enhance(frame.buffer, target);
        const FloatImage expected =
            expectedOutput(model, frame.picture, EngineOutput::optimal, false, 40, 20);
        expectFrame(read(result.image), expected);
        expectFrame(readBgra8Texture(*target), flipVertically(expected));

        auto destination = makeBgra8Texture(device, 60, 44, 77);
        if (isImage)
            enhancer->render(*frame.image, destination);
        else
            enhancer->render(frame.buffer, destination);
        expectFrame(readBgra8Texture(*destination),
                    expectedOutput(model, frame.picture, EngineOutput::optimal, true, 60, 44));
    }
}

TEST_F(CompactEnhancerTest, InputPreparationIsTimedOnlyForRenderedInputs) {
    writeModel(2);
    auto enhancer = build({});
    EXPECT_EQ(enhancer->lastGPUMS(), 0.0);
    EXPECT_EQ(enhancer->lastInputPreparationMS(), 0.0);
    const InputFrame yuv = makeInput(InputKind::yuv420, 24, 16, 1);
    const InputFrame bgra = makeInput(InputKind::bgra, 24, 16, 2);
    const InputFrame picture = makeInput(InputKind::image, 24, 16, 3);
    enhancer->enhance(yuv.buffer);
    EXPECT_GT(enhancer->lastInputPreparationMS(), 0.0);
    EXPECT_GT(enhancer->lastGPUMS(), 0.0);
    enhancer->enhance(bgra.buffer);
    EXPECT_EQ(enhancer->lastInputPreparationMS(), 0.0);
    enhancer->enhance(*picture.image);
    EXPECT_GT(enhancer->lastInputPreparationMS(), 0.0);
}

TEST_F(CompactEnhancerTest, SixOutputsMayBeHeldAtATime) {
    writeModel(2);
    auto enhancer = build({});
    const InputFrame frame = makeInput(InputKind::bgra, 24, 16, 5);
    std::vector<EnhancementResult> held;
    for (int i = 0; i < 6; ++i) held.push_back(enhancer->enhance(frame.buffer));
    EXPECT_EQ(outstandingOutputs(*enhancer), 6u);
    const double gpuMS = enhancer->lastGPUMS();
    EXPECT_EQ(messageOf([&] { enhancer->enhance(frame.buffer); }), "GPU出力バッファが使用中です。");
    // render(_:to:) of a 2x model goes through a pooled frame too.
    auto destination = makeBgra8Texture(device, 48, 32);
    EXPECT_EQ(messageOf([&] { enhancer->render(frame.buffer, destination); }),
              "GPU出力バッファが使用中です。");
    EXPECT_EQ(enhancer->lastGPUMS(), gpuMS);
    EXPECT_EQ(outstandingOutputs(*enhancer), 6u);

    // Everything made from a result holds its buffer.
    const image::Image derived = held.back().image.transformed(image::AffineTransform::translation(3, 0));
    held.pop_back();
    EXPECT_EQ(messageOf([&] { enhancer->enhance(frame.buffer); }), "GPU出力バッファが使用中です。");
    { const image::Image released = derived; }
    held.erase(held.begin());
    held.push_back(enhancer->enhance(frame.buffer));
    expectFrame(read(held.back().image), expectedOutput(model, frame.picture, EngineOutput::native, false));
    // The earlier results were not overwritten.
    expectFrame(read(held.front().image), expectedOutput(model, frame.picture, EngineOutput::native, false));
}

// A target of the wrong size is refused before the engine records anything: with input
// conversion, the engine allocates its full-size input image only when it encodes a frame.
TEST_F(CompactEnhancerTest, ARenderTargetOfAnotherSizeChangesNothing) {
    writeModel(2);
    CompactEnhancerOptions options;
    options.directInput = false;
    auto enhancer = build(options);
    const InputFrame frame = makeInput(InputKind::bgra, 64, 48, 6);
    auto wrong = makeBgra8Texture(device, 128, 95);
    EXPECT_EQ(messageOf([&] { enhancer->enhance(frame.buffer, wrong); }),
              "描画先テクスチャのサイズが推論出力と一致しません。");
    const std::size_t refusedBytes = enhancer->activationAllocatedBytes();
    EXPECT_EQ(messageOf([&] { enhancer->enhance(frame.buffer, wrong); }),
              "描画先テクスチャのサイズが推論出力と一致しません。");
    EXPECT_EQ(enhancer->activationAllocatedBytes(), refusedBytes);
    EXPECT_EQ(outstandingOutputs(*enhancer), 0u);
    EXPECT_EQ(enhancer->lastGPUMS(), 0.0);

    auto target = makeBgra8Texture(device, 128, 96);
    auto result = enhancer->enhance(frame.buffer, target);
    EXPECT_GT(enhancer->activationAllocatedBytes(), refusedBytes);
    const FloatImage expected = expectedOutput(model, frame.picture, EngineOutput::native, false);
    expectFrame(read(result.image), expected);
    expectFrame(readBgra8Texture(*target), flipVertically(expected));
}

TEST_F(CompactEnhancerTest, ACancelledCallLeavesNothingBehind) {
    writeModel(4);
    CompactEnhancerOptions options;
    options.native4xOutput = true;
    auto enhancer = build(options);
    const InputFrame bgra = makeInput(InputKind::bgra, 32, 24, 7);
    const InputFrame yuv = makeInput(InputKind::yuv420, 32, 24, 8);
    auto target = makeBgra8Texture(device, 128, 96);
    CancellationToken cancelled;
    cancelled.cancel();
    // Before anything is done: not even the sizes change.
    const std::vector<std::function<void()>> operations{
        [&] { enhancer->enhance(bgra.buffer, cancelled); },
        [&] {
            enhancer->enhance(bgra.buffer, image::Size{10, 10}, cancelled);
        },
        [&] { enhancer->enhance(bgra.buffer, target, cancelled); },
        [&] { enhancer->render(bgra.buffer, target, cancelled); },
        [&] { enhancer->enhance(image::Image::fromPixelBuffer(yuv.buffer), cancelled); },
        [&] { enhancer->enhance(image::Image::fromPixelBuffer(yuv.buffer), std::nullopt, cancelled); },
        [&] { enhancer->enhance(yuv.buffer, target, cancelled); },
        [&] { enhancer->render(image::Image::fromPixelBuffer(yuv.buffer), target, cancelled); },
    };
    for (const auto& operation : operations) EXPECT_EQ(messageOf(operation), "(cancelled)");
    EXPECT_EQ(enhancer->info().inputWidth, 24);
    EXPECT_EQ(enhancer->lastGPUMS(), 0.0);

    // Cancelled while the GPU works on the frame: the queue is held by an earlier buffer's
    // handler until the call has committed and the token is set. One frame of this size first,
    // so that the call does not replace the output pool while this thread polls it.
    enhancer->enhance(bgra.buffer);
    for (const InputFrame* frame : {&bgra, &yuv}) {
        const double gpuMS = enhancer->lastGPUMS();
        auto blocker = CompactEnhancerTestAccess::engine(*enhancer).queue()->commandBuffer();
        std::mutex mutex;
        std::condition_variable changed;
        bool open = false;
        blocker->addCompletedHandler([&](gpu::CommandBuffer&) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return open; });
        });
        blocker->commit();
        CancellationToken token;
        std::string outcome;
        std::thread call([&] { outcome = messageOf([&] { enhancer->enhance(frame->buffer, token); }); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (outstandingOutputs(*enhancer) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        token.cancel();
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
        call.join();
        blocker->waitUntilCompleted();
        EXPECT_EQ(outcome, "(cancelled)");
        EXPECT_EQ(outstandingOutputs(*enhancer), 0u);
        // The GPU had finished: its time is kept.
        EXPECT_NE(enhancer->lastGPUMS(), gpuMS);
    }

    // The engine goes on as before.
    auto result = enhancer->enhance(yuv.buffer);
    expectFrame(read(result.image), expectedOutput(model, yuv.picture, EngineOutput::native, false));
    enhancer->render(bgra.buffer, target);
    expectFrame(readBgra8Texture(*target), expectedOutput(model, bgra.picture, EngineOutput::native, true));
}

} // namespace
} // namespace lumavane::testing
