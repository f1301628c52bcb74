#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "Platform/Foundation/Resources.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Ml/Executor.hpp"
#include "Platform/Ml/GpuExecutor.hpp"
#include "Platform/Ml/MlError.hpp"

namespace lumavane::ml::detail {

namespace {

constexpr const char* kernelBundle = "Lumavane_Ml.bundle";
constexpr gpu::Size threadgroup{32, 1, 1};

size_t slicesOf(int channels) { return size_t(channels + 3) / 4; }

std::string kernelSource(const std::string& file) {
    const auto path = resourceBundle(kernelBundle) / file;
    std::ifstream in(path);
    if (!in) raise(errorIO, "Cannot read the model runtime's kernels at " + path.string() + ".");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The GPU layer's convolution runs odd kernels up to 7x7 at stride 1 without groups or dilation.
bool fitsLayerConvolution(const Conv& c) {
    return c.groups == 1 && c.strideX == 1 && c.strideY == 1 && c.dilationX == 1 && c.dilationY == 1 &&
           c.kernelWidth % 2 == 1 && c.kernelHeight % 2 == 1 && c.kernelWidth <= 7 && c.kernelHeight <= 7 &&
           c.inputChannels <= int(gpu::FeatureImage::maxFeatureChannels) &&
           c.outputChannels <= int(gpu::FeatureImage::maxFeatureChannels);
}

// Convolutions at stride 1 between wide layers run on ConvBlocked.cl: several pixels per work
// item share each weight load, where the layer's convolution loads every weight once per pixel.
bool fitsBlocked(const Conv& c) {
    return c.groups == 1 && c.strideX == 1 && c.strideY == 1 && c.dilationX == 1 && c.dilationY == 1 &&
           c.kernelWidth <= 7 && c.kernelHeight <= 7 && c.inputChannels >= 16 && c.outputChannels >= 16 &&
           c.inputChannels <= int(gpu::FeatureImage::maxFeatureChannels) &&
           c.outputChannels <= int(gpu::FeatureImage::maxFeatureChannels);
}

// Pixels and 16-channel output vectors per work item, and the padded output channel count.
// PoCL targets AVX2 here: sixteen 256-bit registers, and a single accumulator spilled to the
// stack serialises the loop through memory. Measured on PoCL, one thread, eight 64-channel 3x3
// layers with PReLU on a 64x64 image (process CPU time, machine under load): 2 pixels x 32
// channels 36-40 ms, 5 x 16 and 6 x 16 36-39, 4 x 16 38, 3 x 16 46, 3 x 32 (one spill) 67,
// 1 x 64 55; the layer's convolution 54-59. The Real-CUGAN probe's Winograd scheme, generalised,
// took 62: its sixteen float16 accumulators are 32 such registers.
struct Blocking {
    int pixels, vectors, paddedChannels;
};
Blocking blocking(const Conv& c) {
    const int vectors = (c.outputChannels + 15) / 16;
    return vectors % 2 == 0 ? Blocking{2, 2, vectors * 16} : Blocking{5, 1, vectors * 16};
}

bool fusable(const Activation& a) {
    return a.kind == ActivationKind::relu || a.kind == ActivationKind::leakyRelu ||
           a.kind == ActivationKind::prelu;
}

struct Int4 {
    int32_t x = 0, y = 0, z = 0, w = 0;
};
struct Float4 {
    float x = 0, y = 0, z = 0, w = 0;
};

} // namespace

GpuExecutor::GpuExecutor(std::shared_ptr<const Graph> graph, std::shared_ptr<gpu::Device> device)
    : graph_(std::move(graph)), device_(std::move(device)) {
    queue_ = device_->newCommandQueue();
    queue_->setLabel("Lumavane model runtime");
    plan();
}

GpuExecutor::~GpuExecutor() = default;

std::shared_ptr<gpu::ComputePipelineState> GpuExecutor::pipeline(const std::string& name,
                                                                 const std::string& macro, int value) {
    return pipeline(name, "Kernels.cl", macro.empty() ? Macros{} : Macros{{macro, value}});
}

std::shared_ptr<gpu::ComputePipelineState>
GpuExecutor::pipeline(const std::string& name, const std::string& file, const Macros& macros) {
    std::string key = name + "/" + file;
    for (const auto& [macro, value] : macros) key += "/" + macro + "=" + std::to_string(value);
    if (auto it = pipelines_.find(key); it != pipelines_.end()) return it->second;
    std::string& source = sources_[file];
    if (source.empty()) source = kernelSource(file);
    gpu::CompileOptions options;
    for (const auto& [macro, value] : macros) options.preprocessorMacros.emplace(macro, value);
    auto library = device_->newLibrary(source, options);
    auto function = library->newFunction(name);
    if (!function) raise(errorGeneric, "The model runtime's kernels have no function " + name + ".");
    auto made = device_->newComputePipelineState(function);
    pipelines_.emplace(key, made);
    return made;
}

std::shared_ptr<gpu::Buffer> GpuExecutor::buffer(const std::vector<float>& values) {
    std::vector<float> padded = values;
    padded.resize(std::max<size_t>(4, (values.size() + 3) / 4 * 4), 0.0f); // whole float4 reads
    auto made = device_->newBuffer(padded.data(), padded.size() * sizeof(float));
    if (!made) raise(errorPrediction, "Out of memory for the model's weights.");
    return made;
}

void GpuExecutor::plan() {
    const Graph& g = *graph_;
    std::vector<int> uses(size_t(g.valueCount), 0);
    for (const Node& node : g.nodes)
        for (int v : node.inputs) ++uses[size_t(v)];
    std::vector<bool> isOutput(size_t(g.valueCount), false);
    for (const GraphOutput& o : g.outputs) isOutput[size_t(o.value)] = true;

    for (const GraphInput& input : g.inputs)
        if (input.order == ChannelOrder::gray) return; // prediction refuses such inputs; nothing to prepare

    fromBgra_ = pipeline("lv_ml_from_bgra");
    toBgra_ = pipeline("lv_ml_to_bgra");

    for (size_t n = 0; n < g.nodes.size(); ++n) {
        const Node& node = g.nodes[n];
        Step step;
        step.node = int(n);
        step.inputs = node.inputs;
        step.output = node.output;
        std::visit(
            [&](const auto& op) {
                using T = std::decay_t<decltype(op)>;
                if constexpr (std::is_same_v<T, Conv>) {
                    // A following ReLU-like activation is folded into the convolution.
                    const Activation* folded = nullptr;
                    if ((fitsBlocked(op) || fitsLayerConvolution(op)) && n + 1 < g.nodes.size() &&
                        uses[size_t(node.output)] == 1 && !isOutput[size_t(node.output)]) {
                        const Node& next = g.nodes[n + 1];
                        const auto* a = std::get_if<Activation>(&next.op);
                        if (a && fusable(*a) && next.inputs.size() == 1 && next.inputs[0] == node.output) {
                            folded = a;
                            step.output = next.output;
                            step.fused = true;
                        }
                    }
                    // Explicit padding; the "same" rules give fixed amounts at stride 1.
                    const auto [top, bottom] = convolutionPadding(op, op.kernelHeight, true);
                    const auto [left, right] = convolutionPadding(op, op.kernelWidth, false);
                    (void)bottom;
                    (void)right;
                    if (fitsBlocked(op)) {
                        const int inSlices = int(slicesOf(op.inputChannels));
                        const Blocking b = blocking(op);
                        const int outPadded = b.paddedChannels;
                        step.kind = Step::Kind::blocked;
                        step.pipeline = pipeline("lv_ml_conv_blocked", "ConvBlocked.cl",
                                                 {{"IC_SLICES", inSlices},
                                                  {"KW", op.kernelWidth},
                                                  {"KH", op.kernelHeight},
                                                  {"PX", b.pixels},
                                                  {"NV", b.vectors},
                                                  {"PRELU", folded ? 1 : 0}});
                        // [out][in][ky][kx] to [ky][kx][in (padded)][out (padded)]
                        const size_t taps = size_t(op.kernelHeight * op.kernelWidth),
                                     in = size_t(op.inputChannels), inPadded = size_t(inSlices) * 4;
                        std::vector<float> w(taps * inPadded * size_t(outPadded), 0.0f);
                        for (size_t o = 0; o < size_t(op.outputChannels); ++o)
                            for (size_t i = 0; i < in; ++i)
                                for (size_t t = 0; t < taps; ++t)
                                    w[(t * inPadded + i) * size_t(outPadded) + o] =
                                        op.weights[(o * in + i) * taps + t];
                        step.weights = buffer(w);
                        std::vector<float> bias(size_t(outPadded), 0.0f), slopes(size_t(outPadded), 1.0f);
                        for (size_t o = 0; o < size_t(op.outputChannels); ++o) {
                            if (!op.bias.empty()) bias[o] = op.bias[o];
                            if (folded)
                                slopes[o] = folded->kind == ActivationKind::relu        ? 0.0f
                                            : folded->kind == ActivationKind::leakyRelu ? folded->alpha
                                            : folded->slopes.size() == 1                ? folded->slopes[0]
                                                                                        : folded->slopes[o];
                        }
                        step.constant = buffer(bias);
                        step.slopes = buffer(slopes);
                        step.padding = {left, top};
                        step.groups = outPadded / (16 * b.vectors);
                        step.paddedChannels = outPadded;
                        step.pixels = b.pixels;
                    } else if (fitsLayerConvolution(op)) {
                        gpu::ConvolutionDescriptor d;
                        d.kernelWidth = size_t(op.kernelWidth);
                        d.kernelHeight = size_t(op.kernelHeight);
                        d.inputFeatureChannels = size_t(op.inputChannels);
                        d.outputFeatureChannels = size_t(op.outputChannels);
                        if (folded && folded->kind == ActivationKind::relu)
                            d.fusedNeuron = gpu::NeuronDescriptor::reLU(0);
                        else if (folded && folded->kind == ActivationKind::leakyRelu)
                            d.fusedNeuron = gpu::NeuronDescriptor::reLU(folded->alpha);
                        else if (folded && folded->slopes.size() == 1)
                            d.fusedNeuron = gpu::NeuronDescriptor::reLU(folded->slopes[0]);
                        else if (folded)
                            d.fusedNeuron = gpu::NeuronDescriptor::pReLU(folded->slopes);
                        // [out][in][ky][kx] to the layer's [out][ky][kx][in]
                        std::vector<float> w(op.weights.size());
                        const size_t kh = size_t(op.kernelHeight), kw = size_t(op.kernelWidth),
                                     in = size_t(op.inputChannels);
                        for (size_t o = 0; o < size_t(op.outputChannels); ++o)
                            for (size_t i = 0; i < in; ++i)
                                for (size_t ky = 0; ky < kh; ++ky)
                                    for (size_t kx = 0; kx < kw; ++kx)
                                        w[((o * kh + ky) * kw + kx) * in + i] =
                                            op.weights[((o * in + i) * kh + ky) * kw + kx];
                        try {
                            step.convolution = std::make_shared<gpu::Convolution>(device_, d, w, op.bias);
                        } catch (const PlatformError& e) {
                            raise(errorGeneric, "Layer \"" + node.name + "\": " + e.what());
                        }
                        step.convolution->offset.x = (op.kernelWidth - 1) / 2 - left;
                        step.convolution->offset.y = (op.kernelHeight - 1) / 2 - top;
                        step.kind = Step::Kind::layerConvolution;
                    } else {
                        if (op.inputChannels > int(gpu::FeatureImage::maxFeatureChannels) ||
                            op.outputChannels > int(gpu::FeatureImage::maxFeatureChannels))
                            raise(errorGeneric,
                                  "Layer \"" + node.name + "\": more than 256 channels are not supported.");
                        step.kind = Step::Kind::kernel;
                        step.pipeline = pipeline("lv_ml_convolution");
                        step.weights = buffer(op.weights);
                        step.constant = buffer(
                            op.bias.empty() ? std::vector<float>(size_t(op.outputChannels), 0.0f) : op.bias);
                    }
                } else if constexpr (std::is_same_v<T, Activation>) {
                    static const int codes[] = {0, 1, 2, 3, 4};
                    int code = codes[int(op.kind)];
                    if (op.kind == ActivationKind::prelu && op.slopes.size() == 1)
                        code = 1; // one slope: a leaky ReLU
                    step.pipeline = pipeline("lv_ml_activation", "ACTIVATION", code);
                    if (code == 2) step.constant = buffer(op.slopes);
                } else if constexpr (std::is_same_v<T, Binary>) {
                    step.pipeline = pipeline("lv_ml_binary", "BINARY", op.kind == BinaryKind::add ? 0 : 1);
                    if (op.constant) step.constant = buffer(op.constant->values);
                } else if constexpr (std::is_same_v<T, PixelShuffle>) {
                    step.pipeline = pipeline("lv_ml_pixel_shuffle");
                } else if constexpr (std::is_same_v<T, Upsample>) {
                    step.pipeline = pipeline("lv_ml_upsample");
                } else if constexpr (std::is_same_v<T, Pad>) {
                    step.pipeline = pipeline("lv_ml_pad");
                } else if constexpr (std::is_same_v<T, GatherChannels> || std::is_same_v<T, Concat> ||
                                     std::is_same_v<T, Slice>) {
                    step.pipeline = pipeline("lv_ml_copy");
                }
            },
            node.op);
        steps_.push_back(std::move(step));
        if (steps_.back().fused) ++n; // the activation is done
    }
}

std::unique_ptr<GpuExecutor::Workspace> GpuExecutor::makeWorkspace(const std::vector<Shape>& shapes) {
    const Graph& g = *graph_;
    auto workspace = std::make_unique<Workspace>();
    workspace->images.resize(size_t(g.valueCount));

    // Last step reading each value; outputs live to the end.
    std::vector<int> lastUse(size_t(g.valueCount), -1);
    for (size_t s = 0; s < steps_.size(); ++s)
        for (int v : steps_[s].inputs) lastUse[size_t(v)] = int(s);
    for (const GraphOutput& o : g.outputs) lastUse[size_t(o.value)] = int(steps_.size());

    // Textures are shared by values whose lives do not overlap, matched by size and slices.
    using Key = std::tuple<int, int, size_t>;
    std::multimap<Key, std::shared_ptr<gpu::Texture>> idle;
    auto acquire = [&](int value) {
        const Shape& s = shapes[size_t(value)];
        if (s.c > int(gpu::FeatureImage::maxFeatureChannels))
            raise(errorGeneric, "\"" + g.valueNames[size_t(value)] +
                                    "\" has more than 256 channels, which is not supported.");
        const Key key{s.w, s.h, slicesOf(s.c)};
        std::shared_ptr<gpu::Texture> texture;
        if (auto it = idle.find(key); it != idle.end()) {
            texture = it->second;
            idle.erase(it);
        } else {
            gpu::FeatureImageDescriptor d;
            d.width = size_t(s.w);
            d.height = size_t(s.h);
            d.featureChannels = size_t(s.c);
            auto image = gpu::FeatureImage::make(device_, d);
            if (!image)
                raise(errorPrediction, "Out of GPU memory for a " + describe(s) + " intermediate image.");
            texture = image->texture();
        }
        workspace->images[size_t(value)] = gpu::FeatureImage::over(texture, size_t(s.c));
    };
    auto release = [&](int value) {
        const Shape& s = shapes[size_t(value)];
        idle.emplace(Key{s.w, s.h, slicesOf(s.c)}, workspace->images[size_t(value)]->texture());
    };

    for (const GraphInput& input : g.inputs) acquire(input.value);
    for (size_t s = 0; s < steps_.size(); ++s) {
        acquire(steps_[s].output);
        for (int v : steps_[s].inputs)
            if (lastUse[size_t(v)] == int(s)) {
                lastUse[size_t(v)] = -2; // released once, even when read twice by this step
                release(v);
            }
    }
    return workspace;
}

void GpuExecutor::encode(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer, const Step& step,
                         const Workspace& workspace, const std::vector<Shape>& shapes) {
    const Graph& g = *graph_;
    const Node& node = g.nodes[size_t(step.node)];
    const auto& out = workspace.images[size_t(step.output)];
    const Shape& os = shapes[size_t(step.output)];
    const auto& in = workspace.images[size_t(step.inputs.at(0))];
    const Shape& is = shapes[size_t(step.inputs.at(0))];

    if (step.kind == Step::Kind::layerConvolution) return step.convolution->encode(commandBuffer, in, out);
    if (step.kind == Step::Kind::blocked) {
        auto encoder = commandBuffer->computeCommandEncoder();
        if (!encoder) raise(errorPrediction, "Cannot record the prediction's GPU work.");
        encoder->setLabel(node.name);
        encoder->setComputePipelineState(step.pipeline);
        const Int4 params{step.padding.first, step.padding.second, step.paddedChannels, 0};
        encoder->setTexture(in->texture(), 0);
        encoder->setTexture(out->texture(), 1);
        encoder->setBuffer(step.weights, 0, 0);
        encoder->setBuffer(step.constant, 0, 1);
        encoder->setBuffer(step.slopes, 0, 2);
        encoder->setBytes(&params, sizeof params, 3);
        encoder->dispatchThreads(
            {size_t((os.w + step.pixels - 1) / step.pixels), size_t(os.h), size_t(step.groups)}, {8, 4, 1});
        encoder->endEncoding();
        return;
    }
    const gpu::Size grid{size_t(os.w), size_t(os.h), slicesOf(os.c)};
    auto encoder = commandBuffer->computeCommandEncoder();
    if (!encoder) raise(errorPrediction, "Cannot record the prediction's GPU work.");
    encoder->setLabel(node.name);
    encoder->setComputePipelineState(step.pipeline);
    std::visit(
        [&](const auto& op) {
            using T = std::decay_t<decltype(op)>;
            if constexpr (std::is_same_v<T, Conv>) {
                const auto [top, bottom] = convolutionPadding(op, is.h, true);
                const auto [left, right] = convolutionPadding(op, is.w, false);
                (void)bottom;
                (void)right;
                const Int4 shape{op.kernelHeight, op.kernelWidth, op.inputChannels / op.groups,
                                 op.outputChannels / op.groups};
                const Int4 stride{op.strideY, op.strideX, op.dilationY, op.dilationX};
                const Int4 pad{top, left, op.outputChannels, 0};
                encoder->setTexture(in->texture(), 0);
                encoder->setTexture(out->texture(), 1);
                encoder->setBuffer(step.weights, 0, 0);
                encoder->setBuffer(step.constant, 0, 1);
                encoder->setBytes(&shape, sizeof shape, 2);
                encoder->setBytes(&stride, sizeof stride, 3);
                encoder->setBytes(&pad, sizeof pad, 4);
                encoder->dispatchThreads(grid, threadgroup);
            } else if constexpr (std::is_same_v<T, Activation>) {
                const Int4 params{os.c, 0, 0, 0};
                const Float4 alpha{op.kind == ActivationKind::prelu ? op.slopes[0] : op.alpha, 0, 0, 0};
                encoder->setTexture(in->texture(), 0);
                encoder->setTexture(out->texture(), 1);
                if (step.constant) encoder->setBuffer(step.constant, 0, 0);
                encoder->setBytes(&params, sizeof params, 1);
                encoder->setBytes(&alpha, sizeof alpha, 2);
                encoder->dispatchThreads(grid, threadgroup);
            } else if constexpr (std::is_same_v<T, Binary>) {
                const Shape bs = op.constant ? op.constant->shape : shapes[size_t(step.inputs.at(1))];
                const Int4 shapeA{is.c, is.h, is.w, 0}, shapeB{bs.c, bs.h, bs.w, 0};
                const bool same = !op.constant && is == os && bs == os;
                const Int4 params{os.c, same ? 1 : 0, 0, 0};
                encoder->setTexture(in->texture(), 0);
                if (!op.constant)
                    encoder->setTexture(workspace.images[size_t(step.inputs.at(1))]->texture(), 1);
                encoder->setTexture(out->texture(), 2);
                if (step.constant) encoder->setBuffer(step.constant, 0, 0);
                encoder->setBytes(&shapeA, sizeof shapeA, 1);
                encoder->setBytes(&shapeB, sizeof shapeB, 2);
                encoder->setBytes(&params, sizeof params, 3);
                encoder->dispatchThreads(grid, threadgroup);
            } else if constexpr (std::is_same_v<T, PixelShuffle>) {
                const Int4 params{op.factor, op.order == ShuffleOrder::pixelShuffle ? 0 : 1, os.c, 0};
                encoder->setTexture(in->texture(), 0);
                encoder->setTexture(out->texture(), 1);
                encoder->setBytes(&params, sizeof params, 0);
                encoder->dispatchThreads(grid, threadgroup);
            } else if constexpr (std::is_same_v<T, Upsample>) {
                const int sampling = op.sampling == Sampling::alignCorners ? 0
                                     : op.sampling == Sampling::halfPixel  ? 1
                                                                           : 2;
                const Int4 params{op.bilinear ? 1 : 0, sampling, 0, 0};
                const Float4 scale{op.scaleY, op.scaleX, 0, 0};
                encoder->setTexture(in->texture(), 0);
                encoder->setTexture(out->texture(), 1);
                encoder->setBytes(&params, sizeof params, 0);
                encoder->setBytes(&scale, sizeof scale, 1);
                encoder->dispatchThreads(grid, threadgroup);
            } else if constexpr (std::is_same_v<T, Pad>) {
                const Int4 params{op.top, op.left,
                                  op.mode == PadMode::constant  ? 0
                                  : op.mode == PadMode::reflect ? 1
                                                                : 2,
                                  os.c};
                const Float4 value{op.value, 0, 0, 0};
                encoder->setTexture(in->texture(), 0);
                encoder->setTexture(out->texture(), 1);
                encoder->setBytes(&params, sizeof params, 0);
                encoder->setBytes(&value, sizeof value, 1);
                encoder->dispatchThreads(grid, threadgroup);
            } else {
                // Channel-mapped region copies: one per input of a concatenation.
                auto copy = [&](const std::shared_ptr<gpu::FeatureImage>& source, std::vector<int32_t> map,
                                Int4 region, int stepX, int stepY, int firstChannel, int width, int height) {
                    const int count = int(map.size());
                    const Int4 steps{stepX, stepY, firstChannel, count};
                    const Int4 params{os.c, 0, 0, 0};
                    const size_t slices = slicesOf(firstChannel + count) - size_t(firstChannel / 4);
                    encoder->setTexture(source->texture(), 0);
                    encoder->setTexture(out->texture(), 1);
                    encoder->setBytes(map.data(), map.size() * sizeof(int32_t), 0);
                    encoder->setBytes(&region, sizeof region, 1);
                    encoder->setBytes(&steps, sizeof steps, 2);
                    encoder->setBytes(&params, sizeof params, 3);
                    encoder->dispatchThreads({size_t(width), size_t(height), slices}, threadgroup);
                };
                auto identity = [](int first, int count, int stride) {
                    std::vector<int32_t> map;
                    for (int k = 0; k < count; ++k) map.push_back(first + k * stride);
                    return map;
                };
                if constexpr (std::is_same_v<T, GatherChannels>) {
                    std::vector<int32_t> map;
                    for (int64_t index : op.indices) map.push_back(int32_t(index < 0 ? index + is.c : index));
                    copy(in, map, Int4{0, 0, 0, 0}, 1, 1, 0, os.w, os.h);
                } else if constexpr (std::is_same_v<T, Slice>) {
                    const SliceRange rc = resolveSlice(op, axisC, is.c), ry = resolveSlice(op, axisH, is.h),
                                     rx = resolveSlice(op, axisW, is.w);
                    copy(in, identity(rc.begin, rc.count, rc.stride), Int4{0, 0, rx.begin, ry.begin},
                         rx.stride, ry.stride, 0, os.w, os.h);
                } else if constexpr (std::is_same_v<T, Concat>) {
                    int offset = 0;
                    for (int v : step.inputs) {
                        const Shape& s = shapes[size_t(v)];
                        const auto& source = workspace.images[size_t(v)];
                        if (op.axis == axisC) {
                            copy(source, identity(0, s.c, 1), Int4{0, 0, 0, 0}, 1, 1, offset, s.w, s.h);
                            offset += s.c;
                        } else if (op.axis == axisH) {
                            copy(source, identity(0, s.c, 1), Int4{0, offset, 0, 0}, 1, 1, 0, s.w, s.h);
                            offset += s.h;
                        } else {
                            copy(source, identity(0, s.c, 1), Int4{offset, 0, 0, 0}, 1, 1, 0, s.w, s.h);
                            offset += s.w;
                        }
                    }
                }
            }
        },
        node.op);
    encoder->endEncoding();
}

std::unique_ptr<GpuExecutor::Workspace>
GpuExecutor::takeWorkspace(const std::vector<std::pair<int, int>>& key, const std::vector<Shape>& shapes) {
    {
        std::lock_guard lock(mutex_);
        auto& idle = idle_[key];
        if (!idle.empty()) {
            auto workspace = std::move(idle.back());
            idle.pop_back();
            return workspace;
        }
    }
    return makeWorkspace(shapes);
}

void GpuExecutor::returnWorkspace(const std::vector<std::pair<int, int>>& key,
                                  std::unique_ptr<Workspace> workspace, bool keep) {
    std::lock_guard lock(mutex_);
    // Keep workspaces of the latest input size only: whole-frame models change size rarely and
    // each workspace holds a frame's worth of intermediates.
    for (auto it = idle_.begin(); it != idle_.end();) it = it->first == key ? std::next(it) : idle_.erase(it);
    auto& idle = idle_[key];
    if (keep && idle.size() < maxIdleWorkspaces) idle.push_back(std::move(workspace));
}

void GpuExecutor::finish(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer) {
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
}

void GpuExecutor::run(const std::vector<PixelBuffer>& inputs, const std::vector<PixelBuffer>& outputs,
                      const std::vector<Shape>& shapes) {
    const Graph& g = *graph_;
    std::vector<std::pair<int, int>> key;
    for (const GraphInput& input : g.inputs)
        key.emplace_back(shapes[size_t(input.value)].w, shapes[size_t(input.value)].h);
    std::unique_ptr<Workspace> workspace = takeWorkspace(key, shapes);

    auto commandBuffer = queue_->commandBuffer();
    commandBuffer->setLabel("Prediction");
    std::vector<std::shared_ptr<gpu::Texture>> held; // pixel-buffer textures live until the work is done
    auto pixelTexture = [&](const PixelBuffer& buffer) {
        auto texture = device_->newTextureOverPixelBuffer(buffer.get(), 0, gpu::PixelFormat::bgra8Unorm);
        if (!texture) raise(errorPrediction, "Cannot share an image with the GPU.");
        held.push_back(texture);
        return texture;
    };
    for (size_t i = 0; i < g.inputs.size(); ++i) {
        const GraphInput& input = g.inputs[i];
        const Shape& s = shapes[size_t(input.value)];
        const Int4 params{input.order == ChannelOrder::bgr ? 1 : 0, 0, 0, 0};
        const Float4 scale{input.scale, 0, 0, 0}, bias{input.bias[0], input.bias[1], input.bias[2], 0};
        auto encoder = commandBuffer->computeCommandEncoder();
        encoder->setLabel("Input " + input.feature);
        encoder->setComputePipelineState(fromBgra_);
        encoder->setTexture(pixelTexture(inputs[i]), 0);
        encoder->setTexture(workspace->images[size_t(input.value)]->texture(), 1);
        encoder->setBytes(&params, sizeof params, 0);
        encoder->setBytes(&scale, sizeof scale, 1);
        encoder->setBytes(&bias, sizeof bias, 2);
        encoder->dispatchThreads({size_t(s.w), size_t(s.h), 1}, threadgroup);
        encoder->endEncoding();
    }
    for (const Step& step : steps_) encode(commandBuffer, step, *workspace, shapes);
    for (size_t i = 0; i < g.outputs.size(); ++i) {
        const GraphOutput& output = g.outputs[i];
        const Shape& s = shapes[size_t(output.value)];
        const Int4 params{output.order == ChannelOrder::bgr ? 1 : 0, 0, 0, 0};
        auto encoder = commandBuffer->computeCommandEncoder();
        encoder->setLabel("Output " + output.feature);
        encoder->setComputePipelineState(toBgra_);
        encoder->setTexture(workspace->images[size_t(output.value)]->texture(), 0);
        encoder->setTexture(pixelTexture(outputs[i]), 1);
        encoder->setBytes(&params, sizeof params, 0);
        encoder->dispatchThreads({size_t(s.w), size_t(s.h), 1}, threadgroup);
        encoder->endEncoding();
    }
    finish(commandBuffer);
    const bool failed = commandBuffer->status() == gpu::CommandBuffer::Status::error;
    returnWorkspace(key, std::move(workspace), !failed);
    if (failed) {
        const auto error = commandBuffer->error();
        raise(errorPrediction, "The prediction failed on the GPU: " +
                                   std::string(error ? error->what() : "unknown error") + ".");
    }
}

std::vector<Tensor> GpuExecutor::runTensors(const std::vector<Tensor>& inputs) {
    const Graph& g = *graph_;
    std::vector<Shape> inputShapes;
    for (const Tensor& t : inputs) inputShapes.push_back(t.shape);
    const std::vector<Shape> shapes = inferShapes(g, inputShapes);
    std::unique_ptr<Workspace> workspace = makeWorkspace(shapes);
    for (size_t i = 0; i < inputs.size(); ++i) {
        const Tensor& t = inputs[i];
        std::vector<float> pixelMajor(t.data.size());
        for (int c = 0; c < t.shape.c; ++c)
            for (int p = 0; p < t.shape.h * t.shape.w; ++p)
                pixelMajor[size_t(p) * size_t(t.shape.c) + size_t(c)] =
                    t.data[size_t(c) * size_t(t.shape.h * t.shape.w) + size_t(p)];
        workspace->images[size_t(g.inputs[i].value)]->writeFloats(pixelMajor);
    }
    auto commandBuffer = queue_->commandBuffer();
    for (const Step& step : steps_) encode(commandBuffer, step, *workspace, shapes);
    finish(commandBuffer);
    if (commandBuffer->status() == gpu::CommandBuffer::Status::error)
        raise(errorPrediction, "The GPU work failed: " + std::string(commandBuffer->error()->what()));
    std::vector<Tensor> outputs;
    for (const GraphOutput& o : g.outputs) {
        const Shape& s = shapes[size_t(o.value)];
        const std::vector<float> pixelMajor = workspace->images[size_t(o.value)]->readFloats();
        Tensor t{s, std::vector<float>(s.count())};
        for (int c = 0; c < s.c; ++c)
            for (int p = 0; p < s.h * s.w; ++p)
                t.data[size_t(c) * size_t(s.h * s.w) + size_t(p)] =
                    pixelMajor[size_t(p) * size_t(s.c) + size_t(c)];
        outputs.push_back(std::move(t));
    }
    return outputs;
}

size_t GpuExecutor::layerConvolutionCount() const {
    return size_t(std::count_if(steps_.begin(), steps_.end(),
                                [](const Step& s) { return s.kind == Step::Kind::layerConvolution; }));
}

size_t GpuExecutor::blockedConvolutionCount() const {
    return size_t(std::count_if(steps_.begin(), steps_.end(),
                                [](const Step& s) { return s.kind == Step::Kind::blocked; }));
}

size_t GpuExecutor::fusedActivationCount() const {
    return size_t(std::count_if(steps_.begin(), steps_.end(), [](const Step& s) { return s.fused; }));
}

std::unique_ptr<Executor> makeGpuExecutor(std::shared_ptr<const Graph> graph) {
    std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault();
    if (!device) return nullptr;
    return std::make_unique<GpuExecutor>(std::move(graph), std::move(device));
}

} // namespace lumavane::ml::detail
