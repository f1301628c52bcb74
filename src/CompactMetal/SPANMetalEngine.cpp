#include "CompactMetal/SPANMetalEngine.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/CompactModel.hpp"
#include "CompactMetal/FloatFiles.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <array>

namespace lumavane {

namespace {

constexpr std::size_t featureChannels = 48;

SPANLayer decodeLayer(const nlohmann::json& value, const std::string& path) {
    const json_decoding::Object object(value, path);
    SPANLayer layer;
    layer.name = object.string("name");
    layer.input = object.integer("input");
    layer.output = object.integer("output");
    layer.kernel = object.integer("kernel");
    return layer;
}

std::shared_ptr<gpu::FeatureImage> makeImage(const std::shared_ptr<gpu::Device>& device, std::int64_t width,
                                             std::int64_t height, std::size_t channels) {
    gpu::FeatureImageDescriptor descriptor;
    descriptor.channelFormat = gpu::FeatureChannelFormat::float16;
    descriptor.featureChannels = channels;
    descriptor.storageMode = gpu::StorageMode::privateStorage;
    descriptor.usage = gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite;
    std::shared_ptr<gpu::FeatureImage> image;
    if (width > 0 && height > 0) {
        descriptor.width = static_cast<std::size_t>(width);
        descriptor.height = static_cast<std::size_t>(height);
        image = gpu::FeatureImage::make(device, descriptor);
    }
    // The manifest's size is not otherwise limited: a size the device cannot hold ends here.
    if (!image) {
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                            "The SPAN images of " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels cannot be allocated");
    }
    return image;
}

// Block i's output image index: block 1 keeps its own, later blocks alternate between C and D.
enum class BlockOutput { block1, stateC, stateD };
BlockOutput blockOutput(int block) {
    if (block == 1) return BlockOutput::block1;
    return block % 2 == 0 ? BlockOutput::stateC : BlockOutput::stateD;
}

} // namespace

SPANManifest SPANManifest::decode(std::string_view json) {
    const nlohmann::json document = json_decoding::parse(json);
    const json_decoding::Object object(document, "");
    SPANManifest manifest;
    manifest.architecture = object.string("architecture");
    manifest.variant = object.string("variant");
    manifest.scale = object.integer("scale");
    manifest.width = object.integer("width");
    manifest.height = object.integer("height");
    manifest.feature_channels = object.integer("feature_channels");
    manifest.layers = object.array("layers", decodeLayer);
    manifest.checkpoint_sha256 = object.string("checkpoint_sha256");
    manifest.source = object.optionalString("source");
    manifest.license = object.optionalString("license");
    return manifest;
}

SPANMetalEngine::SPANMetalEngine(const std::filesystem::path& folder, bool halfAccumulator,
                                 bool reducedPrecision) {
    manifest_ = SPANManifest::decode(readManifestText(folder));
    const SPANManifest& m = manifest_;
    require(m.architecture == "SPAN" && m.variant == "6block-48nf" && m.scale == 2 &&
                m.feature_channels == static_cast<std::int64_t>(featureChannels) && m.layers.size() == 25,
            "Unsupported SPAN graph");

    device_ = gpu::Device::systemDefault();
    if (device_) queue_ = device_->newCommandQueue();
    if (!device_ || !queue_) throw CompactMetalError::metalUnavailable();

    inputImage_ = makeImage(device_, m.width, m.height, 3);
    for (auto* image : {&feature_, &block1_, &block6C1_, &scratchA_, &scratchB_, &stateC_, &stateD_}) {
        *image = makeImage(device_, m.width, m.height, featureChannels);
    }
    upsampled_ = makeImage(device_, m.width, m.height, 12);

    for (const SPANLayer& layer : m.layers) {
        require((layer.kernel == 1 || layer.kernel == 3) && layer.input >= 1 && layer.input <= 192 &&
                    layer.output >= 1 && layer.output <= 192,
                "Invalid SPAN layer");
        const auto weightCount =
            static_cast<std::uint64_t>(layer.input * layer.output * layer.kernel * layer.kernel);
        const std::optional<std::vector<float>> weights =
            compact_files::floatsIfCount(folder / (layer.name + ".weights"), weightCount);
        const std::optional<std::vector<float>> bias = compact_files::floatsIfCount(
            folder / (layer.name + ".bias"), static_cast<std::uint64_t>(layer.output));
        require(weights && bias, "Invalid weights for " + layer.name);
        requireFinite(*weights, layer.name + ".weights");
        requireFinite(*bias, layer.name + ".bias");

        gpu::ConvolutionDescriptor descriptor;
        descriptor.kernelWidth = static_cast<std::size_t>(layer.kernel);
        descriptor.kernelHeight = static_cast<std::size_t>(layer.kernel);
        descriptor.inputFeatureChannels = static_cast<std::size_t>(layer.input);
        descriptor.outputFeatureChannels = static_cast<std::size_t>(layer.output);
        auto convolution = std::make_shared<gpu::Convolution>(device_, descriptor, *weights, *bias, 0);
        convolution->offset = {0, 0, 0};
        convolution->edgeMode = gpu::EdgeMode::zero;
        convolution->accumulatorPrecision =
            halfAccumulator ? gpu::AccumulatorPrecision::half : gpu::AccumulatorPrecision::single;
        if (reducedPrecision) convolution->options |= gpu::convolutionAllowReducedPrecision;
        convolutions_[layer.name] = std::move(convolution);
    }

    const ShaderLibrary library = ShaderLibrary::compile(device_, "SPAN");
    const auto pipeline = [&](const char* name) {
        std::shared_ptr<gpu::Function> function = library.library()->newFunction(name);
        if (!function) throw CompactMetalError::spanMissingKernel(name);
        return device_->newComputePipelineState(function);
    };
    unpack_ = pipeline("spanUnpack");
    silu_ = pipeline("spanSilu");
    attention_ = pipeline("spanAttention");
    copyKernel_ = pipeline("spanCopy");
    add_ = pipeline("spanAdd");
    finish_ = pipeline("spanFinish2x");

    // The images exist, so W and H are small enough for these products.
    const auto pixels = static_cast<std::uint64_t>(m.width) * static_cast<std::uint64_t>(m.height);
    const files::FileContents fixture =
        files::readFile(folder / "input.rgba", [&](std::uint64_t size) { return size == pixels * 4; });
    require(fixture.bytes.has_value(), "Invalid SPAN input fixture");
    input_ = device_->newBuffer(fixture.bytes->data(), fixture.bytes->size());
    output_ = device_->newBuffer(static_cast<std::size_t>(pixels * 16));
    if (!input_ || !output_) {
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                            "The SPAN input and output buffers cannot be allocated");
    }
}

gpu::Convolution& SPANMetalEngine::convolution(const std::string& name) {
    const auto found = convolutions_.find(name);
    if (found == convolutions_.end()) throw CompactMetalError::spanMissingConvolution(name);
    return *found->second;
}

void SPANMetalEngine::encodeConvolution(const std::shared_ptr<gpu::CommandBuffer>& command,
                                        const std::string& name,
                                        const std::shared_ptr<gpu::FeatureImage>& source,
                                        const std::shared_ptr<gpu::FeatureImage>& destination) {
    convolution(name).encode(command, source, destination);
}

void SPANMetalEngine::encodeElementwise(
    const std::shared_ptr<gpu::CommandBuffer>& command,
    const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
    const std::vector<std::shared_ptr<gpu::FeatureImage>>& textures) const {
    auto encoder = command->computeCommandEncoder();
    encoder->setComputePipelineState(pipeline);
    for (std::size_t i = 0; i < textures.size(); ++i) encoder->setTexture(textures[i]->texture(), i);
    encoder->dispatchThreads({static_cast<std::size_t>(manifest_.width),
                              static_cast<std::size_t>(manifest_.height), featureChannels / 4},
                             {8, 8, 1});
    encoder->endEncoding();
}

double SPANMetalEngine::run() {
    const std::size_t W = static_cast<std::size_t>(manifest_.width),
                      H = static_cast<std::size_t>(manifest_.height);
    std::shared_ptr<gpu::CommandBuffer> command = queue_->commandBuffer();

    {
        auto encoder = command->computeCommandEncoder();
        encoder->setComputePipelineState(unpack_);
        encoder->setTexture(inputImage_->texture(), 0);
        encoder->setBuffer(input_, 0, 0);
        encoder->dispatchThreads({W, H, 1}, {16, 8, 1});
        encoder->endEncoding();
    }
    encodeConvolution(command, "conv_1", inputImage_, feature_);

    std::shared_ptr<gpu::FeatureImage> x = feature_;
    for (int block = 1; block <= 6; ++block) {
        const std::string prefix = "block_" + std::to_string(block) + "_";
        encodeConvolution(command, prefix + "1", x, scratchA_);
        encodeElementwise(command, silu_, {scratchA_, scratchB_});
        if (block == 6) encodeElementwise(command, copyKernel_, {scratchB_, block6C1_});
        encodeConvolution(command, prefix + "2", scratchB_, scratchA_);
        encodeElementwise(command, silu_, {scratchA_, scratchB_});
        encodeConvolution(command, prefix + "3", scratchB_, scratchA_);
        const BlockOutput which = blockOutput(block);
        const std::shared_ptr<gpu::FeatureImage>& out = which == BlockOutput::block1   ? block1_
                                                        : which == BlockOutput::stateC ? stateC_
                                                                                       : stateD_;
        encodeElementwise(command, attention_, {scratchA_, x, out});
        x = out;
    }

    encodeConvolution(command, "conv_2", stateC_, scratchA_);
    encodeConvolution(command, "cat_0", feature_, stateC_);
    encodeConvolution(command, "cat_1", scratchA_, scratchB_);
    encodeElementwise(command, add_, {stateC_, scratchB_, stateD_});
    encodeConvolution(command, "cat_2", block1_, feature_);
    encodeElementwise(command, add_, {stateD_, feature_, stateC_});
    encodeConvolution(command, "cat_3", block6C1_, feature_);
    encodeElementwise(command, add_, {stateC_, feature_, stateD_});
    encodeConvolution(command, "upsample", stateD_, upsampled_);

    {
        auto encoder = command->computeCommandEncoder();
        encoder->setComputePipelineState(finish_);
        encoder->setTexture(upsampled_->texture(), 0);
        encoder->setBuffer(output_, 0, 0);
        encoder->dispatchThreads({W, H, 1}, {16, 8, 1});
        encoder->endEncoding();
    }

    command->commit();
    command->waitUntilCompleted();
    if (std::optional<PlatformError> error = command->error()) throw *error;
    return (command->GPUEndTime() - command->GPUStartTime()) * 1000.0;
}

} // namespace lumavane
