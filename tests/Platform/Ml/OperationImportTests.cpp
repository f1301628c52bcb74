// How ML program operations and neural-network layers are read: each model is predicted and
// compared with the same network written directly as the runtime's graph and run by the CPU
// reference.

#include <cstring>
#include <functional>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Ml/CpuExecutor.hpp"
#include "Platform/Ml/Model.hpp"
#include "Platform/Ml/ModelWriter.hpp"

namespace lumavane::ml {
namespace {

using namespace fixtures;
using namespace detail;

constexpr int W = 9, H = 7;

class OperationImportTest : public ::testing::Test {
protected:
    // `write` adds operations from "image" to "output"; `expected` builds the same network from
    // value 0 (the RGB input) and returns the output value.
    void check(const std::function<void(ProgramWriter&)>& write, const std::function<int(Graph&)>& expected,
               int outW, int outH) {
        ProgramWriter p;
        p.input("image", {1, 3, H, W});
        write(p);
        p.output("output");
        coreml::Model model = programModel(p);
        addImage(model.mutable_description()->mutable_input(), "image", W, H);
        addImage(model.mutable_description()->mutable_output(), "output", outW, outH);
        compare(model, p.weightBytes(), expected, outW, outH);
    }

    // The same for a neural network: `write` adds layers from "image" to "output".
    void checkNetwork(const std::function<void(coreml::Model&)>& write,
                      const std::function<int(Graph&)>& expected, int outW, int outH,
                      coreml::ImageFeatureType::ColorSpace space = coreml::ImageFeatureType::RGB) {
        coreml::Model model = neuralNetworkModel();
        addImage(model.mutable_description()->mutable_input(), "image", W, H, space);
        addImage(model.mutable_description()->mutable_output(), "output", outW, outH);
        write(model);
        compare(model, {}, expected, outW, outH);
    }

    void compare(const coreml::Model& model, const std::string& weights,
                 const std::function<int(Graph&)>& expected, int outW, int outH) {
        const auto package = folder_.path() / ("P" + std::to_string(counter_++) + ".mlpackage");
        writePackage(package, model, weights);
        const auto compiled = Model::compileModel(package);
        const auto loaded = Model::load(compiled, {ComputeUnits::cpuOnly, false});
        std::filesystem::remove_all(compiled);

        PixelBuffer image = PixelBuffer::create(W, H, pixelFormat32BGRA);
        std::mt19937 random{uint32_t(counter_)};
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W * 4; ++x)
                static_cast<uint8_t*>(image.baseAddress())[size_t(y) * image.bytesPerRow() + size_t(x)] =
                    uint8_t(random());
        const PixelBuffer actual = loaded->prediction(FeatureProvider({{"image", FeatureValue(image)}}))
                                       .featureValue("output")
                                       ->imageBufferValue();

        Graph g;
        g.inputs = {GraphInput{"image", g.addValue("image")}};
        g.outputs = {GraphOutput{"output", expected(g)}}; // may also set the input's order and scaling
        const Tensor reference = runOnCpu(g, {tensorFromImage(image, g.inputs.at(0))}).at(0);
        ASSERT_EQ(reference.shape, (Shape{3, outH, outW}));
        PixelBuffer wanted = PixelBuffer::create(size_t(outW), size_t(outH), pixelFormat32BGRA);
        imageFromTensor(reference, ChannelOrder::rgb, wanted);
        ASSERT_EQ(actual.width(), size_t(outW));
        ASSERT_EQ(actual.height(), size_t(outH));
        for (int y = 0; y < outH; ++y)
            ASSERT_EQ(
                0, std::memcmp(
                       static_cast<const uint8_t*>(actual.baseAddress()) + size_t(y) * actual.bytesPerRow(),
                       static_cast<const uint8_t*>(wanted.baseAddress()) + size_t(y) * wanted.bytesPerRow(),
                       size_t(outW) * 4))
                << "row " << y;
    }

    static int node(Graph& g, Operation op, std::vector<int> inputs) {
        const int out = g.addValue("v");
        g.nodes.push_back(Node{"n", std::move(op), std::move(inputs), out});
        return out;
    }

    TemporaryFolder folder_;
    int counter_ = 0;
};

TEST_F(OperationImportTest, PadAmountsRunFromTheOutermostAxis) {
    check(
        [](ProgramWriter& p) {
            p.constInts("pad", {8}, {0, 0, 0, 0, 1, 2, 3, 0});
            p.constString("mode", "reflect");
            p.op("pad", {{"x", {"image"}}, {"pad", {"pad"}}, {"mode", {"mode"}}}, "output");
        },
        [](Graph& g) {
            return node(g, Pad{PadMode::reflect, 0, 1, 2, 3, 0}, {0});
        },
        W + 3, H + 3);
    check(
        [](ProgramWriter& p) {
            p.constInts("pad", {4}, {2, 0, 1, 1}); // height and width only
            p.constFloatScalar("value", 77);
            p.op("pad", {{"x", {"image"}}, {"pad", {"pad"}}, {"constant_val", {"value"}}}, "output");
        },
        [](Graph& g) {
            return node(g, Pad{PadMode::constant, 77, 2, 0, 1, 1}, {0});
        },
        W + 2, H + 2);
}

TEST_F(OperationImportTest, SliceMasksAndNegativeIndices) {
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
        [](Graph& g) {
            Slice s;
            s.begin = {0, 1, -5};
            s.end = {3, std::nullopt, std::nullopt};
            s.stride = {1, 2, 1};
            return node(g, s, {0});
        },
        5, 3);
}

TEST_F(OperationImportTest, ConcatenationAlongNegativeAxes) {
    check(
        [](ProgramWriter& p) {
            p.constInt("axis", -1);
            p.constBool("interleave", false);
            p.op("concat",
                 {{"values", {"image", "image"}}, {"axis", {"axis"}}, {"interleave", {"interleave"}}},
                 "output");
        },
        [](Graph& g) {
            return node(g, Concat{axisW}, {0, 0});
        },
        2 * W, H);
    // Channels: 3 + 3, then back to three by a slice of the last three.
    check(
        [](ProgramWriter& p) {
            p.constInt("axis", 1);
            p.constFloatScalar("half", 0.5f);
            p.op("mul", {{"x", {"image"}}, {"y", {"half"}}}, "dim");
            p.op("concat", {{"values", {"image", "dim"}}, {"axis", {"axis"}}}, "both");
            p.constInts("begin", {4}, {0, 2, 0, 0});
            p.constInts("end", {4}, {1, 5, H, W});
            p.op("slice_by_index", {{"x", {"both"}}, {"begin", {"begin"}}, {"end", {"end"}}}, "output");
        },
        [](Graph& g) {
            const int dim = node(g, Binary{BinaryKind::mul, Constant{{1, 1, 1}, {0.5f}}}, {0});
            const int both = node(g, Concat{axisC}, {0, dim});
            Slice s;
            s.begin = {2, 0, 0};
            s.end = {5, H, W};
            return node(g, s, {both});
        },
        W, H);
}

TEST_F(OperationImportTest, UpsamplingFlags) {
    struct Case {
        bool bilinear;
        std::optional<bool> alignCorners, halfPixel;
        Sampling sampling;
    };
    for (const Case& c : {Case{true, std::nullopt, std::nullopt, Sampling::alignCorners},
                          Case{true, false, std::nullopt, Sampling::halfPixel},
                          Case{true, false, false, Sampling::asymmetric},
                          Case{false, std::nullopt, std::nullopt, Sampling::asymmetric}}) {
        check(
            [&](ProgramWriter& p) {
                p.constInt("sh", 2);
                p.constFloatScalar("sw", 1.5f);
                std::vector<std::pair<std::string, std::vector<std::string>>> inputs = {
                    {"x", {"image"}}, {"scale_factor_height", {"sh"}}, {"scale_factor_width", {"sw"}}};
                if (c.alignCorners) inputs.push_back({"align_corners", {p.constBool("ac", *c.alignCorners)}});
                if (c.halfPixel) inputs.push_back({"half_pixel_centers", {p.constBool("hp", *c.halfPixel)}});
                p.op(c.bilinear ? "upsample_bilinear" : "upsample_nearest_neighbor", inputs, "output");
            },
            [&](Graph& g) {
                return node(g, Upsample{c.bilinear, 2, 1.5f, c.sampling}, {0});
            },
            W * 3 / 2, H * 2);
    }
}

TEST_F(OperationImportTest, ActivationsGatherAndConstants) {
    check(
        [](ProgramWriter& p) {
            p.constFloat("centre", {1, 3, 1, 1}, {-128, -100, -150});
            p.op("add", {{"x", {"image"}}, {"y", {"centre"}}}, "c");
            p.constFloatScalar("alpha", 0.3f);
            p.op("leaky_relu", {{"x", {"c"}}, {"alpha", {"alpha"}}}, "l");
            p.op("silu", {{"x", {"l"}}}, "s");
            p.constInts("order", {3}, {1, 2, 0});
            p.constInt("axis", -3);
            p.op("gather", {{"x", {"s"}}, {"indices", {"order"}}, {"axis", {"axis"}}}, "g");
            p.constFloatScalar("lift", 128);
            p.op("add", {{"x", {"lift"}}, {"y", {"g"}}}, "output");
        },
        [](Graph& g) {
            int v = node(g, Binary{BinaryKind::add, Constant{{3, 1, 1}, {-128, -100, -150}}}, {0});
            v = node(g, Activation{ActivationKind::leakyRelu, 0.3f, {}}, {v});
            v = node(g, Activation{ActivationKind::silu, 0, {}}, {v});
            v = node(g, GatherChannels{{1, 2, 0}}, {v});
            return node(g, Binary{BinaryKind::add, Constant{{1, 1, 1}, {128}}}, {v});
        },
        W, H);
}

TEST_F(OperationImportTest, ConvolutionParameters) {
    const std::vector<float> weights = randomValues(3 * 1 * 2 * 3, 0.5f, 5);
    const std::vector<float> bias = {10, 20, 30};
    check(
        [&](ProgramWriter& p) {
            p.constFloat("w", {3, 1, 2, 3}, weights, Precision::fp32, Storage::blob);
            p.constFloat("b", {3}, bias);
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
        [&](Graph& g) {
            Conv c;
            c.inputChannels = c.outputChannels = c.groups = 3;
            c.kernelHeight = 2;
            c.kernelWidth = 3;
            c.strideY = 2;
            c.dilationX = 2;
            c.padTop = 1;
            c.padLeft = 2;
            c.padRight = 1;
            c.weights = weights;
            c.bias = bias;
            return node(g, c, {0});
        },
        // height: (7 + 1 - 2) / 2 + 1 = 4; width: 9 + 3 - 5 + 1 = 8
        8, 4);
}

TEST_F(OperationImportTest, NetworkPaddingUpsamplingAndSlicing) {
    checkNetwork(
        [](coreml::Model& m) {
            auto* pad = addLayer(m.mutable_neuralnetwork(), "pad", {"image"}, "output")->mutable_padding();
            pad->mutable_replication();
            auto* h = pad->mutable_paddingamounts()->add_borderamounts();
            h->set_startedgesize(1);
            auto* w = pad->mutable_paddingamounts()->add_borderamounts();
            w->set_endedgesize(2);
        },
        [](Graph& g) {
            return node(g, Pad{PadMode::replicate, 0, 1, 0, 0, 2}, {0});
        },
        W + 2, H + 1);

    checkNetwork(
        [](coreml::Model& m) {
            auto* up = addLayer(m.mutable_neuralnetwork(), "up", {"image"}, "output")->mutable_upsample();
            up->add_scalingfactor(2);
            up->add_scalingfactor(3);
        },
        [](Graph& g) {
            return node(g, Upsample{false, 2, 3, Sampling::asymmetric}, {0});
        },
        3 * W, 2 * H);
    checkNetwork(
        [](coreml::Model& m) {
            auto* up = addLayer(m.mutable_neuralnetwork(), "up", {"image"}, "output")->mutable_upsample();
            up->add_fractionalscalingfactor(1.5f);
            up->add_fractionalscalingfactor(2);
            up->set_mode(coreml::UpsampleLayerParams::BILINEAR);
            up->set_linearupsamplemode(coreml::UpsampleLayerParams::ALIGN_CORNERS_FALSE);
        },
        [](Graph& g) {
            return node(g, Upsample{true, 1.5f, 2, Sampling::halfPixel}, {0});
        },
        2 * W, H * 3 / 2);
    checkNetwork(
        [](coreml::Model& m) {
            auto* up = addLayer(m.mutable_neuralnetwork(), "up", {"image"}, "output")->mutable_upsample();
            up->add_scalingfactor(2);
            up->add_scalingfactor(2);
            up->set_mode(coreml::UpsampleLayerParams::BILINEAR);
        },
        [](Graph& g) {
            return node(g, Upsample{true, 2, 2, Sampling::asymmetric}, {0});
        },
        2 * W, 2 * H);

    // Columns 1, 3, 5, 7 of 0...8: [1, -1) by 2, the end counted from the last column.
    checkNetwork(
        [](coreml::Model& m) {
            auto* slice = addLayer(m.mutable_neuralnetwork(), "cols", {"image"}, "output")->mutable_slice();
            slice->set_axis(coreml::SliceLayerParams::WIDTH_AXIS);
            slice->set_startindex(1);
            slice->set_endindex(-1);
            slice->set_stride(2);
        },
        [](Graph& g) {
            Slice s;
            s.begin[axisW] = 1;
            s.end[axisW] = W - 1;
            s.stride[axisW] = 2;
            return node(g, s, {0});
        },
        4, H);
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
        W, H, coreml::ImageFeatureType::BGR);

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
        },
        2 * W, 2 * H);
}

} // namespace
} // namespace lumavane::ml
