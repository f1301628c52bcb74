#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Ml/CpuExecutor.hpp"

namespace lumavane::ml::detail {
namespace {

using ::testing::ElementsAreArray;

Tensor tensor(Shape shape, std::vector<float> values) { return Tensor{shape, std::move(values)}; }

std::vector<float> iota(size_t count, float first = 1) {
    std::vector<float> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = first + float(i);
    return v;
}

Tensor run(Operation op, const Tensor& x) {
    Node node{"op", std::move(op), {0}, 1};
    Graph g;
    g.addValue("x");
    g.addValue("y");
    g.inputs.push_back(GraphInput{"x", 0});
    g.outputs.push_back(GraphOutput{"y", 1});
    g.nodes.push_back(node);
    return runOnCpu(g, {x}).at(0);
}

std::vector<float> rounded(const std::vector<float>& v) {
    std::vector<float> r;
    for (float f : v) r.push_back(std::round(f * 100.0f) / 100.0f);
    return r;
}

// The examples of the format's documentation: [C=8, H=1, W=2] rearranged with block size 2.
TEST(CpuReference, PixelShuffleAndDepthToSpaceOrders) {
    const Tensor x = tensor({8, 1, 2}, iota(16));
    EXPECT_THAT(run(PixelShuffle{2, ShuffleOrder::depthToSpace}, x).data,
                ElementsAreArray<float>({1, 5, 2, 6, 9, 13, 10, 14, 3, 7, 4, 8, 11, 15, 12, 16}));
    EXPECT_THAT(run(PixelShuffle{2, ShuffleOrder::pixelShuffle}, x).data,
                ElementsAreArray<float>({1, 3, 2, 4, 5, 7, 6, 8, 9, 11, 10, 12, 13, 15, 14, 16}));
}

// Grid points of the format's documentation for Xin = 2, Xout = 5, on values 0 and 10.
TEST(CpuReference, BilinearSamplingGrids) {
    const Tensor x = tensor({1, 1, 2}, {0, 10});
    EXPECT_THAT(rounded(run(Upsample{true, 1, 2.5f, Sampling::halfPixel}, x).data),
                ElementsAreArray<float>({0, 1, 5, 9, 10}));
    EXPECT_THAT(rounded(run(Upsample{true, 1, 2.5f, Sampling::alignCorners}, x).data),
                ElementsAreArray<float>({0, 2.5f, 5, 7.5f, 10}));
    EXPECT_THAT(rounded(run(Upsample{true, 1, 2.5f, Sampling::asymmetric}, x).data),
                ElementsAreArray<float>({0, 4, 8, 10, 10}));
    EXPECT_THAT(run(Upsample{false, 2, 3, Sampling::asymmetric}, x).data,
                ElementsAreArray<float>({0, 0, 0, 10, 10, 10, 0, 0, 0, 10, 10, 10}));
    EXPECT_THAT(run(Upsample{false, 1, 1.5f, Sampling::asymmetric}, x).data,
                ElementsAreArray<float>({0, 0, 10}));
}

// The padding examples of the format's documentation: top 2, left 2 around a 3x4 image.
TEST(CpuReference, PaddingModes) {
    const Tensor x = tensor({1, 3, 4}, iota(12));
    EXPECT_THAT(run(Pad{PadMode::reflect, 0, 2, 0, 2, 0}, x).data,
                ElementsAreArray<float>({11, 10, 9, 10, 11, 12, 7, 6, 5, 6,  7,  8, 3,  2,  1,
                                         2,  3,  4, 7,  6,  5,  6, 7, 8, 11, 10, 9, 10, 11, 12}));
    EXPECT_THAT(run(Pad{PadMode::replicate, 0, 2, 0, 2, 0}, x).data,
                ElementsAreArray<float>({1, 1, 1, 2, 3, 4, 1, 1, 1, 2, 3, 4, 1,  1,  1,
                                         2, 3, 4, 5, 5, 5, 6, 7, 8, 9, 9, 9, 10, 11, 12}));
    EXPECT_THAT(run(Pad{PadMode::constant, -1, 0, 1, 0, 1}, tensor({1, 1, 2}, {4, 5})).data,
                ElementsAreArray<float>({4, 5, -1, -1, -1, -1}));
}

TEST(CpuReference, ConvolutionPaddingStridesGroupsAndDilation) {
    // 3x3 box sum with "same" padding over a 3x3 image of ones: 4 6 4 / 6 9 6 / 4 6 4, plus bias.
    Conv box;
    box.inputChannels = box.outputChannels = 1;
    box.kernelHeight = box.kernelWidth = 3;
    box.padRule = PadRule::sameBottomRightHeavy;
    box.weights.assign(9, 1);
    box.bias = {0.5f};
    EXPECT_THAT(run(box, tensor({1, 3, 3}, std::vector<float>(9, 1))).data,
                ElementsAreArray<float>({4.5f, 6.5f, 4.5f, 6.5f, 9.5f, 6.5f, 4.5f, 6.5f, 4.5f}));

    // Stride 2 over 1..16 in 4x4, 2x2 kernel [1 0; 0 1], valid: picks x[y][x] + x[y+1][x+1].
    Conv strided;
    strided.inputChannels = strided.outputChannels = 1;
    strided.kernelHeight = strided.kernelWidth = 2;
    strided.strideY = strided.strideX = 2;
    strided.weights = {1, 0, 0, 1};
    EXPECT_THAT(run(strided, tensor({1, 4, 4}, iota(16))).data,
                ElementsAreArray<float>({1 + 6, 3 + 8, 9 + 14, 11 + 16}));

    // "Same" padding at stride 2 over 4 columns: total 1, the extra column at the end (bottom-right
    // heavy) or the start (top-left heavy).
    Conv same = strided;
    same.kernelHeight = same.kernelWidth = 3;
    same.weights = {0, 0, 0, 0, 1, 0, 0, 0, 0};
    same.padRule = PadRule::sameBottomRightHeavy;
    EXPECT_THAT(run(same, tensor({1, 4, 4}, iota(16))).data, ElementsAreArray<float>({6, 8, 14, 16}));
    same.padRule = PadRule::sameTopLeftHeavy;
    EXPECT_THAT(run(same, tensor({1, 4, 4}, iota(16))).data, ElementsAreArray<float>({1, 3, 9, 11}));

    // Two groups: output 0 sees channel 0 only, output 1 channel 1 only.
    Conv grouped;
    grouped.inputChannels = grouped.outputChannels = grouped.groups = 2;
    grouped.weights = {2, 3};
    EXPECT_THAT(run(grouped, tensor({2, 1, 1}, {10, 100})).data, ElementsAreArray<float>({20, 300}));

    // Dilation 2 of a 2-tap row kernel reaches two columns away.
    Conv dilated;
    dilated.inputChannels = dilated.outputChannels = 1;
    dilated.kernelWidth = 2;
    dilated.dilationX = 2;
    dilated.weights = {1, 10};
    EXPECT_THAT(run(dilated, tensor({1, 1, 4}, {1, 2, 3, 4})).data, ElementsAreArray<float>({31, 42}));
}

TEST(CpuReference, ActivationsAndBroadcastArithmetic) {
    const Tensor x = tensor({2, 1, 2}, {-2, 1, -4, 3});
    EXPECT_THAT(run(Activation{ActivationKind::leakyRelu, 0.5f, {}}, x).data,
                ElementsAreArray<float>({-1, 1, -2, 3}));
    EXPECT_THAT(run(Activation{ActivationKind::prelu, 0, {0.5f, 0.25f}}, x).data,
                ElementsAreArray<float>({-1, 1, -1, 3}));

    // A per-channel constant, and a row constant that broadcasts over channels and rows.
    EXPECT_THAT(run(Binary{BinaryKind::mul, Constant{{2, 1, 1}, {10, 100}}}, x).data,
                ElementsAreArray<float>({-20, 10, -400, 300}));
    EXPECT_THAT(run(Binary{BinaryKind::add, Constant{{1, 1, 2}, {1, 2}}}, x).data,
                ElementsAreArray<float>({-1, 3, -3, 5}));
    // A constant with more channels than the value widens the result.
    EXPECT_EQ(run(Binary{BinaryKind::add, Constant{{3, 1, 1}, {0, 1, 2}}}, tensor({1, 1, 1}, {5})).data,
              (std::vector<float>{5, 6, 7}));
}

TEST(CpuReference, SlicesGathersAndConcatenation) {
    const Tensor x = tensor({3, 2, 3}, iota(18));
    Slice lastColumnsOfLastChannels;
    lastColumnsOfLastChannels.begin = {1, std::nullopt, -2};
    lastColumnsOfLastChannels.stride = {1, 1, 1};
    EXPECT_THAT(run(lastColumnsOfLastChannels, x).data,
                ElementsAreArray<float>({8, 9, 11, 12, 14, 15, 17, 18}));

    Slice everyOther;
    everyOther.end = {std::nullopt, 1, std::nullopt};
    everyOther.stride = {2, 1, 2};
    EXPECT_THAT(run(everyOther, x).data, ElementsAreArray<float>({1, 3, 13, 15}));

    EXPECT_THAT(run(GatherChannels{{2, -2, 0}}, tensor({3, 1, 1}, {10, 20, 30})).data,
                ElementsAreArray<float>({30, 20, 10}));
}

TEST(CpuReference, ImagesToTensorsAndBack) {
    PixelBuffer image = PixelBuffer::create(2, 1, LV_PIXEL_FORMAT_32BGRA);
    auto* p = static_cast<uint8_t*>(image.baseAddress());
    const uint8_t pixels[8] = {10, 20, 30, 255, 0, 128, 255, 7}; // B G R A
    std::copy(pixels, pixels + 8, p);

    GraphInput rgb{"in", 0, ChannelOrder::rgb, 2.0f, {1, 2, 3}};
    EXPECT_THAT(tensorFromImage(image, rgb).data, ElementsAreArray<float>({61, 511, 42, 258, 23, 3}));
    GraphInput bgr{"in", 0, ChannelOrder::bgr};
    EXPECT_THAT(tensorFromImage(image, bgr).data, ElementsAreArray<float>({10, 0, 20, 128, 30, 255}));

    // Rounded to nearest, clamped, not-a-number as 0, alpha opaque.
    imageFromTensor(tensor({3, 1, 2}, {254.5f, -3, 1.49f, NAN, 300, 0.5f}), ChannelOrder::rgb, image);
    EXPECT_THAT(std::vector<uint8_t>(p, p + 8), ElementsAreArray<uint8_t>({255, 1, 255, 255, 1, 0, 0, 255}));
    imageFromTensor(tensor({3, 1, 2}, {1, 2, 3, 4, 5, 6}), ChannelOrder::bgr, image);
    EXPECT_THAT(std::vector<uint8_t>(p, p + 8), ElementsAreArray<uint8_t>({1, 3, 5, 255, 2, 4, 6, 255}));
}

} // namespace
} // namespace lumavane::ml::detail
