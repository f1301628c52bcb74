#pragma once

#include <filesystem>
#include <string_view>

#include <sys/types.h>

namespace lumavane::files {

// Writes bytes to a temporary file in the target's folder (created when missing), flushes it
// to disk and renames it over the target, so readers, and a restart after a crash, see the old
// file or the new one, never a mix. Failures throw std::filesystem::filesystem_error and leave
// no temporary file behind.
void writeAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t permissions = 0644);

} // namespace lumavane::files
