// Audio and subtitle tracks of the open video, and the subtitle text shown at a time.
#include "Lumavane/Session/PlayerSession.hpp"

#include <algorithm>

namespace lumavane {

void PlayerSession::selectAudioTrack(int id) {
    const auto& tracks = audioTracks();
    if (std::none_of(tracks.begin(), tracks.end(), [&](const DirectAudioTrack& track) { return track.id == id; }))
        return;
    if (selectedAudioTrackID() == id) return;
    selectedAudioTrackID.set(id);
    updateHistoryProgress(true);
    if (directEngine_) {
        // The engine switches streams and seeks back to where it was.
        directEngine_->selectAudioTrack(id);
    } else if (platformItem_ && nativeAudioGroup_ && id >= 0 && std::size_t(id) < nativeAudioGroup_->options.size()) {
        // On the platform back-end a track's id is its option's place in the audible group.
        platformItem_->selectAudioOption(std::size_t(id));
    }
}

void PlayerSession::selectSubtitle(std::optional<int> id) {
    if (id) {
        const auto& tracks = subtitleTracks();
        if (std::none_of(tracks.begin(), tracks.end(), [&](const DirectSubtitleTrack& track) { return track.id == *id; }))
            return;
    }
    selectedSubtitleTrackID.set(id);
    updateSubtitle(position_);
    updateHistoryProgress(true);
}

void PlayerSession::updateSubtitle(double time) {
    // Runs on every display refresh: cues long past go first so the list stays short.
    std::erase_if(subtitleCues_, [&](const DirectSubtitleCue& cue) { return cue.endTime < time - 1.0; });
    std::string text;
    if (const std::optional<int> track = selectedSubtitleTrackID()) {
        for (const DirectSubtitleCue& cue : subtitleCues_) {
            if (cue.trackID != *track || time < cue.startTime || time >= cue.endTime) continue;
            if (!text.empty()) text += '\n';
            text += cue.text;
        }
    }
    if (text != subtitleText()) subtitleText.set(std::move(text));
}

} // namespace lumavane
