#pragma once

// Helpers of the measuring engines' tests: file reading and a resource override.

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

} // namespace lumavane::testing
