#include "DirectPlayback/SeekThumbnailFileAccess.hpp"

#include <atomic>

namespace lumavane {

namespace {
std::atomic<int> openAccesses{0};
}

SeekThumbnailFileAccess::SeekThumbnailFileAccess(const std::filesystem::path&) : started_(true) {
    openAccesses.fetch_add(1, std::memory_order_relaxed);
}

SeekThumbnailFileAccess::~SeekThumbnailFileAccess() {
    if (started_) openAccesses.fetch_sub(1, std::memory_order_relaxed);
}

int SeekThumbnailFileAccess::openCount() noexcept { return openAccesses.load(std::memory_order_relaxed); }

} // namespace lumavane
