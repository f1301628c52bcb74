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

} // namespace lumavane::testing
