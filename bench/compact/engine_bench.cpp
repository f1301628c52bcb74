// Whole compact 4x models through CompactMetalEngine::encode at 640x360 input (or the size in
// $LUMAVANE_ENGINE_BENCH_SIZE, e.g. 1280x720; the model folders then carry that size): a 16-channel and a
// 24-channel model of 7 layers (3 to C, five C to C with PReLU, C to 48), random weights, native
// 4x and fused 2x output, one frame per command buffer from commit to completion.
//
// Roads: "default" is the system default device, whatever GPU families it reports; the others
// are devices answering with chosen families over the same OpenCL device (none: the platform
// convolutions; apple7: Winograd kernels and the approximate 2x tail; apple8: Winograd without
// it; apple9: plus the rectangular layers and tails of a manifest that asks for them).
// bench/compact/engine-compare runs these beside PyTorch on the same networks. The model folders
// are written to $LUMAVANE_ENGINE_BENCH_MODELS (a temporary directory when unset) as
// engine16/, engine24/ and their rectangular twins engine16-rect/, engine24-rect/, with the input
// frame (frame.bgra, 640x360 BGRA) and each benchmark's last output (<name with - for />.bgra),
// so that the comparison can check every road's picture against PyTorch's.
// Measured on this shared 8-core machine (engine-compare, 8 threads, medians of 5 to 9 interleaved
// rounds), the default road's frame time as a multiple of PyTorch 1.13's. With the F(4x4) body
// layers, under a load of 9 to 19: 16 channels 0.45-0.58x (4x, 48-64 ms against 106-110 ms) and
// 0.37-0.46x (2x); 24 channels 0.50-0.59x (4x, 69-107 ms against 139-181 ms) and 0.56-0.58x (2x).
// With the F(2x2) kernels before them, under a load of 16 to 23: 16 channels 0.70-1.11x, 24
// channels 0.97-1.50x. The picture is within one level of PyTorch's. (Leads of 13x and more quoted
// before came from a PyTorch that faulted its memory in on every call, spun its OpenMP threads on
// the busy machine and built the 4x residual image apart.)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CompactMetal/CompactMetalEngine.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "bench_support.hpp"

namespace {

using namespace lumavane;
namespace fs = std::filesystem;

constexpr int bodyLayers = 5;

// The input size: 640x360, or $LUMAVANE_ENGINE_BENCH_SIZE ("1280x720").
const std::pair<int, int> frameSize = [] {
    int width = 640, height = 360;
    if (const char* given = std::getenv("LUMAVANE_ENGINE_BENCH_SIZE"))
        if (std::sscanf(given, "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0)
            throw std::runtime_error("LUMAVANE_ENGINE_BENCH_SIZE is not WIDTHxHEIGHT");
    return std::pair{width, height};
}();
const int frameWidth = frameSize.first, frameHeight = frameSize.second;

fs::path modelsDirectory() {
    static const fs::path directory = [] {
        if (const char* given = std::getenv("LUMAVANE_ENGINE_BENCH_MODELS")) return fs::path(given);
        std::string pattern = (fs::temp_directory_path() / "lumavane-engine-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
        return fs::path(pattern);
    }();
    return directory;
}

void writeFloats(const fs::path& path, const std::vector<float>& values) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
}

// A model folder with weights of a trained network's scale; written once per process.
fs::path modelFolder(int channels, bool rectangular) {
    const fs::path folder =
        modelsDirectory() / ("engine" + std::to_string(channels) + (rectangular ? "-rect" : ""));
    if (fs::exists(folder / "manifest.json")) return folder;
    fs::create_directories(folder);
    nlohmann::json layers = nlohmann::json::array();
    layers.push_back({{"input", 3}, {"output", channels}, {"prelu", true}});
    for (int i = 0; i < bodyLayers; ++i)
        layers.push_back({{"input", channels}, {"output", channels}, {"prelu", true}});
    layers.push_back({{"input", channels}, {"output", 48}, {"prelu", false}});
    nlohmann::json manifest = {{"architecture", "Compact"}, {"width", frameWidth},
                               {"height", frameHeight},     {"scale", 4},
                               {"layers", layers},          {"checkpoint_sha256", "bench"}};
    if (channels == 16)
        manifest["conv16_backend"] = "winograd";
    else
        manifest["conv24_backend"] = "winograd_2d";
    if (rectangular)
        manifest["rectangular_winograd"] = {{"layers", {1, 2, 3, 4, 5}},
                                            {"tiles_per_group", 8},
                                            {"simd_groups", 4},
                                            {"narrow_input", false},
                                            {"fused_tail_simd_groups", 6}};
    std::ofstream(folder / "manifest.json") << manifest.dump(2);

    std::mt19937 rng(static_cast<unsigned>(channels));
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const int inputs = layers[i]["input"], outputs = layers[i]["output"];
        const bool last = i + 1 == layers.size();
        const float amplitude = last ? 0.6f / std::sqrt(9.0f * inputs) : std::sqrt(5.0f / (9.0f * inputs));
        std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
        std::vector<float> weights(static_cast<std::size_t>(outputs * 9 * inputs)), bias(outputs);
        for (float& w : weights) w = uniform(rng);
        for (float& b : bias) b = uniform(rng) * 0.1f;
        writeFloats(folder / (std::to_string(i) + ".weights"), weights);
        writeFloats(folder / (std::to_string(i) + ".bias"), bias);
        if (layers[i]["prelu"].get<bool>())
            writeFloats(folder / (std::to_string(i) + ".prelu"), std::vector<float>(outputs, 0.25f));
    }
    return folder;
}

struct Road {
    const char* name;
    bool systemDefault;
    std::vector<gpu::GPUFamily> apple;
    bool rectangular;
};

const std::vector<Road>& roads() {
    using F = gpu::GPUFamily;
    static const std::vector<Road> list = {{"default", true, {}, false},
                                           {"mps", false, {}, false},
                                           {"apple7", false, {F::apple7}, false},
                                           {"apple8", false, {F::apple7, F::apple8}, false},
                                           {"apple9", false, {F::apple7, F::apple8, F::apple9}, true}};
    return list;
}

std::shared_ptr<gpu::Device> deviceFor(const Road& road) {
    if (road.systemDefault) return gpu::Device::systemDefault();
    gpu::DeviceProfile profile;
    profile.families = {gpu::GPUFamily::common1, gpu::GPUFamily::common2, gpu::GPUFamily::common3,
                        gpu::GPUFamily::mac2};
    profile.families.insert(road.apple.begin(), road.apple.end());
    return gpu::Device::withProfile(profile);
}

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The input frame; written beside the models once, for the comparison.
std::shared_ptr<gpu::Texture> inputFrame(const std::shared_ptr<gpu::Device>& device) {
    const std::vector<std::uint8_t> bytes = bench::pictureBytes(frameWidth, frameHeight);
    auto texture = bench::bgraTexture(device, frameWidth, frameHeight, bytes);
    if (!fs::exists(modelsDirectory() / "frame.bgra")) writeBytes(modelsDirectory() / "frame.bgra", bytes);
    return texture;
}

// What the engine chose, for the report.
std::string describe(const CompactMetalEngine& engine, int outputScale) {
    std::string text = engine.convolutionBackend();
    if (engine.usesRectangularWinograd()) text += "+rect";
    if (engine.rectangularTail() || engine.rectangularHQTail())
        text += "+rect-tail";
    else if (outputScale == 2 && engine.usesApproximateDown2())
        text += "+approx-tail";
    else if (engine.deferReconstructionImage())
        text += "+fused-tail";
    return text;
}

void engineFrame(benchmark::State& state, const std::string& name, int channels, int outputScale,
                 const Road& road) {
    auto device = deviceFor(road);
    if (!device) return state.SkipWithError("no OpenCL device");
    CompactMetalEngineOptions options;
    options.folder = modelFolder(channels, road.rectangular);
    options.device = device;
    CompactMetalEngine engine(options);
    auto source = inputFrame(device);
    auto destination = device->newTexture(gpu::TextureDescriptor::texture2D(
        gpu::PixelFormat::bgra8Unorm, frameWidth * outputScale, frameHeight * outputScale));
    const auto gpuSeconds = bench::timeFrames(state, engine.queue(), [&](const auto& command) {
        engine.encode(source, destination, command, false, outputScale, false, false);
    });
    if (!gpuSeconds) return;
    std::vector<std::uint8_t> picture(destination->width() * destination->height() * 4);
    destination->getBytes(picture.data(), destination->width() * 4,
                          {{0, 0, 0}, {destination->width(), destination->height(), 1}}, 0);
    std::string file = name;
    std::replace(file.begin(), file.end(), '/', '-');
    writeBytes(modelsDirectory() / (file + ".bgra"), picture);
    state.counters["gpu_ms"] = *gpuSeconds * 1000.0 / static_cast<double>(state.iterations());
    state.counters["channels"] = channels;
    state.counters["output_scale"] = outputScale;
    state.SetLabel(describe(engine, outputScale));
}

// Each stage's device time on the default road (one command buffer per stage, medians over the
// iterations), as counters named after the stages: where a frame's time goes.
void engineStages(benchmark::State& state, int channels, int outputScale) {
    auto device = gpu::Device::systemDefault();
    if (!device) return state.SkipWithError("no OpenCL device");
    CompactMetalEngineOptions options;
    options.folder = modelFolder(channels, false);
    options.device = device;
    CompactMetalEngine engine(options);
    auto source = inputFrame(device);
    auto destination = device->newTexture(gpu::TextureDescriptor::texture2D(
        gpu::PixelFormat::bgra8Unorm, frameWidth * outputScale, frameHeight * outputScale));
    std::map<std::string, std::vector<double>> times;
    for (auto _ : state) {
        double total = 0;
        for (const auto& stage : engine.profile(source, destination, outputScale)) {
            times[stage.name].push_back(stage.gpuMS);
            total += stage.gpuMS;
        }
        state.SetIterationTime(total / 1000.0);
    }
    for (auto& [name, values] : times) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        state.counters[name] = values[values.size() / 2];
    }
    state.SetLabel(describe(engine, outputScale));
}

const bool registered = [] {
    for (const int channels : {16, 24})
        benchmark::RegisterBenchmark(
            ("stages" + std::to_string(channels) + "/4x").c_str(),
            [channels](benchmark::State& state) { engineStages(state, channels, 4); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5);
    for (const int channels : {16, 24})
        for (const int outputScale : {4, 2})
            for (const Road& road : roads()) {
                const std::string name = "engine" + std::to_string(channels) + "/" +
                                         std::to_string(outputScale) + "x/" + road.name;
                benchmark::RegisterBenchmark(name.c_str(),
                                             [name, channels, outputScale, &road](benchmark::State& state) {
                                                 engineFrame(state, name, channels, outputScale, road);
                                             })
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond)
                    ->MinTime(0.5);
            }
    return true;
}();

} // namespace
