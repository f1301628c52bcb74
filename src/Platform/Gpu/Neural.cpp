#include "Platform/Gpu/Neural.hpp"
#include "Platform/Foundation/Half.hpp"
#include "Platform/Gpu/Internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lumavane::gpu {

namespace {

size_t slicesFor(size_t channels) { return (channels + 3) / 4; }

} // namespace

// Feature images ------------------------------------------------------------------------------

std::shared_ptr<FeatureImage> FeatureImage::make(const std::shared_ptr<Device>& device,
                                                 const FeatureImageDescriptor& descriptor) {
    if (!device || descriptor.featureChannels == 0 || descriptor.featureChannels > maxFeatureChannels)
        return nullptr;
    TextureDescriptor texture;
    size_t slices = slicesFor(descriptor.featureChannels);
    if (descriptor.channelFormat == FeatureChannelFormat::unorm8) {
        if (descriptor.featureChannels > 4) return nullptr;
        texture.pixelFormat = PixelFormat::rgba8Unorm;
    } else {
        texture.pixelFormat = PixelFormat::rgba16Float;
    }
    texture.textureType = slices > 1 ? TextureType::type2DArray : TextureType::type2D;
    texture.arrayLength = slices;
    texture.width = descriptor.width;
    texture.height = descriptor.height;
    texture.storageMode = descriptor.storageMode;
    texture.usage = descriptor.usage;
    auto made = device->newTexture(texture);
    return made ? std::make_shared<FeatureImage>(std::move(made), descriptor.featureChannels) : nullptr;
}

std::shared_ptr<FeatureImage> FeatureImage::over(std::shared_ptr<Texture> texture, size_t featureChannels) {
    if (!texture || featureChannels == 0 || featureChannels > maxFeatureChannels) return nullptr;
    switch (texture->pixelFormat()) {
    case PixelFormat::rgba16Float:
        if (texture->arrayLength() != slicesFor(featureChannels)) return nullptr;
        break;
    case PixelFormat::bgra8Unorm:
    case PixelFormat::rgba8Unorm:
        if (featureChannels > 4 || texture->arrayLength() != 1) return nullptr;
        break;
    default:
        return nullptr;
    }
    return std::make_shared<FeatureImage>(std::move(texture), featureChannels);
}

std::vector<float> FeatureImage::readFloats() const {
    const Texture& t = *texture_;
    std::vector<float> values(t.width() * t.height() * featureChannels_);
    const auto* base = static_cast<const unsigned char*>(t.buffer()->contents()) + t.layout().offset;
    for (size_t y = 0; y < t.height(); ++y) {
        for (size_t x = 0; x < t.width(); ++x) {
            const unsigned char* pixel = base + y * t.layout().rowPitch + x * t.layout().pixelPitch;
            float* out = &values[(y * t.width() + x) * featureChannels_];
            for (size_t c = 0; c < featureChannels_; ++c) {
                const unsigned char* slice = pixel + (c / 4) * t.layout().slicePitch;
                switch (t.pixelFormat()) {
                case PixelFormat::rgba16Float: {
                    uint16_t h;
                    std::memcpy(&h, slice + (c % 4) * 2, 2);
                    out[c] = halfToFloat(h);
                    break;
                }
                case PixelFormat::bgra8Unorm:
                    out[c] = slice[c == 3 ? 3 : 2 - c] / 255.0f;
                    break;
                default:
                    out[c] = slice[c] / 255.0f;
                    break;
                }
            }
        }
    }
    return values;
}

void FeatureImage::writeFloats(std::span<const float> values) {
    const Texture& t = *texture_;
    if (values.size() != t.width() * t.height() * featureChannels_) return;
    auto* base = static_cast<unsigned char*>(t.buffer()->contents()) + t.layout().offset;
    for (size_t y = 0; y < t.height(); ++y) {
        for (size_t x = 0; x < t.width(); ++x) {
            unsigned char* pixel = base + y * t.layout().rowPitch + x * t.layout().pixelPitch;
            const float* in = &values[(y * t.width() + x) * featureChannels_];
            for (size_t c = 0; c < featureChannels_; ++c) {
                unsigned char* slice = pixel + (c / 4) * t.layout().slicePitch;
                auto unorm = [](float v) {
                    return static_cast<unsigned char>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
                };
                switch (t.pixelFormat()) {
                case PixelFormat::rgba16Float: {
                    uint16_t h = floatToHalf(in[c]);
                    std::memcpy(slice + (c % 4) * 2, &h, 2);
                    break;
                }
                case PixelFormat::bgra8Unorm:
                    slice[c == 3 ? 3 : 2 - c] = unorm(in[c]);
                    break;
                default:
                    slice[c] = unorm(in[c]);
                    break;
                }
            }
        }
    }
}

// Convolution ---------------------------------------------------------------------------------

// Storage of feature images, measured on PoCL (8-core AVX-512 machine, otherwise idle) with a
// 16-to-16-channel 3x3 convolution plus PReLU at 1280x720, float16 accumulators and fma:
//   float storage, slices interleaved per pixel:  251-295 GFLOP/s
//   half storage, vload_half4, interleaved:       229-245 GFLOP/s
//   half storage, vload_half4, slice planes:      214-232 GFLOP/s
// Half storage with vector loads costs 10-20% against float and halves the memory, so feature
// images stay half precision as the engines ask, with their slices interleaved per pixel. Two
// things mattered more than storage: weights read through typed vector pointers (vload16 from
// a float pointer was 1.5x slower) and the pixel loop outside the channel loop (1.7x).
// PyTorch 1.13's conv2d (channels-last) on the same layer and threads: 40.8 GFLOP/s idle; the
// layer stays 3.5-3.9x ahead of it when both run on the loaded machine in one run.

Convolution::Convolution(std::shared_ptr<Device> device, const ConvolutionDescriptor& descriptor,
                         std::span<const float> weights, std::span<const float> biases, uint32_t)
    : device_(std::move(device)), descriptor_(descriptor) {
    const size_t kw = descriptor.kernelWidth, kh = descriptor.kernelHeight;
    const size_t in = descriptor.inputFeatureChannels, out = descriptor.outputFeatureChannels;
    if (!device_) throw makeError(errorUnavailable, "No device for the convolution");
    if (kw == 0 || kh == 0 || kw % 2 == 0 || kh % 2 == 0 || kw > 7 || kh > 7)
        throw makeError(errorEncoding, "Convolution kernels must be odd-sized, up to 7x7");
    if (in == 0 || out == 0 || in > FeatureImage::maxFeatureChannels ||
        out > FeatureImage::maxFeatureChannels)
        throw makeError(errorEncoding, "Convolution channel counts must lie in 1...256");
    if (weights.size() != out * kh * kw * in)
        throw makeError(errorEncoding, "Convolution weights: expected " + std::to_string(out * kh * kw * in));
    if (!biases.empty() && biases.size() != out)
        throw makeError(errorEncoding, "Convolution biases: expected " + std::to_string(out));
    const auto& neuron = descriptor.fusedNeuron;
    if (neuron.type == NeuronDescriptor::Type::pReLU && neuron.data.size() != out)
        throw makeError(errorEncoding, "PReLU slopes: expected " + std::to_string(out));

    // Output channels per work item: float4/float8 for few channels, else up to four float16.
    if (out <= 4) {
        vectorWidth_ = 4;
        vectors_ = 1;
    } else if (out <= 8) {
        vectorWidth_ = 8;
        vectors_ = 1;
    } else {
        vectorWidth_ = 16;
        vectors_ = std::min<size_t>((out + 15) / 16, 4);
    }
    const size_t perGroup = vectorWidth_ * vectors_;
    groups_ = (out + perGroup - 1) / perGroup;
    pixels_ = vectors_ == 1 ? 2 : 1;
    const size_t inSlices = slicesFor(in), inPadded = inSlices * 4;

    std::vector<float> packed(groups_ * kh * kw * inPadded * perGroup, 0.0f);
    for (size_t o = 0; o < out; ++o) {
        size_t g = o / perGroup, lane = o % perGroup;
        for (size_t ky = 0; ky < kh; ++ky)
            for (size_t kx = 0; kx < kw; ++kx)
                for (size_t i = 0; i < in; ++i) {
                    // Within a slice of four inputs, input c's vectors come one after another:
                    // [c][vector][lane], matching the kernel's loads.
                    size_t slice = i / 4, c = i % 4, v = lane / vectorWidth_, l = lane % vectorWidth_;
                    size_t index = ((((g * kh + ky) * kw + kx) * inSlices + slice) * 4 + c) * perGroup +
                                   v * vectorWidth_ + l;
                    packed[index] = weights[((o * kh + ky) * kw + kx) * in + i];
                }
    }
    std::vector<float> bias(groups_ * perGroup, 0.0f), slope(groups_ * perGroup, 1.0f);
    for (size_t o = 0; o < out; ++o) {
        if (!biases.empty()) bias[o] = biases[o];
        if (neuron.type == NeuronDescriptor::Type::pReLU) slope[o] = neuron.data[o];
    }
    weights_ = device_->newBuffer(packed.data(), packed.size() * sizeof(float));
    biases_ = device_->newBuffer(bias.data(), bias.size() * sizeof(float));
    slopes_ = device_->newBuffer(slope.data(), slope.size() * sizeof(float));
    if (!weights_ || !biases_ || !slopes_)
        throw makeError(errorOutOfMemory, "Convolution weights could not be allocated");
    pipelineFor(PixelFormat::rgba16Float); // compile now: construction is the slow part, not encoding
}

std::shared_ptr<ComputePipelineState> Convolution::pipelineFor(PixelFormat sourceFormat) {
    int source = sourceFormat == PixelFormat::bgra8Unorm   ? 1
                 : sourceFormat == PixelFormat::rgba8Unorm ? 2
                                                           : 0;
    int clamp = edgeMode == EdgeMode::clamp ? 1 : 0;
    auto key = std::make_pair(source, clamp);
    if (auto it = pipelines_.find(key); it != pipelines_.end()) return it->second;
    CompileOptions options;
    auto& m = options.preprocessorMacros;
    m.emplace("IC_SLICES", slicesFor(descriptor_.inputFeatureChannels));
    m.emplace("KW", descriptor_.kernelWidth);
    m.emplace("KH", descriptor_.kernelHeight);
    m.emplace("VEC", vectorWidth_);
    m.emplace("NV", vectors_);
    m.emplace("PX", pixels_);
    m.emplace("NEURON", descriptor_.fusedNeuron.type == NeuronDescriptor::Type::reLU    ? 1
                        : descriptor_.fusedNeuron.type == NeuronDescriptor::Type::pReLU ? 2
                                                                                        : 0);
    m.emplace("SRC_FORMAT", source);
    m.emplace("DST_HALF", 1);
    m.emplace("EDGE_CLAMP", clamp);
    auto library = device_->newLibrary(sources::convolution, options);
    auto pipeline = device_->newComputePipelineState(library->newFunction("lv_convolution"));
    pipelines_.emplace(key, pipeline);
    return pipeline;
}

void Convolution::encode(const std::shared_ptr<CommandBuffer>& commandBuffer,
                         const std::shared_ptr<FeatureImage>& source,
                         const std::shared_ptr<FeatureImage>& destination) {
    if (!commandBuffer) return;
    if (!source || !destination)
        return commandBuffer->recordError("Convolution without a source or destination image");
    if (source->featureChannels() != descriptor_.inputFeatureChannels ||
        destination->featureChannels() != descriptor_.outputFeatureChannels)
        return commandBuffer->recordError(
            "Convolution from " + std::to_string(descriptor_.inputFeatureChannels) + " to " +
            std::to_string(descriptor_.outputFeatureChannels) + " channels given images of " +
            std::to_string(source->featureChannels()) + " and " +
            std::to_string(destination->featureChannels()));
    if (destination->pixelFormat() != PixelFormat::rgba16Float)
        return commandBuffer->recordError("Convolution destinations must be float16 feature images");
    std::shared_ptr<ComputePipelineState> pipeline;
    try {
        pipeline = pipelineFor(source->pixelFormat());
    } catch (const PlatformError& error) {
        return commandBuffer->recordError(error.what());
    }
    auto encoder = commandBuffer->computeCommandEncoder();
    if (!encoder) return;
    encoder->setLabel("Convolution");
    encoder->setComputePipelineState(pipeline);
    encoder->setTexture(source->texture(), 0);
    encoder->setTexture(destination->texture(), 1);
    encoder->setBuffer(weights_, 0, 0);
    encoder->setBuffer(biases_, 0, 1);
    encoder->setBuffer(slopes_, 0, 2);
    int32_t params[4] = {static_cast<int32_t>(offset.x), static_cast<int32_t>(offset.y), 0, 0};
    float fparams[4] = {
        descriptor_.fusedNeuron.type == NeuronDescriptor::Type::reLU ? descriptor_.fusedNeuron.a : 0.0f, 0, 0,
        0};
    encoder->setBytes(params, sizeof params, 3);
    encoder->setBytes(fparams, sizeof fparams, 4);
    size_t columns = (destination->width() + pixels_ - 1) / pixels_;
    encoder->dispatchThreads({columns, destination->height(), groups_}, {32, 1, 1});
    encoder->endEncoding();
}

} // namespace lumavane::gpu
