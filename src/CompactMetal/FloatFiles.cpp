#include "CompactMetal/FloatFiles.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "Platform/Foundation/FileReading.hpp"

#include <bit>
#include <cstring>

namespace lumavane::compact_files {

std::vector<float> littleEndianFloats(const std::vector<std::uint8_t>& bytes) {
    std::vector<float> values(bytes.size() / 4);
    if constexpr (std::endian::native == std::endian::little) {
        if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * 4);
    } else {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::uint8_t* b = bytes.data() + 4 * i;
            const std::uint32_t word = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                       std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
            values[i] = std::bit_cast<float>(word);
        }
    }
    return values;
}

std::optional<std::vector<float>> floatsIfCount(const std::filesystem::path& path,
                                                std::optional<std::uint64_t> expected) {
    const auto wanted = [&](std::uint64_t size) {
        return size % 4 == 0 && expected && size / 4 == *expected;
    };
    files::FileContents contents = files::readFile(path, wanted);
    require(contents.size % 4 == 0, "Invalid float file");
    if (!contents.bytes) return std::nullopt;
    return littleEndianFloats(*contents.bytes);
}

} // namespace lumavane::compact_files
