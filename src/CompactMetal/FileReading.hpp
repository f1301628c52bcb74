#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace lumavane::compact_files {

struct FileContents {
    std::uint64_t size = 0;                          // bytes in the file
    std::optional<std::vector<std::uint8_t>> bytes;  // absent when the size was refused
};

// Opens a regular file and reads it whole, but only when wanted(size) agrees, so
// a file of the wrong size is never loaded into memory. Failures to open or read
// throw std::filesystem::filesystem_error with the system's error code; a
// directory or another non-regular file is refused the same way.
FileContents readFile(const std::filesystem::path& path, const std::function<bool(std::uint64_t)>& wanted);

std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& path);

// Little-endian float32 values from bytes (a multiple of 4 long).
std::vector<float> littleEndianFloats(const std::vector<std::uint8_t>& bytes);

} // namespace lumavane::compact_files
