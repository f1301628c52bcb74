#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumavane {

// One audio stream of the file. `id` is its position in the decoder's audio table, which holds every
// audio stream in container order.
struct DirectAudioTrack {
    int id = 0;
    std::string title;    // empty when the stream has none
    std::string language; // "und" when missing
    bool isDefault = false;

    bool operator==(const DirectAudioTrack&) const = default;
};

// One subtitle stream whose decoder could be opened. `id` is its position in the decoder's subtitle
// table (streams that could not be opened are left out, so it can be lower than the stream's rank).
struct DirectSubtitleTrack {
    int id = 0;
    std::string title;
    std::string language;
    bool isDefault = false;

    bool operator==(const DirectSubtitleTrack&) const = default;
};

// A decoded cue as plain text, with media times in seconds.
struct DirectSubtitleCue {
    int trackID = 0;
    std::string text;
    double startTime = 0;
    double endTime = 0;

    bool operator==(const DirectSubtitleCue&) const = default;
};

// Where the next audio buffer is to start: a sample position at 48000 Hz counted from the seek floor.
struct AudioSampleTimeline {
    std::int64_t nextSample = 0;
};

// Where a decoded audio buffer goes: its first kept sample's position from the seek floor, and how many
// samples are dropped from its front and kept.
struct AudioPlacement {
    std::int64_t position = 0;
    std::int64_t skip = 0;
    std::int64_t count = 0;
};

// Places `frameCount` samples stamped `pts` after `timeline` (none right after a seek), with `played`
// samples already played: a start within 2 ms of the timeline continues it seamlessly, and samples
// before the seek floor, the timeline or the played position are trimmed. None when nothing is left.
std::optional<AudioPlacement> placeAudio(const std::optional<AudioSampleTimeline>& timeline,
                                         std::int64_t played, double sampleRate, double pts, double seekFloor,
                                         std::int64_t frameCount);

} // namespace lumavane
