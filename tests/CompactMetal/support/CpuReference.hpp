#pragma once

// A plain CPU reference of what the compact kernels compute: 3x3 convolution with bias and
// PReLU, pixel shuffle, the residual reconstruction, 2x reductions, flips and the display
// resampling. Straight loops in double precision, written for clarity, not speed. GPU kernels
// are checked against it; the conventions are those of Reconstruction.cl.

#include "Platform/Foundation/Half.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumavane::gpu {
class Device;
class FeatureImage;
class Texture;
} // namespace lumavane::gpu

namespace lumavane::testing {

// Channels of every pixel, pixel-major (y, x, channel), rows top first: the order of
// gpu::FeatureImage::readFloats.
struct FloatImage {
    std::size_t width = 0, height = 0, channels = 0;
    std::vector<float> values;

    FloatImage() = default;
    FloatImage(std::size_t width, std::size_t height, std::size_t channels)
        : width(width), height(height), channels(channels), values(width * height * channels, 0.0f) {}

    float& at(std::size_t x, std::size_t y, std::size_t c) { return values[(y * width + x) * channels + c]; }
    float at(std::size_t x, std::size_t y, std::size_t c) const {
        return values[(y * width + x) * channels + c];
    }
};

// An 8-bit BGRA frame, 4 bytes a pixel, rows top first, no padding.
struct Bgra8Image {
    std::size_t width = 0, height = 0;
    std::vector<std::uint8_t> bytes;

    Bgra8Image() = default;
    Bgra8Image(std::size_t width, std::size_t height)
        : width(width), height(height), bytes(width * height * 4, 0) {}

    std::uint8_t* pixel(std::size_t x, std::size_t y) { return &bytes[(y * width + x) * 4]; }
    const std::uint8_t* pixel(std::size_t x, std::size_t y) const { return &bytes[(y * width + x) * 4]; }
};

// Reproducible test data.
FloatImage randomFeatures(std::size_t width, std::size_t height, std::size_t channels, std::uint32_t seed,
                          float amplitude = 1.0f);
Bgra8Image randomBgra8(std::size_t width, std::size_t height, std::uint32_t seed);
std::vector<float> randomValues(std::size_t count, std::uint32_t seed, float amplitude = 1.0f);

// Half precision (what feature images and half buffers store): Platform/Foundation/Half.hpp.
float roundToHalf(float value);
FloatImage roundedToHalf(FloatImage image);

// A kernel x kernel convolution plus bias in double, weights in output channel, kernel row, kernel
// column, input channel order: destination pixel (x, y) is centred on input pixel
// (x + offset, y + offset), zero outside. Offset 0 with the input's size is a "same" convolution;
// offset (k - 1) / 2 with the size shrunk by k - 1 a "valid" one.
FloatImage convolution(const FloatImage& input, std::size_t outputs, std::size_t kernel,
                       std::span<const float> weights, std::span<const float> bias, std::size_t offset = 0,
                       std::optional<std::size_t> width = std::nullopt,
                       std::optional<std::size_t> height = std::nullopt);
// The "same" 3x3 convolution, then PReLU when slopes are given (v or slope · v below 0).
FloatImage convolution3x3(const FloatImage& input, std::size_t outputs, std::span<const float> weights,
                          std::span<const float> bias,
                          std::optional<std::span<const float>> slopes = std::nullopt);

// The frame as RGB in 0...1 (3 channels).
FloatImage sourceRgb(const Bgra8Image& source);
// 3·s² network channels to 3 channels at s times the size: channel c·s² + dy·s + dx goes to
// colour c of pixel (s·x + dx, s·y + dy).
FloatImage pixelShuffle(const FloatImage& network, std::size_t scale);
// Every pixel repeated over an s x s block.
FloatImage nearestUpsample(const FloatImage& image, std::size_t scale);
// clamp(pixelShuffle(network) + nearestUpsample(source), 0, 1): the native output.
FloatImage reconstruct(const FloatImage& network, const Bgra8Image& source, std::size_t scale);
// The mean of every 2 x 2 block (even sizes).
FloatImage reduceBy2(const FloatImage& image);
// A 4x network shown at 2x, exactly: reduceBy2(reconstruct(network, source, 4)).
FloatImage reconstructDown2(const FloatImage& network, const Bgra8Image& source);
// The approximate 2x output: the 48 network channels averaged per 2x sub-pixel first, then the
// residual added and clamped once.
FloatImage approximateDown2(const FloatImage& network, const Bgra8Image& source);
// Row y becomes row height - 1 - y.
FloatImage flipVertically(const FloatImage& image);
// Resampling to any size up to twice the image's in each direction (the display-optimal output):
// destination pixel u is centred at source position (u + 0.5) · w / D - 0.5 and weighs source
// pixels with a tent of radius clamp(w / D, 1, 2) source pixels, edge pixels repeated, weights
// normalised; separable. Exact copy at the same size, bilinear when enlarging.
FloatImage displayResample(const FloatImage& image, std::size_t width, std::size_t height);

// RGB in 0...1 to BGRA8 (round to nearest, saturating, alpha 255).
Bgra8Image toBgra8(const FloatImage& rgb);

// Largest difference between the two images in any channel, in 8-bit levels (sizes must match).
int maxLevelDifference(const Bgra8Image& a, const Bgra8Image& b);
// Number of channel values that differ by more than `levels`.
std::size_t countLevelDifferences(const Bgra8Image& a, const Bgra8Image& b, int levels);
float maxAbsDifference(const FloatImage& a, const FloatImage& b);

// Moving images to and from the Gpu layer (only while no GPU work uses them).
std::shared_ptr<gpu::FeatureImage> makeFeatureImage(const std::shared_ptr<gpu::Device>& device,
                                                    const FloatImage& image);
FloatImage readFeatureImage(const gpu::FeatureImage& image);
std::shared_ptr<gpu::Texture> makeBgra8Texture(const std::shared_ptr<gpu::Device>& device,
                                               const Bgra8Image& image);
// A bgra8Unorm texture of that size filled with `fill`.
std::shared_ptr<gpu::Texture> makeBgra8Texture(const std::shared_ptr<gpu::Device>& device, std::size_t width,
                                               std::size_t height, std::uint8_t fill = 0);
Bgra8Image readBgra8Texture(const gpu::Texture& texture);

// The module check error's description fn fails with (its domain and code checked with gtest
// expectations), or "no error".
std::string requireFailure(const std::function<void()>& fn);
// fn must throw a PlatformError of that domain and code whose localized description is `message`.
void expectError(const std::function<void()>& fn, const std::string& domain, int code,
                 const std::string& message);
// The module's check error: domain "DirectMetalProbe", code 1, `message`.
void expectCheckError(const std::function<void()>& fn, const std::string& message);

} // namespace lumavane::testing
