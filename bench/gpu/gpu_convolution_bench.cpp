// The Gpu layer's feature-image convolution, timed per frame (commit to completion) and by the
// device's profiling clock. bench/gpu/compare-convolution runs it beside PyTorch's conv2d.
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>

#include "Platform/Gpu/Gpu.hpp"

namespace {

using namespace lumavane::gpu;

void convolution(benchmark::State& state) {
    const size_t width = state.range(0), height = state.range(1), channels = state.range(2),
                 kernel = state.range(3);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    auto queue = device->newCommandQueue();

    std::mt19937 rng(1);
    std::uniform_real_distribution<float> uniform(-0.1f, 0.1f);
    std::vector<float> weights(channels * kernel * kernel * channels), biases(channels),
        slopes(channels, 0.25f);
    for (auto& w : weights) w = uniform(rng);
    for (auto& b : biases) b = uniform(rng);
    ConvolutionDescriptor d;
    d.kernelWidth = d.kernelHeight = kernel;
    d.inputFeatureChannels = d.outputFeatureChannels = channels;
    d.fusedNeuron = NeuronDescriptor::pReLU(slopes);
    Convolution conv(device, d, weights, biases);
    auto source = FeatureImage::make(device, {FeatureChannelFormat::float16, width, height, channels});
    auto destination = FeatureImage::make(device, {FeatureChannelFormat::float16, width, height, channels});
    std::vector<float> input(width * height * channels);
    for (auto& v : input) v = uniform(rng) * 10;
    source->writeFloats(input);

    // One untimed frame first: with an empty kernel cache it compiles the kernel (seconds).
    {
        auto commands = queue->commandBuffer();
        conv.encode(commands, source, destination);
        commands->commit();
        commands->waitUntilCompleted();
        if (commands->status() != CommandBuffer::Status::completed)
            return state.SkipWithError("command buffer failed");
    }
    double gpuSeconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto commands = queue->commandBuffer();
        conv.encode(commands, source, destination);
        commands->commit();
        commands->waitUntilCompleted();
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (commands->status() != CommandBuffer::Status::completed)
            return state.SkipWithError("command buffer failed");
        gpuSeconds += commands->GPUEndTime() - commands->GPUStartTime();
        state.SetIterationTime(wall);
    }
    const double flops = 2.0 * width * height * channels * channels * kernel * kernel;
    state.counters["GFLOPs"] =
        benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["gpu_ms"] = gpuSeconds * 1000.0 / static_cast<double>(state.iterations());
}

BENCHMARK(convolution)
    ->ArgNames({"width", "height", "channels", "kernel"})
    ->Args({1280, 720, 16, 3})
    ->Args({1280, 720, 24, 3})
    ->Args({1280, 720, 64, 3})
    ->Args({1280, 720, 16, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

} // namespace

BENCHMARK_MAIN();
