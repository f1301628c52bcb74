// The playlist of this run and the playback history kept under "player.history".
#include "Lumavane/Session/PlayerSession.hpp"

#include "Lumavane/Session/PlayableVideos.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace lumavane {

namespace {

// During playback the stored history changes at most this often.
constexpr double historyWriteInterval = 2.0;

} // namespace

// --- Playlist.

void PlayerSession::chooseVideos(const std::vector<std::filesystem::path>& chosen, bool appendOnly) {
    std::vector<std::filesystem::path> videos = playableVideos(chosen);
    if (videos.empty()) {
        message.set(localize_("再生可能な動画が見つかりませんでした。"));
        return;
    }
    if (appendOnly) return appendToPlaylist(videos);
    const std::filesystem::path first = videos.front();
    playlist.set(std::move(videos));
    loadVideo(first);
}

bool PlayerSession::appendDroppedVideos(const std::vector<std::filesystem::path>& urls) {
    const std::vector<std::filesystem::path> videos = playableVideos(urls);
    if (videos.empty()) {
        message.set(localize_("再生可能な動画が見つかりませんでした。"));
        return false;
    }
    appendToPlaylist(videos);
    return true;
}

void PlayerSession::appendToPlaylist(const std::vector<std::filesystem::path>& urls) {
    std::set<std::filesystem::path> queued;
    for (const std::filesystem::path& url : playlist()) queued.insert(standardizedVideoPath(url));
    std::vector<std::filesystem::path> list = playlist();
    const std::size_t before = list.size();
    // Checked against the playlist as it was: duplicates within `urls` are playableVideos' to drop.
    for (const std::filesystem::path& url : urls)
        if (!queued.contains(standardizedVideoPath(url))) list.push_back(url);
    if (list.size() == before) {
        message.set(localize_("選択した動画はすでにプレイリストに入っています。"));
        return;
    }
    playlist.set(std::move(list));
}

void PlayerSession::playPlaylistItem(const std::filesystem::path& url) {
    const auto& list = playlist();
    if (std::find(list.begin(), list.end(), url) == list.end() || currentVideoURL() == url) return;
    loadVideo(url);
}

void PlayerSession::removePlaylistItem(const std::filesystem::path& url) {
    std::vector<std::filesystem::path> list = playlist();
    if (std::erase(list, url) > 0) playlist.set(std::move(list));
}

bool PlayerSession::playNextPlaylistItem() {
    const auto current = currentVideoURL();
    if (!current) return false;
    const auto& list = playlist();
    const auto found = std::find(list.begin(), list.end(), *current);
    if (found == list.end() || std::next(found) == list.end()) return false;
    loadVideo(*std::next(found));
    return true;
}

// --- History.

void PlayerSession::playHistoryItem(const PlaybackHistoryEntry& entry) {
    std::error_code error;
    if (!std::filesystem::exists(entry.url, error)) {
        // The entry stays: the file may come back.
        message.set(localize_("ファイルが見つかりません。移動または削除された可能性があります。"));
        return;
    }
    loadVideo(entry.url, entry);
}

void PlayerSession::removeHistoryItem(const std::filesystem::path& url) {
    std::vector<PlaybackHistoryEntry> entries = history_;
    std::erase_if(entries, [&](const PlaybackHistoryEntry& entry) { return entry.url == url; });
    setHistory(std::move(entries));
    persistHistory();
}

void PlayerSession::clearHistory() {
    setHistory({});
    persistHistory();
}

void PlayerSession::setHistory(std::vector<PlaybackHistoryEntry> entries) {
    history_ = std::move(entries);
    // While playing, progress updates reach the views through the readout ticker.
    if (updatingHistoryProgress_ && playing()) return;
    historyReadout.update(history_);
}

void PlayerSession::updateHistoryProgress(bool force) {
    const auto url = currentVideoURL();
    if (!hasVideo() || !url || !std::isfinite(position_) || !std::isfinite(duration())) return;
    const auto found = std::find_if(history_.begin(), history_.end(),
                                    [&](const PlaybackHistoryEntry& entry) { return entry.url == *url; });
    if (found == history_.end()) return;
    PlaybackHistoryEntry updated = *found;
    updated.position = position_;
    updated.duration = duration();
    updated.audioTrackID = selectedAudioTrackID();
    updated.subtitleTrackID = selectedSubtitleTrackID();
    if (updated != *found) {
        std::vector<PlaybackHistoryEntry> entries = history_;
        entries[std::size_t(found - history_.begin())] = std::move(updated);
        updatingHistoryProgress_ = true;
        setHistory(std::move(entries));
        updatingHistoryProgress_ = false;
    }
    if (force || !lastHistoryWrite_ || hostClock_() - *lastHistoryWrite_ >= historyWriteInterval) persistHistory();
}

void PlayerSession::persistHistory() {
    lastHistoryWrite_ = hostClock_();
    try {
        nlohmann::json entries = nlohmann::json::array();
        for (const PlaybackHistoryEntry& entry : history_) entries.push_back(toJSON(entry));
        const std::string text = entries.dump();
        preferences_.set("player.history", DefaultsValue::Data(text.begin(), text.end()));
    } catch (const std::exception&) {
        // An entry that cannot be encoded leaves the stored history as it was.
    }
}

} // namespace lumavane
