// The shipped compact models (every variant of resources/Models/model-series.json) through
// CompactMetalEngine::encode on the system default device, the road the player takes: 640x360
// and 1280x720 input, native 4x and fused 2x output, one frame per command buffer from commit
// to completion. bench/compact/shipped-models runs these and prints the fast/quality ratios.
// Benchmarks are named shipped/<variant id>/<width>x<height>/<scale>x.
// Measured on this 8-core machine (PoCL, 8 threads, other work running; medians of 5, two runs):
// fast 26.6-29.8 ms (4x) and 24.6 ms (2x) at 640x360, 94-107 and 79-92 ms at 1280x720; quality
// 94 and 80-105 ms at 640x360, 387-388 and 324-351 ms at 1280x720; fast/quality 0.23-0.32.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CompactMetal/CompactMetalEngine.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "bench_support.hpp"

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

void shippedFrame(benchmark::State& state, const ShippedVariant& variant, int width, int height,
                  int outputScale) {
    auto device = gpu::Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    CompactMetalEngineOptions options;
    options.folder = variant.folder;
    options.device = device;
    CompactMetalEngine engine(options);
    engine.resize(width, height);
    auto source = bench::bgraTexture(device, width, height, bench::pictureBytes(width, height));
    auto destination = device->newTexture(gpu::TextureDescriptor::texture2D(
        gpu::PixelFormat::bgra8Unorm, width * outputScale, height * outputScale));
    const auto gpuSeconds = bench::timeFrames(state, engine.queue(), [&](const auto& command) {
        engine.encode(source, destination, command, false, outputScale, false, false);
    });
    if (!gpuSeconds) return;
    // With "cpu_ms" from timeFrames, the CPU time of all threads per frame: what a busy machine
    // does not inflate, so that the frame time of an idle one can be bounded (at least
    // cpu_ms / threads).
    state.counters["gpu_ms"] = *gpuSeconds * 1000.0 / static_cast<double>(state.iterations());
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
                benchmark::RegisterBenchmark(name.c_str(),
                                             [variant, width, height, outputScale](benchmark::State& state) {
                                                 shippedFrame(state, variant, width, height, outputScale);
                                             })
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond)
                    ->MinTime(0.5);
            }
    return true;
}();

} // namespace
