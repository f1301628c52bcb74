#pragma once

#include <filesystem>
#include <limits>
#include <optional>

namespace lumavane::media {

// The media's own timeline as FFmpeg (and so ffprobe, the direct back-end and the seek thumbnails)
// reads it: media time 0 is the media's start, the earliest first timestamp of its streams, also
// when that is late (a transport stream starts at 1.4 s at the earliest), negative, or before a
// transport stream's 33-bit clock wraps. GStreamer counts from elsewhere (a transport stream's first
// clock reference, a Matroska file's first video frame), so the player maps its times onto this one.
struct MediaTimeline {
    // Seconds from the start to the latest end of a video or audio stream; NaN when unknown.
    double duration = std::numeric_limits<double>::quiet_NaN();
    // Media time of the first picture a decoder shows from the start: the earliest presented frame of
    // the first group of pictures. None when there is no video stream.
    std::optional<double> firstVideoFrame;
    // Media time of the last picture shown: the latest presented frame of the last second. None
    // without a video stream or where the end cannot be reached by a seek.
    std::optional<double> lastVideoFrame;
    // The media's 33-bit transport stream clock wraps between its start and its end.
    bool clockWraps = false;
};

// Reads the container's header, its first packets and those of its last second (off the main
// thread: it reads the file).
// Empty (duration NaN, no frame) when FFmpeg cannot open the file.
MediaTimeline probeMediaTimeline(const std::filesystem::path& path);

} // namespace lumavane::media
