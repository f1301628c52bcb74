#include <algorithm>
#include <random>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Ml/Half.hpp"
#include "Platform/Ml/Model.hpp"
#include "Platform/Ml/ModelWriter.hpp"
#include "support/ErrorOf.hpp"

namespace lumavane::ml {
namespace {

using namespace fixtures;
using namespace ::testing;
using test::errorOf;

float half(float v) { return detail::halfToFloat(detail::floatToHalf(v)); }

std::vector<float> halfValues(size_t count, float scale, uint32_t seed) {
    std::vector<float> v = randomValues(count, scale, seed);
    for (float& f : v) f = half(f);
    return v;
}

// The weights of the 2x test network: conv 3->8 (3x3), PReLU, conv 8->12 (3x3), pixel shuffle,
// then output = (x + 0.5) * 255 on input / 255. All values exact in half precision.
struct Weights {
    std::vector<float> w1 = halfValues(8 * 27, 0.3f, 1), b1 = halfValues(8, 0.1f, 2),
                       slopes = halfValues(8, 0.3f, 3);
    std::vector<float> w2 = halfValues(12 * 72, 0.15f, 4), b2 = halfValues(12, 0.1f, 5);
    float inputScale = half(1.0f / 255.0f);
};

// As a neural network in a model file: RGB in, RGB out.
coreml::Model networkModel(const Weights& w, int width, int height) {
    coreml::Model model = neuralNetworkModel();
    addImage(model.mutable_description()->mutable_input(), "image", width, height);
    addImage(model.mutable_description()->mutable_output(), "output", width * 2, height * 2);
    auto* network = model.mutable_neuralnetwork();
    auto* pre = network->add_preprocessing();
    pre->set_featurename("image");
    pre->mutable_scaler()->set_channelscale(w.inputScale);
    addConvolution(network, "conv1", "image", "f1", 3, 8, 3, w.w1, w.b1, true);
    auto* prelu =
        addLayer(network, "prelu", {"f1"}, "a1")->mutable_activation()->mutable_prelu()->mutable_alpha();
    for (float s : w.slopes) prelu->add_floatvalue(s);
    addConvolution(network, "conv2", "a1", "f2", 8, 12, 3, w.w2, w.b2, false);
    auto* shuffle = addLayer(network, "shuffle", {"f2"}, "s")->mutable_reorganizedata();
    shuffle->set_mode(coreml::ReorganizeDataLayerParams::PIXEL_SHUFFLE);
    shuffle->set_blocksize(2);
    addLayer(network, "offset", {"s"}, "o")->mutable_add()->set_alpha(0.5f);
    addLayer(network, "scale", {"o"}, "output")->mutable_multiply()->set_alpha(255.0f);
    return model;
}

// The same function as an ML program the way the converter writes one from PyTorch: BGR image
// in and out with channel swaps, half-precision compute between casts, weights in weight.bin.
// Without a size, the image sizes are a range and the program's dimensions unknown.
std::pair<coreml::Model, std::string> programPackage(const Weights& w, int width, int height,
                                                     bool flexible = false) {
    ProgramWriter p;
    p.input("image", {1, 3, height, width});
    p.constString("fp16", "fp16");
    p.op("cast", {{"x", {"image"}}, {"dtype", {"fp16"}}}, "x16", coreml::mil::FLOAT16);
    p.constInts("swap", {3}, {2, 1, 0});
    p.constInt("axis", 1);
    p.op("gather", {{"x", {"x16"}}, {"indices", {"swap"}}, {"axis", {"axis"}}}, "rgb");
    p.constFloat("in_scale", {}, {w.inputScale}, Precision::fp16);
    p.op("mul", {{"x", {"rgb"}}, {"y", {"in_scale"}}}, "scaled");
    p.constFloat("w1", {8, 3, 3, 3}, w.w1, Precision::fp16, Storage::blob);
    p.constFloat("b1", {8}, w.b1, Precision::fp16, Storage::blob);
    p.constString("same", "same");
    p.constInts("ones", {2}, {1, 1});
    p.constInt("groups", 1);
    p.op("conv",
         {{"x", {"scaled"}},
          {"weight", {"w1"}},
          {"bias", {"b1"}},
          {"pad_type", {"same"}},
          {"strides", {"ones"}},
          {"dilations", {"ones"}},
          {"groups", {"groups"}}},
         "f1");
    p.constFloat("slopes", {8}, w.slopes, Precision::fp16, Storage::blob);
    p.op("prelu", {{"x", {"f1"}}, {"alpha", {"slopes"}}}, "a1");
    p.constFloat("w2", {12, 8, 3, 3}, w.w2, Precision::fp32, Storage::blob);
    p.constFloat("b2", {12}, w.b2, Precision::fp32, Storage::immediate);
    p.op("conv", {{"x", {"a1"}}, {"weight", {"w2"}}, {"bias", {"b2"}}, {"pad_type", {"same"}}}, "f2");
    p.constInt("factor", 2);
    p.op("pixel_shuffle", {{"x", {"f2"}}, {"upscale_factor", {"factor"}}}, "s");
    p.constFloat("offset", {1, 1, 1, 1}, {0.5f}, Precision::fp16);
    p.op("add", {{"x", {"s"}}, {"y", {"offset"}}}, "o");
    p.constFloat("range", {}, {255.0f}, Precision::fp16);
    p.op("mul", {{"x", {"range"}}, {"y", {"o"}}}, "r"); // the constant may come first
    p.op("gather", {{"x", {"r"}}, {"indices", {"swap"}}, {"axis", {"axis"}}}, "bgr");
    p.constString("fp32", "fp32");
    p.op("cast", {{"x", {"bgr"}}, {"dtype", {"fp32"}}}, "output");
    p.output("output");

    coreml::Model model = programModel(p);
    auto* in = addImage(model.mutable_description()->mutable_input(), "image", width, height,
                        coreml::ImageFeatureType::BGR);
    auto* out = addImage(model.mutable_description()->mutable_output(), "output", width * 2, height * 2,
                         coreml::ImageFeatureType::BGR);
    if (flexible) {
        setSizeRange(in, 4, 64, 4, 64);
        setSizeRange(out, 8, 128, 8, 128);
        auto& function = (*model.mutable_mlprogram()->mutable_functions())["main"];
        for (int d : {2, 3})
            function.mutable_inputs(0)
                ->mutable_type()
                ->mutable_tensortype()
                ->mutable_dimensions(d)
                ->mutable_unknown();
    }
    return {model, p.weightBytes()};
}

PixelBuffer randomImage(int width, int height, uint32_t seed) {
    PixelBuffer image = PixelBuffer::create(size_t(width), size_t(height), pixelFormat32BGRA);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y) {
        auto* row = static_cast<uint8_t*>(image.baseAddress()) + size_t(y) * image.bytesPerRow();
        for (int x = 0; x < width * 4; ++x) row[x] = uint8_t(random() & 0xff);
    }
    return image;
}

// Largest and mean absolute difference of the colour bytes of two BGRA images.
std::pair<int, double> difference(const PixelBuffer& a, const PixelBuffer& b) {
    EXPECT_EQ(a.width(), b.width());
    EXPECT_EQ(a.height(), b.height());
    int worst = 0;
    double sum = 0;
    size_t count = 0;
    for (size_t y = 0; y < std::min(a.height(), b.height()); ++y) {
        const auto* ra = static_cast<const uint8_t*>(a.baseAddress()) + y * a.bytesPerRow();
        const auto* rb = static_cast<const uint8_t*>(b.baseAddress()) + y * b.bytesPerRow();
        for (size_t x = 0; x < std::min(a.width(), b.width()) * 4; ++x) {
            const int d = std::abs(int(ra[x]) - int(rb[x]));
            worst = std::max(worst, d);
            sum += d;
            ++count;
        }
    }
    return {worst, count ? sum / double(count) : 0.0};
}

PixelBuffer predict(const Model& model, const PixelBuffer& image, const PredictionOptions& options = {}) {
    const FeatureProvider out = model.prediction(FeatureProvider({{"image", FeatureValue(image)}}), options);
    const std::optional<FeatureValue> value = out.featureValue("output");
    EXPECT_TRUE(value && value->type() == FeatureType::image);
    return value ? value->imageBufferValue() : PixelBuffer();
}

class PredictionTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& path : compiled_) std::filesystem::remove_all(path);
    }

    std::shared_ptr<Model> loadNetwork(ComputeUnits units, int width = 10, int height = 8) {
        const auto file = folder_.path() / ("Net" + std::to_string(counter_++) + ".mlmodel");
        writeModelFile(file, networkModel(weights_, width, height));
        compiled_.push_back(Model::compileModel(file));
        return Model::load(compiled_.back(), {units, false});
    }

    std::shared_ptr<Model> loadProgram(ComputeUnits units, int width = 10, int height = 8,
                                       bool flexible = false) {
        const auto package = folder_.path() / ("Prog" + std::to_string(counter_++) + ".mlpackage");
        const auto [model, weights] = programPackage(weights_, width, height, flexible);
        writePackage(package, model, weights);
        compiled_.push_back(Model::compileModel(package));
        return Model::load(compiled_.back(), {units, false});
    }

    Weights weights_;
    TemporaryFolder folder_;
    std::vector<std::filesystem::path> compiled_;
    int counter_ = 0;
};

TEST_F(PredictionTest, NetworkAndProgramComputeTheSameImage) {
    const auto network = loadNetwork(ComputeUnits::cpuOnly);
    const auto program = loadProgram(ComputeUnits::cpuOnly);
    const PixelBuffer image = randomImage(10, 8, 7);
    const PixelBuffer a = predict(*network, image), b = predict(*program, image);
    ASSERT_EQ(a.width(), 20u);
    ASSERT_EQ(a.height(), 16u);
    EXPECT_LE(difference(a, b).first, 1);

    // The output is not a flat colour: the network did something.
    const auto* p = static_cast<const uint8_t*>(a.baseAddress());
    std::set<int> values(p, p + 4 * 20);
    EXPECT_GT(values.size(), 20u);
    // Alpha is opaque.
    for (size_t x = 0; x < 20; ++x) EXPECT_EQ(p[4 * x + 3], 255);
}

TEST_F(PredictionTest, GpuPredictionsMatchTheCpuReference) {
    for (bool program : {false, true}) {
        const auto gpu =
            program ? loadProgram(ComputeUnits::cpuAndGPU) : loadNetwork(ComputeUnits::cpuAndGPU);
        const auto cpu = program ? loadProgram(ComputeUnits::cpuOnly) : loadNetwork(ComputeUnits::cpuOnly);
        ASSERT_TRUE(gpu->runsOnGPU());
        for (uint32_t seed : {11u, 12u}) {
            const PixelBuffer image = randomImage(10, 8, seed);
            const auto [worst, mean] = difference(predict(*gpu, image), predict(*cpu, image));
            EXPECT_LE(worst, 2) << (program ? "program" : "network");
            EXPECT_LT(mean, 0.25) << (program ? "program" : "network");
        }
    }
}

TEST_F(PredictionTest, OutputBackingIsUsedWhenItFits) {
    for (ComputeUnits units : {ComputeUnits::cpuOnly, ComputeUnits::cpuAndGPU}) {
        const auto model = loadProgram(units);
        const PixelBuffer image = randomImage(10, 8, 21);
        const PixelBuffer plain = predict(*model, image);

        PredictionOptions options;
        options.outputBackings["output"] = PixelBuffer::create(20, 16, pixelFormat32BGRA);
        const PixelBuffer backed = predict(*model, image, options);
        EXPECT_TRUE(backed == options.outputBackings["output"]) << "the backing itself is the output";
        EXPECT_EQ(difference(backed, plain).first, 0);

        options.outputBackings["output"] = PixelBuffer::create(21, 16, pixelFormat32BGRA);
        const PixelBuffer wrongSize = predict(*model, image, options);
        EXPECT_FALSE(wrongSize == options.outputBackings["output"]);
        EXPECT_EQ(difference(wrongSize, plain).first, 0);

        options.outputBackings["output"] = PixelBuffer::create(20, 16, LV_PIXEL_FORMAT_420V);
        EXPECT_FALSE(predict(*model, image, options) == options.outputBackings["output"]);
    }
}

TEST_F(PredictionTest, SixPredictionsInFlightFromDifferentThreads) {
    const auto model = loadProgram(ComputeUnits::cpuAndGPU, 24, 20);
    constexpr int threads = 6, rounds = 4;
    std::vector<PixelBuffer> inputs, expected;
    for (int i = 0; i < threads * rounds; ++i) {
        inputs.push_back(randomImage(24, 20, uint32_t(100 + i)));
        expected.push_back(predict(*model, inputs.back()));
    }
    std::vector<int> mismatches(threads, 0), failures(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                const int i = t * rounds + r;
                try {
                    PredictionOptions options;
                    options.outputBackings["output"] = PixelBuffer::create(48, 40, pixelFormat32BGRA);
                    const PixelBuffer out =
                        model
                            ->prediction(FeatureProvider({{"image", FeatureValue(inputs[size_t(i)])}}),
                                         options)
                            .featureValue("output")
                            ->imageBufferValue();
                    if (!(out == options.outputBackings["output"]) ||
                        difference(out, expected[size_t(i)]).first != 0)
                        ++mismatches[size_t(t)];
                } catch (...) {
                    ++failures[size_t(t)];
                }
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_THAT(mismatches, Each(0));
    EXPECT_THAT(failures, Each(0));
}

TEST_F(PredictionTest, FlexibleSizesRunAtEverySizeTheRangeAllows) {
    const auto gpu = loadProgram(ComputeUnits::cpuAndGPU, 8, 8, true);
    const auto cpu = loadProgram(ComputeUnits::cpuOnly, 8, 8, true);
    for (auto [w, h] : {std::pair{8, 8}, std::pair{13, 5}, std::pair{8, 8}}) {
        const PixelBuffer image = randomImage(w, h, uint32_t(w * h));
        const PixelBuffer out = predict(*gpu, image);
        EXPECT_EQ(out.width(), size_t(2 * w));
        EXPECT_EQ(out.height(), size_t(2 * h));
        EXPECT_LE(difference(out, predict(*cpu, image)).first, 2);
    }
    EXPECT_EQ(errorOf([&] { predict(*gpu, randomImage(65, 8, 1)); }).code(), errorFeatureType);
    EXPECT_EQ(errorOf([&] { predict(*gpu, randomImage(3, 8, 1)); }).code(), errorFeatureType);
}

TEST_F(PredictionTest, InputsThatDoNotFitAreRefused) {
    const auto model = loadNetwork(ComputeUnits::cpuAndGPU);
    EXPECT_THAT(errorOf([&] { predict(*model, randomImage(10, 9, 1)); }).what(), HasSubstr("10x9"));
    EXPECT_THAT(errorOf([&] { predict(*model, PixelBuffer::create(10, 8, LV_PIXEL_FORMAT_420V)); }).what(),
                HasSubstr("BGRA"));
    EXPECT_EQ(errorOf([&] { model->prediction(FeatureProvider()); }).code(), errorFeatureType);
    EXPECT_EQ(errorOf([&] {
                  model->prediction(FeatureProvider({{"other", FeatureValue(randomImage(10, 8, 1))}}));
              }).code(),
              errorFeatureType);

    // A multi-array input: described and loaded, but not run.
    coreml::Model arrays = neuralNetworkModel();
    addMultiArray(arrays.mutable_description()->mutable_input(), "image", {3, 8, 8});
    addImage(arrays.mutable_description()->mutable_output(), "output", 8, 8);
    addConvolution(arrays.mutable_neuralnetwork(), "conv", "image", "output", 3, 3, 1, randomValues(9, 1, 1),
                   {});
    const auto file = folder_.path() / "Arrays.mlmodel";
    writeModelFile(file, arrays);
    compiled_.push_back(Model::compileModel(file));
    const auto loaded = Model::load(compiled_.back());
    EXPECT_EQ(loaded->modelDescription().inputDescriptions[0].type, FeatureType::multiArray);
    EXPECT_THAT(errorOf([&] { predict(*loaded, randomImage(8, 8, 1)); }).what(), HasSubstr("not an image"));
}

TEST_F(PredictionTest, BuffersAreReleasedWithTheModel) {
    const size_t before = lv_pixel_buffer_live_count();
    {
        const auto model = loadProgram(ComputeUnits::cpuAndGPU);
        for (int i = 0; i < 3; ++i) predict(*model, randomImage(10, 8, uint32_t(i)));
    }
    EXPECT_EQ(lv_pixel_buffer_live_count(), before);
}

} // namespace
} // namespace lumavane::ml
