// The 24-channel body layer (3x3, bias, PReLU) in each Conv24Kernel mode against the Gpu layer's
// direct convolution of the same layer, timed per frame (commit to completion) and by the
// device's profiling clock. With PyTorch's conv2d of the same layer in the same run:
//   FILTER='^(conv24|direct24)' bench/compact/compare-layers
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "CompactMetal/Conv24Kernel.hpp"
#include "CompactMetal/Conv24Weights.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "bench_support.hpp"

namespace {

using namespace lumavane;
using namespace lumavane::gpu;
using namespace lumavane::bench;

// One layer per iteration in its own command buffer; GFLOP/s of the arithmetic done (Winograd
// F(tile x tile, 3x3), or direct for tile 0), CPU time that of the whole process.
template <typename Record>
void timeLayer(benchmark::State& state, const std::shared_ptr<CommandQueue>& queue, std::size_t width,
               std::size_t height, std::size_t tile, Record record) {
    const auto gpuSeconds = timeFrames(state, queue, record);
    if (!gpuSeconds) return;
    reportRates(state,
                tile ? winogradFlops(width, height, 24, 24, tile, tile) : layerFlops(width, height, 24, 24),
                *gpuSeconds);
    describeLayer(state, 24, 24, true);
}

// `fourByFour` only matters for winograd_2d: its F(2x2, 3x3) kernel, or the F(4x4, 3x3) layers
// the engine takes on CPU devices.
void conv24(benchmark::State& state, const char* mode, bool fourByFour) {
    const std::size_t width = state.range(0), height = state.range(1);
    // The 24-channel kernels ask for Apple family 7, which CPU devices do not claim by default.
    DeviceProfile profile = DeviceProfile::defaultFor(true);
    profile.families.insert(GPUFamily::apple7);
    auto device = Device::withProfile(profile);
    if (!device) return state.SkipWithError("no OpenCL device");
    const RandomLayer layer = randomLayer(24, 24);
    const Conv24Kernel kernel(device, mode, fourByFour);
    const Conv24Weights weights(device, layer.weights, layer.biases, layer.slopes, mode);
    auto source = randomImage(device, width, height, 24),
         destination = randomImage(device, width, height, 24);
    const std::size_t tile = kernel.tile4Pipeline() ? 4 : Conv24Kernel::usesWinogradWeights(mode) ? 2 : 0;
    timeLayer(state, device->newCommandQueue(), width, height, tile, [&](const auto& command) {
        kernel.encode(source->texture(), destination->texture(), weights, command);
    });
}

void direct24(benchmark::State& state) {
    const std::size_t width = state.range(0), height = state.range(1);
    auto device = Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    DirectLayer direct(device, width, height, 24);
    timeLayer(state, device->newCommandQueue(), width, height, 0,
              [&](const auto& command) { direct.encode(command); });
}

// One benchmark per mode, named conv24_<mode>, and conv24_winograd_2d_f4 for the F(4x4) layers;
// the two winograd_2d ones also at 1920x1080.
const bool registered = [] {
    for (const char* mode : {"gather", "preload", "winograd", "winograd_base", "winograd_2d"})
        configureFrames(
            benchmark::RegisterBenchmark((std::string("conv24_") + mode).c_str(), conv24, mode, false), 1280,
            720);
    configureFrames(benchmark::RegisterBenchmark("conv24_winograd_2d_f4", conv24, "winograd_2d", true), 1280,
                    720);
    for (bool f4 : {false, true})
        configureFrames(benchmark::RegisterBenchmark(f4 ? "conv24_winograd_2d_f4" : "conv24_winograd_2d",
                                                     conv24, "winograd_2d", f4),
                        1920, 1080);
    configureFrames(benchmark::RegisterBenchmark("direct24", direct24), 1280, 720);
    return true;
}();

} // namespace
