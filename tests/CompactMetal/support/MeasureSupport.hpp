#pragma once

// Helpers of the measuring engines' tests: error expectations, file reading, a resource
// override, and a convolution of any odd kernel with an offset (same or valid), in double.

#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "support/ScopedEnv.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumavane::testing {

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);
std::string readFileText(const std::filesystem::path& path);
// Little-endian float32 values.
std::vector<float> readFloatFile(const std::filesystem::path& path);
// A kernel source of the source tree's bundle, e.g. "SPAN" -> .../SPAN.cl.
std::filesystem::path shaderSourceInTree(const std::string& name);

using test::ResourcesOverride;

// A kernel x kernel convolution (weights in output, row, column, input order) plus bias:
// destination pixel (x, y) is centred on input pixel (x + offset, y + offset), zero outside.
// Offset 0 with the input's size is a "same" convolution; offset (k - 1) / 2 with the size
// shrunk by k - 1 a "valid" one. Not rounded.
FloatImage convolution(const FloatImage& input, std::size_t outputs, std::size_t kernel,
                       std::span<const float> weights, std::span<const float> bias, std::size_t offset = 0,
                       std::optional<std::size_t> width = std::nullopt,
                       std::optional<std::size_t> height = std::nullopt);

} // namespace lumavane::testing
