#include "Platform/Ml/Graph.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace lumavane::ml::detail {

namespace {

[[noreturn]] void fail(const Node& node, const std::string& what) {
    throw std::invalid_argument("'" + node.name + "': " + what);
}

int axisExtent(const Shape& s, int axis) { return axis == axisC ? s.c : axis == axisH ? s.h : s.w; }
void setAxisExtent(Shape& s, int axis, int value) {
    (axis == axisC ? s.c : axis == axisH ? s.h : s.w) = value;
}

// Broadcast of two extents: equal, or one of them 1.
bool broadcastExtent(int a, int b, int& out) {
    if (a == b || b == 1) {
        out = a;
        return true;
    }
    if (a == 1) {
        out = b;
        return true;
    }
    return false;
}

Shape broadcast(const Node& node, const Shape& a, const Shape& b) {
    Shape out;
    if (!broadcastExtent(a.c, b.c, out.c) || !broadcastExtent(a.h, b.h, out.h) ||
        !broadcastExtent(a.w, b.w, out.w))
        fail(node, "shapes " + describe(a) + " and " + describe(b) + " cannot be broadcast together");
    return out;
}

} // namespace

std::string describe(const Shape& shape) {
    return std::to_string(shape.c) + "x" + std::to_string(shape.h) + "x" + std::to_string(shape.w);
}

int convolutionExtent(int input, int kernel, int stride, int dilation, int padBegin, int padEnd) {
    const int span = (kernel - 1) * dilation + 1;
    const int padded = input + padBegin + padEnd;
    if (padded < span) return 0;
    return (padded - span) / stride + 1;
}

std::pair<int, int> convolutionPadding(const Conv& conv, int input, bool vertical) {
    if (conv.padRule == PadRule::explicitAmounts)
        return vertical ? std::pair{conv.padTop, conv.padBottom} : std::pair{conv.padLeft, conv.padRight};
    const int stride = vertical ? conv.strideY : conv.strideX;
    const int span = ((vertical ? conv.kernelHeight : conv.kernelWidth) - 1) *
                         (vertical ? conv.dilationY : conv.dilationX) +
                     1;
    const int output = (input + stride - 1) / stride;
    const int total = std::max(0, (output - 1) * stride + span - input);
    const int small = total / 2, large = total - small;
    return conv.padRule == PadRule::sameBottomRightHeavy ? std::pair{small, large} : std::pair{large, small};
}

SliceRange resolveSlice(const Slice& slice, int axis, int extent) {
    auto resolve = [extent](int64_t index) {
        if (index < 0) index += extent;
        return int(std::clamp<int64_t>(index, 0, extent));
    };
    SliceRange range;
    range.stride = slice.stride[axis];
    range.begin = slice.begin[axis] ? resolve(*slice.begin[axis]) : 0;
    const int end = slice.end[axis] ? resolve(*slice.end[axis]) : extent;
    range.count = end > range.begin ? (end - range.begin + range.stride - 1) / range.stride : 0;
    return range;
}

std::vector<Shape> inferShapes(const Graph& graph, const std::vector<Shape>& inputShapes) {
    std::vector<Shape> shapes(size_t(graph.valueCount));
    std::vector<bool> known(size_t(graph.valueCount), false);
    for (size_t i = 0; i < graph.inputs.size(); ++i) {
        shapes[size_t(graph.inputs[i].value)] = inputShapes.at(i);
        known[size_t(graph.inputs[i].value)] = true;
    }
    for (const Node& node : graph.nodes) {
        std::vector<Shape> in;
        for (int v : node.inputs) {
            if (!known[size_t(v)])
                fail(node, "uses '" + graph.valueNames[size_t(v)] + "' before it is computed");
            in.push_back(shapes[size_t(v)]);
        }
        Shape out = std::visit(
            [&](const auto& op) -> Shape {
                using T = std::decay_t<decltype(op)>;
                const Shape& x = in.at(0);
                if constexpr (std::is_same_v<T, Conv>) {
                    if (x.c != op.inputChannels)
                        fail(node, "convolution expects " + std::to_string(op.inputChannels) +
                                       " input channels, got " + describe(x));
                    const auto [top, bottom] = convolutionPadding(op, x.h, true);
                    const auto [left, right] = convolutionPadding(op, x.w, false);
                    Shape s{op.outputChannels,
                            convolutionExtent(x.h, op.kernelHeight, op.strideY, op.dilationY, top, bottom),
                            convolutionExtent(x.w, op.kernelWidth, op.strideX, op.dilationX, left, right)};
                    if (s.h <= 0 || s.w <= 0)
                        fail(node, "convolution window larger than its input " + describe(x));
                    return s;
                } else if constexpr (std::is_same_v<T, Activation>) {
                    if (op.kind == ActivationKind::prelu && op.slopes.size() != 1 &&
                        op.slopes.size() != size_t(x.c))
                        fail(node, "PReLU has " + std::to_string(op.slopes.size()) + " slopes for " +
                                       std::to_string(x.c) + " channels");
                    return x;
                } else if constexpr (std::is_same_v<T, Binary>) {
                    return op.constant ? broadcast(node, x, op.constant->shape)
                                       : broadcast(node, x, in.at(1));
                } else if constexpr (std::is_same_v<T, PixelShuffle>) {
                    const int r2 = op.factor * op.factor;
                    if (x.c % r2 != 0)
                        fail(node, "pixel shuffle by " + std::to_string(op.factor) + " of " + describe(x));
                    return Shape{x.c / r2, x.h * op.factor, x.w * op.factor};
                } else if constexpr (std::is_same_v<T, Upsample>) {
                    Shape s{x.c, int(std::floor(double(x.h) * op.scaleY)),
                            int(std::floor(double(x.w) * op.scaleX))};
                    if (s.h <= 0 || s.w <= 0)
                        fail(node, "upsampling of " + describe(x) + " gives an empty image");
                    return s;
                } else if constexpr (std::is_same_v<T, Concat>) {
                    Shape s = x;
                    int total = 0;
                    for (const Shape& o : in) {
                        for (int axis = 0; axis < 3; ++axis)
                            if (axis != op.axis && axisExtent(o, axis) != axisExtent(x, axis))
                                fail(node, "cannot concatenate " + describe(x) + " and " + describe(o));
                        total += axisExtent(o, op.axis);
                    }
                    setAxisExtent(s, op.axis, total);
                    return s;
                } else if constexpr (std::is_same_v<T, Pad>) {
                    if (op.mode == PadMode::reflect &&
                        (op.top >= x.h || op.bottom >= x.h || op.left >= x.w || op.right >= x.w))
                        fail(node, "reflection padding as wide as the input " + describe(x));
                    return Shape{x.c, x.h + op.top + op.bottom, x.w + op.left + op.right};
                } else if constexpr (std::is_same_v<T, Slice>) {
                    Shape s;
                    for (int axis = 0; axis < 3; ++axis)
                        setAxisExtent(s, axis, resolveSlice(op, axis, axisExtent(x, axis)).count);
                    if (s.count() == 0) fail(node, "slice of " + describe(x) + " is empty");
                    return s;
                } else if constexpr (std::is_same_v<T, GatherChannels>) {
                    for (int64_t index : op.indices)
                        if (index < -x.c || index >= x.c)
                            fail(node, "channel index " + std::to_string(index) + " outside " + describe(x));
                    return Shape{int(op.indices.size()), x.h, x.w};
                }
            },
            node.op);
        shapes[size_t(node.output)] = out;
        known[size_t(node.output)] = true;
    }
    for (const GraphOutput& output : graph.outputs)
        if (!known[size_t(output.value)])
            throw std::invalid_argument("output '" + output.feature + "' is never computed");
    return shapes;
}

} // namespace lumavane::ml::detail
