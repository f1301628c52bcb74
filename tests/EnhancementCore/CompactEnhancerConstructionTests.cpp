// What construction makes of a model folder and the caller's choices, and what the enhancer
// reports about its engine.

#include "EnhancementCore/CompactEnhancerTests.hpp"

namespace lumavane::testing {
namespace {

using gpu::GPUFamily;

TEST_F(CompactEnhancerTest, OutputScaleAndNameFollowTheModelAndTheChoices) {
    struct Case {
        std::int64_t scale;
        bool native4x, optimal;
        int outputScale;
        const char* name;
    };
    const Case cases[] = {
        {4, false, false, 2, "tiny · OpenCL FP16 · 4×SS→2×"},
        {4, true, false, 4, "tiny · OpenCL FP16 · Native 4×"},
        {4, true, true, 4, "tiny · OpenCL FP16 · Optimal display"},
        {4, false, true, 2, "tiny · OpenCL FP16 · Optimal display"},
        // The 4x choice means nothing to other models.
        {2, true, false, 2, "tiny · OpenCL FP16"},
        {3, true, true, 3, "tiny · OpenCL FP16"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeModel(c.scale, nullptr, 20, 16);
        CompactEnhancerOptions options;
        options.native4xOutput = c.native4x;
        options.optimalDisplayOutput = c.optimal;
        auto enhancer = build(options);
        const ModelInfo& info = enhancer->info();
        EXPECT_EQ(info.name, c.name);
        EXPECT_EQ(info.scale, c.outputScale);
        EXPECT_EQ(info.inputWidth, 20);
        EXPECT_EQ(info.inputHeight, 16);
        EXPECT_FALSE(info.isWholeFrame);
        EXPECT_EQ(enhancer->supportsNative4xOutput(), c.scale == 4);
        EXPECT_EQ(outstandingOutputs(*enhancer), 0u);
        EXPECT_EQ(CompactEnhancerTestAccess::pool(*enhancer).width(), std::size_t(20 * c.outputScale));
        EXPECT_EQ(CompactEnhancerTestAccess::pool(*enhancer).height(), std::size_t(16 * c.outputScale));
    }
}

TEST_F(CompactEnhancerTest, LicenceAndSourceComeFromTheManifest) {
    writeModel(2, {{"license", "CC0"}, {"source", "tests"}}, 24, 16, "with.notes");
    auto noted = build({});
    EXPECT_EQ(noted->info().name, "with.notes · OpenCL FP16");
    EXPECT_EQ(noted->info().license, "CC0");
    EXPECT_EQ(noted->info().source, "tests");

    writeModel(2);
    folder += "/"; // a folder named with a trailing separator is still named by its last component
    auto plain = build({});
    EXPECT_EQ(plain->info().name, "tiny · OpenCL FP16");
    EXPECT_EQ(plain->info().license, "未指定");
    EXPECT_EQ(plain->info().source, "未指定");
}

// The caller's kernel choices reach the engine, whose errors pass through unchanged.
TEST_F(CompactEnhancerTest, KernelChoicesReachTheEngine) {
    writeModel(4, {{"conv16_backend", "winograd"}});
    auto platform = build({});
    EXPECT_EQ(platform->convolutionBackend(), "mps");
    EXPECT_FALSE(platform->usesApproximateDown2());
    EXPECT_FALSE(platform->supportsOptimalDisplayOutput());

    auto winograd = build({}, {GPUFamily::apple7});
    EXPECT_EQ(winograd->convolutionBackend(), "metal-16-winograd");
    EXPECT_TRUE(winograd->usesApproximateDown2());
    EXPECT_TRUE(winograd->supportsOptimalDisplayOutput());

    CompactEnhancerOptions options;
    options.customConv16 = false;
    EXPECT_EQ(build(options, {GPUFamily::apple7})->convolutionBackend(), "mps");
    options.customConv16 = true;
    EXPECT_EQ(messageOf([&] { build(options); }),
              "PlatformError DirectMetalProbe: Conv16 requires FP16 and Apple GPU family 7");
}

} // namespace
} // namespace lumavane::testing
