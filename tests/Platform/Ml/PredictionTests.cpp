#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <set>

#include <sys/resource.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Ml/CpuExecutor.hpp"
#include "Platform/Ml/Model.hpp"
#include "Platform/Ml/ModelWriter.hpp"
#include "support/ErrorOf.hpp"

namespace lumavane::ml {
namespace {

using namespace fixtures;
using namespace ::testing;
using test::errorOf;

// A 2x network as the converter writes one from PyTorch: BGR image in and out with channel
// swaps, half-precision compute between casts, weights in weight.bin; conv 3->8 (3x3), PReLU,
// conv 8->12 (3x3), pixel shuffle, then output = (x + 0.5) * 255 on input / 255. Without a size,
// the image sizes are a range and the program's dimensions unknown.
std::pair<coreml::Model, std::string> programPackage(int width, int height, bool flexible = false) {
    ProgramWriter p;
    p.input("image", {1, 3, height, width});
    p.constString("fp16", "fp16");
    p.op("cast", {{"x", {"image"}}, {"dtype", {"fp16"}}}, "x16", coreml::mil::FLOAT16);
    p.constInts("swap", {3}, {2, 1, 0});
    p.constInt("axis", 1);
    p.op("gather", {{"x", {"x16"}}, {"indices", {"swap"}}, {"axis", {"axis"}}}, "rgb");
    p.constFloat("in_scale", {}, {1.0f / 255.0f}, Precision::fp16);
    p.op("mul", {{"x", {"rgb"}}, {"y", {"in_scale"}}}, "scaled");
    p.constFloat("w1", {8, 3, 3, 3}, randomValues(8 * 27, 0.3f, 1), Precision::fp16, Storage::blob);
    p.constFloat("b1", {8}, randomValues(8, 0.1f, 2), Precision::fp16, Storage::blob);
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
    p.constFloat("slopes", {8}, randomValues(8, 0.3f, 3), Precision::fp16, Storage::blob);
    p.op("prelu", {{"x", {"f1"}}, {"alpha", {"slopes"}}}, "a1");
    p.constFloat("w2", {12, 8, 3, 3}, randomValues(12 * 72, 0.15f, 4), Precision::fp32, Storage::blob);
    p.constFloat("b2", {12}, randomValues(12, 0.1f, 5), Precision::fp32, Storage::immediate);
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

    std::shared_ptr<Model> load(const coreml::Model& model, const std::string& weights, ComputeUnits units) {
        const auto package = folder_.path() / ("Prog" + std::to_string(counter_++) + ".mlpackage");
        writePackage(package, model, weights);
        compiled_.push_back(Model::compileModel(package));
        return Model::load(compiled_.back(), {units});
    }
    std::shared_ptr<Model> loadProgram(ComputeUnits units, int width = 10, int height = 8,
                                       bool flexible = false) {
        const auto [model, weights] = programPackage(width, height, flexible);
        return load(model, weights, units);
    }

    TemporaryFolder folder_;
    std::vector<std::filesystem::path> compiled_;
    int counter_ = 0;
};

TEST_F(PredictionTest, GpuPredictionsMatchTheCpuReference) {
    const auto gpu = loadProgram(ComputeUnits::cpuAndGPU), cpu = loadProgram(ComputeUnits::cpuOnly);
    ASSERT_TRUE(gpu->runsOnGPU());
    for (uint32_t seed : {11u, 12u}) {
        const PixelBuffer image = randomImage(10, 8, seed), expected = predict(*cpu, image);
        const auto [worst, mean] = difference(predict(*gpu, image), expected);
        EXPECT_LE(worst, 2);
        EXPECT_LT(mean, 0.25);
        // The network did something: not a flat colour, and alpha opaque.
        const auto* p = static_cast<const uint8_t*>(expected.baseAddress());
        EXPECT_GT(std::set<int>(p, p + 4 * 20).size(), 20u);
        for (size_t x = 0; x < 20; ++x) EXPECT_EQ(p[4 * x + 3], 255);
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
    std::vector<std::future<int>> mismatches;
    for (int t = 0; t < threads; ++t)
        mismatches.push_back(std::async(std::launch::async, [&, t] {
            int wrong = 0;
            for (size_t i = size_t(t * rounds); i < size_t((t + 1) * rounds); ++i) try {
                    PredictionOptions options;
                    options.outputBackings["output"] = PixelBuffer::create(48, 40, pixelFormat32BGRA);
                    const PixelBuffer out = predict(*model, inputs[i], options);
                    wrong +=
                        !(out == options.outputBackings["output"]) || difference(out, expected[i]).first != 0;
                } catch (...) {
                    ++wrong;
                }
            return wrong;
        }));
    for (auto& m : mismatches) EXPECT_EQ(m.get(), 0);
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
    const auto model = loadProgram(ComputeUnits::cpuAndGPU);
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
    const auto loaded = load(arrays, {}, ComputeUnits::cpuAndGPU);
    EXPECT_EQ(loaded->modelDescription().inputDescriptions[0].type, FeatureType::multiArray);
    EXPECT_THAT(errorOf([&] { predict(*loaded, randomImage(8, 8, 1)); }).what(), HasSubstr("not an image"));
}

// An intermediate value too large for the memory there is: the prediction error, not an escaping
// std::bad_alloc. Nearest upsampling by 4096 makes a 12.9 GB value that a strided convolution
// brings back to the image's size; the address space is limited so that no such memory is ever
// touched, whatever the system's overcommit policy.
TEST_F(PredictionTest, RunningOutOfMemoryIsAPredictionError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve the address space this test limits";
#endif
    ProgramWriter p;
    p.input("image", {1, 3, 8, 8});
    p.constFloatScalar("big", 64);
    std::string x = "image";
    for (const char* out : {"large", "huge"}) {
        p.op("upsample_nearest_neighbor",
             {{"x", {x}}, {"scale_factor_height", {"big"}}, {"scale_factor_width", {"big"}}}, out);
        x = out;
    }
    p.constFloat("w", {3, 3, 1, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    p.constInts("strides", {2}, {4096, 4096});
    p.op("conv", {{"x", {"huge"}}, {"weight", {"w"}}, {"strides", {"strides"}}}, "output");
    p.output("output");
    coreml::Model model = programModel(p);
    addImage(model.mutable_description()->mutable_input(), "image", 8, 8);
    addImage(model.mutable_description()->mutable_output(), "output", 8, 8);
    const auto loaded = load(model, {}, ComputeUnits::cpuOnly);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit limited = saved;
    limited.rlim_cur =
        std::min<rlim_t>(saved.rlim_cur, rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(4) << 30));
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
    const PlatformError error = errorOf([&] { predict(*loaded, randomImage(8, 8, 1)); });
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(error.domain(), errorDomain);
    EXPECT_EQ(error.code(), errorPrediction);
}

TEST_F(PredictionTest, BuffersAreReleasedWithTheModel) {
    const size_t before = lv_pixel_buffer_live_count();
    {
        const auto model = loadProgram(ComputeUnits::cpuAndGPU);
        for (int i = 0; i < 3; ++i) predict(*model, randomImage(10, 8, uint32_t(i)));
    }
    EXPECT_EQ(lv_pixel_buffer_live_count(), before);
}

// How ML program operations and neural-network layers are read: each model is predicted and
// compared with the same network written directly as the runtime's graph and run by the CPU
// reference.

using namespace detail;

constexpr int W = 9, H = 7;

int node(Graph& g, Operation op, std::vector<int> inputs) {
    const int out = g.addValue("v");
    g.nodes.push_back(Node{"n", std::move(op), std::move(inputs), out});
    return out;
}

class OperationImportTest : public ::testing::Test {
protected:
    // `write` adds operations from "image" to "output"; `expected` builds the same network from
    // value 0 (the RGB input) and returns the output value. Output sizes are left to the network.
    void check(const std::function<void(ProgramWriter&)>& write, const std::function<int(Graph&)>& expected) {
        ProgramWriter p;
        p.input("image", {1, 3, H, W});
        write(p);
        p.output("output");
        compare(withImages(programModel(p)), p.weightBytes(), expected);
    }
    void check(const std::function<void(ProgramWriter&)>& write, Operation expected) {
        check(write, [&](Graph& g) { return node(g, expected, {0}); });
    }

    // The same for a neural network: `write` adds layers from "image" to "output".
    void checkNetwork(const std::function<void(coreml::Model&)>& write,
                      const std::function<int(Graph&)>& expected,
                      coreml::ImageFeatureType::ColorSpace space = coreml::ImageFeatureType::RGB) {
        coreml::Model model = withImages(neuralNetworkModel(), space);
        write(model);
        compare(model, {}, expected);
    }

    void checkNetwork(const std::function<void(coreml::Model&)>& write, Operation expected) {
        checkNetwork(write, [&](Graph& g) { return node(g, expected, {0}); });
    }

    static coreml::Model
    withImages(coreml::Model model,
               coreml::ImageFeatureType::ColorSpace space = coreml::ImageFeatureType::RGB) {
        addImage(model.mutable_description()->mutable_input(), "image", W, H, space);
        addImage(model.mutable_description()->mutable_output(), "output", 0, 0);
        return model;
    }

    void compare(const coreml::Model& model, const std::string& weights,
                 const std::function<int(Graph&)>& expected) {
        const auto package = folder_.path() / ("P" + std::to_string(counter_++) + ".mlpackage");
        writePackage(package, model, weights);
        const auto compiled = Model::compileModel(package);
        const auto loaded = Model::load(compiled, {ComputeUnits::cpuOnly});
        std::filesystem::remove_all(compiled);
        const PixelBuffer image = randomImage(W, H, uint32_t(counter_));
        const PixelBuffer actual = predict(*loaded, image);

        Graph g;
        g.inputs = {GraphInput{"image", g.addValue("image")}};
        g.outputs = {GraphOutput{"output", expected(g)}}; // may also set the input's order and scaling
        const Tensor reference = runOnCpu(g, {tensorFromImage(image, g.inputs.at(0))}).at(0);
        PixelBuffer wanted =
            PixelBuffer::create(size_t(reference.shape.w), size_t(reference.shape.h), pixelFormat32BGRA);
        imageFromTensor(reference, ChannelOrder::rgb, wanted);
        EXPECT_EQ(difference(actual, wanted).first, 0);
    }

    TemporaryFolder folder_;
    int counter_ = 0;
};

TEST_F(OperationImportTest, ProgramOperations) {
    // Pad amounts run from the outermost axis.
    check(
        [](ProgramWriter& p) {
            p.constInts("pad", {8}, {0, 0, 0, 0, 1, 2, 3, 0});
            p.constString("mode", "reflect");
            p.op("pad", {{"x", {"image"}}, {"pad", {"pad"}}, {"mode", {"mode"}}}, "output");
        },
        Pad{PadMode::reflect, 0, 1, 2, 3, 0});

    // Masks and negative indices of a slice.
    check(
        [](ProgramWriter& p) {
            p.constInts("begin", {4}, {0, 0, 1, -5});
            p.constInts("end", {4}, {1, 3, 0, 0});
            p.constInts("stride", {4}, {1, 1, 2, 1});
            p.constBools("end_mask", {4}, {false, false, true, true});
            p.op("slice_by_index",
                 {{"x", {"image"}},
                  {"begin", {"begin"}},
                  {"end", {"end"}},
                  {"stride", {"stride"}},
                  {"end_mask", {"end_mask"}}},
                 "output");
        },
        Slice{{0, 1, -5}, {3, std::nullopt, std::nullopt}, {1, 2, 1}});

    // A negative axis counts from the last.
    check(
        [](ProgramWriter& p) {
            p.constInt("axis", -1);
            p.op("concat", {{"values", {"image", "image"}}, {"axis", {"axis"}}}, "output");
        },
        [](Graph& g) {
            return node(g, Concat{axisW}, {0, 0});
        });

    // Custom padding (top, bottom, left, right), strides, dilations and groups.
    Conv c;
    c.inputChannels = c.outputChannels = c.groups = 3;
    c.kernelHeight = 2, c.kernelWidth = 3, c.strideY = 2, c.dilationX = 2;
    c.padTop = 1, c.padLeft = 2, c.padRight = 1;
    c.weights = randomValues(3 * 1 * 2 * 3, 0.5f, 5);
    c.bias = {10, 20, 30};
    check(
        [&](ProgramWriter& p) {
            p.constFloat("w", {3, 1, 2, 3}, c.weights, Precision::fp32, Storage::blob);
            p.constFloat("b", {3}, c.bias);
            p.constString("custom", "custom");
            p.constInts("pad", {4}, {1, 0, 2, 1});
            p.constInts("strides", {2}, {2, 1});
            p.constInts("dilations", {2}, {1, 2});
            p.constInt("groups", 3);
            p.op("conv",
                 {{"x", {"image"}},
                  {"weight", {"w"}},
                  {"bias", {"b"}},
                  {"pad_type", {"custom"}},
                  {"pad", {"pad"}},
                  {"strides", {"strides"}},
                  {"dilations", {"dilations"}},
                  {"groups", {"groups"}}},
                 "output");
        },
        c);

    // Upsampling flags to sampling grids.
    struct Case {
        bool bilinear;
        std::optional<bool> alignCorners, halfPixel;
        Sampling sampling;
    };
    for (const Case& k : {Case{true, std::nullopt, std::nullopt, Sampling::alignCorners},
                          Case{true, false, std::nullopt, Sampling::halfPixel},
                          Case{true, false, false, Sampling::asymmetric},
                          Case{false, std::nullopt, std::nullopt, Sampling::asymmetric}})
        check(
            [&](ProgramWriter& p) {
                p.constInt("sh", 2);
                p.constFloatScalar("sw", 1.5f);
                std::vector<std::pair<std::string, std::vector<std::string>>> inputs = {
                    {"x", {"image"}}, {"scale_factor_height", {"sh"}}, {"scale_factor_width", {"sw"}}};
                if (k.alignCorners) inputs.push_back({"align_corners", {p.constBool("ac", *k.alignCorners)}});
                if (k.halfPixel) inputs.push_back({"half_pixel_centers", {p.constBool("hp", *k.halfPixel)}});
                p.op(k.bilinear ? "upsample_bilinear" : "upsample_nearest_neighbor", inputs, "output");
            },
            Upsample{k.bilinear, 2, 1.5f, k.sampling});
}

TEST_F(OperationImportTest, NetworkArithmeticConcatenationAndPreprocessing) {
    checkNetwork(
        [](coreml::Model& m) {
            auto* n = m.mutable_neuralnetwork();
            auto* pre = n->add_preprocessing();
            pre->set_featurename("image");
            pre->mutable_scaler()->set_channelscale(0.5f);
            pre->mutable_scaler()->set_bluebias(10);
            pre->mutable_scaler()->set_greenbias(20);
            pre->mutable_scaler()->set_redbias(30);
            addLayer(n, "neg", {"image"}, "shifted")->mutable_add()->set_alpha(-60);
            addLayer(n, "leaky", {"shifted"}, "l")
                ->mutable_activation()
                ->mutable_leakyrelu()
                ->set_alpha(0.5f);
            addLayer(n, "sig", {"l"}, "s")->mutable_activation()->mutable_sigmoid();
            addLayer(n, "prod", {"s", "image"}, "p")->mutable_multiply();
            addLayer(n, "sum", {"p", "image", "l"}, "sum")->mutable_add();
            addLayer(n, "cat", {"sum", "image"}, "six")->mutable_concat();
            auto* slice = addLayer(n, "last", {"six"}, "output")->mutable_slice();
            slice->set_startindex(2);
            slice->set_endindex(5);
            slice->set_stride(1);
        },
        [](Graph& g) {
            g.inputs[0] = GraphInput{"image", 0, ChannelOrder::bgr, 0.5f, {10, 20, 30}};
            const int shifted = node(g, Binary{BinaryKind::add, Constant{{1, 1, 1}, {-60}}}, {0});
            const int l = node(g, Activation{ActivationKind::leakyRelu, 0.5f, {}}, {shifted});
            const int s = node(g, Activation{ActivationKind::sigmoid, 0, {}}, {l});
            const int p = node(g, Binary{BinaryKind::mul, std::nullopt}, {s, 0});
            const int partial = node(g, Binary{BinaryKind::add, std::nullopt}, {p, 0});
            const int sum = node(g, Binary{BinaryKind::add, std::nullopt}, {partial, l});
            const int six = node(g, Concat{axisC}, {sum, 0});
            Slice last;
            last.begin[axisC] = 2;
            last.end[axisC] = 5;
            return node(g, last, {six});
        },
        coreml::ImageFeatureType::BGR);

    // Fractional bilinear upsampling without aligned corners samples at pixel centres.
    checkNetwork(
        [](coreml::Model& m) {
            auto* up = addLayer(m.mutable_neuralnetwork(), "up", {"image"}, "output")->mutable_upsample();
            up->add_fractionalscalingfactor(1.5f);
            up->add_fractionalscalingfactor(2);
            up->set_mode(coreml::UpsampleLayerParams::BILINEAR);
            up->set_linearupsamplemode(coreml::UpsampleLayerParams::ALIGN_CORNERS_FALSE);
        },
        Upsample{true, 1.5f, 2, Sampling::halfPixel});

    // Depth to space after a 1x1 convolution to twelve channels.
    const std::vector<float> weights = randomValues(12 * 3, 0.5f, 8);
    checkNetwork(
        [&](coreml::Model& m) {
            addConvolution(m.mutable_neuralnetwork(), "conv", "image", "twelve", 3, 12, 1, weights, {});
            auto* d2s =
                addLayer(m.mutable_neuralnetwork(), "d2s", {"twelve"}, "output")->mutable_reorganizedata();
            d2s->set_mode(coreml::ReorganizeDataLayerParams::DEPTH_TO_SPACE);
            d2s->set_blocksize(2);
        },
        [&](Graph& g) {
            Conv c;
            c.inputChannels = 3;
            c.outputChannels = 12;
            c.weights = weights;
            return node(g, PixelShuffle{2, ShuffleOrder::depthToSpace}, {node(g, c, {0})});
        });
}

} // namespace
} // namespace lumavane::ml
