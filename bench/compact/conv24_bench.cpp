// The 24-channel body layer (3x3, bias, PReLU) in each Conv24Kernel mode against the Gpu layer's
// direct convolution of the same layer, timed per frame (commit to completion) and by the
// device's profiling clock. With PyTorch's conv2d of the same layer in the same run:
//   FILTER='^(conv24|direct24)' bench/compact/compare-layers
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>
#include <string>

#include <sys/resource.h>

#include "CompactMetal/Conv24Kernel.hpp"
#include "CompactMetal/Conv24Weights.hpp"
#include "Platform/Gpu/Gpu.hpp"

namespace {

using namespace lumavane;
using namespace lumavane::gpu;

struct Layer24 {
    std::vector<float> weights, biases, slopes;
};

Layer24 randomLayer24() {
    std::mt19937 rng(1);
    const float scale = 1.5f / std::sqrt(9.0f * 24.0f);
    std::uniform_real_distribution<float> uniform(-scale, scale);
    Layer24 layer{std::vector<float>(24 * 9 * 24), std::vector<float>(24), std::vector<float>(24, 0.25f)};
    for (auto& w : layer.weights) w = uniform(rng);
    for (auto& b : layer.biases) b = uniform(rng);
    return layer;
}

std::shared_ptr<FeatureImage> randomImage24(const std::shared_ptr<Device>& device, std::size_t width,
                                            std::size_t height) {
    auto image = FeatureImage::make(device, {FeatureChannelFormat::float16, width, height, 24});
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> values(width * height * 24);
    for (auto& v : values) v = uniform(rng);
    image->writeFloats(values);
    return image;
}

// CPU seconds of every thread of the process: on a loaded machine this is steadier than wall
// time, and comparable with PyTorch's measured the same way.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One layer per iteration in its own command buffer; GFLOP/s are those of the direct layer.
template <typename Record>
void timeLayer(benchmark::State& state, const std::shared_ptr<CommandQueue>& queue, std::size_t width,
               std::size_t height, Record record) {
    double gpuSeconds = 0;
    const double cpuStart = processCpuSeconds();
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
    const double iterations = static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = (processCpuSeconds() - cpuStart) * 1000.0 / iterations;
    const double flops = 2.0 * static_cast<double>(width * height) * 24 * 24 * 9;
    state.counters["GFLOPs"] =
        benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["gpu_ms"] = gpuSeconds * 1000.0 / iterations;
    // The layer's shape, for the comparison with PyTorch.
    state.counters["inputs"] = 24;
    state.counters["outputs"] = 24;
    state.counters["prelu"] = 1;
}

void conv24(benchmark::State& state, const char* mode) {
    const std::size_t width = state.range(0), height = state.range(1);
    // The 24-channel kernels ask for Apple family 7, which CPU devices do not claim by default.
    DeviceProfile profile = DeviceProfile::defaultFor(true);
    profile.families.insert(GPUFamily::apple7);
    auto device = Device::withProfile(profile);
    if (!device) return state.SkipWithError("no OpenCL device");
    const Layer24 layer = randomLayer24();
    const Conv24Kernel kernel(device, mode);
    const Conv24Weights weights(device, layer.weights, layer.biases, layer.slopes, mode);
    auto source = randomImage24(device, width, height), destination = randomImage24(device, width, height);
    timeLayer(state, device->newCommandQueue(), width, height, [&](const auto& command) {
        kernel.encode(source->texture(), destination->texture(), weights, command);
    });
}

void direct24(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    const Layer24 layer = randomLayer24();
    ConvolutionDescriptor d;
    d.inputFeatureChannels = d.outputFeatureChannels = 24;
    d.fusedNeuron = NeuronDescriptor::pReLU(layer.slopes);
    Convolution conv(device, d, layer.weights, layer.biases);
    auto source = randomImage24(device, width, height), destination = randomImage24(device, width, height);
    timeLayer(state, device->newCommandQueue(), width, height,
              [&](const auto& command) { conv.encode(command, source, destination); });
}

void configure(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"width", "height"})
        ->Args({1280, 720})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
}

// One benchmark per mode, named conv24_<mode>.
const bool registered = [] {
    for (const char* mode : {"gather", "preload", "winograd", "winograd_base", "winograd_2d"})
        configure(benchmark::RegisterBenchmark((std::string("conv24_") + mode).c_str(), conv24, mode));
    configure(benchmark::RegisterBenchmark("direct24", direct24));
    return true;
}();

} // namespace
