// The 16-channel Winograd body layer (3x3, PReLU; F(4x4, 3x3)) against the Gpu layer's direct convolution of
// the same layer, timed per frame (commit to completion) and by the device's profiling clock.
#include <benchmark/benchmark.h>

#include "CompactMetal/ConvWinograd.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "bench_support.hpp"

namespace {

using namespace lumavane;
using namespace lumavane::gpu;
using namespace lumavane::bench;

void winograd16(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    const RandomLayer layer = randomLayer(16, 16);
    const ConvWinograd conv(device, 16, 16, layer.weights, layer.biases, std::span<const float>(layer.slopes),
                            false);
    auto source = randomImage(device, width, height, 16),
         destination = randomImage(device, width, height, 16);
    const auto gpuSeconds = timeFrames(state, device->newCommandQueue(), [&](const auto& command) {
        conv.encode(source->texture(), destination->texture(), command, false);
    });
    if (!gpuSeconds) return;
    reportRates(state, winogradFlops(width, height, 16, 16, 4, 4), *gpuSeconds); // the body layer's F(4x4, 3x3)
    describeLayer(state, 16, 16, true);
}

void direct16(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    DirectLayer direct(device, width, height, 16);
    const auto gpuSeconds =
        timeFrames(state, device->newCommandQueue(), [&](const auto& command) { direct.encode(command); });
    if (!gpuSeconds) return;
    reportRates(state, layerFlops(width, height, 16, 16), *gpuSeconds);
    describeLayer(state, 16, 16, true);
}

const bool registered = [] {
    configureFrames(benchmark::RegisterBenchmark("winograd16", winograd16), 1280, 720);
    configureFrames(benchmark::RegisterBenchmark("direct16", direct16), 1280, 720);
    return true;
}();

} // namespace
