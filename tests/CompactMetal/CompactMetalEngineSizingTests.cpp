// Sizing: the output limits and their messages, resizes that change nothing, what a resize
// replaces and resets, the activation memory readout, and a resize that cannot allocate.
#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/support/EngineReference.hpp"
#include "CompactMetal/support/RectReference.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace lumavane::testing {
namespace {

using gpu::GPUFamily;

const std::string scaleMessage = "Only native output or fused 4x-to-2x output is supported";
const std::string limitMessage = "出力上限（各辺8192px・約33MP）を超えています。";

class EngineSizing : public EngineTest {};

// Bytes the device allocates for a feature image: rows of 64-byte multiples, whole pages.
std::size_t imageBytes(std::size_t width, std::size_t height, std::size_t channels) {
    const std::size_t row = (width * 8 * ((channels + 3) / 4) + 63) / 64 * 64;
    return (row * height + 4095) / 4096 * 4096;
}

TEST_F(EngineSizing, OutputLimits) {
    auto twoX = build(2, 8, 1, nullptr, {});
    // The output scale is checked before the size.
    EXPECT_EQ(requireFailure([&] { twoX->resize(0, 720, 4); }), scaleMessage);
    EXPECT_EQ(requireFailure([&] { twoX->resize(0, 720); }), limitMessage);
    EXPECT_EQ(requireFailure([&] { twoX->resize(640, 0, 2); }), limitMessage);
    EXPECT_EQ(requireFailure([&] { twoX->resize(4097, 16); }), limitMessage);

    // Small images only: a 3 to 16, 16 to 27 network with a placeholder input image.
    auto threeX = build(3, 16, 0, nullptr, {});
    EXPECT_EQ(requireFailure([&] { threeX->resize(24, 16, 2); }), scaleMessage);
    EXPECT_EQ(requireFailure([&] { threeX->resize(2731, 16); }), limitMessage);
    threeX->resize(2730, 16);
    EXPECT_EQ(threeX->frameWidth(), 2730);

    // A live 4x Winograd network holds one full-size image: 3 to 16, 16 to 48 with a fused tail.
    auto fourX = build(4, 16, 0, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8});
    EXPECT_EQ(requireFailure([&] { fourX->resize(24, 16, 3); }), scaleMessage);
    EXPECT_EQ(requireFailure([&] { fourX->resize(2048, 2048, 4); }), limitMessage); // 67,108,864 pixels
    EXPECT_EQ(requireFailure([&] { fourX->resize(2049, 16, 4); }), limitMessage);
    EXPECT_EQ(fourX->frameWidth(), 24);
    fourX->resize(1920, 1080, 4); // 33,177,600 pixels
    EXPECT_EQ(fourX->frameHeight(), 1080);
    fourX->resize(2048, 2048, 2);
    EXPECT_EQ(fourX->frameWidth(), 2048);
    EXPECT_EQ(fourX->activationAllocatedBytes(),
              imageBytes(1, 1, 3) + imageBytes(2048, 2048, 16) + imageBytes(1, 1, 48));

    // Sized for 2x output, the frame must not come out at 4x: neither natively (8192 x 8192)
    // nor through a display-optimal destination larger than the limit.
    auto source = makeBgra8Texture(fourX->device(), 1, 1);
    auto command = fourX->queue()->commandBuffer();
    EXPECT_EQ(
        requireFailure([&] { fourX->encode(source, source, command, true, std::nullopt, false, false); }),
        limitMessage);
    auto wide = makeBgra8Texture(fourX->device(), 8193, 1);
    EXPECT_EQ(requireFailure([&] { fourX->encode(source, wide, command, true, std::nullopt, false, true); }),
              limitMessage);
    EXPECT_EQ(requireFailure([&] { fourX->encode(source, source, command, true, 2, false, false); }),
              "Metal input/output dimensions differ from the imported model");
    EXPECT_TRUE(command->commands().empty());
}

TEST_F(EngineSizing, ResizeReplacesOnlyTheImagesAndRestartsTheUniformStatistics) {
    CompactMetalEngineOptions options;
    options.uniformInputOptimization = true;
    auto engine =
        build(4, 16, 1, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8}, options);
    const auto input = engine->input(), output = engine->output();
    const auto tail = engine->conv16().at(2);

    engine->resize(40, 30, 2);
    auto source = makeBgra8Texture(engine->device(), 40, 30);
    auto destination = makeBgra8Texture(engine->device(), 80, 60);
    auto command = engine->queue()->commandBuffer();
    const std::uint32_t high = 1;
    for (int frame = 0; frame < 3; ++frame) {
        engine->encode(source, destination, command, false, 2, false, false);
        std::memcpy(engine->uniformCounter()->contents(), &high, sizeof high);
    }
    ASSERT_TRUE(engine->usesUniformInputOptimization());
    const auto images = engine->images(); // the input image made by the frames
    const auto samples = engine->uniformSampleCount();
    const double fraction = engine->previousUniformInputFraction();

    // The same size: nothing changes.
    engine->resize(40, 30);
    EXPECT_EQ(engine->images(), images);
    EXPECT_EQ(engine->uniformSampleCount(), samples);
    EXPECT_EQ(engine->uniformHighFrames(), 2);

    engine->resize(41, 30);
    EXPECT_NE(engine->images()[1], images[1]);
    EXPECT_EQ(engine->images()[1]->width(), 41u);
    EXPECT_EQ(engine->images()[0]->width(), 1u); // a placeholder again until the next frame
    EXPECT_EQ(engine->uniformSampleCount(), 0u);
    EXPECT_EQ(engine->uniformHighFrames(), 0);
    EXPECT_TRUE(engine->usesUniformInputOptimization());
    EXPECT_EQ(engine->previousUniformInputFraction(), fraction);
    EXPECT_EQ(engine->input(), input);
    EXPECT_EQ(engine->output(), output);
    EXPECT_EQ(engine->conv16().at(2), tail);
}

TEST_F(EngineSizing, ActivationBytesCountEachSharedImageOnce) {
    auto engine = build(4, 16, 7, nullptr, {});
    engine->resize(50, 20);
    EXPECT_EQ(engine->activationAllocatedBytes(),
              imageBytes(1, 1, 3) + 2 * imageBytes(50, 20, 16) + imageBytes(50, 20, 48));
    CompactMetalEngineOptions benchmark;
    benchmark.benchmarkBuffers = true;
    auto full = build(2, 8, 2, nullptr, {}, benchmark);
    EXPECT_EQ(full->activationAllocatedBytes(),
              imageBytes(24, 16, 3) + 2 * imageBytes(24, 16, 8) + imageBytes(24, 16, 12));
}

// A folder may declare frames far larger than the video it will see: 2048x2048 frames with 256
// channels made construction take 4.7 GB for a 32x24 frame. The images follow the frames given,
// through a resize or (never resized) the first frame encoded at the declared size.
TEST_F(EngineSizing, ActivationMemoryFollowsTheFramesNotTheDeclaredSize) {
    writeModel(4, 256, 1, nullptr, 2048, 2048);
    CompactMetalEngineOptions options;
    options.folder = folder;
    options.device = deviceWithFamilies({});
    auto engine = std::make_unique<CompactMetalEngine>(options);
    EXPECT_EQ(engine->frameWidth(), 2048);
    EXPECT_EQ(engine->activationAllocatedBytes(),
              imageBytes(1, 1, 3) + 2 * imageBytes(1, 1, 256) + imageBytes(1, 1, 48));
    engine->resize(32, 24);
    EXPECT_EQ(engine->activationAllocatedBytes(),
              imageBytes(1, 1, 3) + 2 * imageBytes(32, 24, 256) + imageBytes(32, 24, 48));

    auto small = build(2, 8, 1, nullptr, {});
    const std::size_t placeholders = small->activationAllocatedBytes();
    EXPECT_EQ(placeholders, imageBytes(1, 1, 3) + 2 * imageBytes(1, 1, 8) + imageBytes(1, 1, 12));
    small->resize(24, 16); // the declared size: made now, for the first frame
    const auto images = small->images();
    EXPECT_EQ(small->activationAllocatedBytes(),
              imageBytes(1, 1, 3) + 2 * imageBytes(24, 16, 8) + imageBytes(24, 16, 12));
    small->resize(24, 16);
    EXPECT_EQ(small->images(), images);

    auto direct = build(2, 8, 1, nullptr, {});
    const Bgra8Image source = randomBgra8(24, 16, 5);
    expectFrame(encodeFrame(*direct, source, {}), expectedOutput(model, source, EngineOutput::native, false));
    EXPECT_EQ(direct->activationAllocatedBytes(),
              small->activationAllocatedBytes() - imageBytes(1, 1, 3) + imageBytes(24, 16, 3));
}

std::size_t virtualMemoryBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmSize:") {
            std::size_t kilobytes = 0;
            status >> kilobytes;
            return kilobytes * 1024;
        }
    }
    return 0;
}

TEST_F(EngineSizing, AResizeThatCannotAllocateLeavesTheEngineAsItWas) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit does not work with the sanitizers' shadow memory";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child process: room for the two 16-channel images of the new size but not for the
    // 48-channel one made after them.
    const auto resizeBeyondTheLimit = [&] {
        auto engine = build(4, 16, 1, nullptr, {});
        engine->resize(40, 30);
        const auto images = engine->images();
        const std::size_t bytes = engine->activationAllocatedBytes();
        const rlimit limit{virtualMemoryBytes() + (120u << 20), RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &limit);
        int code = 1;
        try {
            engine->resize(1024, 1024);
        } catch (const PlatformError& error) {
            if (error.domain() == gpu::errorDomain && error.code() == gpu::errorOutOfMemory) code = 0;
        }
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &unlimited);
        if (engine->images() != images || engine->frameWidth() != 40 || engine->frameHeight() != 30 ||
            engine->activationAllocatedBytes() != bytes)
            code = 2;
        std::exit(code);
    };
    EXPECT_EXIT(resizeBeyondTheLimit(), ::testing::ExitedWithCode(0), "");
#endif
}

} // namespace
} // namespace lumavane::testing
