#pragma once

#include <filesystem>

namespace lumavane {

// Whether two locations name the same file: both made absolute and normalised, symbolic links
// resolved on both sides. The one rule for matching a chosen model against a series' variants
// and the recent list: resolving only one side makes a model reached through a linked folder
// look like another file.
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

} // namespace lumavane
