#include "Lumavane/Session/SameFile.hpp"

#include "Lumavane/Session/PlayableVideos.hpp"

namespace lumavane {

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a.empty() || b.empty()) return false;
    // The playlist's one identity of a file serves models too.
    return standardizedVideoPath(a) == standardizedVideoPath(b);
}

} // namespace lumavane
