#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Platform/Gpu/Device.hpp"

namespace lumavane::gpu {

enum class FeatureChannelFormat { float16, unorm8 };

struct FeatureImageDescriptor {
    FeatureChannelFormat channelFormat = FeatureChannelFormat::float16;
    size_t width = 1;
    size_t height = 1;
    size_t featureChannels = 1;
    StorageMode storageMode = StorageMode::privateStorage;
    uint32_t usage = textureUsageShaderRead | textureUsageShaderWrite;
};

// A feature map: four channels per texture slice. float16 images are rgba16Float textures (a
// 2-D texture up to four channels, a 2-D array above); a bgra8Unorm texture can be seen as an
// image of three normalised channels R, G, B.
class FeatureImage {
public:
    static constexpr size_t maxFeatureChannels = 256;

    // nullptr when the descriptor is out of range or memory cannot be had.
    static std::shared_ptr<FeatureImage> make(const std::shared_ptr<Device>& device,
                                              const FeatureImageDescriptor& descriptor);
    // An image over an existing texture: rgba16Float with ceil(channels / 4) slices, or
    // bgra8Unorm/rgba8Unorm with at most four channels. nullptr when they do not fit.
    static std::shared_ptr<FeatureImage> over(std::shared_ptr<Texture> texture, size_t featureChannels);

    size_t width() const noexcept { return texture_->width(); }
    size_t height() const noexcept { return texture_->height(); }
    size_t featureChannels() const noexcept { return featureChannels_; }
    size_t numberOfImages() const noexcept { return 1; }
    PixelFormat pixelFormat() const noexcept { return texture_->pixelFormat(); }
    const std::shared_ptr<Texture>& texture() const noexcept { return texture_; }
    const std::string& label() const noexcept { return texture_->label(); }
    void setLabel(std::string label) { texture_->setLabel(std::move(label)); }

    // CPU access for tests and tools: channels of every pixel, pixel-major (y, x, channel),
    // converted to and from float. Only while no GPU work uses the image.
    std::vector<float> readFloats() const;
    void writeFloats(std::span<const float> values);

    FeatureImage(std::shared_ptr<Texture> texture, size_t featureChannels)
        : texture_(std::move(texture)), featureChannels_(featureChannels) {}

private:
    std::shared_ptr<Texture> texture_;
    size_t featureChannels_;
};

struct NeuronDescriptor {
    enum class Type { none, reLU, pReLU };
    Type type = Type::none;
    float a = 0;             // reLU: slope of negative values (0 is a plain ReLU, 0.1 a leaky one)
    std::vector<float> data; // pReLU: one slope per output channel

    static NeuronDescriptor reLU(float a) { return {Type::reLU, a, {}}; }
    static NeuronDescriptor pReLU(std::vector<float> slopes) { return {Type::pReLU, 0, std::move(slopes)}; }
};

struct ConvolutionDescriptor {
    size_t kernelWidth = 3;
    size_t kernelHeight = 3;
    size_t inputFeatureChannels = 1;
    size_t outputFeatureChannels = 1;
    NeuronDescriptor fusedNeuron;
};

enum class EdgeMode { zero, clamp };
enum class AccumulatorPrecision { half, single };
// Options the engines set; work is always accumulated in float, so they change nothing here.
enum ConvolutionOptions : uint32_t {
    convolutionAllowReducedPrecision = 2,
    convolutionDisableInternalTiling = 4
};

// A 2-D convolution between feature images: 1x1 or 3x3 (odd kernels up to 7x7), stride 1,
// weights in output channel, kernel row, kernel column, input channel order. Destination pixel
// (x, y) is centred on source pixel (x + offset.x, y + offset.y); pixels outside the source are
// zero (or clamped to the edge). The destination may be smaller than the source (offset 1 and a
// destination 2 smaller gives a "valid" 3x3 convolution). Output is bias plus the sum, then the
// fused neuron.
class Convolution {
public:
    struct Offset {
        long x = 0, y = 0, z = 0;
    };

    // Throws PlatformError (domain "Lumavane.Gpu", code 5) for a descriptor it cannot run or
    // weights, biases or slopes of the wrong count; biases may be empty (zero).
    Convolution(std::shared_ptr<Device> device, const ConvolutionDescriptor& descriptor,
                std::span<const float> weights, std::span<const float> biases, uint32_t flags = 0);

    Offset offset;
    EdgeMode edgeMode = EdgeMode::zero;
    AccumulatorPrecision accumulatorPrecision = AccumulatorPrecision::single;
    uint32_t options = 0;

    const ConvolutionDescriptor& descriptor() const noexcept { return descriptor_; }
    size_t inputFeatureChannels() const noexcept { return descriptor_.inputFeatureChannels; }
    size_t outputFeatureChannels() const noexcept { return descriptor_.outputFeatureChannels; }

    // Records one dispatch into the command buffer. A source or destination of the wrong
    // channel count or format is an encoding error reported by the command buffer.
    void encode(const std::shared_ptr<CommandBuffer>& commandBuffer,
                const std::shared_ptr<FeatureImage>& source,
                const std::shared_ptr<FeatureImage>& destination);

private:
    std::shared_ptr<ComputePipelineState> pipelineFor(PixelFormat sourceFormat);

    std::shared_ptr<Device> device_;
    ConvolutionDescriptor descriptor_;
    size_t vectorWidth_;              // output channels per accumulator vector (4, 8 or 16)
    size_t vectors_;                  // accumulator vectors per work item
    size_t pixels_;                   // pixels per work item, along x
    size_t groups_;                   // output-channel groups (third grid dimension)
    std::shared_ptr<Buffer> weights_; // [group][ky][kx][input channel (padded to 4)][channels of the group]
    std::shared_ptr<Buffer> biases_;  // padded to groups * channels per group
    std::shared_ptr<Buffer> slopes_;
    std::map<std::pair<int, int>, std::shared_ptr<ComputePipelineState>> pipelines_;
};

} // namespace lumavane::gpu
