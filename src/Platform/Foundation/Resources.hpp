#pragma once

#include <filesystem>
#include <string>

namespace lumavane {

// The folder of run-time resources (kernel sources, tables, shipped models):
// $LUMAVANE_RESOURCES when set (tests), else the first of <exe dir>/../share/lumavane/resources,
// <exe dir>/resources and the source tree's resources/ that exists.
std::filesystem::path resourcesDirectory();
// A named resource bundle folder inside it, e.g. "Lumavane_CompactMetal.bundle".
std::filesystem::path resourceBundle(const std::string& bundleName);

} // namespace lumavane
