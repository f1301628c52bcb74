// Construction: the order in which the folder, the device and the arguments are examined, the
// per-layer choice of kernels by device families, manifest keys, arguments and environment
// switches, the pipelines' functions, and the activation images.
#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/support/EngineReference.hpp"
#include "CompactMetal/support/RectReference.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <set>

namespace lumavane::testing {
namespace {

using gpu::GPUFamily;

class EngineConstruction : public EngineTest {
protected:
    // Builds over the current folder; the check error's message, or "no error".
    std::string failure(std::initializer_list<GPUFamily> apple, CompactMetalEngineOptions options = {}) {
        options.folder = folder;
        options.device = deviceWithFamilies(apple);
        return requireFailure([&] { CompactMetalEngine engine(options); });
    }
    void editManifest(const std::function<void(nlohmann::json&)>& edit) {
        nlohmann::json manifest = nlohmann::json::parse(readText(folder / "manifest.json"));
        edit(manifest);
        writeText(folder / "manifest.json", manifest.dump());
    }
    static std::string readText(const std::filesystem::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

nlohmann::json rectangular(nlohmann::json layers, std::int64_t tiles = 8) {
    return {{"rectangular_winograd",
             {{"layers", std::move(layers)},
              {"tiles_per_group", tiles},
              {"simd_groups", 4},
              {"narrow_input", false}}}};
}

TEST_F(EngineConstruction, FolderAndArgumentsAreExaminedInOrder) {
    const std::initializer_list<GPUFamily> all = {GPUFamily::apple7, GPUFamily::apple8, GPUFamily::apple9};
    writeModel(4, 16, 1);
    // Missing and broken manifests pass their errors through.
    CompactMetalEngineOptions options;
    options.folder = folder / "absent";
    EXPECT_THROW(CompactMetalEngine{options}, std::filesystem::filesystem_error);
    writeText(folder / "manifest.json", "{\"architecture\": \"Compact\"");
    options.folder = folder;
    EXPECT_THROW(CompactMetalEngine{options}, JSONDecodingError);

    // Graph before channels, channels before the device's kernel checks.
    writeModel(4, 16, 1,
               {{"architecture", "compact"}, {"layers", {{{"input", 3}, {"output", 47}, {"prelu", false}}}}});
    EXPECT_EQ(failure({}), "Unsupported graph/dimensions");
    editManifest([](auto& m) { m["architecture"] = "Compact"; });
    CompactMetalEngineOptions forced;
    forced.customConv16 = true;
    EXPECT_EQ(failure({}, forced), "Invalid RGB graph");

    // 24 before 16; each forced path needs half accumulation, 16 also Apple 7.
    writeModel(4, 16, 1, rectangular({0}, 12));
    CompactMetalEngineOptions single;
    single.halfAccumulator = false;
    single.customConv24 = true;
    single.customConv16 = true;
    EXPECT_EQ(failure(all, single), "Conv24 requires FP16 accumulation mode");
    single.customConv24 = std::nullopt;
    EXPECT_EQ(failure(all, single), "Conv16 requires FP16 and Apple GPU family 7");
    EXPECT_EQ(failure({}, forced), "Conv16 requires FP16 and Apple GPU family 7");
    // Without half accumulation nothing custom is chosen and the rectangular block is not read.
    single.customConv16 = std::nullopt;
    EXPECT_EQ(failure(all, single), "no error");

    // The rectangular block is examined only where the path is on.
    EXPECT_EQ(failure({GPUFamily::apple7, GPUFamily::apple8}), "no error");
    EXPECT_EQ(failure(all), "Invalid rectangular Winograd configuration");
    {
        const ScopedEnv off("CORAVEL_RECTANGULAR", "0");
        EXPECT_EQ(failure(all), "no error");
    }
    {
        const ScopedEnv notOff("CORAVEL_RECTANGULAR", "false");
        EXPECT_EQ(failure(all), "Invalid rectangular Winograd configuration");
    }
    editManifest([](auto& m) { m["rectangular_winograd"]["tiles_per_group"] = 8; });
    EXPECT_EQ(failure(all), "Invalid rectangular layer index");

    // Then the benchmark input, the benchmark output scale, and the layers' files.
    editManifest([](auto& m) { m.erase("rectangular_winograd"); });
    writeBytes(folder / "input.rgba", std::vector<std::uint8_t>(24 * 16 * 4 - 1));
    writeFloats(folder / "1.weights", std::vector<float>(16 * 16 * 9 + 1));
    CompactMetalEngineOptions benchmark;
    benchmark.benchmarkBuffers = true;
    benchmark.benchmarkOutputScale = 3;
    EXPECT_EQ(failure({}, benchmark), "Invalid input size");
    writeBytes(folder / "input.rgba", std::vector<std::uint8_t>(24 * 16 * 4));
    EXPECT_EQ(failure({}, benchmark), "Only native output or fused 4x-to-2x output is supported");
    benchmark.benchmarkOutputScale = 2;
    EXPECT_EQ(failure({}, benchmark), "Invalid weights");
    writeFloats(folder / "1.weights", std::vector<float>(16 * 16 * 9));
    writeFloats(folder / "1.prelu", std::vector<float>(15));
    EXPECT_EQ(failure({}, benchmark), "Invalid PReLU");
    writeFloats(folder / "1.prelu", std::vector<float>(16));
    benchmark.folder = folder;
    benchmark.device = deviceWithFamilies({});
    CompactMetalEngine engine(benchmark);
    EXPECT_EQ(engine.output()->length(), 24u * 16 * 16);
    EXPECT_EQ(engine.input()->length(), 24u * 16 * 4);
    EXPECT_EQ(engine.frameWidth(), 24);
    EXPECT_EQ(engine.frameHeight(), 16);

    writeModel(3, 8, 1);
    benchmark.benchmarkBuffers = false;
    EXPECT_EQ(failure({}, benchmark), "Only native output or fused 4x-to-2x output is supported");
    writeModel(2, 8, 1);
    EXPECT_EQ(failure({}, benchmark), "no error");
}

TEST_F(EngineConstruction, KernelChoiceByFamiliesKeysArgumentsAndSwitches) {
    struct Built {
        std::string backend;
        bool conv24, conv24Output, approximate, optimal, counter;
        std::size_t conv16, conv24Weights;
    };
    auto built = [&](std::int64_t features, const nlohmann::json& extra,
                     std::initializer_list<GPUFamily> apple, CompactMetalEngineOptions options = {}) {
        auto engine = build(4, features, 1, extra, apple, options);
        return Built{engine->convolutionBackend(),
                     engine->conv24() != nullptr,
                     engine->conv24Output() != nullptr,
                     engine->usesApproximateDown2(),
                     engine->supportsOptimalDisplayOutput(),
                     engine->uniformCounter() != nullptr,
                     engine->conv16().size(),
                     engine->conv24Weights().size()};
    };
    const nlohmann::json winograd16 = {{"conv16_backend", "winograd"}};
    const nlohmann::json winograd2d = {{"conv24_backend", "winograd_2d"}};
    const std::initializer_list<GPUFamily> apple7 = {GPUFamily::apple7};
    const std::initializer_list<GPUFamily> apple8 = {GPUFamily::apple7, GPUFamily::apple8};

    EXPECT_EQ(built(16, winograd16, {}).backend, "mps");
    EXPECT_EQ(built(16, {{"conv16_backend", "Winograd"}}, apple8).backend, "mps");
    EXPECT_EQ(built(16, winograd16, apple8).conv16, 2u);
    // The approximate tail: on by default on Apple 7 without Apple 8, else by its switch.
    EXPECT_TRUE(built(16, winograd16, apple7).approximate);
    EXPECT_FALSE(built(16, winograd16, apple8).approximate);
    {
        const ScopedEnv on("CORAVEL_FAST_APPROX_TAIL", "quarter");
        EXPECT_TRUE(built(16, winograd16, apple8).approximate);
    }
    {
        const ScopedEnv on("CORAVEL_FAST_APPROX_TAIL", "1");
        EXPECT_TRUE(built(16, winograd16, apple8).approximate);
    }
    {
        const ScopedEnv off("CORAVEL_FAST_APPROX_TAIL", "true");
        EXPECT_FALSE(built(16, winograd16, apple7).approximate);
        EXPECT_TRUE(built(16, winograd16, apple7).optimal);
    }
    // The uniform counter needs the argument and a last layer with a uniform tail.
    CompactMetalEngineOptions uniform;
    uniform.uniformInputOptimization = true;
    EXPECT_TRUE(built(16, winograd16, apple8, uniform).counter);
    EXPECT_FALSE(built(16, winograd16, apple8).counter);
    EXPECT_FALSE(built(16, nullptr, {}, uniform).counter);

    // 24 channels: the mode follows the key unless given; only winograd_2d has the last-layer
    // kernel and the display-optimal output.
    const Built twoD = built(24, winograd2d, apple7);
    EXPECT_EQ(twoD.backend, "metal-24-winograd_2d");
    EXPECT_TRUE(twoD.conv24Output && twoD.optimal && !twoD.approximate);
    EXPECT_EQ(twoD.conv24Weights, 1u);
    EXPECT_EQ(built(24, {{"conv24_backend", "winograd"}}, apple7).backend, "metal-24-winograd");
    EXPECT_EQ(built(24, winograd2d, {}).backend, "mps");
    CompactMetalEngineOptions forced24;
    forced24.customConv24 = true;
    const Built forced = built(24, nullptr, apple7, forced24);
    EXPECT_EQ(forced.backend, "metal-24-winograd");
    EXPECT_FALSE(forced.conv24Output || forced.optimal);
    // A forced 24-channel kernel still needs a device that can run it.
    EXPECT_EQ(requireFailure([&] { built(24, nullptr, {}, forced24); }),
              "Conv24 requires Apple GPU family 7 or newer");
    CompactMetalEngineOptions off24;
    off24.customConv24 = false;
    EXPECT_EQ(built(24, winograd2d, apple7, off24).backend, "mps");
    // A 16-channel model forced onto 24-channel kernels builds the kernel but no layer weights.
    const Built noLayers = built(16, nullptr, apple7, forced24);
    EXPECT_TRUE(noLayers.conv24);
    EXPECT_EQ(noLayers.backend, "mps");
}

TEST_F(EngineConstruction, RectangularKernelsFollowTheModeOfTheirChannels) {
    const std::initializer_list<GPUFamily> all = {GPUFamily::apple7, GPUFamily::apple8, GPUFamily::apple9};
    nlohmann::json extra = rectangular({1});
    extra["rectangular_winograd"]["fused_tail_simd_groups"] = 6;
    extra["conv24_backend"] = "winograd_2d";
    // winograd mode on a winograd_2d model: no 24-channel rectangular kernels, no last-layer
    // kernel, and the plain finish functions.
    CompactMetalEngineOptions options;
    options.conv24Mode = "winograd";
    auto plain = build(4, 24, 1, extra, all, options);
    EXPECT_FALSE(plain->usesRectangularWinograd());
    EXPECT_FALSE(plain->usesRectangularHQFusedTail());
    EXPECT_FALSE(plain->conv24Output());
    EXPECT_EQ(plain->pipelines().finish4xDown2->functionName(), "finish4xDown2");
    EXPECT_EQ(plain->pipelines().textureFinish4xDown2Flipped->functionName(), "finish4xDown2TextureFlipped");

    auto twoD = build(4, 24, 1, extra, all);
    EXPECT_TRUE(twoD->usesRectangularWinograd());
    EXPECT_TRUE(twoD->usesRectangularHQFusedTail());
    EXPECT_EQ(twoD->pipelines().finish4xDown2->functionName(), "finish4xDown2Vector");
    EXPECT_EQ(twoD->pipelines().textureFinish4xDown2->functionName(), "finish4xDown2TextureVector");
    EXPECT_EQ(twoD->pipelines().textureFinish4xDown2Flipped->functionName(),
              "finish4xDown2TextureVectorFlipped");

    // 16-channel rectangular kernels need the 16-channel path.
    extra.erase("conv24_backend");
    EXPECT_FALSE(build(4, 16, 1, extra, all)->usesRectangularWinograd());
    extra["conv16_backend"] = "winograd";
    auto sixteen = build(4, 16, 1, extra, all);
    EXPECT_EQ(sixteen->rectangular().size(), 1u);
    EXPECT_TRUE(sixteen->rectangularTail());
}

// The player's road: a CPU device's default profile claims Apple 7 and 8, not 9, so a manifest
// asking for rectangular kernels gets F(4x4, 3x3) layers there whatever CORAVEL_RECTANGULAR says.
TEST_F(EngineConstruction, TheDefaultCpuProfileTakesNoRectangularRoad) {
    const gpu::DeviceProfile profile = gpu::DeviceProfile::defaultFor(true);
    EXPECT_TRUE(profile.families.count(GPUFamily::apple7) && profile.families.count(GPUFamily::apple8));
    EXPECT_FALSE(profile.families.count(GPUFamily::apple9));
    nlohmann::json extra = rectangular({1});
    extra["rectangular_winograd"]["fused_tail_simd_groups"] = 6;
    extra["conv16_backend"] = "winograd";
    writeModel(4, 16, 1, extra);
    for (const char* value : {"1", "0"}) {
        const ScopedEnv switchValue("CORAVEL_RECTANGULAR", value);
        CompactMetalEngineOptions options;
        options.folder = folder;
        options.device = gpu::Device::withProfile(profile);
        const CompactMetalEngine engine(options);
        EXPECT_TRUE(engine.rectangular().empty()) << value;
        EXPECT_FALSE(engine.rectangularTail()) << value;
        EXPECT_EQ(engine.convolutionBackend(),
                  build(4, 16, 1, extra, {GPUFamily::apple7, GPUFamily::apple8})->convolutionBackend());
    }
}

TEST_F(EngineConstruction, EveryLayerHasAPlatformConvolutionWithTheArgumentsOptions) {
    auto options = [](const CompactMetalEngine& engine) {
        std::set<std::uint32_t> flags;
        for (const auto& convolution : engine.convolutions()) {
            EXPECT_EQ(convolution->edgeMode, gpu::EdgeMode::zero);
            EXPECT_EQ(convolution->offset.x, 0);
            flags.insert(convolution->options |
                         (convolution->accumulatorPrecision == gpu::AccumulatorPrecision::half ? 1u : 0u));
        }
        return flags;
    };
    // Custom kernels do not replace the layers' platform convolutions.
    auto winograd = build(4, 16, 2, {{"conv16_backend", "winograd"}, {"reduced_precision", true}},
                          {GPUFamily::apple7, GPUFamily::apple8});
    EXPECT_EQ(winograd->convolutions().size(), 4u);
    EXPECT_EQ(winograd->convolutions()[1]->inputFeatureChannels(), 16u);
    EXPECT_EQ(options(*winograd), (std::set<std::uint32_t>{1u | gpu::convolutionAllowReducedPrecision}));
    CompactMetalEngineOptions single;
    single.halfAccumulator = false;
    single.reducedPrecision = false;
    single.disableInternalTiling = true;
    auto engine = build(2, 8, 1, {{"reduced_precision", true}}, {}, single);
    EXPECT_EQ(options(*engine), (std::set<std::uint32_t>{gpu::convolutionDisableInternalTiling}));
    EXPECT_EQ(options(*build(2, 8, 1, nullptr, {})), (std::set<std::uint32_t>{1u}));
}

} // namespace
} // namespace lumavane::testing
