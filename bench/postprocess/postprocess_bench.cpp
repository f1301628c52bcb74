// One pass per iteration over a 1920x1080 picture-like frame: the effect kernel with each effect
// alone and all together, and the cleanup kernel from a 960x540 guide.
#include "VideoPresentation/EnhancementCleanupRenderer.hpp"
#include "VideoPresentation/PostProcessRenderer.hpp"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cmath>
#include <cstdint>
#include <vector>

using namespace lumavane;

namespace {

constexpr int width = 1920, height = 1080;

// Smooth gradients, an edge and some texture, so every branch of the kernels runs.
std::shared_ptr<gpu::Texture> frame(gpu::Device& device, int w, int h) {
    auto texture = device.newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, w, h));
    std::vector<std::uint8_t> bytes(std::size_t(w) * h * 4);
    std::uint32_t seed = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double base = 40 + 120.0 * x / w + (x > w / 2 ? 50 : 0) + (y > h / 2 ? (seed >> 28) : 0);
            std::uint8_t* p = &bytes[(std::size_t(y) * w + x) * 4];
            p[0] = std::uint8_t(base * 0.8), p[1] = std::uint8_t(base), p[2] = std::uint8_t(base * 0.9),
            p[3] = 255;
        }
    texture->replaceRegion({{0, 0, 0}, {std::size_t(w), std::size_t(h), 1}}, 0, bytes.data(),
                           std::size_t(w) * 4);
    return texture;
}

struct Setup {
    std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault();
    std::shared_ptr<gpu::CommandQueue> queue = device->newCommandQueue();
    PostProcessRenderer effects{device};
    EnhancementCleanupRenderer cleanup{device};
    std::shared_ptr<gpu::Texture> source = frame(*device, width, height);
    std::shared_ptr<gpu::Texture> guide = frame(*device, width / 2, height / 2);
    std::shared_ptr<gpu::Texture> destination = frame(*device, width, height);
};

Setup& setup() {
    static Setup instance;
    return instance;
}

// CPU seconds of every thread of the process (the OpenCL device's workers included).
double processCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void runPass(benchmark::State& state,
             const std::function<void(const std::shared_ptr<gpu::CommandBuffer>&)>& encode) {
    double gpuSeconds = 0;
    const double cpuStart = processCPUSeconds();
    for (auto _ : state) {
        auto buffer = setup().queue->commandBuffer();
        encode(buffer);
        buffer->commit();
        buffer->waitUntilCompleted();
        if (buffer->status() != gpu::CommandBuffer::Status::completed) state.SkipWithError("pass failed");
        gpuSeconds += buffer->GPUEndTime() - buffer->GPUStartTime();
    }
    // The kernel's own time, from the device's profiling clock.
    state.counters["gpu_ms"] = benchmark::Counter(gpuSeconds * 1e3 / double(state.iterations()));
    // Work per pass over all cores, divided by eight: the wall time eight idle cores would need,
    // whatever else loads the machine.
    state.counters["cpu_ms_per_8_cores"] =
        benchmark::Counter((processCPUSeconds() - cpuStart) * 1e3 / 8 / double(state.iterations()));
}

void effect(benchmark::State& state, PostProcessSettings::Options options, float effectEnd = 1) {
    const PostProcessConfiguration configuration(
        {.settings = PostProcessSettings(options), .effectStart = 0, .effectEnd = effectEnd});
    runPass(state, [&](const auto& buffer) {
        setup().effects.encode(buffer, setup().source, setup().destination, configuration,
                               {0, 0, width, height}, false);
    });
}

void cleanup(benchmark::State& state) {
    runPass(state, [&](const auto& buffer) {
        setup().cleanup.encode(buffer, setup().guide, setup().source, setup().destination,
                               {0, 0, width, height}, 0, 1, 0.75f);
    });
}

} // namespace

// An empty band: the pass only copies, the floor under every effect.
BENCHMARK_CAPTURE(effect, copyOnly, {.sharpenEnabled = true}, 0.0f)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(effect, sharpen, {.sharpenEnabled = true, .sharpenAmount = 0.3f})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(effect, deband, {.debandEnabled = true, .debandAmount = 0.45f})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(effect, grain, {.grainEnabled = true, .grainAmount = 0.12f})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(effect, brightnessGamma, {.brightness = 0.05f, .gamma = 1.2f})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
// The "natural" preset: sharpen, deband and grain together.
BENCHMARK_CAPTURE(effect, natural,
                  {.sharpenEnabled = true,
                   .sharpenAmount = 0.3f,
                   .debandEnabled = true,
                   .debandAmount = 0.45f,
                   .grainEnabled = true,
                   .grainAmount = 0.12f})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(effect, all,
                  {.sharpenEnabled = true,
                   .sharpenAmount = 0.3f,
                   .debandEnabled = true,
                   .debandAmount = 0.45f,
                   .grainEnabled = true,
                   .grainAmount = 0.12f,
                   .brightness = 0.05f,
                   .gamma = 1.2f})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(cleanup)->UseRealTime()->Unit(benchmark::kMillisecond);
