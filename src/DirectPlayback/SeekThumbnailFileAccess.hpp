#pragma once

#include <filesystem>

namespace lumavane {

// Access to the media file while the thumbnail decoders open or read it. Linux grants it by file
// permissions alone, so there is nothing to take or give back; the guard only keeps every start
// paired with its stop, on every way out of a scope, and counts the accesses still open.
class SeekThumbnailFileAccess {
public:
    explicit SeekThumbnailFileAccess(const std::filesystem::path& path);
    ~SeekThumbnailFileAccess();
    SeekThumbnailFileAccess(const SeekThumbnailFileAccess&) = delete;
    SeekThumbnailFileAccess& operator=(const SeekThumbnailFileAccess&) = delete;

    bool started() const noexcept { return started_; }

    // Accesses started and not yet stopped in this process.
    static int openCount() noexcept;

private:
    bool started_ = false;
};

} // namespace lumavane
