// What the compact benchmarks share: random layers and feature images, a picture-like input
// frame, and the per-frame timing loop (one command buffer per iteration, commit to completion).
#pragma once

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "Platform/Gpu/Gpu.hpp"

namespace lumavane::bench {

struct RandomLayer {
    std::vector<float> weights, biases, slopes;
};

// A 3x3 layer of a trained network's scale, PReLU slopes 0.25; the same values on every call.
inline RandomLayer randomLayer(std::size_t inputs, std::size_t outputs) {
    std::mt19937 rng(1);
    const float scale = 1.5f / std::sqrt(9.0f * static_cast<float>(inputs));
    std::uniform_real_distribution<float> uniform(-scale, scale);
    RandomLayer layer{std::vector<float>(outputs * 9 * inputs), std::vector<float>(outputs),
                      std::vector<float>(outputs, 0.25f)};
    for (auto& w : layer.weights) w = uniform(rng);
    for (auto& b : layer.biases) b = uniform(rng);
    return layer;
}

inline std::shared_ptr<gpu::FeatureImage> randomImage(const std::shared_ptr<gpu::Device>& device,
                                                      std::size_t width, std::size_t height,
                                                      std::size_t channels) {
    auto image =
        gpu::FeatureImage::make(device, {gpu::FeatureChannelFormat::float16, width, height, channels});
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> values(width * height * channels);
    for (auto& v : values) v = uniform(rng);
    image->writeFloats(values);
    return image;
}

// The Gpu layer's direct convolution of a channels-to-channels 3x3 PReLU layer (the random one
// above) between random feature images: what the custom kernels are compared with.
class DirectLayer {
public:
    DirectLayer(const std::shared_ptr<gpu::Device>& device, std::size_t width, std::size_t height,
                std::size_t channels)
        : layer_(randomLayer(channels, channels)),
          convolution_(device, descriptor(channels, layer_.slopes), layer_.weights, layer_.biases),
          source_(randomImage(device, width, height, channels)),
          destination_(randomImage(device, width, height, channels)) {}

    void encode(const std::shared_ptr<gpu::CommandBuffer>& command) {
        convolution_.encode(command, source_, destination_);
    }

private:
    static gpu::ConvolutionDescriptor descriptor(std::size_t channels, const std::vector<float>& slopes) {
        gpu::ConvolutionDescriptor d;
        d.inputFeatureChannels = d.outputFeatureChannels = channels;
        d.fusedNeuron = gpu::NeuronDescriptor::pReLU(slopes);
        return d;
    }

    RandomLayer layer_;
    gpu::Convolution convolution_;
    std::shared_ptr<gpu::FeatureImage> source_, destination_;
};

// A picture-like opaque BGRA frame: gradients with some texture.
inline std::vector<std::uint8_t> pictureBytes(int width, int height) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width * height * 4));
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &bytes[static_cast<std::size_t>((y * width + x) * 4)];
            const int base[3] = {40 + 160 * x / width, 30 + 180 * y / height,
                                 128 + static_cast<int>(90 * std::sin(0.05 * (x + y)))};
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint8_t>(std::clamp(base[c] + noise(rng), 0, 255));
            p[3] = 255;
        }
    return bytes;
}

inline std::shared_ptr<gpu::Texture> bgraTexture(const std::shared_ptr<gpu::Device>& device, int width,
                                                 int height, const std::vector<std::uint8_t>& bytes) {
    auto texture =
        device->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
    texture->replaceRegion(
        {{0, 0, 0}, {static_cast<std::size_t>(width), static_cast<std::size_t>(height), 1}}, 0, bytes.data(),
        static_cast<std::size_t>(width * 4));
    return texture;
}

// CPU seconds of every thread of the process: on a loaded machine this is steadier than wall
// time, and comparable with PyTorch's measured the same way.
inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One frame recorded by `record` into its own command buffer of `queue`, run to completion;
// whether it completed.
template <typename Record> bool runFrame(const std::shared_ptr<gpu::CommandQueue>& queue, Record& record) {
    auto command = queue->commandBuffer();
    record(command);
    command->commit();
    command->waitUntilCompleted();
    return command->status() == gpu::CommandBuffer::Status::completed;
}

// Runs `record` once untimed, then once per iteration into its own command buffer of `queue`,
// sets the iteration's manual time from commit to completion and the counter "cpu_ms" (CPU time
// of the whole process per timed frame), and returns the summed profiling-clock seconds; nothing
// once a command buffer failed (the benchmark is then skipped with an error). The untimed frame
// takes what only the first one pays: with an empty kernel cache the compile of every kernel it
// launches (seconds), and the first touches of new memory.
template <typename Record>
std::optional<double> timeFrames(benchmark::State& state, const std::shared_ptr<gpu::CommandQueue>& queue,
                                 Record record) {
    if (!runFrame(queue, record)) {
        state.SkipWithError("command buffer failed");
        return std::nullopt;
    }
    const double cpuStart = processCpuSeconds();
    double gpuSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto command = queue->commandBuffer();
        record(command);
        command->commit();
        command->waitUntilCompleted();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (command->status() != gpu::CommandBuffer::Status::completed) {
            state.SkipWithError("command buffer failed");
            return std::nullopt;
        }
        gpuSeconds += command->GPUEndTime() - command->GPUStartTime();
        state.SetIterationTime(wall);
    }
    state.counters["cpu_ms"] =
        (processCpuSeconds() - cpuStart) * 1000.0 /
        static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    return gpuSeconds;
}

// The GFLOP/s of `flops` per iteration, the flops themselves (for the comparison scripts) and
// the mean profiling-clock milliseconds.
inline void reportRates(benchmark::State& state, double flops, double gpuSeconds) {
    state.counters["GFLOPs"] =
        benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["flops"] = flops;
    state.counters["gpu_ms"] = gpuSeconds * 1000.0 / static_cast<double>(state.iterations());
}

// Direct-convolution FLOPs of a 3x3 layer.
inline double layerFlops(std::size_t width, std::size_t height, std::size_t inputs, std::size_t outputs) {
    return 2.0 * static_cast<double>(width * height * inputs * outputs * 9);
}

// What a Winograd F(tileWidth x tileHeight, 3x3) layer computes (tile sides 2 or 4): per
// output tile, the products of the (tileWidth + 2) x (tileHeight + 2) transformed points for
// every input and output channel pair, plus the input transform of each input channel and the
// output transform of each output channel (the filters are transformed once at load). The
// transforms are counted row by row from the standard matrices: the terms of a row less one
// additions, plus one multiplication per coefficient other than +-1 (F(2, 3): Bt 4 and At 4
// operations per vector; F(4, 3): Bt 28 and At 20). Crediting a Winograd kernel with the direct
// convolution's FLOPs would overstate its rate by 2 to 3 times.
inline double winogradFlops(std::size_t width, std::size_t height, std::size_t inputs, std::size_t outputs,
                            std::size_t tileWidth, std::size_t tileHeight) {
    const auto inputOps = [](std::size_t tile) { return tile == 2 ? 4.0 : 28.0; };
    const auto outputOps = [](std::size_t tile) { return tile == 2 ? 4.0 : 20.0; };
    const double pw = static_cast<double>(tileWidth + 2), ph = static_cast<double>(tileHeight + 2);
    // Columns transformed vertically, then rows horizontally.
    const double inputTransform = pw * inputOps(tileHeight) + ph * inputOps(tileWidth);
    const double outputTransform =
        pw * outputOps(tileHeight) + static_cast<double>(tileHeight) * outputOps(tileWidth);
    const double tiles =
        static_cast<double>(((width + tileWidth - 1) / tileWidth) * ((height + tileHeight - 1) / tileHeight));
    return tiles *
           (2.0 * pw * ph * static_cast<double>(inputs * outputs) +
            static_cast<double>(inputs) * inputTransform + static_cast<double>(outputs) * outputTransform);
}

// The layer's shape, for the comparison with PyTorch (torch_layers.py).
inline void describeLayer(benchmark::State& state, std::size_t inputs, std::size_t outputs, bool prelu) {
    state.counters["inputs"] = static_cast<double>(inputs);
    state.counters["outputs"] = static_cast<double>(outputs);
    state.counters["prelu"] = prelu ? 1 : 0;
}

// width x height, manual time in milliseconds, at least a second of frames.
inline void configureFrames(benchmark::internal::Benchmark* b, std::int64_t width, std::int64_t height) {
    b->ArgNames({"width", "height"})
        ->Args({width, height})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
}

} // namespace lumavane::bench
