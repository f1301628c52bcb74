#include "CompactMetal/FloatFiles.hpp"
#include "CompactMetal/SPANMetalEngine.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>

namespace lumavane::testing {
namespace {

// The 25 convolutions of the graph, as an exporter would list them.
std::vector<SPANLayer> spanLayers() {
    std::vector<SPANLayer> layers{{"conv_1", 3, 48, 3}};
    for (int block = 1; block <= 6; ++block)
        for (int c = 1; c <= 3; ++c)
            layers.push_back({"block_" + std::to_string(block) + "_" + std::to_string(c), 48, 48, 3});
    layers.push_back({"conv_2", 48, 48, 3});
    for (int c = 0; c < 4; ++c) layers.push_back({"cat_" + std::to_string(c), 48, 48, 1});
    layers.push_back({"upsample", 48, 12, 3});
    return layers;
}

nlohmann::json spanManifest(const std::vector<SPANLayer>& layers, std::int64_t width, std::int64_t height) {
    nlohmann::json list = nlohmann::json::array();
    for (const SPANLayer& l : layers)
        list.push_back({{"name", l.name}, {"input", l.input}, {"output", l.output}, {"kernel", l.kernel}});
    return {{"architecture", "SPAN"}, {"variant", "6block-48nf"},   {"scale", 2},
            {"width", width},         {"height", height},           {"feature_channels", 48},
            {"layers", list},         {"checkpoint_sha256", "feed"}};
}

struct SPANWeights {
    std::vector<float> weights, bias;
};

// Weights of a trained layer's scale (outputs of order one for inputs of order one); the
// upsampling bias centres the picture at mid-grey so that few output values clip.
SPANWeights layerWeights(const SPANLayer& layer, std::uint32_t seed) {
    const auto fanIn = static_cast<std::size_t>(layer.input * layer.kernel * layer.kernel);
    SPANWeights w;
    w.weights = randomValues(fanIn * static_cast<std::size_t>(layer.output), seed, std::sqrt(3.0f / fanIn));
    w.bias = randomValues(static_cast<std::size_t>(layer.output), seed + 1000, 0.1f);
    if (layer.name == "upsample") {
        for (float& v : w.weights) v *= 0.15f;
        for (float& b : w.bias) b += 0.5f;
    }
    return w;
}

// Writes a SPAN folder: manifest, weights and biases of every layer, and an input fixture.
void writeSPANFolder(const std::filesystem::path& folder, const nlohmann::json& manifest) {
    std::filesystem::create_directories(folder);
    writeText(folder / "manifest.json", manifest.dump(2));
    std::uint32_t seed = 1;
    for (const nlohmann::json& entry : manifest.at("layers")) {
        SPANLayer layer{entry.at("name"), entry.at("input"), entry.at("output"), entry.at("kernel")};
        if (layer.input < 1 || layer.output < 1 || layer.input > 256 || layer.output > 256) continue;
        const SPANWeights w = layerWeights(layer, seed++);
        writeFloats(folder / (layer.name + ".weights"), w.weights);
        writeFloats(folder / (layer.name + ".bias"), w.bias);
    }
    const auto width = manifest.at("width").get<std::size_t>(),
               height = manifest.at("height").get<std::size_t>();
    std::vector<std::uint8_t> fixture(width * height * 4);
    std::uint32_t state = 77;
    for (std::size_t i = 0; i < fixture.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        fixture[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(state >> 24);
    }
    writeBytes(folder / "input.rgba", fixture);
}

// The graph on the CPU, every stored image rounded to half as the engine's images are.
std::vector<std::uint8_t> referenceOutput(const std::filesystem::path& folder,
                                          const nlohmann::json& manifest) {
    const auto W = manifest.at("width").get<std::size_t>(), H = manifest.at("height").get<std::size_t>();
    std::map<std::string, SPANWeights> weights;
    std::map<std::string, std::size_t> kernels;
    for (const nlohmann::json& entry : manifest.at("layers")) {
        const std::string name = entry.at("name");
        weights[name] = {
            compact_files::littleEndianFloats(files::readWholeFile(folder / (name + ".weights"))),
            compact_files::littleEndianFloats(files::readWholeFile(folder / (name + ".bias")))};
        kernels[name] = entry.at("kernel").get<std::size_t>();
    }
    const auto conv = [&](const FloatImage& in, const std::string& name) {
        const SPANWeights& w = weights.at(name);
        return roundedToHalf(convolution(in, w.bias.size(), kernels.at(name), w.weights, w.bias));
    };
    const auto map = [](FloatImage image, const std::function<double(double)>& f) {
        for (float& v : image.values) v = roundToHalf(static_cast<float>(f(v)));
        return image;
    };
    const auto silu = [&](const FloatImage& a) {
        return map(a, [](double v) { return v / (1 + std::exp(-v)); });
    };
    const auto add = [](const FloatImage& a, const FloatImage& b) {
        FloatImage sum = a;
        for (std::size_t i = 0; i < sum.values.size(); ++i)
            sum.values[i] = roundToHalf(a.values[i] + b.values[i]);
        return sum;
    };

    const std::vector<std::uint8_t> fixture = files::readWholeFile(folder / "input.rgba");
    FloatImage input(W, H, 3);
    for (std::size_t p = 0; p < W * H; ++p)
        for (std::size_t c = 0; c < 3; ++c)
            input.values[p * 3 + c] = roundToHalf(fixture[p * 4 + c] / 255.0f);

    const FloatImage feature = conv(input, "conv_1");
    FloatImage x = feature, block1, block6C1;
    for (int block = 1; block <= 6; ++block) {
        const std::string prefix = "block_" + std::to_string(block) + "_";
        const FloatImage s1 = silu(conv(x, prefix + "1"));
        if (block == 6) block6C1 = s1;
        const FloatImage c3 = conv(silu(conv(s1, prefix + "2")), prefix + "3");
        FloatImage out = c3;
        for (std::size_t i = 0; i < out.values.size(); ++i) {
            const double c = c3.values[i];
            out.values[i] =
                roundToHalf(static_cast<float>((c + x.values[i]) * (1 / (1 + std::exp(-c)) - 0.5)));
        }
        x = out;
        if (block == 1) block1 = out;
    }
    FloatImage sum = add(conv(feature, "cat_0"), conv(conv(x, "conv_2"), "cat_1"));
    sum = add(sum, conv(block1, "cat_2"));
    sum = add(sum, conv(block6C1, "cat_3"));
    const FloatImage up = conv(sum, "upsample");

    std::vector<std::uint8_t> out(W * H * 16);
    for (std::size_t y = 0; y < H; ++y)
        for (std::size_t xx = 0; xx < W; ++xx)
            for (std::size_t dy = 0; dy < 2; ++dy)
                for (std::size_t dx = 0; dx < 2; ++dx) {
                    std::uint8_t* pixel = &out[((2 * y + dy) * 2 * W + 2 * xx + dx) * 4];
                    for (std::size_t c = 0; c < 3; ++c) {
                        const float v = std::clamp(up.at(xx, y, c * 4 + dy * 2 + dx), 0.0f, 1.0f);
                        pixel[c] = static_cast<std::uint8_t>(std::nearbyint(v * 255.0f));
                    }
                    pixel[3] = 255;
                }
    return out;
}

class SPANEngine : public ::testing::Test {
protected:
    std::filesystem::path folder() const { return directory_.path() / "span"; }
    nlohmann::json manifest(std::int64_t width = 20, std::int64_t height = 12) const {
        return spanManifest(spanLayers(), width, height);
    }
    void write(const nlohmann::json& m) const { writeSPANFolder(folder(), m); }
    SPANMetalEngine build() const { return SPANMetalEngine(folder(), true, false); }

private:
    TemporaryDirectory directory_;
};

// Running ---------------------------------------------------------------------------------------

TEST_F(SPANEngine, RunsTheGraphAsTheCpuDoes) {
    // Odd sizes, so that the element-wise grids end inside their last work groups.
    const nlohmann::json m = manifest(13, 9);
    write(m);
    SPANMetalEngine engine = build();
    ASSERT_EQ(engine.output()->length(), 13u * 9 * 16);
    const double ms = engine.run();
    EXPECT_TRUE(std::isfinite(ms));
    EXPECT_GT(ms, 0.0);

    const std::vector<std::uint8_t> expected = referenceOutput(folder(), m);
    const auto* got = static_cast<const std::uint8_t*>(engine.output()->contents());
    int worst = 0;
    std::size_t off = 0, clipped = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const int d = std::abs(int(got[i]) - int(expected[i]));
        worst = std::max(worst, d);
        off += d > 1;
        clipped += i % 4 != 3 && (expected[i] == 0 || expected[i] == 255);
    }
    // Float sums in another order may move a half rounding, and that travels through 25 layers.
    EXPECT_LE(worst, 2);
    EXPECT_LE(off, expected.size() / 200);
    EXPECT_LT(clipped, expected.size() / 8) << "the test picture should mostly lie inside 0...255";
    for (std::size_t i = 3; i < expected.size(); i += 4) ASSERT_EQ(got[i], 255);

    // Every run repeats the same graph on the same input.
    std::vector<std::uint8_t> first(got, got + expected.size());
    std::memset(engine.output()->contents(), 0, engine.output()->length());
    engine.run();
    EXPECT_EQ(std::memcmp(first.data(), got, first.size()), 0);
}

TEST_F(SPANEngine, AMisnamedConvolutionFailsTheRunAndCommitsNothing) {
    std::vector<SPANLayer> layers = spanLayers();
    layers[3].name = "block_1_4";
    write(spanManifest(layers, 16, 8));
    SPANMetalEngine engine = build();
    expectError([&] { engine.run(); }, "SPANMetal", 3, "Missing convolution block_1_3");
    const auto* out = static_cast<const std::uint8_t*>(engine.output()->contents());
    EXPECT_TRUE(std::all_of(out, out + engine.output()->length(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(SPANEngine, AGpuFaultOfTheRunIsThrown) {
    // conv_2 built for 24 inputs cannot read the 48-channel block output: an encoding fault the
    // command buffer reports.
    std::vector<SPANLayer> layers = spanLayers();
    layers[19].input = 24;
    write(spanManifest(layers, 16, 8));
    SPANMetalEngine engine = build();
    try {
        engine.run();
        ADD_FAILURE() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), gpu::errorDomain);
    }
}

// Construction errors ---------------------------------------------------------------------------

// What the folder does wrong, and what the engine answers: a check message, or the kind of a
// decoding, file or allocation error passed through.
TEST_F(SPANEngine, RefusesFoldersItCannotRun) {
    enum class Kind { check, decoding, file, memory };
    struct Case {
        std::function<void(nlohmann::json&)> breakManifest;
        std::function<void(const std::filesystem::path&)> breakFiles;
        Kind kind;
        std::string message;
    };
    const auto floats = [](const char* name, std::size_t count, float value = 0.1f) {
        return
            [=](const std::filesystem::path& f) { writeFloats(f / name, std::vector<float>(count, value)); };
    };
    const std::vector<Case> cases = {
        {[](auto& m) { m["scale"] = 4; }, nullptr, Kind::check, "Unsupported SPAN graph"},
        {[](auto& m) { m["variant"] = "6block-52nf"; }, nullptr, Kind::check, "Unsupported SPAN graph"},
        {[](auto& m) { m["layers"].erase(24); }, nullptr, Kind::check, "Unsupported SPAN graph"},
        {[](auto& m) { m["layers"][7]["kernel"] = 5; }, nullptr, Kind::check, "Invalid SPAN layer"},
        {[](auto& m) { m["layers"][7]["output"] = 256; }, nullptr, Kind::check, "Invalid SPAN layer"},
        {[](auto& m) { m.erase("variant"); }, nullptr, Kind::decoding, ""},
        {[](auto& m) { m["layers"][2]["kernel"] = 3.5; }, nullptr, Kind::decoding, ""},
        {nullptr,
         [](const auto& f) {
             std::string text = files::readWholeText(f / "manifest.json");
             text.replace(text.find("\"width\": 16"), 11, "\"width\": 1e400");
             writeText(f / "manifest.json", text);
         },
         Kind::decoding, ""},
        // cat_0: 48 x 48 x 1 x 1 = 2304 weights, 48 biases.
        {nullptr, floats("cat_0.weights", 2305), Kind::check, "Invalid weights for cat_0"},
        {nullptr, floats("cat_0.bias", 47), Kind::check, "Invalid weights for cat_0"},
        {nullptr, [](const auto& f) { writeBytes(f / "cat_0.bias", std::vector<std::uint8_t>(190)); },
         Kind::check, "Invalid float file"},
        {nullptr, floats("cat_0.weights", 2304, NAN), Kind::check, "Non-finite weights in cat_0.weights"},
        {nullptr, floats("upsample.bias", 12, -INFINITY), Kind::check, "Non-finite weights in upsample.bias"},
        {nullptr, [](const auto& f) { std::filesystem::remove(f / "cat_0.bias"); }, Kind::file, ""},
        {nullptr, [](const auto& f) { std::filesystem::resize_file(f / "manifest.json", 1u << 30); },
         Kind::file, "file_too_large"},
        {nullptr,
         [](const auto& f) { writeBytes(f / "input.rgba", std::vector<std::uint8_t>(16 * 8 * 4 - 1)); },
         Kind::check, "Invalid SPAN input fixture"},
        {nullptr, [](const auto& f) { std::filesystem::remove(f / "input.rgba"); }, Kind::file, ""},
        {[](auto& m) { m["width"] = 0; }, nullptr, Kind::memory, ""},
        {[](auto& m) { m["width"] = 1 << 20; }, nullptr, Kind::memory, ""},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        nlohmann::json m = manifest(16, 8);
        write(m);
        if (c.breakManifest) {
            c.breakManifest(m);
            writeText(folder() / "manifest.json", m.dump());
        }
        if (c.breakFiles) c.breakFiles(folder());
        switch (c.kind) {
        case Kind::check:
            expectCheckError([&] { build(); }, c.message);
            break;
        case Kind::decoding:
            EXPECT_THROW(build(), JSONDecodingError);
            break;
        case Kind::file:
            try {
                build();
                ADD_FAILURE() << "built";
            } catch (const std::filesystem::filesystem_error& error) {
                if (!c.message.empty()) {
                    EXPECT_EQ(error.code(), std::errc::file_too_large);
                }
            }
            break;
        case Kind::memory:
            try {
                build();
                ADD_FAILURE() << "built";
            } catch (const PlatformError& error) {
                EXPECT_EQ(error.code(), gpu::errorOutOfMemory);
            }
            break;
        }
    }
}

TEST_F(SPANEngine, AKernelMissingFromTheSource) {
    write(manifest(16, 8));
    TemporaryDirectory resources;
    const std::filesystem::path bundle = resources.path() / "Lumavane_CompactMetal.bundle";
    std::filesystem::create_directories(bundle);
    std::string text = files::readWholeText(shaderSourcePath("SPAN"));
    const std::size_t at = text.find("kernel void spanFinish2x");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, std::strlen("kernel void spanFinish2x"), "kernel void spanFinishRenamed");
    writeText(bundle / "SPAN.cl", text);
    test::ResourcesOverride override(resources.path());
    expectError([&] { build(); }, "SPANMetal", 2, "Missing kernel spanFinish2x");
}

} // namespace
} // namespace lumavane::testing
