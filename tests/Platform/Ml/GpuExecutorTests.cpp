// Every operation on the GPU layer against the float32 CPU reference. Inputs are rounded to half
// precision first (feature images store halves), so what remains is the GPU's own rounding.

#include <cmath>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Ml/CpuExecutor.hpp"
#include "Platform/Ml/GpuExecutor.hpp"
#include "Platform/Ml/Half.hpp"
#include "Platform/Ml/ModelWriter.hpp"

namespace lumavane::ml::detail {
namespace {

using fixtures::randomValues;

Tensor randomTensor(Shape shape, uint32_t seed, float scale = 2.0f) {
    Tensor t{shape, randomValues(shape.count(), scale, seed)};
    for (float& v : t.data) v = halfToFloat(floatToHalf(v));
    return t;
}

// Largest difference relative to the reference value (plus 0.01, so values near zero are held to
// about 2e-5 absolute rather than to nothing).
float relativeError(const Tensor& reference, const Tensor& gpu) {
    EXPECT_EQ(reference.shape, gpu.shape);
    float worst = 0;
    for (size_t i = 0; i < std::min(reference.data.size(), gpu.data.size()); ++i) {
        const float e = std::abs(reference.data[i] - gpu.data[i]) / (std::abs(reference.data[i]) + 0.01f);
        worst = std::isnan(e) ? INFINITY : std::max(worst, e);
    }
    return worst;
}

// Largest difference relative to the largest reference magnitude: for chains of operations,
// where rounding between operations shows most in values that cancel.
float rangeError(const Tensor& reference, const Tensor& gpu) {
    float range = 0, worst = 0;
    for (float v : reference.data) range = std::max(range, std::abs(v));
    for (size_t i = 0; i < std::min(reference.data.size(), gpu.data.size()); ++i) {
        const float e = std::abs(reference.data[i] - gpu.data[i]);
        worst = std::isnan(e) ? INFINITY : std::max(worst, e);
    }
    return worst / std::max(range, 1e-6f);
}

class GpuExecutorTest : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = gpu::Device::systemDefault();
        if (!device_) GTEST_SKIP() << "no OpenCL device";
    }

    // Runs a graph both ways and returns the GPU executor for further questions.
    std::unique_ptr<GpuExecutor> check(const Graph& graph, const std::vector<Tensor>& inputs,
                                       float tolerance = 2e-3f, bool chained = false) {
        auto shared = std::make_shared<const Graph>(graph);
        auto executor = std::make_unique<GpuExecutor>(shared, device_);
        const std::vector<Tensor> expected = runOnCpu(graph, inputs);
        const std::vector<Tensor> actual = executor->runTensors(inputs);
        EXPECT_EQ(expected.size(), actual.size());
        for (size_t i = 0; i < expected.size() && i < actual.size(); ++i)
            EXPECT_LE(chained ? rangeError(expected[i], actual[i]) : relativeError(expected[i], actual[i]),
                      tolerance)
                << "output " << i << " " << describe(expected[i].shape);
        return executor;
    }

    // x -> op -> y
    std::unique_ptr<GpuExecutor> checkOne(Operation op, Shape input, float tolerance = 2e-3f,
                                          uint32_t seed = 1) {
        Graph g;
        g.addValue("x");
        g.addValue("y");
        g.inputs = {GraphInput{"x", 0}};
        g.nodes.push_back(Node{"op", std::move(op), {0}, 1});
        g.outputs = {GraphOutput{"y", 1}};
        return check(g, {randomTensor(input, seed)}, tolerance);
    }

    // (a, b) -> op -> y
    void checkTwo(Operation op, Shape a, Shape b) {
        Graph g;
        g.addValue("a");
        g.addValue("b");
        g.addValue("y");
        g.inputs = {GraphInput{"a", 0}, GraphInput{"b", 1}};
        g.nodes.push_back(Node{"op", std::move(op), {0, 1}, 2});
        g.outputs = {GraphOutput{"y", 2}};
        check(g, {randomTensor(a, 1), randomTensor(b, 2)});
    }

    static Conv conv(int in, int out, int kh, int kw, uint32_t seed) {
        Conv c;
        c.inputChannels = in;
        c.outputChannels = out;
        c.kernelHeight = kh;
        c.kernelWidth = kw;
        c.weights = randomValues(size_t(in * out * kh * kw), 0.5f, seed);
        c.bias = randomValues(size_t(out), 0.5f, seed + 1);
        return c;
    }

    std::shared_ptr<gpu::Device> device_;
};

TEST_F(GpuExecutorTest, ConvolutionsOnTheLayersConvolution) {
    Conv same3 = conv(3, 8, 3, 3, 10);
    same3.padRule = PadRule::sameBottomRightHeavy;
    EXPECT_EQ(checkOne(same3, {3, 9, 11})->layerConvolutionCount(), 1u);

    Conv wide = conv(10, 14, 3, 3, 11); // several slices, counts not multiples of four
    wide.padTop = wide.padLeft = 1;
    wide.padBottom = wide.padRight = 1;
    EXPECT_EQ(checkOne(wide, {10, 7, 13}, 3e-3f)->layerConvolutionCount(), 1u);

    checkOne(conv(5, 6, 1, 1, 12), {5, 6, 6});

    Conv asymmetric = conv(4, 4, 5, 5, 13); // valid with uneven explicit padding
    asymmetric.padTop = 2;
    asymmetric.padLeft = 1;
    asymmetric.padRight = 3;
    EXPECT_EQ(checkOne(asymmetric, {4, 10, 9})->layerConvolutionCount(), 1u);

    Conv noBias = conv(3, 3, 3, 3, 14);
    noBias.bias.clear();
    noBias.padRule = PadRule::sameTopLeftHeavy;
    checkOne(noBias, {3, 5, 5});
}

// Wide layers run on the blocked kernel: widths off its 4-pixel blocks, channel counts
// off the 16-channel vectors leave padded lanes, and the padding moves the input patches.
TEST_F(GpuExecutorTest, BlockedConvolutions) {
    struct Case {
        int in, out, height, width, top, bottom, left, right;
        std::optional<Activation> activation;
    };
    const Case cases[] = {
        {64, 64, 9, 11, 1, 1, 1, 1, Activation{ActivationKind::prelu, 0, randomValues(64, 0.5f, 60)}},
        {18, 20, 7, 5, 1, 1, 1, 1, Activation{ActivationKind::relu, 0, {}}},
        {32, 48, 6, 6, 0, 0, 0, 0, std::nullopt},
        {16, 17, 5, 8, 2, 0, 0, 1, Activation{ActivationKind::leakyRelu, 0.2f, {}}},
    };
    for (const Case& k : cases) {
        Graph g;
        g.addValue("x");
        g.addValue("c");
        g.inputs = {GraphInput{"x", 0}};
        Conv c = conv(k.in, k.out, 3, 3, uint32_t(61 + k.in));
        for (float& w : c.weights) w *= 0.3f;
        c.padTop = k.top, c.padBottom = k.bottom, c.padLeft = k.left, c.padRight = k.right;
        g.nodes.push_back(Node{"conv", c, {0}, 1});
        g.outputs = {GraphOutput{"c", 1}};
        if (k.activation) {
            g.addValue("y");
            g.nodes.push_back(Node{"act", *k.activation, {1}, 2});
            g.outputs = {GraphOutput{"y", 2}};
        }
        const auto executor = check(g, {randomTensor({k.in, k.height, k.width}, 62)}, 2e-3f, true);
        EXPECT_EQ(executor->blockedConvolutionCount(), 1u) << k.in << " to " << k.out;
        EXPECT_EQ(executor->fusedActivationCount(), k.activation ? 1u : 0u);
    }
}

TEST_F(GpuExecutorTest, ConvolutionsTheLayerDoesNotRun) {
    Conv strided = conv(6, 5, 3, 3, 20);
    strided.strideX = strided.strideY = 2;
    strided.padRule = PadRule::sameBottomRightHeavy;
    EXPECT_EQ(checkOne(strided, {6, 9, 10})->layerConvolutionCount(), 0u);

    Conv even = conv(3, 4, 2, 2, 21);
    checkOne(even, {3, 7, 7});

    Conv dilated = conv(4, 4, 3, 3, 22);
    dilated.dilationX = dilated.dilationY = 2;
    dilated.padRule = PadRule::sameBottomRightHeavy;
    checkOne(dilated, {4, 8, 8});

    Conv grouped = conv(8, 6, 3, 3, 23);
    grouped.groups = 2;
    grouped.weights = randomValues(6 * 4 * 9, 0.5f, 24);
    grouped.padTop = grouped.padBottom = grouped.padLeft = grouped.padRight = 1;
    checkOne(grouped, {8, 6, 5});
}

TEST_F(GpuExecutorTest, ActivationsAloneAndFoldedIntoConvolutions) {
    for (auto a : {Activation{ActivationKind::relu, 0, {}}, Activation{ActivationKind::leakyRelu, 0.2f, {}},
                   Activation{ActivationKind::prelu, 0, randomValues(6, 0.5f, 30)},
                   Activation{ActivationKind::prelu, 0, {0.3f}}, Activation{ActivationKind::sigmoid, 0, {}},
                   Activation{ActivationKind::silu, 0, {}}})
        checkOne(a, {6, 5, 7});

    // conv -> activation: folded when the activation is the convolution's only reader.
    for (auto a : {Activation{ActivationKind::relu, 0, {}}, Activation{ActivationKind::leakyRelu, 0.1f, {}},
                   Activation{ActivationKind::prelu, 0, randomValues(6, 0.5f, 31)},
                   Activation{ActivationKind::prelu, 0, {0.25f}}}) {
        Graph g;
        g.addValue("x");
        g.addValue("c");
        g.addValue("y");
        g.inputs = {GraphInput{"x", 0}};
        Conv c = conv(3, 6, 3, 3, 32);
        c.padRule = PadRule::sameBottomRightHeavy;
        g.nodes.push_back(Node{"conv", c, {0}, 1});
        g.nodes.push_back(Node{"act", a, {1}, 2});
        g.outputs = {GraphOutput{"y", 2}};
        EXPECT_EQ(check(g, {randomTensor({3, 6, 5}, 33)})->fusedActivationCount(), 1u);
    }

    // Not folded when the convolution's result is read elsewhere too (a residual).
    Graph g;
    g.addValue("x");
    g.addValue("c");
    g.addValue("r");
    g.addValue("y");
    g.inputs = {GraphInput{"x", 0}};
    Conv c = conv(4, 4, 3, 3, 34);
    c.padRule = PadRule::sameBottomRightHeavy;
    g.nodes.push_back(Node{"conv", c, {0}, 1});
    g.nodes.push_back(Node{"act", Activation{ActivationKind::relu, 0, {}}, {1}, 2});
    g.nodes.push_back(Node{"sum", Binary{BinaryKind::add, std::nullopt}, {1, 2}, 3});
    g.outputs = {GraphOutput{"y", 3}};
    EXPECT_EQ(check(g, {randomTensor({4, 5, 5}, 35)})->fusedActivationCount(), 0u);
}

TEST_F(GpuExecutorTest, ArithmeticWithValuesAndConstants) {
    checkTwo(Binary{BinaryKind::add, std::nullopt}, {6, 5, 4}, {6, 5, 4});
    checkTwo(Binary{BinaryKind::mul, std::nullopt}, {6, 5, 4}, {6, 5, 4});
    checkTwo(Binary{BinaryKind::mul, std::nullopt}, {1, 5, 4}, {6, 5, 4}); // one channel over six
    checkTwo(Binary{BinaryKind::add, std::nullopt}, {6, 5, 4}, {6, 1, 1});
    checkOne(Binary{BinaryKind::add, Constant{{1, 1, 1}, {0.75f}}}, {5, 4, 4});
    checkOne(Binary{BinaryKind::mul, Constant{{5, 1, 1}, randomValues(5, 2, 40)}}, {5, 4, 4});
    checkOne(Binary{BinaryKind::mul, Constant{{1, 1, 4}, randomValues(4, 2, 41)}}, {5, 3, 4});
    checkOne(Binary{BinaryKind::add, Constant{{3, 3, 4}, randomValues(36, 2, 42)}}, {3, 3, 4});
    checkOne(Binary{BinaryKind::add, Constant{{3, 1, 1}, {1, 2, 3}}},
             {1, 3, 4}); // the constant widens the value
}

TEST_F(GpuExecutorTest, RearrangementsAndResampling) {
    checkOne(PixelShuffle{2, ShuffleOrder::pixelShuffle}, {12, 4, 5});
    checkOne(PixelShuffle{3, ShuffleOrder::pixelShuffle}, {27, 3, 2});
    checkOne(PixelShuffle{2, ShuffleOrder::depthToSpace}, {24, 3, 3});

    checkOne(Upsample{false, 2, 2, Sampling::asymmetric}, {6, 4, 5});
    checkOne(Upsample{false, 1.5f, 3, Sampling::asymmetric}, {3, 4, 5});
    for (Sampling s : {Sampling::alignCorners, Sampling::halfPixel, Sampling::asymmetric}) {
        checkOne(Upsample{true, 2, 2, s}, {6, 4, 5});
        checkOne(Upsample{true, 2.5f, 1.5f, s}, {3, 3, 4});
    }

    checkOne(Pad{PadMode::constant, 0.5f, 1, 2, 3, 0}, {5, 4, 4});
    checkOne(Pad{PadMode::reflect, 0, 2, 1, 0, 3}, {5, 4, 5});
    checkOne(Pad{PadMode::replicate, 0, 3, 0, 1, 4}, {3, 2, 3});
}

TEST_F(GpuExecutorTest, SlicesGathersAndConcatenations) {
    Slice s;
    s.begin = {1, std::nullopt, -4};
    s.end = {6, -1, std::nullopt};
    s.stride = {2, 1, 1};
    checkOne(s, {7, 6, 6});
    Slice rows;
    rows.stride = {1, 2, 3};
    checkOne(rows, {4, 7, 8});

    checkOne(GatherChannels{{2, 1, 0}}, {3, 4, 4});
    checkOne(GatherChannels{{5, -1, 0, 2, 2, 7, 1}}, {8, 3, 3});

    for (int axis : {int(axisC), int(axisH), int(axisW)}) {
        Graph g;
        g.addValue("a");
        g.addValue("b");
        g.addValue("c");
        g.addValue("y");
        g.inputs = {GraphInput{"a", 0}, GraphInput{"b", 1}, GraphInput{"c", 2}};
        g.nodes.push_back(Node{"cat", Concat{axis}, {0, 1, 0, 2}, 3});
        g.outputs = {GraphOutput{"y", 3}};
        Shape a{3, 4, 5}, b = a, c = a;
        (axis == axisC ? b.c : axis == axisH ? b.h : b.w) = 6;
        (axis == axisC ? c.c : axis == axisH ? c.h : c.w) = 5;
        check(g, {randomTensor(a, 1), randomTensor(b, 2), randomTensor(c, 3)});
    }
}

// A small super-resolution body: conv, PReLU, a residual block, pixel shuffle, in one graph.
TEST_F(GpuExecutorTest, ChainedNetworkReusesIntermediateImages) {
    Graph g;
    auto value = [&](const char* name) { return g.addValue(name); };
    const int x = value("x"), f = value("f"), a = value("a"), r1 = value("r1"), r2 = value("r2"),
              s = value("s"), u = value("u"), y = value("y");
    g.inputs = {GraphInput{"x", x}};
    Conv head = conv(3, 16, 3, 3, 50), body = conv(16, 16, 3, 3, 51), tail = conv(16, 12, 3, 3, 52);
    for (Conv* c : {&head, &body, &tail}) {
        c->padRule = PadRule::sameBottomRightHeavy;
        for (float& w : c->weights) w *= 0.3f;
    }
    g.nodes.push_back(Node{"head", head, {x}, f});
    g.nodes.push_back(Node{"act", Activation{ActivationKind::prelu, 0, randomValues(16, 0.3f, 53)}, {f}, a});
    g.nodes.push_back(Node{"body", body, {a}, r1});
    g.nodes.push_back(Node{"res", Binary{BinaryKind::add, std::nullopt}, {a, r1}, r2});
    g.nodes.push_back(Node{"tail", tail, {r2}, s});
    g.nodes.push_back(Node{"shuffle", PixelShuffle{2, ShuffleOrder::pixelShuffle}, {s}, u});
    g.nodes.push_back(Node{"scale", Binary{BinaryKind::mul, Constant{{1, 1, 1}, {0.5f}}}, {u}, y});
    g.outputs = {GraphOutput{"y", y}};
    check(g, {randomTensor({3, 12, 10}, 54, 1.0f)}, 2e-3f, true);
}

} // namespace
} // namespace lumavane::ml::detail
