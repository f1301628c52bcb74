#include "EnhancementCore/EnhancerTestModels.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

#include "Platform/Ml/Half.hpp"

namespace lumavane::testing {

using namespace ml::fixtures;

namespace {

std::vector<float> halfValues(std::size_t count, float scale, std::uint32_t seed) {
    std::vector<float> values = randomValues(count, scale, seed);
    for (float& v : values) v = ml::detail::halfToFloat(ml::detail::floatToHalf(v));
    return values;
}

const float inputScale = ml::detail::halfToFloat(ml::detail::floatToHalf(1.0f / 255.0f));

coreml::Model networkSpec(const NetworkWeights& w) {
    coreml::Model model = neuralNetworkModel();
    auto* network = model.mutable_neuralnetwork();
    auto* pre = network->add_preprocessing();
    pre->set_featurename("image");
    pre->mutable_scaler()->set_channelscale(inputScale);
    const int shuffled = w.outputChannels * w.scale * w.scale;
    addConvolution(network, "conv1", "image", "f1", 3, w.channels, 3, w.w1, w.b1, true);
    auto* prelu =
        addLayer(network, "prelu", {"f1"}, "a1")->mutable_activation()->mutable_prelu()->mutable_alpha();
    for (float s : w.slopes) prelu->add_floatvalue(s);
    addConvolution(network, "conv2", "a1", w.scale > 1 ? "f2" : "s", w.channels, shuffled, 3, w.w2, w.b2,
                   true);
    if (w.scale > 1) {
        auto* shuffle = addLayer(network, "shuffle", {"f2"}, "s")->mutable_reorganizedata();
        shuffle->set_mode(coreml::ReorganizeDataLayerParams::PIXEL_SHUFFLE);
        shuffle->set_blocksize(uint64_t(w.scale));
    }
    addLayer(network, "offset", {"s"}, "o")->mutable_add()->set_alpha(0.5f);
    addLayer(network, "range", {"o"}, "output")->mutable_multiply()->set_alpha(255.0f);
    return model;
}

// The same function the way the converter writes a program: BGR images with channel swaps,
// half-precision compute, weights in weight.bin.
std::pair<coreml::Model, std::string> programSpec(const NetworkWeights& w, const ModelShape& shape) {
    ProgramWriter p;
    p.input("image", {1, 3, shape.inputHeight, shape.inputWidth});
    p.constString("fp16", "fp16");
    p.op("cast", {{"x", {"image"}}, {"dtype", {"fp16"}}}, "x16", coreml::mil::FLOAT16);
    p.constInts("swap", {3}, {2, 1, 0});
    p.constInt("axis", 1);
    p.op("gather", {{"x", {"x16"}}, {"indices", {"swap"}}, {"axis", {"axis"}}}, "rgb");
    p.constFloat("in_scale", {}, {inputScale}, Precision::fp16);
    p.op("mul", {{"x", {"rgb"}}, {"y", {"in_scale"}}}, "scaled");
    p.constFloat("w1", {w.channels, 3, 3, 3}, w.w1, Precision::fp16, Storage::blob);
    p.constFloat("b1", {w.channels}, w.b1, Precision::fp16, Storage::blob);
    p.constString("same", "same");
    p.constInts("ones", {2}, {1, 1});
    p.constInt("groups", 1);
    p.op("conv",
         {{"x", {"scaled"}},
          {"weight", {"w1"}},
          {"bias", {"b1"}},
          {"pad_type", {"same"}},
          {"strides", {"ones"}},
          {"dilations", {"ones"}},
          {"groups", {"groups"}}},
         "f1");
    p.constFloat("slopes", {w.channels}, w.slopes, Precision::fp16, Storage::blob);
    p.op("prelu", {{"x", {"f1"}}, {"alpha", {"slopes"}}}, "a1");
    const int shuffled = w.outputChannels * w.scale * w.scale;
    p.constFloat("w2", {shuffled, w.channels, 3, 3}, w.w2, Precision::fp16, Storage::blob);
    p.constFloat("b2", {shuffled}, w.b2, Precision::fp16, Storage::blob);
    p.op("conv", {{"x", {"a1"}}, {"weight", {"w2"}}, {"bias", {"b2"}}, {"pad_type", {"same"}}},
         w.scale > 1 ? "f2" : "s");
    if (w.scale > 1) {
        p.constInt("factor", w.scale);
        p.op("pixel_shuffle", {{"x", {"f2"}}, {"upscale_factor", {"factor"}}}, "s");
    }
    p.constFloat("offset", {1, 1, 1, 1}, {0.5f}, Precision::fp16);
    p.op("add", {{"x", {"s"}}, {"y", {"offset"}}}, "o");
    p.constFloat("range", {}, {255.0f}, Precision::fp16);
    p.op("mul", {{"x", {"o"}}, {"y", {"range"}}}, "r");
    // A one-component output has no channels to swap.
    if (w.outputChannels == 3)
        p.op("gather", {{"x", {"r"}}, {"indices", {"swap"}}, {"axis", {"axis"}}}, "bgr");
    p.constString("fp32", "fp32");
    p.op("cast", {{"x", {w.outputChannels == 3 ? "bgr" : "r"}}, {"dtype", {"fp32"}}}, "output");
    p.output("output");
    coreml::Model model = programModel(p);
    if (shape.flexible) {
        auto& function = (*model.mutable_mlprogram()->mutable_functions())["main"];
        for (int d : {2, 3})
            function.mutable_inputs(0)
                ->mutable_type()
                ->mutable_tensortype()
                ->mutable_dimensions(d)
                ->mutable_unknown();
    }
    return {model, p.weightBytes()};
}

void describe(coreml::Model& model, const NetworkWeights& w, const ModelShape& shape, bool program) {
    const auto colour = program ? coreml::ImageFeatureType::BGR : coreml::ImageFeatureType::RGB;
    auto* inputs = model.mutable_description()->mutable_input();
    auto* outputs = model.mutable_description()->mutable_output();
    if (shape.arrayInput) {
        addMultiArray(inputs, "image", {3, shape.inputHeight, shape.inputWidth});
    } else {
        auto* in = addImage(inputs, "image", shape.inputWidth, shape.inputHeight, colour);
        if (shape.flexible) setSizeRange(in, 1, shape.maximumSide, 1, shape.maximumSide);
    }
    const auto outputColour = w.outputChannels == 1 ? coreml::ImageFeatureType::GRAYSCALE : colour;
    auto* out = addImage(outputs, "output", shape.outputWidth, shape.outputHeight, outputColour);
    if (shape.flexible) setSizeRange(out, 1, shape.maximumSide * w.scale, 1, shape.maximumSide * w.scale);
    if (shape.secondOutput) {
        addImage(outputs, "second", shape.outputWidth, shape.outputHeight, colour);
        if (program) {
            auto& function = (*model.mutable_mlprogram()->mutable_functions())["main"];
            auto& block = (*function.mutable_block_specializations())["CoreML5"];
            // A copy of the final cast under another name.
            auto* copy = block.add_operations();
            *copy = block.operations(block.operations_size() - 2);
            copy->mutable_outputs(0)->set_name("second");
            block.add_outputs("second");
        } else {
            addLayer(model.mutable_neuralnetwork(), "second", {"output"}, "second")
                ->mutable_multiply()
                ->set_alpha(1.0f);
        }
    }
    setMetadata(model, shape.metadata);
}

} // namespace

const char* extensionOf(ModelForm form) {
    switch (form) {
    case ModelForm::modelFile:
        return ".mlmodel";
    case ModelForm::package:
        return ".mlpackage";
    case ModelForm::compiled:
        return ".mlmodelc";
    }
    return "";
}

NetworkWeights::NetworkWeights(int scale, int channels, std::uint32_t seed, int outputChannels)
    : scale(scale), channels(channels), outputChannels(outputChannels) {
    const int shuffled = outputChannels * scale * scale;
    w1 = halfValues(std::size_t(channels) * 27, 0.3f, seed);
    b1 = halfValues(std::size_t(channels), 0.1f, seed + 1);
    slopes = halfValues(std::size_t(channels), 0.3f, seed + 2);
    w2 = halfValues(std::size_t(shuffled) * std::size_t(channels) * 9, 0.15f, seed + 3);
    b2 = halfValues(std::size_t(shuffled), 0.1f, seed + 4);
}

fs::path writeModel(const fs::path& folder, const std::string& stem, ModelForm form,
                    const NetworkWeights& weights, const ModelShape& shape) {
    const fs::path path = folder / (stem + extensionOf(form));
    if (form == ModelForm::modelFile) {
        coreml::Model model = networkSpec(weights);
        describe(model, weights, shape, false);
        writeModelFile(path, model);
        return path;
    }
    auto [model, weightBytes] = programSpec(weights, shape);
    describe(model, weights, shape, true);
    if (form == ModelForm::package) {
        writePackage(path, model, weightBytes);
        return path;
    }
    // Compiled by the runtime from a package of another name, then moved into place.
    const fs::path source = folder / (stem + "-source.mlpackage");
    writePackage(source, model, weightBytes);
    const fs::path compiled = ml::Model::compileModel(source);
    fs::remove_all(source);
    std::error_code error;
    fs::rename(compiled, path, error);
    if (error) {
        fs::copy(compiled, path, fs::copy_options::recursive);
        fs::remove_all(compiled);
    }
    return path;
}

std::vector<fs::path> compiledCopies(const std::string& stem) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(stem + "-") && name.ends_with(".mlmodelc")) found.push_back(entry.path());
    }
    return found;
}

std::shared_ptr<ml::Model> referenceModel(const fs::path& folder, const NetworkWeights& weights) {
    ModelShape shape{.inputWidth = 16,
                     .inputHeight = 16,
                     .outputWidth = 16 * weights.scale,
                     .outputHeight = 16 * weights.scale,
                     .metadata = {},
                     .flexible = true,
                     .maximumSide = 4096};
    static int counter = 0;
    const fs::path file =
        writeModel(folder, "Reference" + std::to_string(counter++), ModelForm::modelFile, weights, shape);
    const fs::path compiled = ml::Model::compileModel(file);
    auto model = ml::Model::load(compiled, {ml::ComputeUnits::cpuOnly, false});
    fs::remove_all(compiled);
    return model;
}

PixelBuffer predict(const ml::Model& model, const PixelBuffer& image) {
    const ml::FeatureProvider out =
        model.prediction(ml::FeatureProvider({{"image", ml::FeatureValue(image)}}));
    const auto value = out.featureValue("output");
    if (!value) throw std::runtime_error("the reference model gave no image");
    return value->imageBufferValue();
}

PixelBuffer randomImage(int width, int height, std::uint32_t seed) {
    PixelBuffer image = PixelBuffer::create(std::size_t(width), std::size_t(height), LV_PIXEL_FORMAT_32BGRA);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y) {
        auto* row = static_cast<std::uint8_t*>(image.baseAddress()) + std::size_t(y) * image.bytesPerRow();
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) row[4 * x + c] = std::uint8_t(random() & 0xff);
            row[4 * x + 3] = 255;
        }
    }
    return image;
}

PixelBuffer extendedByEdges(const PixelBuffer& image, int margin) {
    const int width = int(image.width()), height = int(image.height());
    PixelBuffer out = PixelBuffer::create(std::size_t(width + 2 * margin), std::size_t(height + 2 * margin),
                                          LV_PIXEL_FORMAT_32BGRA);
    for (int row = 0; row < height + 2 * margin; ++row) {
        const int sourceRow = std::clamp(row - margin, 0, height - 1);
        const auto* from = static_cast<const std::uint8_t*>(image.baseAddress()) +
                           std::size_t(sourceRow) * image.bytesPerRow();
        auto* to = static_cast<std::uint8_t*>(out.baseAddress()) + std::size_t(row) * out.bytesPerRow();
        for (int x = 0; x < width + 2 * margin; ++x)
            std::memcpy(to + 4 * x, from + 4 * std::clamp(x - margin, 0, width - 1), 4);
    }
    return out;
}

PixelBuffer copyOf(const PixelBuffer& image) {
    PixelBuffer out = PixelBuffer::create(image.width(), image.height(), LV_PIXEL_FORMAT_32BGRA);
    for (std::size_t row = 0; row < image.height(); ++row)
        std::memcpy(static_cast<std::uint8_t*>(out.baseAddress()) + row * out.bytesPerRow(),
                    static_cast<const std::uint8_t*>(image.baseAddress()) + row * image.bytesPerRow(),
                    4 * image.width());
    return out;
}

int largestDifference(const PixelBuffer& a, const PixelBuffer& b, int x, int row) {
    if (std::size_t(x) + a.width() > b.width() || std::size_t(row) + a.height() > b.height()) return 256;
    int worst = 0;
    for (std::size_t r = 0; r < a.height(); ++r) {
        const auto* pa = static_cast<const std::uint8_t*>(a.baseAddress()) + r * a.bytesPerRow();
        const auto* pb = static_cast<const std::uint8_t*>(b.baseAddress()) +
                         (r + std::size_t(row)) * b.bytesPerRow() + 4 * std::size_t(x);
        for (std::size_t i = 0; i < a.width(); ++i)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(int(pa[4 * i + c]) - int(pb[4 * i + c])));
    }
    return worst;
}

} // namespace lumavane::testing
