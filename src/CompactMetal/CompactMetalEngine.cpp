#include "CompactMetal/CompactMetalEngine.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/ShaderLibrary.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

namespace lumavane {

namespace {

constexpr std::string_view outputScaleMessage = "Only native output or fused 4x-to-2x output is supported";
constexpr std::string_view outputLimitMessage = CompactMetalError::outputLimitMessage;

// Every output the engine writes stays within the limit, whatever scale the frame size was
// checked for: a resize for 2x output must not let a native 4x frame through.
void requireOutputWithinLimit(std::int64_t width, std::int64_t height) {
    require(width >= 1 && height >= 1 && width <= 8192 && height <= 8192 && width * height <= 33'554'432,
            outputLimitMessage);
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::size_t ceilDiv(std::size_t value, std::size_t divisor) { return (value + divisor - 1) / divisor; }

std::shared_ptr<gpu::FeatureImage> makeImage(const std::shared_ptr<gpu::Device>& device, std::int64_t width,
                                             std::int64_t height, std::int64_t channels) {
    gpu::FeatureImageDescriptor descriptor;
    descriptor.channelFormat = gpu::FeatureChannelFormat::float16;
    descriptor.width = static_cast<std::size_t>(width);
    descriptor.height = static_cast<std::size_t>(height);
    descriptor.featureChannels = static_cast<std::size_t>(channels);
    descriptor.storageMode = gpu::StorageMode::privateStorage;
    descriptor.usage = gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite;
    auto image = gpu::FeatureImage::make(device, descriptor);
    if (!image)
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                            "Activation image of " + std::to_string(width) + "x" + std::to_string(height) +
                                "x" + std::to_string(channels) + " could not be allocated");
    return image;
}

std::shared_ptr<gpu::Buffer> makeBuffer(const std::shared_ptr<gpu::Device>& device, const void* bytes,
                                        std::size_t length, const char* what) {
    auto buffer = device->newBuffer(bytes, length);
    if (!buffer)
        throw PlatformError(gpu::errorDomain, gpu::errorOutOfMemory,
                            std::string(what) + " could not be allocated");
    return buffer;
}

bool isWinogradBackend(const std::optional<std::string>& backend) {
    const std::string value = backend.value_or("");
    return value == "winograd" || value == "winograd_2d";
}

std::shared_ptr<gpu::ComputePipelineState> pipeline(const ShaderLibrary& library, std::string_view name) {
    return library.pipeline(name);
}

} // namespace

CompactMetalEngine::CompactMetalEngine(const CompactMetalEngineOptions& options) {
    const std::filesystem::path& folder = options.folder;

    // The manifest and the graph.
    manifest_ = readManifest(folder);
    frameWidth_ = manifest_.width;
    frameHeight_ = manifest_.height;
    deferInputImage_ = !options.benchmarkBuffers;
    blockFinish_ = options.blockFinish && manifest_.scale == 2;
    validateGraph(manifest_);
    const Manifest& m = manifest_;
    const auto layerCount = static_cast<int>(m.layers.size());
    const int last = layerCount - 1;

    // The device.
    device_ = options.device ? options.device : gpu::Device::systemDefault();
    if (device_) queue_ = device_->newCommandQueue();
    if (!device_ || !queue_) throw CompactMetalError::metalUnavailable();
    const bool apple7 = device_->supportsFamily(gpu::GPUFamily::apple7);
    const bool apple8 = device_->supportsFamily(gpu::GPUFamily::apple8);
    const bool apple9 = device_->supportsFamily(gpu::GPUFamily::apple9);
    const bool half = options.halfAccumulator;

    // Which custom kernels to prepare.
    const std::string mode = options.conv24Mode.value_or(
        m.conv24_backend.value_or("") == "winograd_2d" ? "winograd_2d" : "winograd");
    const bool use24 = options.customConv24.value_or(half && isWinogradBackend(m.conv24_backend) && apple7);
    require(!use24 || half, "Conv24 requires FP16 accumulation mode");
    if (use24) conv24_ = std::make_shared<Conv24Kernel>(device_, mode);

    const bool use16 =
        options.customConv16.value_or(half && m.conv16_backend.value_or("") == "winograd" && apple7);
    require(!use16 || (half && apple7), "Conv16 requires FP16 and Apple GPU family 7");

    std::optional<RectangularConfiguration> rectangularConfiguration;
    if (half && apple9 && environment("CORAVEL_RECTANGULAR") != std::optional<std::string>("0") &&
        m.rectangular_winograd) {
        validateRectangularConfiguration(m);
        rectangularConfiguration = m.rectangular_winograd;
    }

    const std::optional<std::string> approximateSwitch = environment("CORAVEL_FAST_APPROX_TAIL");
    const bool fastApproximateTail = approximateSwitch
                                         ? (*approximateSwitch == "quarter" || *approximateSwitch == "1")
                                         : (apple7 && !apple8);

    // Benchmark buffers.
    const std::vector<std::uint8_t> inputData =
        options.benchmarkBuffers ? readInputFrame(folder, m) : std::vector<std::uint8_t>(4, 0);
    input_ = makeBuffer(device_, inputData.data(), inputData.size(), "Benchmark input buffer");
    const std::int64_t benchmarkScale = options.benchmarkOutputScale.value_or(m.scale);
    require(benchmarkScale == m.scale || (m.scale == 4 && benchmarkScale == 2), outputScaleMessage);
    const std::size_t outputLength =
        options.benchmarkBuffers
            ? static_cast<std::size_t>(m.width * m.height * benchmarkScale * benchmarkScale * 4)
            : 4;
    output_ = makeBuffer(device_, nullptr, outputLength, "Benchmark output buffer");

    // Input conversion and reconstruction.
    const bool vectorFinish = use16 || (use24 && mode == "winograd_2d");
    {
        const ShaderLibrary library = ShaderLibrary::compile(device_, "Kernels");
        pipelines_.unpack = pipeline(library, "unpack");
        pipelines_.finish = pipeline(library, blockFinish_ ? "finish2x" : "finish");
        pipelines_.finish4xDown2 = pipeline(library, vectorFinish ? "finish4xDown2Vector" : "finish4xDown2");
        pipelines_.textureUnpack = pipeline(library, "unpackTexture");
        pipelines_.textureFinish = pipeline(library, m.scale == 2 ? "finish2xTexture" : "finishTexture");
        pipelines_.textureFinish4xDown2 =
            pipeline(library, vectorFinish ? "finish4xDown2TextureVector" : "finish4xDown2Texture");
        pipelines_.textureFinish4xDown2Flipped = pipeline(
            library, vectorFinish ? "finish4xDown2TextureVectorFlipped" : "finish4xDown2TextureFlipped");
        pipelines_.textureFinishFlipped =
            pipeline(library, m.scale == 2 ? "finish2xTextureFlipped" : "finishTextureFlipped");
    }

    // The layers. A live engine's images wait for the first frame: a manifest may declare a size
    // far beyond the frames it will be given.
    activationsDeferred_ = !options.benchmarkBuffers;
    const bool reduced = options.reducedPrecision.value_or(m.reduced_precision.value_or(false));
    for (int i = 0; i < layerCount; ++i) {
        const Layer& layer = m.layers[static_cast<std::size_t>(i)];
        const std::int64_t n = layer.input, outputs = layer.output;
        const bool p = layer.prelu;
        const bool isLast = i == last;
        const LayerWeights files = readLayerWeights(folder, m, static_cast<std::size_t>(i));
        const std::span<const float> weights(files.weights), biases(files.bias);

        gpu::ConvolutionDescriptor descriptor;
        descriptor.kernelWidth = 3;
        descriptor.kernelHeight = 3;
        descriptor.inputFeatureChannels = static_cast<std::size_t>(n);
        descriptor.outputFeatureChannels = static_cast<std::size_t>(outputs);
        if (p) descriptor.fusedNeuron = gpu::NeuronDescriptor::pReLU(*files.prelu);
        auto convolution = std::make_shared<gpu::Convolution>(device_, descriptor, weights, biases, 0);
        convolution->offset = {0, 0, 0};
        convolution->edgeMode = gpu::EdgeMode::zero;
        convolution->accumulatorPrecision =
            half ? gpu::AccumulatorPrecision::half : gpu::AccumulatorPrecision::single;
        if (reduced) convolution->options |= gpu::convolutionAllowReducedPrecision;
        if (options.disableInternalTiling) convolution->options |= gpu::convolutionDisableInternalTiling;
        convolutions_.push_back(std::move(convolution));

        // Rectangular-tile kernels.
        if (rectangularConfiguration && ((n == 16 && use16) || (n != 16 && use24 && mode == "winograd_2d"))) {
            const RectangularConfiguration& r = *rectangularConfiguration;
            if (std::find(r.layers.begin(), r.layers.end(), i) != r.layers.end()) {
                const std::vector<float>& slopes = *files.prelu;
                rectangular_[i] =
                    std::make_shared<RectangularWinograd>(device_, n, weights, biases, slopes, r);
            }
            if (isLast && r.fused_tail_simd_groups) {
                if (n == 16) {
                    rectangularTail_ = std::make_shared<RectTail>(
                        device_, 16, weights, biases, *r.fused_tail_simd_groups,
                        r.fused_tail_vector_output.value_or(false), r.native_tail_simd_groups,
                        r.native_tail_row_pairs.value_or(false));
                } else if (environment("CORAVEL_RECT_HQ_TAIL") != std::optional<std::string>("0")) {
                    rectangularHQTail_ =
                        std::make_shared<RectTail24>(device_, weights, biases, *r.fused_tail_simd_groups);
                }
            }
        }

        // 24-channel body layer.
        if (n == 24 && outputs == 24 && p && use24) {
            const std::vector<float>& slopes = *files.prelu;
            conv24Weights_[i] = std::make_shared<Conv24Weights>(device_, weights, biases, slopes, mode);
        }

        // 16-channel Winograd.
        if (use16 && n == 16) {
            if (outputs == 48 && !p) {
                conv16_[i] = std::make_shared<ConvWinograd>(device_, 16, 48, weights, biases, std::nullopt,
                                                            options.uniformInputOptimization);
            } else if (outputs == 16 && p) {
                const std::vector<float>& slopes = *files.prelu;
                conv16_[i] = std::make_shared<ConvWinograd>(device_, 16, 16, weights, biases,
                                                            std::span<const float>(slopes),
                                                            options.uniformInputOptimization);
            }
            if (fastApproximateTail && isLast && outputs == 48 && !p)
                approximateDown2_ = std::make_shared<ApproxDown2Winograd>(device_, 16, weights, biases);
        }

        // Display-optimal output.
        if (isLast && (n == 16 || n == 24) && outputs == 48 && !p &&
            ((n == 16 && use16) || (n == 24 && use24 && mode == "winograd_2d"))) {
            optimalOutput_ =
                approximateDown2_
                    ? approximateDown2_
                    : std::make_shared<ApproxDown2Winograd>(device_, static_cast<int>(n), weights, biases);
        }

        // 24-to-48 last layer.
        if (use24 && mode == "winograd_2d" && isLast && n == 24 && outputs == 48 && !p)
            conv24Output_ =
                std::make_shared<ConvWinograd>(device_, 24, 48, weights, biases, std::nullopt, false);

        // The layer's output image.
        bool fusedOutput = false;
        if (isLast) {
            const auto found = conv16_.find(i);
            const ConvWinograd* k = found != conv16_.end() ? found->second.get() : nullptr;
            fusedOutput = (k && (k->supportsFusedDown2() || k->supportsFusedNative4x())) ||
                          (conv24Output_ &&
                           (conv24Output_->supportsFusedDown2() || conv24Output_->supportsFusedNative4x())) ||
                          approximateDown2_ || optimalOutput_;
        }
        if (!options.benchmarkBuffers && m.scale == 4 && isLast && fusedOutput) deferReconstructionImage_ = true;
    }
    images_ = makeImages(activationsDeferred_ ? 1 : m.width, activationsDeferred_ ? 1 : m.height);

    // Uniform-input statistics.
    if (const auto found = conv16_.find(last);
        found != conv16_.end() && found->second->supportsUniformInput()) {
        const std::uint32_t zero = 0;
        uniformCounter_ = device_->newBuffer(&zero, sizeof zero);
        require(uniformCounter_ != nullptr, "Uniform-input statistics buffer allocation failed");
    }
}

// Sizing -----------------------------------------------------------------------------------------

std::vector<std::shared_ptr<gpu::FeatureImage>> CompactMetalEngine::makeImages(std::int64_t width,
                                                                               std::int64_t height) const {
    std::vector<std::shared_ptr<gpu::FeatureImage>> images;
    images.push_back(deferInputImage_ ? makeImage(device_, 1, 1, 3) : makeImage(device_, width, height, 3));
    std::map<std::string, std::shared_ptr<gpu::FeatureImage>> shared;
    const auto layerCount = manifest_.layers.size();
    for (std::size_t i = 0; i < layerCount; ++i) {
        const std::int64_t outputs = manifest_.layers[i].output;
        if (deferReconstructionImage_ && i == layerCount - 1) {
            images.push_back(makeImage(device_, 1, 1, outputs));
            continue;
        }
        auto& image = shared[std::to_string(outputs) + "-" + std::to_string(i % 2)];
        if (!image) image = makeImage(device_, width, height, outputs);
        images.push_back(image);
    }
    return images;
}

void CompactMetalEngine::resize(std::int64_t width, std::int64_t height,
                                std::optional<std::int64_t> outputScale) {
    const std::int64_t s = outputScale.value_or(manifest_.scale);
    require(!outputScale || *outputScale == manifest_.scale || (*outputScale == 2 && manifest_.scale == 4),
            outputScaleMessage);
    require(width >= 1 && height >= 1 && width <= 8192 / s && height <= 8192 / s, outputLimitMessage);
    requireOutputWithinLimit(width * s, height * s);
    if (width == frameWidth_ && height == frameHeight_ && !activationsDeferred_) return;
    // Built whole before anything changes, so a failed allocation leaves the engine as it was.
    std::vector<std::shared_ptr<gpu::FeatureImage>> images = makeImages(width, height);
    images_ = std::move(images);
    activationsDeferred_ = false;
    frameWidth_ = width;
    frameHeight_ = height;
    uniformSampleCount_ = 0;
    uniformHighFrames_ = 0;
}

std::size_t CompactMetalEngine::activationAllocatedBytes() const {
    std::set<std::uint64_t> seen;
    std::size_t bytes = 0;
    for (const auto& image : images_) {
        const auto& texture = image->texture();
        if (seen.insert(texture->identity()).second) bytes += texture->allocatedSize();
    }
    return bytes;
}

std::string CompactMetalEngine::convolutionBackend() const {
    if (!conv16_.empty()) return "metal-16-winograd";
    if (!conv24Weights_.empty()) return "metal-24-" + (conv24_ ? conv24_->mode() : std::string());
    return "mps";
}

// Encoding ---------------------------------------------------------------------------------------

void CompactMetalEngine::prepareImage(std::size_t index) {
    const auto& image = images_[index];
    if (image->width() == static_cast<std::size_t>(frameWidth_) &&
        image->height() == static_cast<std::size_t>(frameHeight_))
        return;
    images_[index] =
        makeImage(device_, frameWidth_, frameHeight_, static_cast<std::int64_t>(image->featureChannels()));
}

void CompactMetalEngine::encode(const std::shared_ptr<gpu::Texture>& source,
                                const std::shared_ptr<gpu::Texture>& destination,
                                const std::shared_ptr<gpu::CommandBuffer>& commandBuffer, bool directInput,
                                std::optional<std::int64_t> outputScale, bool flipOutputY,
                                bool optimalDisplayOutput) {
    // A committed buffer takes no more commands: recording into it would silently drop the frame.
    require(commandBuffer != nullptr, "No command buffer to record into");
    require(commandBuffer->status() == gpu::CommandBuffer::Status::notEnqueued,
            "The command buffer has already been committed");
    encodeStages(source, destination, directInput, outputScale, flipOutputY, optimalDisplayOutput,
                 [&](const std::string&) { return commandBuffer; });
}

void CompactMetalEngine::updateUniformStatistics(std::int64_t outputScale) {
    usesUniformInputOptimization_ = false;
    previousUniformInputFraction_ = 0.0;
    if (!uniformCounter_ || outputScale != 2 || manifest_.scale != 4) {
        uniformSampleCount_ = 0;
        uniformHighFrames_ = 0;
        return;
    }
    std::uint32_t count = 0;
    std::memcpy(&count, uniformCounter_->contents(), sizeof count);
    if (uniformSampleCount_ == 0) {
        uniformHighFrames_ = 0;
    } else {
        previousUniformInputFraction_ = static_cast<double>(count) / static_cast<double>(uniformSampleCount_);
        if (static_cast<std::uint64_t>(count) * 100 >= static_cast<std::uint64_t>(uniformSampleCount_) * 35) {
            uniformHighFrames_ = std::min(uniformHighFrames_ + 1, 2);
            usesUniformInputOptimization_ = uniformHighFrames_ == 2;
        } else {
            uniformHighFrames_ = 0;
        }
    }
    const std::uint32_t zero = 0;
    std::memcpy(uniformCounter_->contents(), &zero, sizeof zero);
    const auto w = static_cast<std::size_t>(frameWidth_), h = static_cast<std::size_t>(frameHeight_);
    uniformSampleCount_ = static_cast<std::uint32_t>(ceilDiv(ceilDiv(w, 16), 8) * ceilDiv(ceilDiv(h, 2), 8));
}

void CompactMetalEngine::encodeStages(const std::shared_ptr<gpu::Texture>& source,
                                      const std::shared_ptr<gpu::Texture>& destination, bool directInput,
                                      std::optional<std::int64_t> outputScale, bool flipOutputY,
                                      bool optimalDisplayOutput, const CommandForStage& commandForStage) {
    const std::int64_t s = manifest_.scale;
    const std::int64_t S = outputScale.value_or(s);
    require(S == s || (S == 2 && s == 4), outputScaleMessage);
    if (flipOutputY) require(s == 4 && (S == 2 || S == 4), "Flipped direct output requires a 4x model");
    if (optimalDisplayOutput && destination) // an empty destination is the size check's to refuse
        requireOutputWithinLimit(std::max<std::int64_t>(1, static_cast<std::int64_t>(destination->width())),
                                 std::max<std::int64_t>(1, static_cast<std::int64_t>(destination->height())));
    else
        requireOutputWithinLimit(frameWidth_ * S, frameHeight_ * S);
    const auto W0 = static_cast<std::size_t>(frameWidth_), H0 = static_cast<std::size_t>(frameHeight_);
    bool sizesFit = source && destination && source->width() == W0 && source->height() == H0;
    if (sizesFit) {
        if (optimalDisplayOutput) {
            sizesFit = destination->width() >= 1 && destination->height() >= 1 &&
                       destination->width() <= W0 * static_cast<std::size_t>(s) &&
                       destination->height() <= H0 * static_cast<std::size_t>(s);
        } else {
            sizesFit = destination->width() == W0 * static_cast<std::size_t>(S) &&
                       destination->height() == H0 * static_cast<std::size_t>(S);
        }
    }
    require(sizesFit, "Metal input/output dimensions differ from the imported model");
    if (optimalDisplayOutput)
        require(s == 4 && optimalOutput_ != nullptr,
                "Optimal display output requires the Compact 4x Metal reconstruction");

    if (activationsDeferred_) { // a first frame of the construction's size, never resized to
        images_ = makeImages(frameWidth_, frameHeight_);
        activationsDeferred_ = false;
    }
    updateUniformStatistics(S);

    // Input stage.
    std::shared_ptr<gpu::FeatureImage> first;
    if (directInput) {
        first = gpu::FeatureImage::over(source, 3);
    } else {
        prepareImage(0);
        first = images_[0];
        auto command = commandForStage("input_conversion");
        if (auto encoder = command->computeCommandEncoder()) {
            encoder->setLabel("input_conversion");
            encoder->setTexture(source, 0);
            encoder->setTexture(first->texture(), 1);
            encoder->setComputePipelineState(pipelines_.textureUnpack);
            encoder->dispatchThreads({W0, H0, 1}, {16, 8, 1});
            encoder->endEncoding();
        }
    }

    // Layers.
    const int layerCount = static_cast<int>(convolutions_.size());
    const int last = layerCount - 1;
    for (int i = 0; i < layerCount; ++i) {
        auto command = commandForStage("conv_" + std::to_string(i));
        if (i == last && encodeTail(source, destination, command, S, flipOutputY, optimalDisplayOutput))
            return;
        if (i == last && deferReconstructionImage_) prepareImage(static_cast<std::size_t>(layerCount));
        const auto& in = images_[static_cast<std::size_t>(i)];
        const auto& out = images_[static_cast<std::size_t>(i) + 1];
        if (i == last && conv24Output_) {
            conv24Output_->encode(in->texture(), out->texture(), command, false);
        } else if (auto r = rectangular_.find(i); r != rectangular_.end()) {
            r->second->encode(in->texture(), out->texture(), command);
        } else if (auto k = conv16_.find(i); k != conv16_.end()) {
            k->second->encode(in->texture(), out->texture(), command, usesUniformInputOptimization_);
        } else if (auto w = conv24Weights_.find(i); conv24_ && w != conv24Weights_.end()) {
            conv24_->encode(in->texture(), out->texture(), *w->second, command);
        } else {
            convolutions_[static_cast<std::size_t>(i)]->encode(command, i == 0 ? first : in, out);
        }
    }

    // Reconstruction.
    auto command = commandForStage("pixel_shuffle_residual_pack");
    auto encoder = command->computeCommandEncoder();
    if (!encoder) return;
    encoder->setLabel("pixel_shuffle_residual_pack");
    encoder->setTexture(images_[static_cast<std::size_t>(layerCount)]->texture(), 0);
    encoder->setTexture(source, 1);
    encoder->setTexture(destination, 2);
    const auto scale = static_cast<std::uint32_t>(s);
    encoder->setBytes(&scale, sizeof scale, 0);
    gpu::Size threads{W0, H0, 1};
    if (S == 2 && s == 4) {
        encoder->setComputePipelineState(flipOutputY ? pipelines_.textureFinish4xDown2Flipped
                                                     : pipelines_.textureFinish4xDown2);
    } else {
        encoder->setComputePipelineState(flipOutputY ? pipelines_.textureFinishFlipped
                                                     : pipelines_.textureFinish);
        if (s != 2) threads = {W0 * static_cast<std::size_t>(s), H0 * static_cast<std::size_t>(s), 1};
    }
    encoder->dispatchThreads(threads, {16, 8, 1});
    encoder->endEncoding();
}

bool CompactMetalEngine::encodeTail(const std::shared_ptr<gpu::Texture>& source,
                                    const std::shared_ptr<gpu::Texture>& destination,
                                    const std::shared_ptr<gpu::CommandBuffer>& command, std::int64_t S,
                                    bool flipOutputY, bool optimalDisplayOutput) {
    const std::int64_t s = manifest_.scale;
    const int last = static_cast<int>(convolutions_.size()) - 1;
    const auto& features = images_[static_cast<std::size_t>(last)]->texture();
    const std::size_t W = features->width(), H = features->height();

    auto winogradFamily =
        [&](const char* label, const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
            const std::shared_ptr<gpu::Buffer>& kernel, const std::shared_ptr<gpu::Buffer>& bias,
            const std::shared_ptr<gpu::Buffer>& slope, std::size_t columnsPerGroup,
            const std::function<void(gpu::ComputeCommandEncoder&)>& extra, std::size_t rowsPerGroup = 2) {
            auto encoder = command->computeCommandEncoder();
            if (!encoder) return;
            encoder->setLabel(label);
            encoder->setComputePipelineState(pipeline);
            encoder->setTexture(features, 0);
            encoder->setTexture(destination, 1);
            encoder->setTexture(source, 2);
            encoder->setBuffer(kernel, 0, 0);
            encoder->setBuffer(bias, 0, 1);
            encoder->setBuffer(slope, 0, 2);
            if (extra) extra(*encoder);
            encoder->dispatchThreadgroups({ceilDiv(W, columnsPerGroup), ceilDiv(H, rowsPerGroup), 1},
                                          {128, 1, 1});
            encoder->endEncoding();
        };
    auto rectangularFamily = [&](const char* label,
                                 const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                                 const std::shared_ptr<gpu::Buffer>& weights,
                                 const std::shared_ptr<gpu::Buffer>& bias, int simds) {
        auto encoder = command->computeCommandEncoder();
        if (!encoder) return;
        encoder->setLabel(label);
        encoder->setComputePipelineState(pipeline);
        encoder->setTexture(features, 0);
        encoder->setTexture(source, 1);
        encoder->setTexture(destination, 2);
        encoder->setBuffer(weights, 0, 0);
        encoder->setBuffer(bias, 0, 1);
        const std::uint32_t flip = flipOutputY ? 1 : 0;
        encoder->setBytes(&flip, sizeof flip, 2);
        encoder->dispatchThreadgroups({ceilDiv(W, 32), ceilDiv(H, 2), 1},
                                      {32 * static_cast<std::size_t>(simds), 1, 1});
        encoder->endEncoding();
    };

    if (optimalDisplayOutput && optimalOutput_) {
        const ApproxDown2Winograd& k = *optimalOutput_;
        const std::uint32_t size[2] = {static_cast<std::uint32_t>(destination->width()),
                                       static_cast<std::uint32_t>(destination->height())};
        winogradFamily("Compact reduced reconstruction + optimal display output",
                       flipOutputY ? k.flippedOptimalPipeline() : k.optimalPipeline(), k.kernel(), k.bias(),
                       k.slope(), 64,
                       [&](gpu::ComputeCommandEncoder& encoder) { encoder.setBytes(size, sizeof size, 3); });
        return true;
    }
    if (S == 2 && s == 4 && approximateDown2_) {
        const ApproxDown2Winograd& k = *approximateDown2_;
        winogradFamily("Compact approximate reconstruction + 2x output",
                       flipOutputY ? k.flippedPipeline() : k.pipeline(), k.kernel(), k.bias(), k.slope(), 64,
                       nullptr);
        return true;
    }
    if (rectangularTail_) {
        const RectTail& t = *rectangularTail_;
        rectangularFamily("Rectangular Winograd fused tail", S == 4 ? t.native() : t.down2(), t.weights(),
                          t.bias(), S == 4 ? t.nativeSimds() : t.simds());
        return true;
    }
    if (rectangularHQTail_) {
        const RectTail24& t = *rectangularHQTail_;
        rectangularFamily("HQ rectangular Winograd fused tail", S == 4 ? t.native() : t.down2(), t.weights(),
                          t.bias(), t.simds());
        return true;
    }
    const ConvWinograd* k = nullptr;
    if (auto found = conv16_.find(last); found != conv16_.end())
        k = found->second.get();
    else
        k = conv24Output_.get();
    if (S == 4 && s == 4 && k && k->nativeFusedPipeline()) {
        winogradFamily("Compact Winograd reconstruction + native 4x output",
                       flipOutputY ? k->flippedNativeFusedPipeline() : k->nativeFusedPipeline(), k->kernel4(),
                       k->bias(), k->slope(), 32, nullptr, 4);
        return true;
    }
    if (S == 2 && s == 4 && k && k->fusedPipeline()) {
        std::shared_ptr<gpu::ComputePipelineState> pipeline = k->fusedPipeline();
        if (flipOutputY)
            pipeline = k->flippedFusedPipeline();
        else if (usesUniformInputOptimization_ && k->uniformFusedPipeline())
            pipeline = k->uniformFusedPipeline();
        winogradFamily("Compact Winograd reconstruction + 2x output", pipeline, k->kernel(), k->bias(),
                       k->slope(), 16, [&](gpu::ComputeCommandEncoder& encoder) {
                           if (uniformCounter_) encoder.setBuffer(uniformCounter_, 0, 3);
                       });
        return true;
    }
    return false;
}

// Measuring paths --------------------------------------------------------------------------------

std::vector<CompactMetalEngine::StageTime>
CompactMetalEngine::profile(const std::shared_ptr<gpu::Texture>& source,
                            const std::shared_ptr<gpu::Texture>& destination,
                            std::optional<std::int64_t> outputScale) {
    std::vector<std::pair<std::string, std::shared_ptr<gpu::CommandBuffer>>> stages;
    encodeStages(source, destination, true, outputScale, false, false, [&](const std::string& label) {
        auto command = queue_->commandBuffer();
        command->setLabel("Profile: " + label);
        stages.emplace_back(label, command);
        return command;
    });
    for (auto& [label, command] : stages) command->commit();
    if (!stages.empty()) stages.back().second->waitUntilCompleted();
    std::vector<StageTime> times;
    for (auto& [label, command] : stages) {
        command->waitUntilCompleted(); // in order on one queue: already done
        if (auto error = command->error()) throw *error;
        times.push_back({label, (command->GPUEndTime() - command->GPUStartTime()) * 1000.0});
    }
    return times;
}

double CompactMetalEngine::run(std::optional<std::int64_t> outputScale) {
    const Manifest& m = manifest_;
    require(frameWidth_ == m.width && frameHeight_ == m.height,
            "Benchmark buffers have their exported size; use encode for resized video frames");
    const auto W0 = static_cast<std::size_t>(frameWidth_), H0 = static_cast<std::size_t>(frameHeight_);
    require(input_->length() == W0 * H0 * 4, "Benchmark buffers are disabled");

    auto command = queue_->commandBuffer();
    if (auto encoder = command->computeCommandEncoder()) {
        encoder->setLabel("input_conversion");
        encoder->setBuffer(input_, 0, 0);
        encoder->setTexture(images_[0]->texture(), 0);
        encoder->setComputePipelineState(pipelines_.unpack);
        encoder->dispatchThreads({W0, H0, 1}, {16, 8, 1});
        encoder->endEncoding();
    }
    const int layerCount = static_cast<int>(convolutions_.size());
    const int last = layerCount - 1;
    for (int i = 0; i < layerCount; ++i) {
        const auto& in = images_[static_cast<std::size_t>(i)];
        const auto& out = images_[static_cast<std::size_t>(i) + 1];
        const ConvWinograd* winograd = nullptr;
        if (auto k = conv16_.find(i); k != conv16_.end())
            winograd = k->second.get();
        else if (i == last)
            winograd = conv24Output_.get();
        if (winograd) {
            winograd->encode(in->texture(), out->texture(), command, false);
        } else if (auto r = rectangular_.find(i); r != rectangular_.end()) {
            r->second->encode(in->texture(), out->texture(), command);
        } else if (auto w = conv24Weights_.find(i); conv24_ && w != conv24Weights_.end()) {
            conv24_->encode(in->texture(), out->texture(), *w->second, command);
        } else {
            convolutions_[static_cast<std::size_t>(i)]->encode(command, in, out);
        }
    }

    const std::int64_t s = m.scale;
    const std::int64_t S = outputScale.value_or(s);
    require(S == s || (S == 2 && s == 4), outputScaleMessage);
    // The output buffer was sized for the construction's output scale; a larger frame would be
    // written past its end.
    require(output_->length() >= W0 * H0 * static_cast<std::size_t>(S * S) * 4,
            "Benchmark output buffer is sized for another output scale");
    requireOutputWithinLimit(frameWidth_ * S, frameHeight_ * S);

    if (auto encoder = command->computeCommandEncoder()) {
        encoder->setLabel("pixel_shuffle_residual_pack");
        encoder->setTexture(images_[static_cast<std::size_t>(layerCount)]->texture(), 0);
        encoder->setBuffer(input_, 0, 0);
        encoder->setBuffer(output_, 0, 1);
        const auto scale = static_cast<std::uint32_t>(s);
        encoder->setBytes(&scale, sizeof scale, 2);
        gpu::Size threads{W0, H0, 1};
        if (S == 2 && s == 4) {
            encoder->setComputePipelineState(pipelines_.finish4xDown2);
        } else {
            encoder->setComputePipelineState(pipelines_.finish);
            if (!blockFinish_)
                threads = {W0 * static_cast<std::size_t>(s), H0 * static_cast<std::size_t>(s), 1};
        }
        encoder->dispatchThreads(threads, {16, 8, 1});
        encoder->endEncoding();
    }
    command->commit();
    command->waitUntilCompleted();
    if (auto error = command->error()) throw *error;
    return (command->GPUEndTime() - command->GPUStartTime()) * 1000.0;
}

} // namespace lumavane
