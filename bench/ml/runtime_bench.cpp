// One tile through the model runtime: a 4x general network as the converter writes it from
// PyTorch (image in, half-precision casts, 3->64 convolution and PReLU, 32 64->64 convolutions
// with PReLU, 64->48 convolution, pixel shuffle by 4 plus the nearest-upscaled input, image out),
// random weights. With LUMAVANE_ML_BENCH_DIR set, the weights (float32, the values the package
// holds), the input tile and the last output go there for bench/ml/runtime_torch.py.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>

#include "Platform/Ml/Half.hpp"
#include "Platform/Ml/Model.hpp"
#include "Platform/Ml/ModelWriter.hpp"

using namespace lumavane;
using namespace lumavane::ml;
using namespace lumavane::ml::fixtures;

namespace {

constexpr int tile = 64, channels = 64, bodyConvolutions = 32, scale = 4;

std::vector<float> halfValues(size_t count, float range, uint32_t seed) {
    std::vector<float> v = randomValues(count, range, seed);
    for (float& f : v) f = detail::halfToFloat(detail::floatToHalf(f));
    return v;
}

void writeFloats(const std::filesystem::path& file, const std::vector<float>& values) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(values.data()), std::streamsize(values.size() * sizeof(float)));
}

void writePixels(const std::filesystem::path& file, const PixelBuffer& image) {
    std::ofstream out(file, std::ios::binary);
    for (size_t y = 0; y < image.height(); ++y)
        out.write(static_cast<const char*>(image.baseAddress()) + y * image.bytesPerRow(),
                  std::streamsize(image.width() * 4));
}

// Writes the package (and, when `dump` is set, the raw weights) and returns the package's path.
std::filesystem::path writeModel(const std::filesystem::path& folder, bool dump) {
    ProgramWriter p;
    p.input("image", {1, 3, tile, tile});
    p.constString("fp16", "fp16");
    p.op("cast", {{"x", {"image"}}, {"dtype", {"fp16"}}}, "x16", coreml::mil::FLOAT16);
    p.constFloat("in_scale", {}, {detail::halfToFloat(detail::floatToHalf(1.0f / 255.0f))}, Precision::fp16);
    p.op("mul", {{"x", {"x16"}}, {"y", {"in_scale"}}}, "x");
    p.constString("same", "same");
    std::string h = "x";
    const int layers = bodyConvolutions + 2;
    for (int i = 0; i < layers; ++i) {
        const int in = i == 0 ? 3 : channels, out = i == layers - 1 ? 3 * scale * scale : channels;
        const std::string n = std::to_string(i);
        // He-like ranges keep the activations in a sensible range through 34 layers.
        const auto w = halfValues(size_t(out * in * 9), 1.2f / std::sqrt(float(in * 9)), 100 + uint32_t(i));
        const auto b = halfValues(size_t(out), 0.02f, 200 + uint32_t(i));
        p.constFloat("w" + n, {out, in, 3, 3}, w, Precision::fp16, Storage::blob);
        p.constFloat("b" + n, {out}, b, Precision::fp16, Storage::blob);
        p.op("conv", {{"x", {h}}, {"weight", {"w" + n}}, {"bias", {"b" + n}}, {"pad_type", {"same"}}},
             "c" + n);
        h = "c" + n;
        if (dump) {
            writeFloats(folder / (n + ".weights"), w);
            writeFloats(folder / (n + ".bias"), b);
        }
        if (i == layers - 1) break;
        const auto slopes = halfValues(size_t(out), 0.25f, 300 + uint32_t(i));
        p.constFloat("a" + n, {out}, slopes, Precision::fp16, Storage::blob);
        p.op("prelu", {{"x", {h}}, {"alpha", {"a" + n}}}, "p" + n);
        h = "p" + n;
        if (dump) writeFloats(folder / (n + ".prelu"), slopes);
    }
    p.constInt("factor", scale);
    p.op("pixel_shuffle", {{"x", {h}}, {"upscale_factor", {"factor"}}}, "shuffled");
    p.constFloat("up", {}, {float(scale)}, Precision::fp32);
    p.op("upsample_nearest_neighbor",
         {{"x", {"x"}}, {"scale_factor_height", {"up"}}, {"scale_factor_width", {"up"}}}, "base");
    p.op("add", {{"x", {"shuffled"}}, {"y", {"base"}}}, "sum");
    p.constFloat("out_scale", {}, {255.0f}, Precision::fp16);
    p.op("mul", {{"x", {"sum"}}, {"y", {"out_scale"}}}, "y16");
    p.constString("fp32", "fp32");
    p.op("cast", {{"x", {"y16"}}, {"dtype", {"fp32"}}}, "output");
    p.output("output");

    coreml::Model model = programModel(p);
    addImage(model.mutable_description()->mutable_input(), "image", tile, tile);
    addImage(model.mutable_description()->mutable_output(), "output", tile * scale, tile * scale);
    const auto package = folder / "General4x.mlpackage";
    writePackage(package, model, p.weightBytes());
    return package;
}

void runtime(benchmark::State& state, ComputeUnits units) {
    const char* dumpFolder = std::getenv("LUMAVANE_ML_BENCH_DIR");
    TemporaryFolder temporary;
    const std::filesystem::path folder = dumpFolder ? std::filesystem::path(dumpFolder) : temporary.path();
    const auto compiled = Model::compileModel(writeModel(folder, dumpFolder != nullptr));
    const auto model = Model::load(compiled, {units, false});
    std::filesystem::remove_all(compiled);

    PixelBuffer image = PixelBuffer::create(tile, tile, pixelFormat32BGRA);
    std::mt19937 random(7);
    for (size_t y = 0; y < tile; ++y) {
        auto* row = static_cast<uint8_t*>(image.baseAddress()) + y * image.bytesPerRow();
        for (size_t x = 0; x < tile * 4; ++x) row[x] = x % 4 == 3 ? 255 : uint8_t(random());
    }
    const FeatureProvider input({{"image", FeatureValue(image)}});
    PixelBuffer output;
    for (auto _ : state) output = model->prediction(input).featureValue("output")->imageBufferValue();
    state.counters["gpu"] = model->runsOnGPU() ? 1 : 0;
    if (dumpFolder) {
        writePixels(folder / "input.bgra", image);
        writePixels(folder / "output.bgra", output);
    }
}

} // namespace

BENCHMARK_CAPTURE(runtime, general4x_64ch_gpu, ComputeUnits::cpuAndGPU)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
