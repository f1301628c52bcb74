// The shipped compact models (every variant of resources/Models/model-series.json) through
// CompactMetalEngine::encode on the system default device, the road the player takes: 640x360
// and 1280x720 input, native 4x and fused 2x output, one frame per command buffer from commit
// to completion. bench/compact/shipped-models runs these and prints the fast/quality ratios.
// Benchmarks are named shipped/<variant id>/<width>x<height>/<scale>x.
// Measured on this 8-core machine (PoCL, 8 threads, other work running; medians of 5, two runs):
// fast 26.6-29.8 ms (4x) and 24.6 ms (2x) at 640x360, 94-107 and 79-92 ms at 1280x720; quality
// 94 and 80-105 ms at 640x360, 387-388 and 324-351 ms at 1280x720; fast/quality 0.23-0.32.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CompactMetal/CompactMetalEngine.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "Platform/Gpu/Gpu.hpp"

namespace {

using namespace lumavane;
namespace fs = std::filesystem;

struct ShippedVariant {
    std::string id;
    fs::path folder;
};

fs::path seriesPath() { return resourcesDirectory() / "Models" / "model-series.json"; }

std::vector<ShippedVariant> shippedVariants() {
    std::ifstream in(seriesPath());
    if (!in) return {};
    const auto document = nlohmann::json::parse(in, nullptr, false);
    std::vector<ShippedVariant> variants;
    if (!document.is_object() || !document.contains("variants")) return variants;
    for (const auto& entry : document["variants"])
        if (entry.value("format", "") == "compact-metal")
            variants.push_back({entry.value("id", ""), seriesPath().parent_path() / entry.value("path", "")});
    return variants;
}

// A picture-like opaque frame: gradients with some texture.
std::shared_ptr<gpu::Texture> inputFrame(const std::shared_ptr<gpu::Device>& device, int width, int height) {
    auto texture = device->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width * height * 4));
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &bytes[static_cast<std::size_t>((y * width + x) * 4)];
            const int base[3] = {40 + 160 * x / width, 30 + 180 * y / height,
                                 128 + static_cast<int>(90 * std::sin(0.05 * (x + y)))};
            for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(std::clamp(base[c] + noise(rng), 0, 255));
            p[3] = 255;
        }
    texture->replaceRegion({{0, 0, 0}, {static_cast<std::size_t>(width), static_cast<std::size_t>(height), 1}}, 0,
                           bytes.data(), static_cast<std::size_t>(width * 4));
    return texture;
}

void shippedFrame(benchmark::State& state, const ShippedVariant& variant, int width, int height, int outputScale) {
    auto device = gpu::Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    CompactMetalEngineOptions options;
    options.folder = variant.folder;
    options.device = device;
    CompactMetalEngine engine(options);
    engine.resize(width, height);
    auto source = inputFrame(device, width, height);
    auto destination = device->newTexture(
        gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width * outputScale, height * outputScale));
    double gpuSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto command = engine.queue()->commandBuffer();
        engine.encode(source, destination, command, false, outputScale, false, false);
        command->commit();
        command->waitUntilCompleted();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (command->status() != gpu::CommandBuffer::Status::completed)
            return state.SkipWithError("command buffer failed");
        gpuSeconds += command->GPUEndTime() - command->GPUStartTime();
        state.SetIterationTime(wall);
    }
    state.counters["gpu_ms"] = gpuSeconds * 1000.0 / static_cast<double>(state.iterations());
    state.SetLabel(engine.convolutionBackend());
}

const bool registered = [] {
    const auto variants = shippedVariants();
    if (variants.empty()) {
        // Shipped files: their absence is an error of the tree, not a reason to measure nothing quietly.
        benchmark::RegisterBenchmark("shipped/missing", [](benchmark::State& state) {
            state.SkipWithError(("no compact models in " + seriesPath().string()).c_str());
        });
        return true;
    }
    for (const ShippedVariant& variant : variants)
        for (const auto& [width, height] : {std::pair{640, 360}, std::pair{1280, 720}})
            for (const int outputScale : {4, 2}) {
                const std::string name = "shipped/" + variant.id + "/" + std::to_string(width) + "x" +
                                         std::to_string(height) + "/" + std::to_string(outputScale) + "x";
                benchmark::RegisterBenchmark(name.c_str(), [variant, width, height, outputScale](benchmark::State& state) {
                    shippedFrame(state, variant, width, height, outputScale);
                })->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
            }
    return true;
}();

} // namespace
