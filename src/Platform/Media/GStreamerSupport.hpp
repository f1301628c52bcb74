#pragma once

#include <filesystem>
#include <string>

namespace lumavane::media {

// Initialises GStreamer once per process; any thread.
void ensureGStreamer();
// "file://" URI of an absolute or relative path.
std::string fileURI(const std::filesystem::path& path);

} // namespace lumavane::media
