#include "CompactMetal/support/CpuReference.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace lumavane::testing {

namespace {

std::uint32_t nextState(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state;
}

void requireSameSize(const FloatImage& a, const FloatImage& b) {
    if (a.width != b.width || a.height != b.height || a.channels != b.channels)
        throw std::invalid_argument("images of different sizes");
}

// Weights of one destination coordinate of the display resampling, over source indices.
std::vector<std::pair<std::size_t, double>> resampleTaps(std::size_t u, std::size_t sourceSize,
                                                         std::size_t destinationSize) {
    const double ratio = static_cast<double>(sourceSize) / static_cast<double>(destinationSize);
    const double centre = (static_cast<double>(u) + 0.5) * ratio - 0.5;
    const double radius = std::clamp(ratio, 1.0, 2.0);
    std::vector<std::pair<std::size_t, double>> taps;
    double total = 0;
    for (long j = static_cast<long>(std::floor(centre - radius));
         j <= static_cast<long>(std::ceil(centre + radius)); ++j) {
        const double weight = 1.0 - std::abs(static_cast<double>(j) - centre) / radius;
        if (weight <= 0) continue;
        const long clamped = std::clamp(j, 0L, static_cast<long>(sourceSize) - 1);
        taps.emplace_back(static_cast<std::size_t>(clamped), weight);
        total += weight;
    }
    for (auto& tap : taps) tap.second /= total;
    return taps;
}

} // namespace

std::vector<float> randomValues(std::size_t count, std::uint32_t seed, float amplitude) {
    std::vector<float> values(count);
    std::uint32_t state = seed * 2246822519u + 374761393u;
    for (float& v : values) {
        v = (static_cast<float>(nextState(state) >> 8) / static_cast<float>(1u << 24) * 2.0f - 1.0f) *
            amplitude;
    }
    return values;
}

FloatImage randomFeatures(std::size_t width, std::size_t height, std::size_t channels, std::uint32_t seed,
                          float amplitude) {
    FloatImage image(width, height, channels);
    image.values = randomValues(image.values.size(), seed, amplitude);
    return roundedToHalf(std::move(image));
}

Bgra8Image randomBgra8(std::size_t width, std::size_t height, std::uint32_t seed) {
    Bgra8Image image(width, height);
    std::uint32_t state = seed * 2654435761u + 97u;
    for (std::size_t i = 0; i < image.bytes.size(); ++i) {
        image.bytes[i] = (i % 4 == 3) ? 255 : static_cast<std::uint8_t>(nextState(state) >> 24);
    }
    return image;
}

std::uint16_t floatToHalf(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t sign = (bits >> 16) & 0x8000u;
    const std::uint32_t exponentBits = (bits >> 23) & 0xffu;
    std::uint32_t mantissa = bits & 0x7fffffu;
    if (exponentBits == 0xffu) return static_cast<std::uint16_t>(sign | 0x7c00u | (mantissa ? 0x200u : 0u));
    const int exponent = static_cast<int>(exponentBits) - 127 + 15;
    if (exponent >= 31) return static_cast<std::uint16_t>(sign | 0x7c00u);
    if (exponent <= 0) {
        if (exponent < -10) return static_cast<std::uint16_t>(sign);
        mantissa |= 0x800000u;
        const auto shift = static_cast<std::uint32_t>(14 - exponent);
        std::uint32_t half = mantissa >> shift;
        const std::uint32_t rest = mantissa & ((1u << shift) - 1), midpoint = 1u << (shift - 1);
        if (rest > midpoint || (rest == midpoint && (half & 1u))) ++half;
        return static_cast<std::uint16_t>(sign | half);
    }
    std::uint32_t half = sign | (static_cast<std::uint32_t>(exponent) << 10) | (mantissa >> 13);
    const std::uint32_t rest = mantissa & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half;
    return static_cast<std::uint16_t>(half);
}

float halfToFloat(std::uint16_t half) {
    const std::uint32_t sign = (half & 0x8000u) << 16;
    std::uint32_t exponent = (half >> 10) & 0x1fu, mantissa = half & 0x3ffu;
    std::uint32_t bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else {
            exponent = 127 - 15 + 1;
            while ((mantissa & 0x400u) == 0) {
                mantissa <<= 1;
                --exponent;
            }
            bits = sign | (exponent << 23) | ((mantissa & 0x3ffu) << 13);
        }
    } else if (exponent == 31) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    }
    return std::bit_cast<float>(bits);
}

float roundToHalf(float value) { return halfToFloat(floatToHalf(value)); }

FloatImage roundedToHalf(FloatImage image) {
    for (float& v : image.values) v = roundToHalf(v);
    return image;
}

FloatImage convolution3x3(const FloatImage& input, std::size_t outputs, std::span<const float> weights,
                          std::span<const float> bias, std::optional<std::span<const float>> slopes) {
    const std::size_t inputs = input.channels;
    if (weights.size() != outputs * 9 * inputs || bias.size() != outputs ||
        (slopes && slopes->size() != outputs))
        throw std::invalid_argument("convolution3x3: wrong weight, bias or slope count");
    FloatImage output(input.width, input.height, outputs);
    std::vector<double> sums(outputs);
    for (std::size_t y = 0; y < input.height; ++y) {
        for (std::size_t x = 0; x < input.width; ++x) {
            for (std::size_t o = 0; o < outputs; ++o) sums[o] = bias[o];
            for (int ky = 0; ky < 3; ++ky) {
                const long sy = static_cast<long>(y) + ky - 1;
                if (sy < 0 || sy >= static_cast<long>(input.height)) continue;
                for (int kx = 0; kx < 3; ++kx) {
                    const long sx = static_cast<long>(x) + kx - 1;
                    if (sx < 0 || sx >= static_cast<long>(input.width)) continue;
                    const float* pixel = &input.values[(static_cast<std::size_t>(sy) * input.width +
                                                        static_cast<std::size_t>(sx)) *
                                                       inputs];
                    for (std::size_t o = 0; o < outputs; ++o) {
                        const float* w = &weights[((o * 3 + static_cast<std::size_t>(ky)) * 3 +
                                                   static_cast<std::size_t>(kx)) *
                                                  inputs];
                        double sum = 0;
                        for (std::size_t c = 0; c < inputs; ++c) sum += static_cast<double>(w[c]) * pixel[c];
                        sums[o] += sum;
                    }
                }
            }
            for (std::size_t o = 0; o < outputs; ++o) {
                double v = sums[o];
                if (slopes && v < 0) v *= (*slopes)[o];
                output.at(x, y, o) = static_cast<float>(v);
            }
        }
    }
    return output;
}

FloatImage sourceRgb(const Bgra8Image& source) {
    FloatImage rgb(source.width, source.height, 3);
    for (std::size_t y = 0; y < source.height; ++y) {
        for (std::size_t x = 0; x < source.width; ++x) {
            const std::uint8_t* p = source.pixel(x, y);
            rgb.at(x, y, 0) = p[2] / 255.0f;
            rgb.at(x, y, 1) = p[1] / 255.0f;
            rgb.at(x, y, 2) = p[0] / 255.0f;
        }
    }
    return rgb;
}

FloatImage pixelShuffle(const FloatImage& network, std::size_t scale) {
    if (network.channels != 3 * scale * scale) throw std::invalid_argument("pixelShuffle: channel count");
    FloatImage out(network.width * scale, network.height * scale, 3);
    for (std::size_t y = 0; y < network.height; ++y)
        for (std::size_t x = 0; x < network.width; ++x)
            for (std::size_t c = 0; c < 3; ++c)
                for (std::size_t dy = 0; dy < scale; ++dy)
                    for (std::size_t dx = 0; dx < scale; ++dx)
                        out.at(x * scale + dx, y * scale + dy, c) =
                            network.at(x, y, c * scale * scale + dy * scale + dx);
    return out;
}

FloatImage nearestUpsample(const FloatImage& image, std::size_t scale) {
    FloatImage out(image.width * scale, image.height * scale, image.channels);
    for (std::size_t y = 0; y < out.height; ++y)
        for (std::size_t x = 0; x < out.width; ++x)
            for (std::size_t c = 0; c < image.channels; ++c)
                out.at(x, y, c) = image.at(x / scale, y / scale, c);
    return out;
}

FloatImage reconstruct(const FloatImage& network, const Bgra8Image& source, std::size_t scale) {
    if (network.width != source.width || network.height != source.height)
        throw std::invalid_argument("reconstruct: network and source sizes differ");
    FloatImage out = pixelShuffle(network, scale);
    const FloatImage residual = nearestUpsample(sourceRgb(source), scale);
    for (std::size_t i = 0; i < out.values.size(); ++i)
        out.values[i] = std::clamp(out.values[i] + residual.values[i], 0.0f, 1.0f);
    return out;
}

FloatImage reduceBy2(const FloatImage& image) {
    FloatImage out(image.width / 2, image.height / 2, image.channels);
    for (std::size_t y = 0; y < out.height; ++y)
        for (std::size_t x = 0; x < out.width; ++x)
            for (std::size_t c = 0; c < image.channels; ++c)
                out.at(x, y, c) = (image.at(2 * x, 2 * y, c) + image.at(2 * x + 1, 2 * y, c) +
                                   image.at(2 * x, 2 * y + 1, c) + image.at(2 * x + 1, 2 * y + 1, c)) *
                                  0.25f;
    return out;
}

FloatImage reconstructDown2(const FloatImage& network, const Bgra8Image& source) {
    return reduceBy2(reconstruct(network, source, 4));
}

FloatImage approximateDown2(const FloatImage& network, const Bgra8Image& source) {
    const FloatImage mean = reduceBy2(pixelShuffle(network, 4));
    const FloatImage residual = nearestUpsample(sourceRgb(source), 2);
    FloatImage out = mean;
    for (std::size_t i = 0; i < out.values.size(); ++i)
        out.values[i] = std::clamp(mean.values[i] + residual.values[i], 0.0f, 1.0f);
    return out;
}

FloatImage flipVertically(const FloatImage& image) {
    FloatImage out(image.width, image.height, image.channels);
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            for (std::size_t c = 0; c < image.channels; ++c)
                out.at(x, image.height - 1 - y, c) = image.at(x, y, c);
    return out;
}

FloatImage displayResample(const FloatImage& image, std::size_t width, std::size_t height) {
    FloatImage out(width, height, image.channels);
    std::vector<std::vector<std::pair<std::size_t, double>>> columns(width), rows(height);
    for (std::size_t u = 0; u < width; ++u) columns[u] = resampleTaps(u, image.width, width);
    for (std::size_t v = 0; v < height; ++v) rows[v] = resampleTaps(v, image.height, height);
    for (std::size_t v = 0; v < height; ++v)
        for (std::size_t u = 0; u < width; ++u)
            for (std::size_t c = 0; c < image.channels; ++c) {
                double sum = 0;
                for (const auto& [y, wy] : rows[v])
                    for (const auto& [x, wx] : columns[u]) sum += wy * wx * image.at(x, y, c);
                out.at(u, v, c) = static_cast<float>(sum);
            }
    return out;
}

Bgra8Image toBgra8(const FloatImage& rgb) {
    if (rgb.channels != 3) throw std::invalid_argument("toBgra8: needs 3 channels");
    Bgra8Image out(rgb.width, rgb.height);
    auto level = [](float v) {
        return static_cast<std::uint8_t>(std::nearbyint(std::clamp(v, 0.0f, 1.0f) * 255.0f));
    };
    for (std::size_t y = 0; y < rgb.height; ++y)
        for (std::size_t x = 0; x < rgb.width; ++x) {
            std::uint8_t* p = out.pixel(x, y);
            p[0] = level(rgb.at(x, y, 2));
            p[1] = level(rgb.at(x, y, 1));
            p[2] = level(rgb.at(x, y, 0));
            p[3] = 255;
        }
    return out;
}

int maxLevelDifference(const Bgra8Image& a, const Bgra8Image& b) {
    if (a.width != b.width || a.height != b.height) throw std::invalid_argument("images of different sizes");
    int worst = 0;
    for (std::size_t i = 0; i < a.bytes.size(); ++i)
        worst = std::max(worst, std::abs(int(a.bytes[i]) - int(b.bytes[i])));
    return worst;
}

std::size_t countLevelDifferences(const Bgra8Image& a, const Bgra8Image& b, int levels) {
    if (a.width != b.width || a.height != b.height) throw std::invalid_argument("images of different sizes");
    std::size_t count = 0;
    for (std::size_t i = 0; i < a.bytes.size(); ++i)
        if (std::abs(int(a.bytes[i]) - int(b.bytes[i])) > levels) ++count;
    return count;
}

float maxAbsDifference(const FloatImage& a, const FloatImage& b) {
    requireSameSize(a, b);
    float worst = 0;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const float d = std::abs(a.values[i] - b.values[i]);
        if (!(d <= worst)) worst = d; // NaN wins
    }
    return worst;
}

std::shared_ptr<gpu::FeatureImage> makeFeatureImage(const std::shared_ptr<gpu::Device>& device,
                                                    const FloatImage& image) {
    auto made = gpu::FeatureImage::make(
        device, {gpu::FeatureChannelFormat::float16, image.width, image.height, image.channels});
    if (!made) throw std::runtime_error("feature image not made");
    made->writeFloats(image.values);
    return made;
}

FloatImage readFeatureImage(const gpu::FeatureImage& image) {
    FloatImage out(image.width(), image.height(), image.featureChannels());
    out.values = image.readFloats();
    return out;
}

std::shared_ptr<gpu::Texture> makeBgra8Texture(const std::shared_ptr<gpu::Device>& device,
                                               const Bgra8Image& image) {
    auto texture = device->newTexture(
        gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, image.width, image.height));
    if (!texture) throw std::runtime_error("texture not made");
    texture->replaceRegion({{0, 0, 0}, {image.width, image.height, 1}}, 0, image.bytes.data(),
                           image.width * 4);
    return texture;
}

std::shared_ptr<gpu::Texture> makeBgra8Texture(const std::shared_ptr<gpu::Device>& device, std::size_t width,
                                               std::size_t height, std::uint8_t fill) {
    Bgra8Image image(width, height);
    std::fill(image.bytes.begin(), image.bytes.end(), fill);
    return makeBgra8Texture(device, image);
}

Bgra8Image readBgra8Texture(const gpu::Texture& texture) {
    Bgra8Image out(texture.width(), texture.height());
    texture.getBytes(out.bytes.data(), out.width * 4, {{0, 0, 0}, {out.width, out.height, 1}}, 0);
    return out;
}

std::string requireFailure(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), CompactMetalError::checkDomain);
        EXPECT_EQ(error.code(), 1);
        return error.localizedDescription();
    }
    return "no error";
}

void expectError(const std::function<void()>& fn, const std::string& domain, int code,
                 const std::string& message) {
    try {
        fn();
        ADD_FAILURE() << "no error, expected \"" << message << "\"";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), domain);
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(error.localizedDescription(), message);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "another error: " << error.what() << ", expected \"" << message << "\"";
    }
}

void expectCheckError(const std::function<void()>& fn, const std::string& message) {
    expectError(fn, CompactMetalError::checkDomain, 1, message);
}

} // namespace lumavane::testing
