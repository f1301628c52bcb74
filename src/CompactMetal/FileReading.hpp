#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumavane::compact_files {

struct FileContents {
    std::uint64_t size = 0;                         // bytes in the file
    std::optional<std::vector<std::uint8_t>> bytes; // absent when the size was refused
};

// Opens a regular file and reads it whole, but only when wanted(size) agrees, so
// a file of the wrong size is never loaded into memory. Failures to open or read
// throw std::filesystem::filesystem_error with the system's error code; a
// directory or another non-regular file is refused the same way.
FileContents readFile(const std::filesystem::path& path, const std::function<bool(std::uint64_t)>& wanted);

std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& path);

// The whole file as text, e.g. a manifest to decode.
std::string readWholeText(const std::filesystem::path& path);

// Little-endian float32 values from bytes (a multiple of 4 long).
std::vector<float> littleEndianFloats(const std::vector<std::uint8_t>& bytes);

// The float32 values of a file only when it holds exactly `expected` of them; a file of
// another well-formed size is measured but never loaded (nullopt), so a stray huge file
// costs nothing. A byte count that is not a multiple of 4 fails with "Invalid float file"
// (the module's check error); read failures are std::filesystem::filesystem_error.
std::optional<std::vector<float>> floatsIfCount(const std::filesystem::path& path,
                                                std::optional<std::uint64_t> expected);

} // namespace lumavane::compact_files
