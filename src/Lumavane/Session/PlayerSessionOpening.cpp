// Opening and closing videos on both back-ends, and the platform item's observers.
#include "Lumavane/Session/PlayerSession.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "Lumavane/Session/PlayableVideos.hpp"
#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Lumavane/Session/PlaybackTimingTrace.hpp"
#include "Platform/Image/DisplayRotation.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace lumavane {

namespace {

// Files of these kinds never try the platform back-end.
constexpr std::array<std::string_view, 13> directPlaybackExtensions = {
    "mkv", "webm", "avi", "wmv", "asf", "flv", "f4v", "ogv", "vob", "mxf", "divx", "rm", "rmvb"};

bool playsOnlyDirectly(const std::filesystem::path& url) {
    const std::string extension = lowerCaseExtension(url);
    return std::find(directPlaybackExtensions.begin(), directPlaybackExtensions.end(), extension) !=
           directPlaybackExtensions.end();
}

} // namespace

// The platform back-end's inspection of a file, started when the file is chosen; the opening
// task takes its result, at once or when it arrives. Main thread only.
struct PlayerSession::AssetLoad {
    std::optional<media::AssetResult> result;
    std::function<void(media::AssetResult)> consumer;

    void deliver(media::AssetResult arrived) {
        if (consumer) return std::exchange(consumer, nullptr)(std::move(arrived));
        result = std::move(arrived);
    }
    void take(std::function<void(media::AssetResult)> then) {
        if (!result) {
            consumer = std::move(then);
            return;
        }
        media::AssetResult arrived = std::move(*result);
        result.reset();
        then(std::move(arrived));
    }
};

// --- Opening.

void PlayerSession::loadVideo(const std::filesystem::path& requested, std::optional<PlaybackHistoryEntry> resume) {
    const std::filesystem::path url = standardizedVideoPath(requested);
    updateHistoryProgress(true);
    setHasVideo(false);
    scrubbing_ = false;
    scrubPosition.set(std::nullopt);
    resetSeekPreview();
    removeItemObservers();
    if (std::vector<std::filesystem::path> list = playlist();
        std::find(list.begin(), list.end(), url) == list.end()) {
        list.push_back(url);
        playlist.set(std::move(list));
    }
    currentVideoURL.set(url);
    if (const auto engine = std::exchange(directEngine_, nullptr)) engine->stop();
    platformPlayer_->pause();
    platformPlayer_->replaceCurrentItem(nullptr);
    sourceFPS.set(0);
    autoContext_.reset();
    resetAutomaticPolicy();
    latencyCompensator_.reset();
    const std::uint64_t token = ++videoGeneration_;
    invalidate();
    seeking_ = false;
    ++seekGeneration_;
    platformItem_.reset();
    clearPicture();
    pictureArrived_ = false;
    setHasVideo(false);
    setPlaying(false);
    setPaused(false);
    subtitleTracks.set({});
    selectedSubtitleTrackID.set(std::nullopt);
    audioTracks.set({});
    selectedAudioTrackID.set(std::nullopt);
    nativeAudioGroup_.reset();
    subtitleCues_.clear();
    subtitleText.set("");
    setPosition(0);
    setDuration(0);
    message.set(std::nullopt);
    filename.set(url.filename().string());
    resolution.set("読み込み中…");
    outputResolution.set("—");

    // The file's inspection is the slow part of opening it: it starts now, and the opening task
    // waits for it as it would for a load started there.
    std::shared_ptr<AssetLoad> asset;
    if (!playsOnlyDirectly(url)) {
        asset = std::make_shared<AssetLoad>();
        platformPlayer_->loadAsset(url, [asset](media::AssetResult result) { asset->deliver(std::move(result)); });
    }
    executor_.post([weak = std::weak_ptr(alive_), url, token, resume = std::move(resume), asset] {
        if (const auto alive = weak.lock()) (*alive)->runOpening(url, token, resume, asset);
    });
}

void PlayerSession::runOpening(const std::filesystem::path& url, std::uint64_t token,
                               const std::optional<PlaybackHistoryEntry>& resume,
                               const std::shared_ptr<AssetLoad>& asset) {
    if (!asset) {
        openDirectly(url, token, resume);
        return;
    }
    configurePlayback(url, token, asset, [weak = std::weak_ptr(alive_), url, token, resume](std::exception_ptr refusal) {
        const auto alive = weak.lock();
        if (!alive) return;
        PlayerSession& session = **alive;
        if (token != session.videoGeneration_) return;
        // A refusal of the platform back-end is never shown: the direct one gets the file.
        if (refusal) return session.openDirectly(url, token, resume);
        session.finishOpening(url, token, resume);
    });
}

void PlayerSession::openDirectly(const std::filesystem::path& url, std::uint64_t token,
                                 const std::optional<PlaybackHistoryEntry>& resume) {
    // Opening and probing a file blocks for as long as the file system likes (a pipe nobody
    // writes to, a hung network mount): it happens away from the main thread, and closing or
    // quitting never waits for it. Its result comes back with its token; a stale one is dropped.
    runFileWork_([open = openDirectPlayback_, back = fileWorkReturn_, weak = std::weak_ptr(alive_), url, token,
                  resume] {
        std::shared_ptr<DirectPlaybackBackend> engine;
        std::exception_ptr error;
        try {
            // Only a file plays: a pipe or a device would be read from, not opened, and may
            // never answer.
            std::error_code ignored;
            if (!std::filesystem::is_regular_file(url, ignored))
                throw std::runtime_error("not a regular file: " + url.string());
            engine = open(url);
        } catch (...) {
            error = std::current_exception();
        }
        back->post([weak, url, token, resume, engine = std::move(engine), error]() mutable {
            const auto alive = weak.lock();
            if (!alive) {
                if (engine) engine->stop();
                return;
            }
            (*alive)->directOpened(url, token, resume, std::move(engine), error);
        });
    });
}

void PlayerSession::directOpened(const std::filesystem::path& url, std::uint64_t token,
                                 const std::optional<PlaybackHistoryEntry>& resume,
                                 std::shared_ptr<DirectPlaybackBackend> engine, std::exception_ptr error) {
    if (error || !engine) {
        if (token == videoGeneration_) showCannotPlay(url);
        return;
    }
    configureDirectPlayback(token, std::move(engine));
    finishOpening(url, token, resume);
}

void PlayerSession::showCannotPlay(const std::filesystem::path& url) {
    resolution.set("—");
    outputResolution.set("—");
    // The decoder's own text ("open media: Invalid data found when processing input") means
    // nothing to a person: the player's own message and which file it was.
    message.set(localize_("動画を再生できません。") + "\n" + url.filename().string());
}

void PlayerSession::finishOpening(const std::filesystem::path& url, std::uint64_t token,
                                  const std::optional<PlaybackHistoryEntry>& resume) {
    if (token != videoGeneration_ || !hasVideo()) return;
    // Only the platform back-end shows the frame on screen at a time rather than the next one.
    configureThumbnailProvider(url, !directEngine_);
    if (resume) {
        if (resume->audioTrackID) {
            const auto& tracks = audioTracks();
            if (std::any_of(tracks.begin(), tracks.end(), [&](const auto& t) { return t.id == *resume->audioTrackID; }))
                selectAudioTrack(*resume->audioTrackID);
        }
        if (!resume->subtitleTrackID) {
            selectSubtitle(std::nullopt);
        } else {
            const auto& tracks = subtitleTracks();
            if (std::any_of(tracks.begin(), tracks.end(), [&](const auto& t) { return t.id == *resume->subtitleTrackID; }))
                selectSubtitle(*resume->subtitleTrackID);
        }
        if (resume->position > 0 && resume->position < duration() - 1.0) seek(resume->position);
    }
    std::vector<PlaybackHistoryEntry> entries = history_;
    std::erase_if(entries, [&](const PlaybackHistoryEntry& entry) { return entry.url == url; });
    entries.insert(entries.begin(), PlaybackHistoryEntry{url, position_, duration(), DefaultsDate::now(),
                                                         selectedAudioTrackID(), selectedSubtitleTrackID()});
    if (entries.size() > historyLimit) entries.resize(historyLimit);
    setHistory(std::move(entries));
    persistHistory();
}

bool PlayerSession::openDroppedVideo(const std::vector<std::filesystem::path>& urls) {
    std::vector<std::filesystem::path> videos = playableVideos(urls);
    if (videos.empty()) {
        message.set(localize_("再生可能な動画が見つかりませんでした。"));
        return false;
    }
    const std::filesystem::path first = videos.front();
    playlist.set(std::move(videos));
    loadVideo(first);
    return true;
}

// --- The platform back-end.

void PlayerSession::configurePlayback(const std::filesystem::path& url, std::uint64_t token,
                                      const std::shared_ptr<AssetLoad>& asset,
                                      std::function<void(std::exception_ptr)> done) {
    asset->take([weak = std::weak_ptr(alive_), url, token, done = std::move(done)](media::AssetResult result) {
        const auto alive = weak.lock();
        if (!alive) return;
        try {
            if (const auto* error = std::get_if<std::exception_ptr>(&result)) std::rethrow_exception(*error);
            (*alive)->installPlatformItem(url, token, std::get<media::AssetProperties>(result));
        } catch (...) {
            return done(std::current_exception());
        }
        done(nullptr);
    });
}

void PlayerSession::installPlatformItem(const std::filesystem::path& url, std::uint64_t token,
                                        const media::AssetProperties& asset) {
    if (!asset.isPlayable) throw EnhancementError::invalid("この形式はシステムのデコーダーでは再生できません。");
    if (asset.videoTrackCount == 0) throw EnhancementError::invalid("動画トラックがありません。");
    const std::optional<media::MediaSelectionGroup>& group = asset.audibleGroup;
    if (asset.audioTrackCount >= 2 && (!group || group->options.size() < asset.audioTrackCount))
        throw EnhancementError::invalid("複数の音声トラックを選択可能にするため直接デコードを使用します。");
    if (token != videoGeneration_) return;
    if (!std::isfinite(asset.durationSeconds) || asset.durationSeconds <= 0)
        throw EnhancementError::invalid("長さを取得できるローカル動画を選択してください。");

    setTrackTransform(asset.preferredTransform);
    const double rate = asset.nominalFrameRate;
    sourceFPS.set(std::isfinite(rate) && rate > 0 ? rate : 0);
    setDuration(asset.durationSeconds);

    std::shared_ptr<media::PlayerItem> item = platformPlayer_->makeItem(url);
    if (group) {
        nativeAudioGroup_ = group;
        std::vector<DirectAudioTrack> tracks;
        for (std::size_t i = 0; i < group->options.size(); ++i) {
            const media::MediaSelectionOption& option = group->options[i];
            tracks.push_back(DirectAudioTrack{int(i), option.displayName,
                                              option.extendedLanguageTag.value_or(option.localeIdentifier.value_or("und")),
                                              group->defaultOption == i});
        }
        audioTracks.set(std::move(tracks));
        const bool defaultListed = group->defaultOption && *group->defaultOption < group->options.size();
        selectedAudioTrackID.set(defaultListed ? std::optional<int>(int(*group->defaultOption))
                                 : group->options.empty() ? std::nullopt
                                                          : std::optional<int>(0));
        if (const auto selected = selectedAudioTrackID()) item->selectAudioOption(std::size_t(*selected));
    }
    platformItem_ = item;
    installItemObservers(item, token);
    platformPlayer_->replaceCurrentItem(item);
    platformPlayer_->setDefaultRate(playbackRate());
    setHasVideo(true);
    platformPlayer_->playImmediately(playbackRate());
    setPlaying(true);
    setPaused(false);
}

void PlayerSession::installItemObservers(const std::shared_ptr<media::PlayerItem>& item, std::uint64_t token) {
    std::weak_ptr<media::PlayerItem> weakItem = item;
    item->onStatusChange = [weak = std::weak_ptr(alive_), token, weakItem](media::ItemStatus) {
        const auto alive = weak.lock();
        const auto item = weakItem.lock();
        if (alive && item) (*alive)->itemStatusChanged(token, *item);
    };
    item->onPlayedToEnd = [weak = std::weak_ptr(alive_), token, weakItem] {
        const auto alive = weak.lock();
        const auto item = weakItem.lock();
        if (alive && item) (*alive)->itemPlayedToEnd(token, item);
    };
}

void PlayerSession::removeItemObservers() {
    if (!platformItem_) return;
    platformItem_->onStatusChange = nullptr;
    platformItem_->onPlayedToEnd = nullptr;
}

void PlayerSession::itemStatusChanged(std::uint64_t token, const media::PlayerItem& item) {
    if (token != videoGeneration_ || item.status() != media::ItemStatus::failed) return;
    message.set(item.errorDescription().value_or(localize_("動画を再生できません。")));
    // A dead item must not keep the display awake, the ticker running or the history writing.
    setPlaying(false);
    setPaused(false);
}

void PlayerSession::itemPlayedToEnd(std::uint64_t token, const std::shared_ptr<media::PlayerItem>& item) {
    if (token != videoGeneration_ || platformPlayer_->currentItem() != item) return;
    // A busy main thread may come to the end before any tick took a frame: what the output still
    // holds is taken first, so a clip played through unwatched is not taken for one without a picture.
    if (!pictureArrived_) pollPlatformOutput(hostClock_());
    if (endedWithoutPicture()) return;
    if (playNextPlaylistItem()) return;
    setPlaying(false);
    setPaused(false);
}

// --- The direct back-end.

void PlayerSession::configureDirectPlayback(std::uint64_t token, std::shared_ptr<DirectPlaybackBackend> engine) {
    if (token != videoGeneration_) {
        engine->stop();
        return;
    }
    std::weak_ptr<DirectPlaybackBackend> weakEngine = engine;
    const auto weak = std::weak_ptr(alive_);
    // Each callback acts only for the session's installed engine (and, where the token is kept,
    // only for the open that installed it).
    const auto current = [weak, weakEngine](std::optional<std::uint64_t> token) -> PlayerSession* {
        const auto alive = weak.lock();
        const auto engine = weakEngine.lock();
        if (!alive || !engine) return nullptr;
        PlayerSession& session = **alive;
        if (session.directEngine_ != engine || (token && *token != session.videoGeneration_)) return nullptr;
        return &session;
    };
    engine->onVideoFrame = [current, token](const PixelBuffer& frame, double pts) {
        PlayerSession* session = current(token);
        if (!session) return;
        session->pictureArrived_ = true;
        session->consumeDirectFrame(frame, pts);
    };
    engine->onEnded = [current] {
        if (PlayerSession* session = current(std::nullopt)) session->directPlaybackEnded();
    };
    engine->onError = [current](const std::string& text) {
        PlayerSession* session = current(std::nullopt);
        if (!session) return;
        session->seeking_ = false;
        session->message.set(text);
        session->setPlaying(false);
        session->setPaused(false);
    };
    engine->onSubtitleCue = [current, token](const DirectSubtitleCue& cue) {
        PlayerSession* session = current(token);
        if (!session) return;
        if (std::find(session->subtitleCues_.begin(), session->subtitleCues_.end(), cue) == session->subtitleCues_.end())
            session->subtitleCues_.push_back(cue);
        session->updateSubtitle(session->position_);
    };
    engine->onSubtitlesReset = [current, token] {
        PlayerSession* session = current(token);
        if (!session) return;
        session->subtitleCues_.clear();
        session->subtitleText.set("");
    };
    setDirectPlayback(engine);

    audioTracks.set(engine->audioTracks());
    selectedAudioTrackID.set(engine->initialAudioTrackID());
    const std::vector<DirectSubtitleTrack> subtitles = engine->subtitleTracks();
    std::optional<int> subtitle;
    if (!subtitles.empty()) {
        const auto preferred = std::find_if(subtitles.begin(), subtitles.end(), [](const auto& t) { return t.isDefault; });
        subtitle = preferred != subtitles.end() ? preferred->id : subtitles.front().id;
    }
    subtitleTracks.set(subtitles);
    selectedSubtitleTrackID.set(subtitle);
    engine->setVolume(isMuted() ? 0.0f : float(volume()));
    engine->setPlaybackRate(playbackRate());
    engine->setVideoPresentationLeadTime(activeEnhancementLeadTime());

    // A rotation the file states badly (not finite, not a quarter turn) must not skew the picture.
    const int degrees = image::quarterTurnDegrees(engine->rotationDegrees());
    setTrackTransform(image::uprightTransform(degrees, engine->width(), engine->height()));
    setDuration(engine->duration());
    const double frameRate = engine->frameRate();
    sourceFPS.set(std::isfinite(frameRate) && frameRate > 0 ? frameRate : 0);
    const bool quarterTurned = degrees == 90 || degrees == 270;
    const int displayWidth = quarterTurned ? engine->height() : engine->width();
    const int displayHeight = quarterTurned ? engine->width() : engine->height();
    resolution.set(std::to_string(displayWidth) + " × " + std::to_string(displayHeight));
    setVideoAspectRatio(displayHeight < 1 ? 16.0 / 9.0 : double(displayWidth) / displayHeight);

    setHasVideo(true);
    setPlaying(true);
    setPaused(false);
    status.set("直接デコード準備完了");
    engine->play();
}

void PlayerSession::directPlaybackEnded() {
    if (seeking_) {
        seeking_ = false;
        // A preview asked for during the seek was refused; the pointer may still rest on the bar.
        if (!seekPreviewThumbnail() && seekPreviewPosition()) scheduleSeekPreview(*seekPreviewPosition());
    }
    if (endedWithoutPicture()) return;
    if (playNextPlaylistItem()) return;
    setPlaying(false);
    setPaused(false);
    setPosition(duration());
}

// A file that opened but ended without a single picture (its data cut off, frames no decoder
// could make) is not a video that was watched to its end: it says so, and the playlist waits
// so that the message stays.
bool PlayerSession::endedWithoutPicture() {
    if (pictureArrived_) return false;
    setPlaying(false);
    setPaused(false);
    if (const auto url = currentVideoURL()) showCannotPlay(*url);
    return true;
}

// The surface shows no picture and the newest frame is forgotten.
void PlayerSession::clearPicture() {
    latest_.reset();
    latestBuffer_.reset();
    latestPTS_.reset();
    if (display) display(std::nullopt, std::nullopt);
}

void PlayerSession::resetAutomaticPolicy() { autoPolicy_ = AutoProcessingPolicy(); }

// --- The platform back-end's frames and transport.

void PlayerSession::pollPlatformOutput(double hostTime) {
    if (seeking_ || !platformItem_) return;
    // Fetched ahead by the time the enhancer needs, and by the tolerance with which the refresh
    // takes a frame before its time.
    const double itemTime =
        platformPlayer_->itemTime(hostTime + activeEnhancementLeadTime()) + presentationTolerance();
    if (const double time = platformPlayer_->currentTime();
        std::isfinite(time) && hostTime - lastPositionUpdate_ >= publicationInterval()) {
        setPosition(time);
        lastPositionUpdate_ = hostTime;
    }
    // Every frame due by then is taken in turn: when the lead grows, several come due at once and
    // each must still reach the presentation queue.
    bool took = false;
    while (platformItem_->hasNewPixelBuffer(itemTime)) {
        const double started = hostClock_();
        std::optional<media::VideoFrame> frame = platformItem_->copyNextPixelBuffer(itemTime);
        if (!frame) break;
        timingTrace_.record("input", frame->itemTime, (hostClock_() - started) * 1000);
        if (!takeSourceFrame(frame->buffer, std::isfinite(frame->itemTime) ? frame->itemTime : itemTime)) continue;
        took = true;
        pictureArrived_ = true;
    }
    if (took) {
        // Published for the newest frame only: a tick may take several.
        const image::Rect extent = latest_->extent();
        if (extent.height > 0 && extent.width / extent.height != videoAspectRatio())
            setVideoAspectRatio(extent.width / extent.height);
        std::string text = std::to_string(long(extent.width)) + " × " + std::to_string(long(extent.height));
        if (resolution() != text) resolution.set(std::move(text));
        submitLatest();
    }
    // A paused picture still gets enhanced once.
    if (!playing() && !enhanced_) submitLatest();
    refreshDisplay();
}

void PlayerSession::togglePlatformPlayback() {
    // A failed item plays no more; the transport must not say it does.
    if (!platformItem_ || platformItem_->status() == media::ItemStatus::failed) return;
    if (playing()) {
        platformPlayer_->pause();
        setPlaying(false);
        setPaused(true);
        holdFrameDueNow();
        return;
    }
    if (position_ >= duration() - 0.05) seek(0); // play again from the start
    platformPlayer_->playImmediately(playbackRate());
    setPlaying(true);
    setPaused(false);
}

// --- Closing.

void PlayerSession::stopPlayback() {
    // Also while opening or after a failed open: the opening must not start playing after a stop.
    if (!hasVideo() && !currentVideoURL()) return;
    updateHistoryProgress(true);
    scrubbing_ = false;
    scrubPosition.set(std::nullopt);
    resetSeekPreview();
    ++videoGeneration_;
    ++seekGeneration_;
    seeking_ = false;
    if (optimalResizeTask_) executor_.cancel(*std::exchange(optimalResizeTask_, std::nullopt));
    removeItemObservers();
    if (const auto engine = std::exchange(directEngine_, nullptr)) engine->stop();
    platformPlayer_->pause();
    platformPlayer_->replaceCurrentItem(nullptr);
    setPlaying(false);
    setPaused(false);
    setHasVideo(false);
    currentVideoURL.set(std::nullopt);
    platformItem_.reset();
    clearPicture();
    invalidate();
    subtitleTracks.set({});
    selectedSubtitleTrackID.set(std::nullopt);
    subtitleCues_.clear();
    subtitleText.set("");
    audioTracks.set({});
    selectedAudioTrackID.set(std::nullopt);
    nativeAudioGroup_.reset();
    setPosition(0);
    setDuration(0);
    sourceFPS.set(0);
    frameAgeMS_ = 0;
    displayGPUms_ = 0;
    tiles_ = 0;
    publishPlaybackReadouts();
    filename.set(localize_("動画を開いて始める"));
    resolution.set("—");
    outputResolution.set("—");
    message.set(std::nullopt);
    // Quitting a trace early must not lose its rows.
    timingTrace_.finish();
}

} // namespace lumavane
