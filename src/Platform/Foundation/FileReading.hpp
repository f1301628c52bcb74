#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace lumavane::files {

// No cap on the bytes read.
inline constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

struct FileContents {
    std::uint64_t size = 0;                         // bytes in the file
    std::optional<std::vector<std::uint8_t>> bytes; // absent when the size was refused
};

// Opens a regular file and reads it whole, but only when wanted(size) agrees, so
// a file of the wrong size is never loaded into memory. Failures to open or read
// throw std::filesystem::filesystem_error with the system's error code; a
// directory or another non-regular file is refused the same way.
FileContents readFile(const std::filesystem::path& path, const std::function<bool(std::uint64_t)>& wanted);

// The whole file, at most maxBytes long. A longer file (even one that grows while it is
// read) is never read past the cap: it throws std::filesystem::filesystem_error with
// std::errc::file_too_large and a message naming the cap. Other failures as readFile.
std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& path,
                                        std::uint64_t maxBytes = unlimited);

// The whole file as text (bytes unchanged, no encoding check), e.g. a manifest to decode.
std::string readWholeText(const std::filesystem::path& path, std::uint64_t maxBytes = unlimited);

} // namespace lumavane::files
