// The 16-channel Winograd body layer (3x3, PReLU) against the Gpu layer's direct convolution of
// the same layer, timed per frame (commit to completion) and by the device's profiling clock.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>

#include "CompactMetal/ConvWinograd.hpp"
#include "Platform/Gpu/Gpu.hpp"

namespace {

using namespace lumavane;
using namespace lumavane::gpu;

struct Layer {
    std::vector<float> weights, biases, slopes;
};

Layer randomLayer(std::size_t inputs, std::size_t outputs) {
    std::mt19937 rng(1);
    const float scale = 1.5f / std::sqrt(9.0f * static_cast<float>(inputs));
    std::uniform_real_distribution<float> uniform(-scale, scale);
    Layer layer{std::vector<float>(outputs * 9 * inputs), std::vector<float>(outputs),
                std::vector<float>(outputs, 0.25f)};
    for (auto& w : layer.weights) w = uniform(rng);
    for (auto& b : layer.biases) b = uniform(rng);
    return layer;
}

std::shared_ptr<FeatureImage> randomImage(const std::shared_ptr<Device>& device, std::size_t width,
                                          std::size_t height, std::size_t channels) {
    auto image = FeatureImage::make(device, {FeatureChannelFormat::float16, width, height, channels});
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> values(width * height * channels);
    for (auto& v : values) v = uniform(rng);
    image->writeFloats(values);
    return image;
}

// Runs `record` once per iteration into its own command buffer. Reports GFLOP/s of the layer
// as a direct convolution computes it, and the layer's shape for compare-layers.
template <typename Record>
void timeFrames(benchmark::State& state, const std::shared_ptr<CommandQueue>& queue, std::size_t inputs,
                std::size_t outputs, bool prelu, Record record) {
    const double flops = 2.0 * static_cast<double>(state.range(0) * state.range(1)) *
                         static_cast<double>(inputs * outputs * 9);
    double gpuSeconds = 0;
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
    state.counters["GFLOPs"] =
        benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["gpu_ms"] = gpuSeconds * 1000.0 / static_cast<double>(state.iterations());
    state.counters["inputs"] = static_cast<double>(inputs);
    state.counters["outputs"] = static_cast<double>(outputs);
    state.counters["prelu"] = prelu ? 1 : 0;
}

void winograd16(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    const Layer layer = randomLayer(16, 16);
    const ConvWinograd conv(device, 16, 16, layer.weights, layer.biases, std::span<const float>(layer.slopes),
                            false);
    auto source = randomImage(device, width, height, 16),
         destination = randomImage(device, width, height, 16);
    timeFrames(state, device->newCommandQueue(), 16, 16, true, [&](const auto& command) {
        conv.encode(source->texture(), destination->texture(), command, false);
    });
}

void direct16(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    const Layer layer = randomLayer(16, 16);
    ConvolutionDescriptor d;
    d.inputFeatureChannels = d.outputFeatureChannels = 16;
    d.fusedNeuron = NeuronDescriptor::pReLU(layer.slopes);
    Convolution conv(device, d, layer.weights, layer.biases);
    auto source = randomImage(device, width, height, 16),
         destination = randomImage(device, width, height, 16);
    timeFrames(state, device->newCommandQueue(), 16, 16, true,
               [&](const auto& command) { conv.encode(command, source, destination); });
}

#define FRAME_ARGS                      \
    ArgNames({"width", "height"})       \
        ->Args({1280, 720})             \
        ->UseManualTime()               \
        ->Unit(benchmark::kMillisecond) \
        ->MinTime(1.0)
BENCHMARK(winograd16)->FRAME_ARGS;
BENCHMARK(direct16)->FRAME_ARGS;

} // namespace
