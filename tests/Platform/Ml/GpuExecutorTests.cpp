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

// Largest difference relative to the largest reference magnitude (values that cancel show the
// rounding between operations most), or, for single operations, relative to each value plus 0.01.
float error(const Tensor& reference, const Tensor& gpu, bool chained) {
    EXPECT_EQ(reference.shape, gpu.shape);
    float range = 0, worst = 0;
    for (float v : reference.data) range = std::max(range, std::abs(v));
    for (size_t i = 0; i < std::min(reference.data.size(), gpu.data.size()); ++i) {
        float e = std::abs(reference.data[i] - gpu.data[i]);
        if (!chained) e /= std::abs(reference.data[i]) + 0.01f;
        worst = std::isnan(e) ? INFINITY : std::max(worst, e);
    }
    return chained ? worst / std::max(range, 1e-6f) : worst;
}

Conv conv(int in, int out, int kernel, uint32_t seed, int pad = 0) {
    Conv c;
    c.inputChannels = in;
    c.outputChannels = out;
    c.kernelHeight = c.kernelWidth = kernel;
    c.padTop = c.padBottom = c.padLeft = c.padRight = pad;
    c.weights = randomValues(size_t(in * out * kernel * kernel), 0.5f, seed);
    c.bias = randomValues(size_t(out), 0.5f, seed + 1);
    return c;
}

// A graph of operations on the inputs' values, each node reading the values it names.
struct Chain {
    Graph g;
    explicit Chain(int inputs) {
        for (int i = 0; i < inputs; ++i) g.inputs.push_back(GraphInput{"in", g.addValue("in")});
    }
    int add(Operation op, std::vector<int> inputs) {
        const int out = g.addValue("v");
        g.nodes.push_back(Node{"n", std::move(op), std::move(inputs), out});
        g.outputs = {GraphOutput{"out", out}};
        return out;
    }
};

class GpuExecutorTest : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = gpu::Device::systemDefault();
        if (!device_) GTEST_SKIP() << "no OpenCL device";
    }

    // Runs a graph both ways and returns the GPU executor for further questions.
    std::unique_ptr<GpuExecutor> check(const Graph& graph, const std::vector<Tensor>& inputs,
                                       bool chained = false, float tolerance = 2e-3f) {
        auto executor = std::make_unique<GpuExecutor>(std::make_shared<const Graph>(graph), device_);
        const std::vector<Tensor> expected = runOnCpu(graph, inputs), actual = executor->runTensors(inputs);
        EXPECT_EQ(expected.size(), actual.size());
        for (size_t i = 0; i < expected.size() && i < actual.size(); ++i)
            EXPECT_LE(error(expected[i], actual[i], chained), tolerance) << describe(expected[i].shape);
        return executor;
    }

    std::unique_ptr<GpuExecutor> checkOne(Operation op, Shape input, float tolerance = 2e-3f) {
        Chain c(1);
        c.add(std::move(op), {0});
        return check(c.g, {randomTensor(input, 1)}, false, tolerance);
    }

    std::shared_ptr<gpu::Device> device_;
};

TEST_F(GpuExecutorTest, Convolutions) {
    // Wide layers run on the blocked kernel (widths off its pixel blocks, channel counts off its
    // 16-channel vectors, padding that moves the window), the rest on the layer's convolution
    // or, strided, dilated, grouped or even-sized, on the runtime's own kernel.
    Conv same3 = conv(3, 8, 3, 10), wide = conv(10, 14, 3, 11, 1), asymmetric = conv(4, 4, 5, 13);
    same3.padRule = PadRule::sameBottomRightHeavy;
    asymmetric.padTop = 2, asymmetric.padLeft = 1, asymmetric.padRight = 3, asymmetric.padBottom = 0;
    auto quiet = [](Conv c) { // wide sums stay in a sensible range
        for (float& w : c.weights) w *= 0.3f;
        return c;
    };
    Conv blocked64 = quiet(conv(64, 64, 3, 14, 1)), blocked18 = quiet(conv(18, 20, 3, 15, 1));
    Conv valid = quiet(conv(32, 48, 3, 16)), uneven = quiet(conv(16, 17, 3, 17));
    uneven.padTop = 2, uneven.padRight = 1, uneven.padBottom = uneven.padLeft = 0;
    Conv strided = conv(6, 5, 3, 20), dilated = conv(4, 4, 3, 22), grouped = conv(8, 6, 3, 23, 1);
    strided.strideX = strided.strideY = 2;
    strided.padRule = dilated.padRule = PadRule::sameBottomRightHeavy;
    dilated.dilationX = dilated.dilationY = 2;
    grouped.groups = 2;
    grouped.weights = randomValues(6 * 4 * 9, 0.5f, 24);
    Conv noBias = conv(3, 3, 3, 25);
    noBias.bias.clear();
    noBias.padRule = PadRule::sameTopLeftHeavy;
    struct Case {
        Conv conv;
        Shape input;
        size_t layer, blocked;
    };
    for (const Case& k :
         {Case{same3, {3, 9, 11}, 1, 0}, Case{wide, {10, 7, 13}, 1, 0}, Case{asymmetric, {4, 10, 9}, 1, 0},
          Case{conv(5, 6, 1, 12), {5, 6, 6}, 1, 0}, Case{noBias, {3, 5, 5}, 1, 0},
          Case{blocked64, {64, 9, 11}, 0, 1}, Case{blocked18, {18, 7, 5}, 0, 1},
          Case{valid, {32, 6, 6}, 0, 1}, Case{uneven, {16, 5, 8}, 0, 1}, Case{strided, {6, 9, 10}, 0, 0},
          Case{conv(3, 4, 2, 21), {3, 7, 7}, 0, 0}, Case{dilated, {4, 8, 8}, 0, 0},
          Case{grouped, {8, 6, 5}, 0, 0}}) {
        Chain c(1);
        c.add(k.conv, {0});
        const auto executor = check(c.g, {randomTensor(k.input, 2)}, k.blocked == 1);
        EXPECT_EQ(executor->layerConvolutionCount(), k.layer) << describe(k.input);
        EXPECT_EQ(executor->blockedConvolutionCount(), k.blocked) << describe(k.input);
    }
}

TEST_F(GpuExecutorTest, ActivationsAloneAndFoldedIntoConvolutions) {
    for (auto a : {Activation{ActivationKind::relu, 0, {}}, Activation{ActivationKind::leakyRelu, 0.2f, {}},
                   Activation{ActivationKind::prelu, 0, randomValues(6, 0.5f, 30)},
                   Activation{ActivationKind::prelu, 0, {0.3f}}, Activation{ActivationKind::sigmoid, 0, {}},
                   Activation{ActivationKind::silu, 0, {}}})
        checkOne(a, {6, 5, 7});

    // conv -> activation: folded when the activation is the convolution's only reader, into the
    // layer's convolution (6 channels) and into the blocked kernel (20).
    for (int channels : {6, 20})
        for (auto a :
             {Activation{ActivationKind::relu, 0, {}}, Activation{ActivationKind::leakyRelu, 0.1f, {}},
              Activation{ActivationKind::prelu, 0, randomValues(size_t(channels), 0.5f, 31)},
              Activation{ActivationKind::prelu, 0, {0.25f}}}) {
            Chain c(1);
            Conv k = conv(channels, channels, 3, 32, 1);
            for (float& w : k.weights) w *= 0.3f;
            c.add(a, {c.add(k, {0})});
            EXPECT_EQ(check(c.g, {randomTensor({channels, 6, 5}, 33)}, true)->fusedActivationCount(), 1u);
        }

    // Not folded when the convolution's result is read elsewhere too (a residual).
    Chain c(1);
    const int f = c.add(conv(4, 4, 3, 34, 1), {0});
    c.add(Binary{BinaryKind::add, std::nullopt}, {f, c.add(Activation{ActivationKind::relu, 0, {}}, {f})});
    EXPECT_EQ(check(c.g, {randomTensor({4, 5, 5}, 35)})->fusedActivationCount(), 0u);
}

TEST_F(GpuExecutorTest, ArithmeticRearrangementsAndResampling) {
    for (auto [a, b] :
         {std::pair<Shape, Shape>{{6, 5, 4}, {6, 5, 4}}, {{1, 5, 4}, {6, 5, 4}}, {{6, 5, 4}, {6, 1, 1}}})
        for (BinaryKind kind : {BinaryKind::add, BinaryKind::mul}) {
            Chain c(2);
            c.add(Binary{kind, std::nullopt}, {0, 1});
            check(c.g, {randomTensor(a, 1), randomTensor(b, 2)});
        }
    const std::vector<std::pair<Operation, Shape>> cases = {
        {Binary{BinaryKind::add, Constant{{1, 1, 1}, {0.75f}}}, {5, 4, 4}},
        {Binary{BinaryKind::mul, Constant{{5, 1, 1}, randomValues(5, 2, 40)}}, {5, 4, 4}},
        {Binary{BinaryKind::mul, Constant{{1, 1, 4}, randomValues(4, 2, 41)}}, {5, 3, 4}},
        {Binary{BinaryKind::add, Constant{{3, 3, 4}, randomValues(36, 2, 42)}}, {3, 3, 4}},
        {Binary{BinaryKind::add, Constant{{3, 1, 1}, {1, 2, 3}}}, {1, 3, 4}}, // the constant widens the value
        {PixelShuffle{2, ShuffleOrder::pixelShuffle}, {12, 4, 5}},
        {PixelShuffle{3, ShuffleOrder::pixelShuffle}, {27, 3, 2}},
        {PixelShuffle{2, ShuffleOrder::depthToSpace}, {24, 3, 3}},
        {Upsample{false, 2, 2, Sampling::asymmetric}, {6, 4, 5}},
        {Upsample{false, 1.5f, 3, Sampling::asymmetric}, {3, 4, 5}},
        {Upsample{true, 2, 2, Sampling::alignCorners}, {6, 4, 5}},
        {Upsample{true, 2.5f, 1.5f, Sampling::halfPixel}, {3, 3, 4}},
        {Upsample{true, 2.5f, 1.5f, Sampling::asymmetric}, {3, 3, 4}},
        {Pad{PadMode::constant, 0.5f, 1, 2, 3, 0}, {5, 4, 4}},
        {Pad{PadMode::reflect, 0, 2, 1, 0, 3}, {5, 4, 5}},
        {Pad{PadMode::replicate, 0, 3, 0, 1, 4}, {3, 2, 3}},
        {Slice{{1, std::nullopt, -4}, {6, -1, std::nullopt}, {2, 1, 1}}, {7, 6, 6}},
        {Slice{{}, {}, {1, 2, 3}}, {4, 7, 8}},
        {GatherChannels{{2, 1, 0}}, {3, 4, 4}},
        {GatherChannels{{5, -1, 0, 2, 2, 7, 1}}, {8, 3, 3}},
    };
    for (const auto& [op, shape] : cases) checkOne(op, shape);

    for (int axis : {int(axisC), int(axisH), int(axisW)}) {
        Chain c(3);
        c.add(Concat{axis}, {0, 1, 0, 2});
        Shape a{3, 4, 5}, b = a, d = a;
        (axis == axisC ? b.c : axis == axisH ? b.h : b.w) = 6;
        (axis == axisC ? d.c : axis == axisH ? d.h : d.w) = 5;
        check(c.g, {randomTensor(a, 1), randomTensor(b, 2), randomTensor(d, 3)});
    }
}

// A small super-resolution body: conv, PReLU, a residual block, pixel shuffle, in one graph.
TEST_F(GpuExecutorTest, ChainedNetworkReusesIntermediateImages) {
    Conv head = conv(3, 16, 3, 50, 1), body = conv(16, 16, 3, 51, 1), tail = conv(16, 12, 3, 52, 1);
    for (Conv* c : {&head, &body, &tail})
        for (float& w : c->weights) w *= 0.3f;
    Chain c(1);
    const int a = c.add(Activation{ActivationKind::prelu, 0, randomValues(16, 0.3f, 53)}, {c.add(head, {0})});
    const int r = c.add(Binary{BinaryKind::add, std::nullopt}, {a, c.add(body, {a})});
    const int s = c.add(PixelShuffle{2, ShuffleOrder::pixelShuffle}, {c.add(tail, {r})});
    c.add(Binary{BinaryKind::mul, Constant{{1, 1, 1}, {0.5f}}}, {s});
    check(c.g, {randomTensor({3, 12, 10}, 54, 1.0f)}, true);
}

} // namespace
} // namespace lumavane::ml::detail
