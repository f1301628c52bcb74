#include "CompactMetal/support/MeasureSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace lumavane::testing {

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readFileText(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<float> readFloatFile(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = readFileBytes(path);
    std::vector<float> values(bytes.size() / 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t word = std::uint32_t(bytes[4 * i]) | std::uint32_t(bytes[4 * i + 1]) << 8 |
                                   std::uint32_t(bytes[4 * i + 2]) << 16 |
                                   std::uint32_t(bytes[4 * i + 3]) << 24;
        std::memcpy(&values[i], &word, 4);
    }
    return values;
}

std::filesystem::path shaderSourceInTree(const std::string& name) {
    return std::filesystem::path(LUMAVANE_SOURCE_DIR) / "resources/Lumavane_CompactMetal.bundle" /
           (name + ".cl");
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

} // namespace lumavane::testing
