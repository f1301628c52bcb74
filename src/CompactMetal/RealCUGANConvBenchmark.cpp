#include "CompactMetal/RealCUGANConvBenchmark.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/CompactModel.hpp"
#include "CompactMetal/ConvWinograd.hpp"
#include "CompactMetal/FloatFiles.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "Platform/Foundation/Half.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace lumavane {

namespace {

constexpr std::size_t channels = 64;
constexpr std::size_t filterCount = channels * channels * 9; // 36,864

struct RealCUGANWeightManifest {
    struct Weight {
        std::string name;
        std::string file;
        std::vector<std::int64_t> shape;
        std::string layout;
    };
    std::string architecture;
    std::string variant;
    std::string checkpoint_sha256;
    std::vector<Weight> weights;

    static RealCUGANWeightManifest decode(std::string_view json) {
        const nlohmann::json document = json_decoding::parse(json);
        const json_decoding::Object object(document, "");
        RealCUGANWeightManifest manifest;
        manifest.architecture = object.string("architecture");
        manifest.variant = object.string("variant");
        manifest.checkpoint_sha256 = object.string("checkpoint_sha256");
        manifest.weights = object.array("weights", [](const nlohmann::json& value, const std::string& path) {
            const json_decoding::Object entry(value, path);
            Weight weight;
            weight.name = entry.string("name");
            weight.file = entry.string("file");
            weight.shape = entry.array("shape", json_decoding::integer);
            weight.layout = entry.string("layout");
            return weight;
        });
        return manifest;
    }

    const Weight* find(const std::string& name) const {
        for (const Weight& weight : weights)
            if (weight.name == name) return &weight;
        return nullptr;
    }
};

struct Tensors {
    std::vector<float> filters, biases;
};

// Reads a 64→64 3x3 layer's filter and bias files and checks their counts.
Tensors readLayer(const std::filesystem::path& folder, const RealCUGANWeightManifest::Weight& filter,
                  const RealCUGANWeightManifest::Weight& bias) {
    std::optional<std::vector<float>> filters =
        compact_files::floatsIfCount(folder / filter.file, filterCount);
    std::optional<std::vector<float>> biases = compact_files::floatsIfCount(folder / bias.file, channels);
    require(filters && biases, "Invalid tensor size");
    requireFinite(*filters, filter.file);
    requireFinite(*biases, bias.file);
    return {std::move(*filters), std::move(*biases)};
}

std::shared_ptr<gpu::Convolution> makeConvolution(const std::shared_ptr<gpu::Device>& device,
                                                  const Tensors& tensors, gpu::NeuronDescriptor neuron,
                                                  const RealCUGANConvBenchmark::Options& options) {
    gpu::ConvolutionDescriptor descriptor;
    descriptor.kernelWidth = 3;
    descriptor.kernelHeight = 3;
    descriptor.inputFeatureChannels = channels;
    descriptor.outputFeatureChannels = channels;
    descriptor.fusedNeuron = std::move(neuron);
    auto convolution =
        std::make_shared<gpu::Convolution>(device, descriptor, tensors.filters, tensors.biases, 0);
    convolution->offset = {1, 1, 0}; // output (x, y) centred on input (x + 1, y + 1): valid
    convolution->edgeMode = gpu::EdgeMode::zero;
    convolution->accumulatorPrecision =
        options.halfAccumulator ? gpu::AccumulatorPrecision::half : gpu::AccumulatorPrecision::single;
    if (options.reducedPrecision) convolution->options |= gpu::convolutionAllowReducedPrecision;
    if (options.disableInternalTiling) convolution->options |= gpu::convolutionDisableInternalTiling;
    return convolution;
}

std::shared_ptr<gpu::FeatureImage> makeImage(const std::shared_ptr<gpu::Device>& device, int width,
                                             int height) {
    gpu::FeatureImageDescriptor descriptor;
    descriptor.channelFormat = gpu::FeatureChannelFormat::float16;
    descriptor.width = static_cast<std::size_t>(width);
    descriptor.height = static_cast<std::size_t>(height);
    descriptor.featureChannels = channels;
    descriptor.storageMode = gpu::StorageMode::privateStorage;
    descriptor.usage = gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite;
    std::shared_ptr<gpu::FeatureImage> image = gpu::FeatureImage::make(device, descriptor);
    if (!image) {
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                            "A 64-channel image of " + std::to_string(width) + " x " +
                                std::to_string(height) + " pixels cannot be allocated");
    }
    return image;
}

std::shared_ptr<gpu::Buffer> makeBuffer(const std::shared_ptr<gpu::Device>& device, const void* bytes,
                                        std::size_t length) {
    std::shared_ptr<gpu::Buffer> buffer =
        bytes ? device->newBuffer(bytes, length) : device->newBuffer(length);
    if (!buffer)
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory, "A probe buffer cannot be allocated");
    return buffer;
}

} // namespace

RealCUGANConvBenchmark::RealCUGANConvBenchmark(const Options& options)
    : width_(options.width), height_(options.height) {
    // The pair's valid output needs more than four pixels each way, or its image would be empty.
    require(options.width > 4 && options.height > 4, "Convolution input is too small");

    const RealCUGANWeightManifest manifest =
        RealCUGANWeightManifest::decode(readManifestText(options.folder));
    require(manifest.architecture == "RealCUGAN" && manifest.variant == "2x-fast", "Unsupported manifest");
    checkpointSHA256_ = manifest.checkpoint_sha256;

    const RealCUGANWeightManifest::Weight* filter = manifest.find(options.layerName + ".weight");
    const RealCUGANWeightManifest::Weight* bias =
        filter ? manifest.find(options.layerName + ".bias") : nullptr;
    if (!filter || !bias) throw CompactMetalError::realCUGANProbe("Layer weights not found");
    const std::vector<std::int64_t> filterShape{64, 64, 3, 3}, biasShape{64};
    require(filter->shape == filterShape && filter->layout == "OHWI" && bias->shape == biasShape,
            "Probe currently requires a 64→64 3×3 layer");

    device_ = gpu::Device::systemDefault();
    if (device_) queue_ = device_->newCommandQueue();
    if (!device_ || !queue_) throw CompactMetalError::metalUnavailable();

    const Tensors layer = readLayer(options.folder, *filter, *bias);
    mps_ = makeConvolution(device_, layer, {}, options);

    const RealCUGANWeightManifest::Weight* pairFilter = manifest.find("unet2.conv5.weight");
    const RealCUGANWeightManifest::Weight* pairBias =
        pairFilter ? manifest.find("unet2.conv5.bias") : nullptr;
    if (!pairFilter || !pairBias) throw CompactMetalError::realCUGANProbe("Pair weights not found");
    // Counted like the probed layer: the convolution object would otherwise be handed a
    // tensor of any size.
    const Tensors pair = readLayer(options.folder, *pairFilter, *pairBias);
    pairFirst_ = makeConvolution(device_, pair, gpu::NeuronDescriptor::reLU(0.1f), options);

    const std::vector<std::uint16_t> transformed =
        winograd::transformWeights(layer.filters, static_cast<int>(channels), static_cast<int>(channels));
    transformedWeights_ = makeBuffer(device_, transformed.data(), transformed.size() * 2);
    const std::vector<std::uint16_t> halfBiases = floatToHalf(layer.biases);
    biases_ = makeBuffer(device_, halfBiases.data(), halfBiases.size() * 2);

    const ShaderLibrary library = ShaderLibrary::compile(device_, "RealCUGANConv");
    custom_ = library.pipeline("realcugan_conv64_winograd_valid");
    seed_ = library.pipeline("realcugan_seed");
    readback_ = library.pipeline("realcugan_readback");
    require(custom_->threadExecutionWidth() == 32 && custom_->maxTotalThreadsPerThreadgroup() >= 32,
            "Unsupported SIMD-group configuration");

    source_ = makeImage(device_, width_, height_);
    mpsOutput_ = makeImage(device_, width_ - 2, height_ - 2);
    customOutput_ = makeImage(device_, width_ - 2, height_ - 2);
    pairIntermediate_ = makeImage(device_, width_ - 2, height_ - 2);
    pairOutput_ = makeImage(device_, width_ - 4, height_ - 4);

    std::shared_ptr<gpu::CommandBuffer> command = queue_->commandBuffer();
    auto encoder = command->computeCommandEncoder();
    encoder->setComputePipelineState(seed_);
    encoder->setTexture(source_->texture(), 0);
    encoder->dispatchThreads(
        {static_cast<std::size_t>(width_), static_cast<std::size_t>(height_), channels / 4}, {8, 8, 1});
    encoder->endEncoding();
    finish(command);
}

double RealCUGANConvBenchmark::finish(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer) {
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    if (std::optional<PlatformError> error = commandBuffer->error()) throw *error;
    return (commandBuffer->GPUEndTime() - commandBuffer->GPUStartTime()) * 1000.0;
}

void RealCUGANConvBenchmark::encodeCustom(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                                          const std::shared_ptr<gpu::FeatureImage>& source,
                                          const std::shared_ptr<gpu::FeatureImage>& destination) {
    auto encoder = commandBuffer->computeCommandEncoder();
    encoder->setComputePipelineState(custom_);
    encoder->setTexture(source->texture(), 0);
    encoder->setTexture(destination->texture(), 1);
    encoder->setBuffer(transformedWeights_, 0, 0);
    encoder->setBuffer(biases_, 0, 1);
    const std::int32_t reserved = 0;
    encoder->setBytes(&reserved, sizeof reserved, 2);
    const std::size_t tiles = ((destination->width() + 1) / 2) * ((destination->height() + 1) / 2);
    encoder->dispatchThreadgroups({(tiles + 7) / 8, 1, 1}, {32, 1, 1});
    encoder->endEncoding();
}

double RealCUGANConvBenchmark::runMPS() {
    std::shared_ptr<gpu::CommandBuffer> command = queue_->commandBuffer();
    mps_->encode(command, source_, mpsOutput_);
    return finish(command);
}

double RealCUGANConvBenchmark::runCustom() {
    std::shared_ptr<gpu::CommandBuffer> command = queue_->commandBuffer();
    encodeCustom(command, source_, customOutput_);
    return finish(command);
}

double RealCUGANConvBenchmark::runMPSPair() {
    std::shared_ptr<gpu::CommandBuffer> command = queue_->commandBuffer();
    pairFirst_->encode(command, source_, pairIntermediate_);
    mps_->encode(command, pairIntermediate_, pairOutput_);
    return finish(command);
}

std::vector<std::uint16_t> RealCUGANConvBenchmark::values(const std::shared_ptr<gpu::FeatureImage>& image) {
    const std::size_t n = image->width() * image->height();
    std::shared_ptr<gpu::Buffer> buffer = makeBuffer(device_, nullptr, n * channels * 2);
    std::shared_ptr<gpu::CommandBuffer> command = queue_->commandBuffer();
    auto encoder = command->computeCommandEncoder();
    encoder->setComputePipelineState(readback_);
    encoder->setTexture(image->texture(), 0);
    encoder->setBuffer(buffer, 0, 0);
    encoder->dispatchThreads({image->width(), image->height(), channels / 4}, {8, 8, 1});
    encoder->endEncoding();
    finish(command);
    std::vector<std::uint16_t> halves(n * channels);
    std::memcpy(halves.data(), buffer->contents(), halves.size() * 2);
    return halves;
}

RealCUGANConvBenchmark::Comparison RealCUGANConvBenchmark::compareOutputs() {
    runMPS();
    runCustom();
    const std::vector<std::uint16_t> a = values(mpsOutput_);
    const std::vector<std::uint16_t> b = values(customOutput_);
    double sum = 0, maximum = 0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const double d = std::fabs(double(halfToFloat(a[k])) - double(halfToFloat(b[k])));
        sum += d;
        // A NaN difference must show in the maximum too, not only in the mean.
        if (std::isnan(d) || d >= maximum) maximum = std::isnan(maximum) ? maximum : d;
    }
    return {sum / static_cast<double>(a.size()), maximum};
}

} // namespace lumavane
