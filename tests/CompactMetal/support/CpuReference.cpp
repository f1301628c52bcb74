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

float roundToHalf(float value) { return halfToFloat(floatToHalf(value)); }

FloatImage roundedToHalf(FloatImage image) {
    for (float& v : image.values) v = roundToHalf(v);
    return image;
}

FloatImage convolution(const FloatImage& input, std::size_t outputs, std::size_t kernel,
                       std::span<const float> weights, std::span<const float> bias, std::size_t offset,
                       std::optional<std::size_t> width, std::optional<std::size_t> height) {
    const std::size_t inputs = input.channels;
    if (weights.size() != outputs * kernel * kernel * inputs || bias.size() != outputs)
        throw std::invalid_argument("convolution: weight or bias count");
    FloatImage out(width.value_or(input.width), height.value_or(input.height), outputs);
    const long half = static_cast<long>(kernel / 2);
    std::vector<double> sum(outputs);
    for (std::size_t y = 0; y < out.height; ++y) {
        for (std::size_t x = 0; x < out.width; ++x) {
            for (std::size_t o = 0; o < outputs; ++o) sum[o] = bias[o];
            for (std::size_t ky = 0; ky < kernel; ++ky) {
                const long sy = static_cast<long>(y + offset + ky) - half;
                if (sy < 0 || sy >= static_cast<long>(input.height)) continue;
                for (std::size_t kx = 0; kx < kernel; ++kx) {
                    const long sx = static_cast<long>(x + offset + kx) - half;
                    if (sx < 0 || sx >= static_cast<long>(input.width)) continue;
                    const float* in = &input.values[(static_cast<std::size_t>(sy) * input.width +
                                                     static_cast<std::size_t>(sx)) *
                                                    inputs];
                    for (std::size_t o = 0; o < outputs; ++o) {
                        const float* w = &weights[((o * kernel + ky) * kernel + kx) * inputs];
                        double s = 0;
                        for (std::size_t c = 0; c < inputs; ++c) s += double(w[c]) * in[c];
                        sum[o] += s;
                    }
                }
            }
            for (std::size_t o = 0; o < outputs; ++o) out.at(x, y, o) = static_cast<float>(sum[o]);
        }
    }
    return out;
}

FloatImage convolution3x3(const FloatImage& input, std::size_t outputs, std::span<const float> weights,
                          std::span<const float> bias, std::optional<std::span<const float>> slopes) {
    if (slopes && slopes->size() != outputs) throw std::invalid_argument("convolution3x3: slope count");
    FloatImage output = convolution(input, outputs, 3, weights, bias);
    if (slopes)
        for (std::size_t p = 0; p < output.width * output.height; ++p)
            for (std::size_t o = 0; o < outputs; ++o) {
                float& v = output.values[p * outputs + o];
                if (v < 0) v = static_cast<float>(double(v) * (*slopes)[o]);
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
