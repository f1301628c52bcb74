#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace lumavane::ml::detail {

// The network both importers build and both executors run. Every value is one image-shaped
// float tensor of C channels, H rows and W columns (batch 1); constants that take part in
// element-wise arithmetic are kept with the operation.

struct Shape {
    int c = 0, h = 0, w = 0;
    size_t count() const { return size_t(c) * size_t(h) * size_t(w); }
    bool operator==(const Shape&) const = default;
};

std::string describe(const Shape& shape); // "CxHxW"

// A constant broadcast over (C, H, W): each extent is 1 or the full extent of the result.
struct Constant {
    Shape shape{1, 1, 1};
    std::vector<float> values; // C-major, then rows, then columns
};

enum class PadRule { explicitAmounts, sameBottomRightHeavy, sameTopLeftHeavy };

struct Conv {
    int inputChannels = 0, outputChannels = 0;
    int kernelHeight = 1, kernelWidth = 1;
    int strideY = 1, strideX = 1;
    int dilationY = 1, dilationX = 1;
    int groups = 1;
    PadRule padRule = PadRule::explicitAmounts;
    int padTop = 0, padBottom = 0, padLeft = 0, padRight = 0;
    std::vector<float> weights; // [output channel][input channel of the group][kernel row][kernel column]
    std::vector<float> bias;    // empty or one per output channel
};

enum class ActivationKind { relu, leakyRelu, prelu, sigmoid, silu };

struct Activation {
    ActivationKind kind = ActivationKind::relu;
    float alpha = 0;           // leaky ReLU slope
    std::vector<float> slopes; // PReLU: one per channel, or a single one for all
};

enum class BinaryKind { add, mul };

// Two values (inputs[0] and inputs[1]), or one value and `constant`, broadcast per axis.
struct Binary {
    BinaryKind kind = BinaryKind::add;
    std::optional<Constant> constant;
};

enum class ShuffleOrder {
    pixelShuffle, // out[c, y*r+i, x*r+j] = in[c*r*r + i*r + j, y, x]
    depthToSpace  // out[c, y*r+i, x*r+j] = in[(i*r + j)*C + c, y, x]
};

struct PixelShuffle {
    int factor = 2;
    ShuffleOrder order = ShuffleOrder::pixelShuffle;
};

// Source coordinate of output index i, clamped to [0, in - 1]:
enum class Sampling {
    alignCorners, // i * (in - 1) / (out - 1)
    halfPixel,    // (i + 0.5) * in / out - 0.5
    asymmetric    // i * in / out
};

// Output extent floor(in * scale). Nearest takes source index floor(i / scale).
struct Upsample {
    bool bilinear = false;
    float scaleY = 1, scaleX = 1;
    Sampling sampling = Sampling::asymmetric;
};

enum Axis { axisC = 0, axisH = 1, axisW = 2 };

struct Concat {
    int axis = axisC;
};

enum class PadMode { constant, reflect, replicate };

struct Pad {
    PadMode mode = PadMode::constant;
    float value = 0;
    int top = 0, bottom = 0, left = 0, right = 0;
};

// Python-style slicing per axis (C, H, W): a missing begin is the start, a missing end the end,
// negative indices count from the end; strides are positive.
struct Slice {
    std::array<std::optional<int64_t>, 3> begin;
    std::array<std::optional<int64_t>, 3> end;
    std::array<int, 3> stride{1, 1, 1};
};

// Output channel k is input channel indices[k] (negative indices count from the end).
struct GatherChannels {
    std::vector<int64_t> indices;
};

using Operation =
    std::variant<Conv, Activation, Binary, PixelShuffle, Upsample, Concat, Pad, Slice, GatherChannels>;

struct Node {
    std::string name; // what the model calls the layer or value, for messages
    Operation op;
    std::vector<int> inputs;
    int output = -1;
};

enum class ChannelOrder { rgb, bgr, gray };

struct GraphInput {
    std::string feature;
    int value = -1;
    ChannelOrder order = ChannelOrder::rgb;
    // Applied to the 0...255 channel values before the network: scale * x + bias[channel]
    // (the neural-network image preprocessing); identity for ML programs.
    float scale = 1;
    std::array<float, 3> bias{0, 0, 0};
};

struct GraphOutput {
    std::string feature;
    int value = -1;
    ChannelOrder order = ChannelOrder::rgb;
};

struct Graph {
    std::vector<Node> nodes; // in execution order
    int valueCount = 0;
    std::vector<std::string> valueNames;
    std::vector<GraphInput> inputs;
    std::vector<GraphOutput> outputs;

    int addValue(std::string name) {
        valueNames.push_back(std::move(name));
        return valueCount++;
    }
};

// Output extent of a strided, padded window along one axis; <= 0 when nothing fits.
int convolutionExtent(int input, int kernel, int stride, int dilation, int padBegin, int padEnd);
// The padding a convolution applies along one axis for an input extent.
std::pair<int, int> convolutionPadding(const Conv& conv, int input, bool vertical);
// Resolved [begin, end) and output extent of a slice along one axis.
struct SliceRange {
    int begin = 0, stride = 1, count = 0;
};
SliceRange resolveSlice(const Slice& slice, int axis, int extent);

// Shapes of every value for these input shapes (in the order of graph.inputs). Throws
// std::invalid_argument naming the operation whose inputs do not fit.
std::vector<Shape> inferShapes(const Graph& graph, const std::vector<Shape>& inputShapes);

} // namespace lumavane::ml::detail
