#include "CompactMetal/support/EngineReference.hpp"

#include "CompactMetal/TestModelFolder.hpp"
#include "Platform/Gpu/Internal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace lumavane::testing {

EngineModel writeEngineModel(const std::filesystem::path& folder, const nlohmann::json& manifest,
                             std::uint32_t seed) {
    std::filesystem::create_directories(folder);
    writeText(folder / "manifest.json", manifest.dump());
    EngineModel model;
    model.scale = manifest.at("scale").get<std::size_t>();
    const auto& layers = manifest.at("layers");
    for (std::size_t i = 0; i < layers.size(); ++i) {
        EngineLayer layer;
        layer.input = layers[i].at("input").get<std::size_t>();
        layer.output = layers[i].at("output").get<std::size_t>();
        const bool last = i + 1 == layers.size();
        const float fanIn = 9.0f * static_cast<float>(layer.input);
        // Body layers keep the features' spread (He-like); the last one gives small corrections.
        const float amplitude = last ? 0.6f / std::sqrt(fanIn) : std::sqrt(5.0f / fanIn);
        const std::uint32_t s = seed + 7 * static_cast<std::uint32_t>(i);
        layer.weights = randomValues(layer.output * 9 * layer.input, s, amplitude);
        layer.bias = randomValues(layer.output, s + 1, last ? 0.03f : 0.1f);
        const std::string stem = std::to_string(i);
        writeFloats(folder / (stem + ".weights"), layer.weights);
        writeFloats(folder / (stem + ".bias"), layer.bias);
        if (layers[i].at("prelu").get<bool>()) {
            std::vector<float> slopes = randomValues(layer.output, s + 2, 0.15f);
            for (float& slope : slopes) slope += 0.2f;
            writeFloats(folder / (stem + ".prelu"), slopes);
            layer.slopes = std::move(slopes);
        }
        model.layers.push_back(std::move(layer));
    }
    return model;
}

FloatImage runLayers(const EngineModel& model, const Bgra8Image& source,
                     std::optional<std::size_t> layerCount) {
    FloatImage features = roundedToHalf(sourceRgb(source));
    const std::size_t count = layerCount.value_or(model.layers.size());
    for (std::size_t i = 0; i < count; ++i) {
        const EngineLayer& layer = model.layers[i];
        std::optional<std::span<const float>> slopes;
        if (layer.slopes) slopes = std::span<const float>(*layer.slopes);
        features = roundedToHalf(convolution3x3(features, layer.output, layer.weights, layer.bias, slopes));
    }
    return features;
}

FloatImage expectedOutput(const EngineModel& model, const Bgra8Image& source, EngineOutput output, bool flip,
                          std::size_t width, std::size_t height) {
    // The fused tails never store the last layer's output, so it is not rounded here.
    const std::size_t last = model.layers.size() - 1;
    const FloatImage features = runLayers(model, source, last);
    const EngineLayer& layer = model.layers[last];
    const FloatImage network = convolution3x3(features, layer.output, layer.weights, layer.bias);
    FloatImage image;
    switch (output) {
    case EngineOutput::native:
        image = reconstruct(network, source, model.scale);
        break;
    case EngineOutput::down2:
        image = reconstructDown2(network, source);
        break;
    case EngineOutput::approximateDown2:
        image = approximateDown2(network, source);
        break;
    case EngineOutput::optimal:
        image = displayResample(approximateDown2(network, source), width, height);
        break;
    }
    return flip ? flipVertically(image) : image;
}

std::vector<std::uint8_t> rgbaBytes(const Bgra8Image& image) {
    std::vector<std::uint8_t> bytes(image.bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        bytes[i] = image.bytes[i + 2];
        bytes[i + 1] = image.bytes[i + 1];
        bytes[i + 2] = image.bytes[i];
        bytes[i + 3] = image.bytes[i + 3];
    }
    return bytes;
}

Bgra8Image fromRgbaBytes(const std::uint8_t* bytes, std::size_t width, std::size_t height) {
    Bgra8Image image(width, height);
    for (std::size_t i = 0; i < image.bytes.size(); i += 4) {
        image.bytes[i] = bytes[i + 2];
        image.bytes[i + 1] = bytes[i + 1];
        image.bytes[i + 2] = bytes[i];
        image.bytes[i + 3] = bytes[i + 3];
    }
    return image;
}

std::shared_ptr<gpu::Device> deviceWithFamilies(std::initializer_list<gpu::GPUFamily> apple) {
    gpu::DeviceProfile profile;
    profile.families = {gpu::GPUFamily::common1, gpu::GPUFamily::common2, gpu::GPUFamily::common3,
                        gpu::GPUFamily::mac2};
    profile.families.insert(apple.begin(), apple.end());
    return gpu::Device::withProfile(profile);
}

std::vector<std::shared_ptr<gpu::ComputePipelineState>> recordedPipelines(gpu::CommandBuffer& command) {
    std::vector<std::shared_ptr<gpu::ComputePipelineState>> pipelines;
    for (const auto& recorded : command.commands())
        if (recorded->kind == gpu::RecordedCommand::Kind::dispatch) pipelines.push_back(recorded->pipeline);
    return pipelines;
}

Bgra8Image encodeFrame(CompactMetalEngine& engine, const Bgra8Image& source, const FrameRequest& request,
                       std::vector<std::shared_ptr<gpu::ComputePipelineState>>* pipelines) {
    const auto& device = engine.device();
    const auto scale = static_cast<std::size_t>(request.outputScale.value_or(engine.manifest().scale));
    auto input = makeBgra8Texture(device, source);
    auto output = makeBgra8Texture(device, request.optimal ? request.width : source.width * scale,
                                   request.optimal ? request.height : source.height * scale, 77);
    auto command = engine.queue()->commandBuffer();
    engine.encode(input, output, command, request.directInput, request.outputScale, request.flip,
                  request.optimal);
    if (pipelines) {
        auto recorded = recordedPipelines(*command);
        pipelines->insert(pipelines->end(), recorded.begin(), recorded.end());
    }
    command->commit();
    command->waitUntilCompleted();
    EXPECT_EQ(command->status(), gpu::CommandBuffer::Status::completed)
        << (command->error() ? command->error()->localizedDescription() : "");
    return readBgra8Texture(*output);
}

void expectFrame(const Bgra8Image& actual, const FloatImage& expected) {
    const Bgra8Image reference = toBgra8(expected);
    ASSERT_EQ(actual.width, reference.width);
    ASSERT_EQ(actual.height, reference.height);
    EXPECT_LE(maxLevelDifference(actual, reference), 2);
    EXPECT_LE(countLevelDifferences(actual, reference, 1), actual.bytes.size() / 200 + 2);
}

void EngineTest::writeModel(std::int64_t scale, std::int64_t features, int body, const nlohmann::json& extra,
                            std::int64_t width, std::int64_t height) {
    nlohmann::json manifest = compactManifest(scale, compactLayers(scale, features, body), width, height);
    if (extra.is_object()) manifest.update(extra);
    folder = directory.path() / std::to_string(++models);
    model = writeEngineModel(folder, manifest, 1000 + static_cast<std::uint32_t>(models));
}

std::unique_ptr<CompactMetalEngine> EngineTest::build(std::int64_t scale, std::int64_t features, int body,
                                                      const nlohmann::json& extra,
                                                      std::initializer_list<gpu::GPUFamily> apple,
                                                      CompactMetalEngineOptions options) {
    writeModel(scale, features, body, extra);
    options.folder = folder;
    options.device = deviceWithFamilies(apple);
    return std::make_unique<CompactMetalEngine>(options);
}

} // namespace lumavane::testing
