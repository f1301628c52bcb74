// The rectangular-tile Winograd body layer (3x3, bias, PReLU; 16 and 24 channels) and the fused
// rectangular tails of a 4x network (last layer 16/24 -> 48, pixel shuffle, residual; native 4x
// and reduced 2x output), timed per frame (commit to completion), by the device's profiling clock
// and by the process's CPU time (steadier than the wall clock on a busy machine).
// bench/compact/rect-compare runs them beside the Gpu layer's direct convolution and PyTorch.
//
// Layer benchmarks carry the counters "inputs", "outputs" and "prelu" that
// bench/compact/torch_layers.py compares with PyTorch's conv2d; the tails carry "tail_inputs" and
// "tail_scale" for bench/compact/rect_torch_tails.py, which adds PyTorch's pixel shuffle, residual
// and reduction to the convolution.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <random>
#include <string>

#include "CompactMetal/RectTail.hpp"
#include "CompactMetal/RectangularWinograd.hpp"
#include "Platform/Gpu/Gpu.hpp"

namespace {

using namespace lumavane;
using namespace lumavane::gpu;

struct RectLayer {
    std::vector<float> weights, biases, slopes;
};

RectLayer rectRandomLayer(std::size_t inputs, std::size_t outputs) {
    std::mt19937 rng(1);
    const float scale = 1.5f / std::sqrt(9.0f * static_cast<float>(inputs));
    std::uniform_real_distribution<float> uniform(-scale, scale);
    RectLayer layer{std::vector<float>(outputs * 9 * inputs), std::vector<float>(outputs),
                    std::vector<float>(outputs, 0.25f)};
    for (auto& w : layer.weights) w = uniform(rng);
    for (auto& b : layer.biases) b = uniform(rng);
    return layer;
}

std::shared_ptr<FeatureImage> rectRandomImage(const std::shared_ptr<Device>& device, std::size_t width,
                                              std::size_t height, std::size_t channels) {
    auto image = FeatureImage::make(device, {FeatureChannelFormat::float16, width, height, channels});
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> values(width * height * channels);
    for (auto& v : values) v = uniform(rng);
    image->writeFloats(values);
    return image;
}

double rectProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `record` once per iteration into its own command buffer; reports GFLOP/s of `flops`.
template <typename Record>
void rectTimeFrames(benchmark::State& state, const std::shared_ptr<CommandQueue>& queue, double flops,
                    Record record) {
    {
        // The first dispatch builds the kernel for its threadgroup size.
        auto command = queue->commandBuffer();
        record(command);
        command->commit();
        command->waitUntilCompleted();
    }
    double gpuSeconds = 0;
    const double cpuStart = rectProcessCpuSeconds();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto command = queue->commandBuffer();
        record(command);
        command->commit();
        command->waitUntilCompleted();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (command->status() != CommandBuffer::Status::completed)
            return state.SkipWithError("command buffer failed");
        gpuSeconds += command->GPUEndTime() - command->GPUStartTime();
        state.SetIterationTime(wall);
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = (rectProcessCpuSeconds() - cpuStart) * 1000.0 / iterations;
    state.counters["GFLOPs"] =
        benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["gpu_ms"] = gpuSeconds * 1000.0 / iterations;
}

// Direct-convolution FLOPs of a 3x3 layer: what every implementation is credited with.
double rectLayerFlops(std::size_t width, std::size_t height, std::size_t inputs, std::size_t outputs) {
    return 2.0 * static_cast<double>(width * height * inputs * outputs * 9);
}

void describeLayer(benchmark::State& state, std::size_t channels) {
    state.counters["inputs"] = static_cast<double>(channels);
    state.counters["outputs"] = static_cast<double>(channels);
    state.counters["prelu"] = 1;
}

struct LayerShape {
    std::size_t channels;
    std::int64_t tiles, simds, rows;
    bool narrow;
};

void rectLayer(benchmark::State& state, LayerShape shape) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    RectangularConfiguration configuration;
    configuration.layers = {1};
    configuration.tiles_per_group = shape.tiles;
    configuration.simd_groups = shape.simds;
    configuration.tile_rows = shape.rows;
    configuration.narrow_input = shape.narrow;
    const RectLayer layer = rectRandomLayer(shape.channels, shape.channels);
    const RectangularWinograd conv(device, static_cast<std::int64_t>(shape.channels), layer.weights,
                                   layer.biases, layer.slopes, configuration);
    auto source = rectRandomImage(device, width, height, shape.channels);
    auto destination = rectRandomImage(device, width, height, shape.channels);
    rectTimeFrames(
        state, device->newCommandQueue(), rectLayerFlops(width, height, shape.channels, shape.channels),
        [&](const auto& command) { conv.encode(source->texture(), destination->texture(), command); });
    describeLayer(state, shape.channels);
}

// The Gpu layer's direct convolution of the 24-channel layer (the 16-channel one is
// winograd_bench.cpp's direct16).
void directRect24(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    const RectLayer layer = rectRandomLayer(24, 24);
    ConvolutionDescriptor d;
    d.inputFeatureChannels = d.outputFeatureChannels = 24;
    d.fusedNeuron = NeuronDescriptor::pReLU(layer.slopes);
    Convolution conv(device, d, layer.weights, layer.biases);
    auto source = rectRandomImage(device, width, height, 24);
    auto destination = rectRandomImage(device, width, height, 24);
    rectTimeFrames(state, device->newCommandQueue(), rectLayerFlops(width, height, 24, 24),
                   [&](const auto& command) { conv.encode(command, source, destination); });
    describeLayer(state, 24);
}

struct TailShape {
    std::size_t channels;
    int scale;
    bool hq, vectorOutput, rowPairs;
};

// The fused tail of a 4x network from width x height features, dispatched as the engine does.
void rectTail(benchmark::State& state, TailShape shape) {
    const std::size_t width = state.range(0), height = state.range(1), channels = shape.channels;
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    const RectLayer layer = rectRandomLayer(channels, 48);
    std::shared_ptr<ComputePipelineState> pipeline;
    std::shared_ptr<Buffer> weights, bias;
    std::size_t simds = 6;
    std::optional<RectTail> tail;
    std::optional<RectTail24> hq;
    if (shape.hq) {
        hq.emplace(device, layer.weights, layer.biases, 6);
        pipeline = shape.scale == 4 ? hq->native() : hq->down2();
        weights = hq->weights();
        bias = hq->bias();
    } else {
        tail.emplace(device, static_cast<std::int64_t>(channels), layer.weights, layer.biases, 6,
                     shape.vectorOutput, std::nullopt, shape.rowPairs);
        pipeline = shape.scale == 4 ? tail->native() : tail->down2();
        simds = static_cast<std::size_t>(shape.scale == 4 ? tail->nativeSimds() : tail->simds());
        weights = tail->weights();
        bias = tail->bias();
    }
    auto features = rectRandomImage(device, width, height, channels);
    auto source = device->newTexture(TextureDescriptor::texture2D(PixelFormat::bgra8Unorm, width, height));
    const auto scale = static_cast<std::size_t>(shape.scale);
    auto descriptor = TextureDescriptor::texture2D(PixelFormat::bgra8Unorm, width * scale, height * scale);
    descriptor.usage = textureUsageShaderRead | textureUsageShaderWrite;
    auto destination = device->newTexture(descriptor);
    rectTimeFrames(
        state, device->newCommandQueue(), rectLayerFlops(width, height, channels, 48),
        [&](const auto& command) {
            auto encoder = command->computeCommandEncoder();
            encoder->setComputePipelineState(pipeline);
            encoder->setTexture(features->texture(), 0);
            encoder->setTexture(source, 1);
            encoder->setTexture(destination, 2);
            encoder->setBuffer(weights, 0, 0);
            encoder->setBuffer(bias, 0, 1);
            const std::uint32_t flip = 0;
            encoder->setBytes(&flip, sizeof flip, 2);
            encoder->dispatchThreadgroups({(width + 31) / 32, (height + 1) / 2, 1}, {32 * simds, 1, 1});
            encoder->endEncoding();
        });
    state.counters["tail_inputs"] = static_cast<double>(channels);
    state.counters["tail_scale"] = shape.scale;
}

void configure(benchmark::internal::Benchmark* b, std::int64_t width, std::int64_t height) {
    b->ArgNames({"width", "height"})
        ->Args({width, height})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
}

// Names say the shape: rect<C>_t<tiles>x<rows>_s<SIMD groups>, rect_tail<C>_<4x|2x>.
const bool registered = [] {
    for (const LayerShape shape :
         {LayerShape{16, 8, 4, 1, false}, LayerShape{16, 16, 8, 2, false}, LayerShape{16, 8, 4, 1, true},
          LayerShape{24, 8, 4, 1, false}, LayerShape{24, 16, 8, 2, false}}) {
        const std::string name = "rect" + std::to_string(shape.channels) + "_t" +
                                 std::to_string(shape.tiles) + "x" + std::to_string(shape.rows) + "_s" +
                                 std::to_string(shape.simds) + (shape.narrow ? "_narrow" : "");
        configure(benchmark::RegisterBenchmark(name.c_str(), rectLayer, shape), 1280, 720);
    }
    configure(benchmark::RegisterBenchmark("direct_rect24", directRect24), 1280, 720);
    const std::pair<const char*, TailShape> tails[] = {
        {"rect_tail16_4x", {16, 4, false, false, false}},
        {"rect_tail16_4x_row_pairs", {16, 4, false, false, true}},
        {"rect_tail16_2x", {16, 2, false, false, false}},
        {"rect_tail16_2x_vector", {16, 2, false, true, false}},
        {"rect_tail24hq_4x", {24, 4, true, false, false}},
        {"rect_tail24hq_2x", {24, 2, true, false, false}},
    };
    for (const auto& [name, shape] : tails)
        configure(benchmark::RegisterBenchmark(name, rectTail, shape), 960, 540);
    return true;
}();

} // namespace
