#include "Platform/Ml/CpuExecutor.hpp"

#include "Platform/Ml/Executor.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace lumavane::ml::detail {

namespace {

size_t at(const Shape& s, int c, int y, int x) {
    return (size_t(c) * size_t(s.h) + size_t(y)) * size_t(s.w) + size_t(x);
}

// Element of a broadcast operand: extents of 1 repeat.
float broadcastAt(const Shape& s, const float* data, int c, int y, int x) {
    return data[at(s, s.c == 1 ? 0 : c, s.h == 1 ? 0 : y, s.w == 1 ? 0 : x)];
}

void conv(const Conv& op, const Tensor& in, Tensor& out) {
    const auto [top, bottom] = convolutionPadding(op, in.shape.h, true);
    const auto [left, right] = convolutionPadding(op, in.shape.w, false);
    (void)bottom;
    (void)right;
    const int inPerGroup = op.inputChannels / op.groups;
    const int outPerGroup = op.outputChannels / op.groups;
    for (int o = 0; o < out.shape.c; ++o) {
        const int g = o / outPerGroup;
        for (int y = 0; y < out.shape.h; ++y) {
            for (int x = 0; x < out.shape.w; ++x) {
                float sum = op.bias.empty() ? 0.0f : op.bias[size_t(o)];
                for (int i = 0; i < inPerGroup; ++i) {
                    const int c = g * inPerGroup + i;
                    for (int ky = 0; ky < op.kernelHeight; ++ky) {
                        const int sy = y * op.strideY + ky * op.dilationY - top;
                        if (sy < 0 || sy >= in.shape.h) continue;
                        for (int kx = 0; kx < op.kernelWidth; ++kx) {
                            const int sx = x * op.strideX + kx * op.dilationX - left;
                            if (sx < 0 || sx >= in.shape.w) continue;
                            const size_t w =
                                ((size_t(o) * size_t(inPerGroup) + size_t(i)) * size_t(op.kernelHeight) +
                                 size_t(ky)) *
                                    size_t(op.kernelWidth) +
                                size_t(kx);
                            sum += op.weights[w] * in.data[at(in.shape, c, sy, sx)];
                        }
                    }
                }
                out.data[at(out.shape, o, y, x)] = sum;
            }
        }
    }
}

float activate(const Activation& op, float v, int c) {
    switch (op.kind) {
    case ActivationKind::relu:
        return v > 0 ? v : 0.0f;
    case ActivationKind::leakyRelu:
        return v >= 0 ? v : op.alpha * v;
    case ActivationKind::prelu:
        return v >= 0 ? v : op.slopes[op.slopes.size() == 1 ? 0 : size_t(c)] * v;
    case ActivationKind::sigmoid:
        return 1.0f / (1.0f + std::exp(-v));
    case ActivationKind::silu:
        return v / (1.0f + std::exp(-v));
    }
    return v;
}

// Source position along one axis for output index i.
float sourceCoordinate(Sampling sampling, int i, int in, int out) {
    float g;
    switch (sampling) {
    case Sampling::alignCorners:
        g = out > 1 ? float(i) * float(in - 1) / float(out - 1) : 0.0f;
        break;
    case Sampling::halfPixel:
        g = (float(i) + 0.5f) * float(in) / float(out) - 0.5f;
        break;
    case Sampling::asymmetric:
    default:
        g = float(i) * float(in) / float(out);
        break;
    }
    return std::clamp(g, 0.0f, float(in - 1));
}

int nearestSource(int i, float scale, int in) { return std::min(in - 1, int(std::floor(float(i) / scale))); }

int padSource(PadMode mode, int i, int n) {
    if (i >= 0 && i < n) return i;
    if (mode == PadMode::replicate) return std::clamp(i, 0, n - 1);
    // reflect without repeating the edge
    if (i < 0) return -i;
    return 2 * (n - 1) - i;
}

} // namespace

Tensor runNodeOnCpu(const Node& node, const std::vector<const Tensor*>& inputs, const Shape& outputShape) {
    Tensor out{outputShape, std::vector<float>(outputShape.count())};
    const Tensor& x = *inputs.at(0);
    const Shape& s = out.shape;
    std::visit(
        [&](const auto& op) {
            using T = std::decay_t<decltype(op)>;
            if constexpr (std::is_same_v<T, Conv>) {
                conv(op, x, out);
            } else if constexpr (std::is_same_v<T, Activation>) {
                for (int c = 0; c < s.c; ++c)
                    for (size_t i = 0; i < size_t(s.h) * size_t(s.w); ++i) {
                        const size_t k = size_t(c) * size_t(s.h) * size_t(s.w) + i;
                        out.data[k] = activate(op, x.data[k], c);
                    }
            } else if constexpr (std::is_same_v<T, Binary>) {
                const Shape& bs = op.constant ? op.constant->shape : inputs.at(1)->shape;
                const float* b = op.constant ? op.constant->values.data() : inputs.at(1)->data.data();
                for (int c = 0; c < s.c; ++c)
                    for (int y = 0; y < s.h; ++y)
                        for (int xx = 0; xx < s.w; ++xx) {
                            const float a = broadcastAt(x.shape, x.data.data(), c, y, xx);
                            const float v = broadcastAt(bs, b, c, y, xx);
                            out.data[at(s, c, y, xx)] = op.kind == BinaryKind::add ? a + v : a * v;
                        }
            } else if constexpr (std::is_same_v<T, PixelShuffle>) {
                const int r = op.factor;
                for (int c = 0; c < s.c; ++c)
                    for (int y = 0; y < s.h; ++y)
                        for (int xx = 0; xx < s.w; ++xx) {
                            const int i = y % r, j = xx % r;
                            const int source = op.order == ShuffleOrder::pixelShuffle ? c * r * r + i * r + j
                                                                                      : (i * r + j) * s.c + c;
                            out.data[at(s, c, y, xx)] = x.data[at(x.shape, source, y / r, xx / r)];
                        }
            } else if constexpr (std::is_same_v<T, Upsample>) {
                for (int c = 0; c < s.c; ++c)
                    for (int y = 0; y < s.h; ++y)
                        for (int xx = 0; xx < s.w; ++xx) {
                            float v;
                            if (!op.bilinear) {
                                v = x.data[at(x.shape, c, nearestSource(y, op.scaleY, x.shape.h),
                                              nearestSource(xx, op.scaleX, x.shape.w))];
                            } else {
                                const float gy = sourceCoordinate(op.sampling, y, x.shape.h, s.h);
                                const float gx = sourceCoordinate(op.sampling, xx, x.shape.w, s.w);
                                const int y0 = int(gy), x0 = int(gx);
                                const int y1 = std::min(y0 + 1, x.shape.h - 1),
                                          x1 = std::min(x0 + 1, x.shape.w - 1);
                                const float fy = gy - float(y0), fx = gx - float(x0);
                                const float top = x.data[at(x.shape, c, y0, x0)] * (1 - fx) +
                                                  x.data[at(x.shape, c, y0, x1)] * fx;
                                const float bottom = x.data[at(x.shape, c, y1, x0)] * (1 - fx) +
                                                     x.data[at(x.shape, c, y1, x1)] * fx;
                                v = top * (1 - fy) + bottom * fy;
                            }
                            out.data[at(s, c, y, xx)] = v;
                        }
            } else if constexpr (std::is_same_v<T, Concat>) {
                int offset = 0;
                for (const Tensor* t : inputs) {
                    for (int c = 0; c < t->shape.c; ++c)
                        for (int y = 0; y < t->shape.h; ++y)
                            for (int xx = 0; xx < t->shape.w; ++xx)
                                out.data[at(s, c + (op.axis == axisC ? offset : 0),
                                            y + (op.axis == axisH ? offset : 0),
                                            xx + (op.axis == axisW ? offset : 0))] =
                                    t->data[at(t->shape, c, y, xx)];
                    offset += op.axis == axisC ? t->shape.c : op.axis == axisH ? t->shape.h : t->shape.w;
                }
            } else if constexpr (std::is_same_v<T, Pad>) {
                for (int c = 0; c < s.c; ++c)
                    for (int y = 0; y < s.h; ++y)
                        for (int xx = 0; xx < s.w; ++xx) {
                            const int sy = y - op.top, sx = xx - op.left;
                            const bool inside = sy >= 0 && sy < x.shape.h && sx >= 0 && sx < x.shape.w;
                            out.data[at(s, c, y, xx)] =
                                inside ? x.data[at(x.shape, c, sy, sx)]
                                : op.mode == PadMode::constant
                                    ? op.value
                                    : x.data[at(x.shape, c, padSource(op.mode, sy, x.shape.h),
                                                padSource(op.mode, sx, x.shape.w))];
                        }
            } else if constexpr (std::is_same_v<T, Slice>) {
                const SliceRange rc = resolveSlice(op, axisC, x.shape.c),
                                 ry = resolveSlice(op, axisH, x.shape.h),
                                 rx = resolveSlice(op, axisW, x.shape.w);
                for (int c = 0; c < s.c; ++c)
                    for (int y = 0; y < s.h; ++y)
                        for (int xx = 0; xx < s.w; ++xx)
                            out.data[at(s, c, y, xx)] =
                                x.data[at(x.shape, rc.begin + c * rc.stride, ry.begin + y * ry.stride,
                                          rx.begin + xx * rx.stride)];
            } else if constexpr (std::is_same_v<T, GatherChannels>) {
                for (int c = 0; c < s.c; ++c) {
                    int64_t source = op.indices[size_t(c)];
                    if (source < 0) source += x.shape.c;
                    std::copy_n(x.data.begin() + std::ptrdiff_t(at(x.shape, int(source), 0, 0)),
                                size_t(s.h) * size_t(s.w), out.data.begin() + std::ptrdiff_t(at(s, c, 0, 0)));
                }
            }
        },
        node.op);
    return out;
}

std::vector<Tensor> runOnCpu(const Graph& graph, const std::vector<Tensor>& inputs) {
    std::vector<Shape> inputShapes;
    for (const Tensor& t : inputs) inputShapes.push_back(t.shape);
    const std::vector<Shape> shapes = inferShapes(graph, inputShapes);

    // Free each value after its last use so large frames do not hold every intermediate.
    std::vector<int> lastUse(size_t(graph.valueCount), -1);
    for (size_t n = 0; n < graph.nodes.size(); ++n)
        for (int v : graph.nodes[n].inputs) lastUse[size_t(v)] = int(n);
    for (const GraphOutput& o : graph.outputs) lastUse[size_t(o.value)] = int(graph.nodes.size());

    std::vector<Tensor> values(size_t(graph.valueCount));
    for (size_t i = 0; i < graph.inputs.size(); ++i) values[size_t(graph.inputs[i].value)] = inputs[i];
    for (size_t n = 0; n < graph.nodes.size(); ++n) {
        const Node& node = graph.nodes[n];
        std::vector<const Tensor*> in;
        for (int v : node.inputs) in.push_back(&values[size_t(v)]);
        values[size_t(node.output)] = runNodeOnCpu(node, in, shapes[size_t(node.output)]);
        for (int v : node.inputs)
            if (lastUse[size_t(v)] == int(n)) values[size_t(v)] = Tensor{};
    }
    std::vector<Tensor> outputs;
    for (const GraphOutput& o : graph.outputs) outputs.push_back(values[size_t(o.value)]);
    return outputs;
}

Tensor tensorFromImage(const PixelBuffer& image, const GraphInput& input) {
    const int w = int(image.width()), h = int(image.height());
    Tensor t{Shape{3, h, w}, std::vector<float>(size_t(3) * size_t(w) * size_t(h))};
    // BGRA byte positions of the tensor's channels
    const int source[3] = {input.order == ChannelOrder::bgr ? 0 : 2, 1,
                           input.order == ChannelOrder::bgr ? 2 : 0};
    const auto* base = static_cast<const uint8_t*>(image.baseAddress());
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = base + size_t(y) * image.bytesPerRow();
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                t.data[at(t.shape, c, y, x)] =
                    input.scale * float(row[size_t(x) * 4 + size_t(source[c])]) + input.bias[size_t(c)];
    }
    return t;
}

void imageFromTensor(const Tensor& tensor, ChannelOrder order, const PixelBuffer& image) {
    if (tensor.shape.c != 3 || size_t(tensor.shape.w) != image.width() ||
        size_t(tensor.shape.h) != image.height())
        throw std::invalid_argument("output tensor " + describe(tensor.shape) + " does not fit the image");
    const int target[3] = {order == ChannelOrder::bgr ? 0 : 2, 1, order == ChannelOrder::bgr ? 2 : 0};
    auto* base = static_cast<uint8_t*>(image.baseAddress());
    for (int y = 0; y < tensor.shape.h; ++y) {
        uint8_t* row = base + size_t(y) * image.bytesPerRow();
        for (int x = 0; x < tensor.shape.w; ++x) {
            for (int c = 0; c < 3; ++c) {
                const float v = tensor.data[at(tensor.shape, c, y, x)];
                // NaN goes to 0 like any other value below range
                row[size_t(x) * 4 + size_t(target[c])] =
                    uint8_t(v >= 0.0f ? std::min(v + 0.5f, 255.0f) : 0.0f);
            }
            row[size_t(x) * 4 + 3] = 255;
        }
    }
}

namespace {

class CpuExecutor final : public Executor {
public:
    explicit CpuExecutor(std::shared_ptr<const Graph> graph) : graph_(std::move(graph)) {}

    void run(const std::vector<PixelBuffer>& inputs, const std::vector<PixelBuffer>& outputs,
             const std::vector<Shape>&) override {
        std::vector<Tensor> tensors;
        for (size_t i = 0; i < inputs.size(); ++i)
            tensors.push_back(tensorFromImage(inputs[i], graph_->inputs[i]));
        const std::vector<Tensor> results = runOnCpu(*graph_, tensors);
        for (size_t i = 0; i < outputs.size(); ++i)
            imageFromTensor(results[i], graph_->outputs[i].order, outputs[i]);
    }

private:
    std::shared_ptr<const Graph> graph_;
};

} // namespace

std::unique_ptr<Executor> makeCpuExecutor(std::shared_ptr<const Graph> graph) {
    return std::make_unique<CpuExecutor>(std::move(graph));
}

} // namespace lumavane::ml::detail
