#include "CompactMetal/support/RectReference.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include <cstring>
#include <stdexcept>

namespace lumavane::testing {

namespace {

std::uint8_t patternByte(std::size_t index) { return static_cast<std::uint8_t>((index * 131u + 7u) ^ 0xa5u); }

struct Geometry {
    std::size_t width, height, guard, bytesPerPixelPerSlice, slices;
    bool slicesApart;
    std::size_t shift = 0;
    std::size_t pixelPitch() const {
        return slicesApart ? bytesPerPixelPerSlice : bytesPerPixelPerSlice * slices;
    }
    std::size_t rowPitch() const { return (width + 2 * guard) * pixelPitch(); }
    std::size_t plane() const { return rowPitch() * (height + 2 * guard); }
    std::size_t slicePitch() const { return slicesApart ? plane() : bytesPerPixelPerSlice; }
    std::size_t total() const { return (slicesApart ? plane() * slices : plane()) + shift; }
    std::size_t offset() const { return guard * rowPitch() + guard * pixelPitch() + shift; }
    std::size_t at(std::size_t x, std::size_t y, std::size_t slice) const {
        return offset() + y * rowPitch() + x * pixelPitch() + slice * slicePitch();
    }
};

} // namespace

GuardedTexture GuardedTexture::make(const std::shared_ptr<gpu::Device>& device,
                                    gpu::TextureDescriptor descriptor, std::size_t guard,
                                    std::size_t bytesPerPixelPerSlice, bool slicesApart, std::size_t shift) {
    GuardedTexture made;
    const std::size_t slices = descriptor.arrayLength;
    const Geometry g{descriptor.width, descriptor.height, guard, bytesPerPixelPerSlice,
                     slices,           slicesApart,       shift};
    made.buffer_ = device->newBuffer(g.total());
    if (!made.buffer_) throw std::runtime_error("guarded buffer not made");
    made.inside_.assign(g.total(), false);
    for (std::size_t s = 0; s < slices; ++s)
        for (std::size_t y = 0; y < g.height; ++y)
            for (std::size_t x = 0; x < g.width; ++x)
                for (std::size_t b = 0; b < bytesPerPixelPerSlice; ++b)
                    made.inside_[g.at(x, y, s) + b] = true;
    made.pattern_.resize(g.total());
    for (std::size_t k = 0; k < g.total(); ++k) made.pattern_[k] = patternByte(k);
    std::memcpy(made.buffer_->contents(), made.pattern_.data(), g.total());
    descriptor.usage = gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite;
    made.texture_ = std::make_shared<gpu::Texture>(
        descriptor, made.buffer_,
        gpu::TextureLayout{g.offset(), g.rowPitch(), g.pixelPitch(), g.slicePitch()}, 0, nullptr);
    return made;
}

GuardedTexture GuardedTexture::bgra8(const std::shared_ptr<gpu::Device>& device, std::size_t width,
                                     std::size_t height, std::size_t guard, std::size_t shift) {
    return make(device, gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height), guard,
                4, false, shift);
}

GuardedTexture GuardedTexture::features(const std::shared_ptr<gpu::Device>& device, std::size_t width,
                                        std::size_t height, std::size_t channels, std::size_t guard,
                                        bool slicesApart) {
    gpu::TextureDescriptor descriptor;
    descriptor.arrayLength = (channels + 3) / 4;
    descriptor.textureType =
        descriptor.arrayLength > 1 ? gpu::TextureType::type2DArray : gpu::TextureType::type2D;
    descriptor.pixelFormat = gpu::PixelFormat::rgba16Float;
    descriptor.width = width;
    descriptor.height = height;
    return make(device, descriptor, guard, 8, slicesApart, 0);
}

std::size_t GuardedTexture::guardBytesChanged() const {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer_->contents());
    std::size_t changed = 0;
    for (std::size_t k = 0; k < pattern_.size(); ++k)
        if (!inside_[k] && bytes[k] != pattern_[k]) ++changed;
    return changed;
}

bool GuardedTexture::guardIntact() const { return guardBytesChanged() == 0; }

FloatImage GuardedTexture::readFeatures(std::size_t channels) const {
    const auto& layout = texture_->layout();
    const auto* bytes = static_cast<const std::uint8_t*>(buffer_->contents());
    FloatImage image(texture_->width(), texture_->height(), channels);
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            for (std::size_t c = 0; c < channels; ++c) {
                std::uint16_t half;
                std::memcpy(&half,
                            bytes + layout.offset + y * layout.rowPitch + x * layout.pixelPitch +
                                (c / 4) * layout.slicePitch + (c % 4) * 2,
                            2);
                image.at(x, y, c) = halfToFloat(half);
            }
    return image;
}

void GuardedTexture::writeFeatures(const FloatImage& image) {
    const auto& layout = texture_->layout();
    auto* bytes = static_cast<std::uint8_t*>(buffer_->contents());
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            for (std::size_t c = 0; c < image.channels; ++c) {
                const std::uint16_t half = floatToHalf(image.at(x, y, c));
                std::memcpy(bytes + layout.offset + y * layout.rowPitch + x * layout.pixelPitch +
                                (c / 4) * layout.slicePitch + (c % 4) * 2,
                            &half, 2);
            }
}

Bgra8Image GuardedTexture::readBgra8() const {
    const auto& layout = texture_->layout();
    const auto* bytes = static_cast<const std::uint8_t*>(buffer_->contents());
    Bgra8Image image(texture_->width(), texture_->height());
    for (std::size_t y = 0; y < image.height; ++y)
        std::memcpy(image.pixel(0, y), bytes + layout.offset + y * layout.rowPitch, image.width * 4);
    return image;
}

void encodeTail(const std::shared_ptr<gpu::CommandBuffer>& command,
                const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                const std::shared_ptr<gpu::Buffer>& weights, const std::shared_ptr<gpu::Buffer>& bias,
                int simdGroups, const std::shared_ptr<gpu::Texture>& features,
                const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                bool flip) {
    auto encoder = command->computeCommandEncoder();
    encoder->setComputePipelineState(pipeline);
    encoder->setTexture(features, 0);
    encoder->setTexture(source, 1);
    encoder->setTexture(destination, 2);
    encoder->setBuffer(weights, 0, 0);
    encoder->setBuffer(bias, 0, 1);
    const std::uint32_t flag = flip ? 1 : 0;
    encoder->setBytes(&flag, sizeof flag, 2);
    encoder->dispatchThreadgroups({(features->width() + 31) / 32, (features->height() + 1) / 2, 1},
                                  {32 * static_cast<std::size_t>(simdGroups), 1, 1});
    encoder->endEncoding();
}

void runAndWait(const std::shared_ptr<gpu::CommandBuffer>& command) {
    command->commit();
    command->waitUntilCompleted();
    if (auto error = command->error()) throw *error;
}

} // namespace lumavane::testing
