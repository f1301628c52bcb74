// Frame time of Enhancer::enhancePipelined on a 1280x720 frame: a 2x network of the kind small
// super-resolution models use (conv 3->16, PReLU, conv 16->16, PReLU, conv 16->12, pixel
// shuffle; half-precision weights) run in 64- or 128-pixel tiles with padding 16, composed by
// the GPU tile copy as the player does, with 1, 3 and 6 tiles in flight.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>

#include "EnhancementCore/Enhancer.hpp"
#include "Platform/Ml/Half.hpp"
#include "Platform/Ml/ModelWriter.hpp"

namespace {

using namespace lumavane;
using namespace lumavane::ml::fixtures;

std::vector<float> halfValues(std::size_t count, float scale, std::uint32_t seed) {
    std::vector<float> values = randomValues(count, scale, seed);
    for (float& v : values) v = ml::detail::halfToFloat(ml::detail::floatToHalf(v));
    return values;
}

void prelu(coreml::NeuralNetwork* network, const std::string& name, const std::string& input,
           const std::string& output, std::uint32_t seed) {
    auto* alpha =
        addLayer(network, name, {input}, output)->mutable_activation()->mutable_prelu()->mutable_alpha();
    for (float v : halfValues(16, 0.3f, seed)) alpha->add_floatvalue(v);
}

// Written once per tile size into the temporary folder and loaded the way the player loads models.
Enhancer& enhancerFor(int tile) {
    static TemporaryFolder folder;
    static std::map<int, std::unique_ptr<Enhancer>> enhancers;
    auto& slot = enhancers[tile];
    if (slot) return *slot;

    coreml::Model model = neuralNetworkModel();
    addImage(model.mutable_description()->mutable_input(), "image", tile, tile);
    addImage(model.mutable_description()->mutable_output(), "output", 2 * tile, 2 * tile);
    auto* network = model.mutable_neuralnetwork();
    auto* pre = network->add_preprocessing();
    pre->set_featurename("image");
    pre->mutable_scaler()->set_channelscale(1.0f / 255.0f);
    addConvolution(network, "conv1", "image", "f1", 3, 16, 3, halfValues(16 * 27, 0.3f, 1),
                   halfValues(16, 0.1f, 2), true);
    prelu(network, "prelu1", "f1", "a1", 3);
    addConvolution(network, "conv2", "a1", "f2", 16, 16, 3, halfValues(16 * 144, 0.1f, 4),
                   halfValues(16, 0.1f, 5), true);
    prelu(network, "prelu2", "f2", "a2", 6);
    addConvolution(network, "conv3", "a2", "f3", 16, 12, 3, halfValues(12 * 144, 0.1f, 7),
                   halfValues(12, 0.1f, 8), true);
    auto* shuffle = addLayer(network, "shuffle", {"f3"}, "s")->mutable_reorganizedata();
    shuffle->set_mode(coreml::ReorganizeDataLayerParams::PIXEL_SHUFFLE);
    shuffle->set_blocksize(2);
    addLayer(network, "offset", {"s"}, "o")->mutable_add()->set_alpha(0.5f);
    addLayer(network, "range", {"o"}, "output")->mutable_multiply()->set_alpha(255.0f);
    const auto file = folder.path() / ("SR2x-" + std::to_string(tile) + ".mlmodel");
    writeModelFile(file, model);
    slot = std::make_unique<Enhancer>(file, 16, ml::ComputeUnits::cpuAndGPU, false);
    return *slot;
}

const image::Image& frame() {
    static const image::Image image = [] {
        PixelBuffer buffer = PixelBuffer::create(1280, 720, LV_PIXEL_FORMAT_32BGRA);
        std::mt19937 random(7);
        for (std::size_t y = 0; y < 720; ++y) {
            auto* row = static_cast<std::uint8_t*>(buffer.baseAddress()) + y * buffer.bytesPerRow();
            for (std::size_t i = 0; i < 1280 * 4; ++i) row[i] = (i % 4 == 3) ? 255 : std::uint8_t(random());
        }
        return image::Image::fromPixelBuffer(buffer);
    }();
    return image;
}

void enhancePipelined(benchmark::State& state) {
    const int tile = int(state.range(0)), inFlight = int(state.range(1));
    const auto compositor = state.range(2) ? CompositeBackend::metal : CompositeBackend::coreImage;
    Enhancer& enhancer = enhancerFor(tile);
    enhancer.enhancePipelined(frame(), inFlight, compositor); // slots, pool and kernels made before timing
    EnhancementTimings sum;
    int tiles = 0;
    for (auto _ : state) {
        tiles = enhancer.enhancePipelined(frame(), inFlight, compositor).tileCount;
        const EnhancementTimings& t = enhancer.lastTimings();
        sum.prepareMS += t.prepareMS;
        sum.predictionMS += t.predictionMS;
        sum.compositeMS += t.compositeMS;
        sum.compositeGPUMS += t.compositeGPUMS;
    }
    const double n = double(state.iterations());
    state.counters["tiles"] = tiles;
    state.counters["prepare_ms"] = sum.prepareMS / n;
    state.counters["predict_ms"] = sum.predictionMS / n;
    state.counters["composite_ms"] = sum.compositeMS / n;
    state.counters["composite_gpu_ms"] = sum.compositeGPUMS / n;
}

} // namespace

BENCHMARK(enhancePipelined)
    ->ArgNames({"tile", "in_flight", "metal"})
    ->ArgsProduct({{64, 128}, {1, 3, 6}, {1}})
    ->Args({128, 3, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
