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

#include <optional>
#include <string>

#include "CompactMetal/RectTail.hpp"
#include "CompactMetal/RectangularWinograd.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "bench_support.hpp"

namespace {

using namespace lumavane;
using namespace lumavane::gpu;
using namespace lumavane::bench;

// Runs `record` once per iteration into its own command buffer (after timeFrames' untimed
// first frame, which builds the kernel for its threadgroup size); reports GFLOP/s of `flops`
// and the process's CPU time.
template <typename Record>
void rectTimeFrames(benchmark::State& state, const std::shared_ptr<CommandQueue>& queue, double flops,
                    Record record) {
    const auto gpuSeconds = timeFrames(state, queue, record);
    if (!gpuSeconds) return;
    reportRates(state, flops, *gpuSeconds);
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
    const RandomLayer layer = randomLayer(shape.channels, shape.channels);
    const RectangularWinograd conv(device, static_cast<std::int64_t>(shape.channels), layer.weights,
                                   layer.biases, layer.slopes, configuration);
    auto source = randomImage(device, width, height, shape.channels);
    auto destination = randomImage(device, width, height, shape.channels);
    rectTimeFrames(
        state, device->newCommandQueue(), winogradFlops(width, height, shape.channels, shape.channels, 4, 2),
        [&](const auto& command) { conv.encode(source->texture(), destination->texture(), command); });
    describeLayer(state, shape.channels, shape.channels, true);
}

// The Gpu layer's direct convolution of the 24-channel layer (the 16-channel one is
// winograd_bench.cpp's direct16).
void directRect24(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    DirectLayer direct(device, width, height, 24);
    rectTimeFrames(state, device->newCommandQueue(), layerFlops(width, height, 24, 24),
                   [&](const auto& command) { direct.encode(command); });
    describeLayer(state, 24, 24, true);
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
    const RandomLayer layer = randomLayer(channels, 48);
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
    auto features = randomImage(device, width, height, channels);
    auto source = device->newTexture(TextureDescriptor::texture2D(PixelFormat::bgra8Unorm, width, height));
    const auto scale = static_cast<std::size_t>(shape.scale);
    auto descriptor = TextureDescriptor::texture2D(PixelFormat::bgra8Unorm, width * scale, height * scale);
    descriptor.usage = textureUsageShaderRead | textureUsageShaderWrite;
    auto destination = device->newTexture(descriptor);
    rectTimeFrames(
        state, device->newCommandQueue(), winogradFlops(width, height, channels, 48, 4, 2),
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

// Names say the shape: rect<C>_t<tiles>x<rows>_s<SIMD groups>, rect_tail<C>_<4x|2x>.
const bool registered = [] {
    for (const LayerShape shape :
         {LayerShape{16, 8, 4, 1, false}, LayerShape{16, 16, 8, 2, false}, LayerShape{16, 8, 4, 1, true},
          LayerShape{24, 8, 4, 1, false}, LayerShape{24, 16, 8, 2, false}}) {
        const std::string name = "rect" + std::to_string(shape.channels) + "_t" +
                                 std::to_string(shape.tiles) + "x" + std::to_string(shape.rows) + "_s" +
                                 std::to_string(shape.simds) + (shape.narrow ? "_narrow" : "");
        configureFrames(benchmark::RegisterBenchmark(name.c_str(), rectLayer, shape), 1280, 720);
    }
    configureFrames(benchmark::RegisterBenchmark("direct_rect24", directRect24), 1280, 720);
    const std::pair<const char*, TailShape> tails[] = {
        {"rect_tail16_4x", {16, 4, false, false, false}},
        {"rect_tail16_4x_row_pairs", {16, 4, false, false, true}},
        {"rect_tail16_2x", {16, 2, false, false, false}},
        {"rect_tail16_2x_vector", {16, 2, false, true, false}},
        {"rect_tail24hq_4x", {24, 4, true, false, false}},
        {"rect_tail24hq_2x", {24, 2, true, false, false}},
    };
    for (const auto& [name, shape] : tails)
        configureFrames(benchmark::RegisterBenchmark(name, rectTail, shape), 960, 540);
    return true;
}();

} // namespace
