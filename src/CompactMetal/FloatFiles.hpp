#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace lumavane::compact_files {

// Little-endian float32 values from bytes (a multiple of 4 long).
std::vector<float> littleEndianFloats(const std::vector<std::uint8_t>& bytes);

// The float32 values of a file only when it holds exactly `expected` of them; a file of
// another well-formed size is measured but never loaded (nullopt), so a stray huge file
// costs nothing. A byte count that is not a multiple of 4 fails with "Invalid float file"
// (the module's check error); read failures are std::filesystem::filesystem_error.
std::optional<std::vector<float>> floatsIfCount(const std::filesystem::path& path,
                                                std::optional<std::uint64_t> expected);

} // namespace lumavane::compact_files
