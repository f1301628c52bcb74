// The shipped compact models (resources/Models, listed in its model-series.json) run through
// CompactMetalEngine on the reference frame and compared with PyTorch's float32 output for the
// same folder: on the system default device (custom Winograd and 24-channel kernels where the
// device claims the Apple families) and on a device without them (platform convolutions), at
// native 4x and at the fused 2x output the player also shows.
//
// Tolerance: the 8-bit output alone is up to half a level from the float value, a quarter of a
// level on average. Feature images are stored in half precision, 11 significant bits, so one
// rounding of a value near 1 moves it by up to 2^-11 = 0.12 level; measured on both roads the
// largest difference is 0.5 + about that one rounding (the errors of earlier layers do not add
// up), and the mean stays the quarter level of the output rounding. So at most one level
// anywhere (room for four times the measured half-precision error) and a mean of at most 0.35
// level: a slip in weight order, channel shuffle, residual or edges costs tens of levels, and
// output that truncates instead of rounding moves the mean to half a level.
#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "CompactMetal/support/EngineReference.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumavane::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t inputWidth = 32, inputHeight = 24, scale = 4;
constexpr double maxLevelsAllowed = 1.0, meanLevelsAllowed = 0.35;

fs::path modelsDirectory() {
    if (const char* resources = std::getenv("LUMAVANE_RESOURCES"); resources && *resources)
        return fs::path(resources) / "Models";
    return fs::path(LUMAVANE_SOURCE_DIR) / "resources" / "Models";
}

std::vector<char> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ShippedVariant {
    std::string id, role, path;
    fs::path folder;
    int channels = 0; // of the feature layers
};

struct Difference {
    double maxLevels = 0; // largest |engine - PyTorch| in 8-bit levels, any colour
    double meanLevels = 0;
    std::size_t x = 0, y = 0; // where the largest is
    int alphaOff = 0;         // pixels whose alpha is not 255
};

// The engine's BGRA picture against RGB values in 0...1 of the same size.
Difference compare(const Bgra8Image& actual, const FloatImage& expected) {
    Difference d;
    for (std::size_t y = 0; y < actual.height; ++y)
        for (std::size_t x = 0; x < actual.width; ++x) {
            const std::uint8_t* p = actual.pixel(x, y);
            if (p[3] != 255) ++d.alphaOff;
            for (std::size_t c = 0; c < 3; ++c) {
                const double levels = std::abs(p[2 - c] - 255.0 * expected.at(x, y, c));
                d.meanLevels += levels;
                if (levels > d.maxLevels) {
                    d.maxLevels = levels;
                    d.x = x;
                    d.y = y;
                }
            }
        }
    d.meanLevels /= static_cast<double>(actual.width * actual.height * 3);
    return d;
}

class ShippedModels : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path series = modelsDirectory() / "model-series.json";
        ASSERT_TRUE(fs::is_regular_file(series)) << "the shipped model series is missing: " << series;
        const auto document = nlohmann::json::parse(readFile(series));
        ASSERT_TRUE(document.contains("variants") && document["variants"].is_array()) << series;
        for (const auto& entry : document["variants"]) {
            ShippedVariant variant;
            variant.id = entry.at("id").get<std::string>();
            variant.role = entry.value("role", "");
            variant.path = entry.at("path").get<std::string>();
            ASSERT_EQ(entry.at("format").get<std::string>(), "compact-metal") << variant.id;
            variant.folder = modelsDirectory() / variant.path;
            const fs::path manifest = variant.folder / "manifest.json";
            ASSERT_TRUE(fs::is_regular_file(manifest)) << "the shipped model folder is missing: " << manifest;
            const auto layers = nlohmann::json::parse(readFile(manifest)).at("layers");
            ASSERT_FALSE(layers.empty()) << manifest;
            variant.channels = layers.at(0).at("output").get<int>();
            variants.push_back(variant);
        }
        ASSERT_FALSE(variants.empty()) << series;

        const fs::path reference = modelsDirectory() / "reference";
        const auto rgba = readFile(reference / "input.rgba");
        ASSERT_EQ(rgba.size(), inputWidth * inputHeight * 4) << "input.rgba is not a 32x24 RGBA frame";
        input = fromRgbaBytes(reinterpret_cast<const std::uint8_t*>(rgba.data()), inputWidth, inputHeight);
    }

    // PyTorch's output for the folder, clamped to 0...1 as every picture of it is shown.
    FloatImage pytorchOutput(const ShippedVariant& variant) const {
        const fs::path path = modelsDirectory() / "reference" / (variant.path + ".f32");
        const auto bytes = readFile(path);
        FloatImage image(inputWidth * scale, inputHeight * scale, 3);
        if (bytes.size() != image.values.size() * sizeof(float))
            throw std::runtime_error(path.string() + " is not a 128x96 RGB float32 frame");
        static_assert(std::endian::native == std::endian::little, "the reference holds little-endian floats");
        std::memcpy(image.values.data(), bytes.data(), bytes.size());
        for (float& v : image.values) {
            if (!std::isfinite(v))
                throw std::runtime_error(path.string() + " holds a value that is not finite");
            v = std::clamp(v, 0.0f, 1.0f);
        }
        return image;
    }

    // Runs every variant on `device` at the given output scale and checks it against PyTorch.
    void checkEveryVariant(const std::shared_ptr<gpu::Device>& device, const char* road,
                           std::int64_t outputScale, bool expectPlatformConvolutions) {
        ASSERT_TRUE(device) << "no OpenCL device";
        for (const ShippedVariant& variant : variants) {
            SCOPED_TRACE(variant.path);
            CompactMetalEngineOptions options;
            options.folder = variant.folder;
            options.device = device;
            CompactMetalEngine engine(options);
            engine.resize(static_cast<std::int64_t>(inputWidth), static_cast<std::int64_t>(inputHeight));
            const std::string backend = engine.convolutionBackend();
            if (expectPlatformConvolutions) {
                EXPECT_EQ(backend, "mps");
            } else if (device->supportsFamily(gpu::GPUFamily::apple7)) {
                EXPECT_NE(backend, "mps") << "the default road should run the custom kernels";
            }

            const Bgra8Image actual = encodeFrame(engine, input, {.outputScale = outputScale});
            FloatImage expected = pytorchOutput(variant);
            if (outputScale == 2) expected = reduceBy2(expected);
            ASSERT_EQ(actual.width, expected.width);
            ASSERT_EQ(actual.height, expected.height);
            const Difference d = compare(actual, expected);
            std::printf("%s %s %lldx (%s): max %.2f/255 at (%zu, %zu), mean %.3f/255\n", variant.path.c_str(),
                        road, static_cast<long long>(outputScale), backend.c_str(), d.maxLevels, d.x, d.y,
                        d.meanLevels);
            EXPECT_LE(d.maxLevels, maxLevelsAllowed) << "at (" << d.x << ", " << d.y << ")";
            EXPECT_LE(d.meanLevels, meanLevelsAllowed);
            EXPECT_EQ(d.alphaOff, 0);
        }
    }

    std::vector<ShippedVariant> variants;
    Bgra8Image input;
};

TEST_F(ShippedModels, SeriesListsAFastSixteenAndAQualityTwentyFourChannelFolder) {
    std::set<std::string> roles;
    for (const ShippedVariant& variant : variants) {
        roles.insert(variant.role);
        if (variant.role == "fast") {
            EXPECT_EQ(variant.channels, 16) << variant.path;
        } else if (variant.role == "quality") {
            EXPECT_EQ(variant.channels, 24) << variant.path;
        }
        EXPECT_TRUE(fs::is_regular_file(modelsDirectory() / "reference" / (variant.path + ".f32")))
            << "no PyTorch reference for " << variant.path;
    }
    EXPECT_EQ(roles, (std::set<std::string>{"fast", "quality"}));
}

TEST_F(ShippedModels, DefaultDeviceMatchesPyTorchAtNativeFourX) {
    checkEveryVariant(gpu::Device::systemDefault(), "default", 4, false);
}

TEST_F(ShippedModels, PlatformConvolutionsMatchPyTorchAtNativeFourX) {
    checkEveryVariant(deviceWithFamilies({}), "platform", 4, true);
}

// The fused 4x-to-2x output is the mean of each 2x2 block of the clamped 4x picture.
TEST_F(ShippedModels, BothRoadsMatchPyTorchAtTwoX) {
    checkEveryVariant(gpu::Device::systemDefault(), "default", 2, false);
    checkEveryVariant(deviceWithFamilies({}), "platform", 2, true);
}

} // namespace
} // namespace lumavane::testing
