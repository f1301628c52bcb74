#include "Lumavane/Session/PlayableVideos.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace lumavane::test {
namespace {

using Log = std::vector<std::string>;

class FakeItem final : public media::PlayerItem {
public:
    explicit FakeItem(std::filesystem::path path) : path_(std::move(path)) {}
    const std::filesystem::path& path() const override { return path_; }
    media::ItemStatus status() const override { return status_; }
    std::optional<std::string> errorDescription() const override { return error_; }
    void selectAudioOption(std::size_t index) override { selected_ = index; }
    std::optional<std::size_t> selectedAudioOption() const override { return selected_; }
    bool hasNewPixelBuffer(double time) const override { return !frames.empty() && frames.front().itemTime <= time; }
    std::optional<media::VideoFrame> copyPixelBuffer(double time) override {
        if (!hasNewPixelBuffer(time)) return std::nullopt;
        media::VideoFrame frame = frames.front();
        frames.erase(frames.begin());
        return frame;
    }
    std::vector<media::VideoFrame> frames;
    void fail(std::optional<std::string> reason) {
        status_ = media::ItemStatus::failed;
        error_ = std::move(reason);
        if (onStatusChange) onStatusChange(status_);
    }
    void end() { if (onPlayedToEnd) onPlayedToEnd(); }

private:
    std::filesystem::path path_;
    media::ItemStatus status_ = media::ItemStatus::unknown;
    std::optional<std::string> error_;
    std::optional<std::size_t> selected_;
};

// Asset loads wait until the test answers them, as a slow disk would.
class FakePlayer final : public media::Player {
public:
    explicit FakePlayer(Log& log) : log_(log) {}
    std::vector<std::pair<std::filesystem::path, std::function<void(media::AssetResult)>>> loads;
    std::vector<std::shared_ptr<FakeItem>> items;
    std::vector<double> seeks;

    void loadAsset(const std::filesystem::path& path, std::function<void(media::AssetResult)> done) override {
        loads.emplace_back(path, std::move(done));
    }
    std::shared_ptr<media::PlayerItem> makeItem(const std::filesystem::path& path) override {
        return items.emplace_back(std::make_shared<FakeItem>(path));
    }
    void replaceCurrentItem(std::shared_ptr<media::PlayerItem> item) override {
        log_.push_back(item ? "player.replace" : "player.replace(none)");
        current_ = std::move(item);
    }
    std::shared_ptr<media::PlayerItem> currentItem() const override { return current_; }
    void setDefaultRate(double) override {}
    double defaultRate() const override { return 1; }
    void playImmediately(double) override { log_.push_back("player.play"); }
    void pause() override { log_.push_back("player.pause"); }
    double rate() const override { return 0; }
    void setRate(double) override {}
    void setVolume(float) override {}
    double currentTime() const override { return 0; }
    void seek(double seconds, std::function<void(bool)> done) override {
        seeks.push_back(seconds);
        done(true);
    }

private:
    Log& log_;
    std::shared_ptr<media::PlayerItem> current_;
};

class FakeEngine final : public DirectPlaybackBackend {
public:
    explicit FakeEngine(Log& log) : log_(log) {}
    double rotation = 0;
    std::vector<double> seeks;
    std::function<void()> onStop; // sees the session as the engine stops

    double currentTime() const override { return 0; }
    void play() override {}
    void pause() override {}
    void seek(double seconds, bool) override { seeks.push_back(seconds); }
    void setVideoPresentationLeadTime(double) override {}
    double duration() const override { return 100; }
    double frameRate() const override { return 25; }
    int width() const override { return 1920; }
    int height() const override { return 1080; }
    double rotationDegrees() const override { return rotation; }
    std::vector<DirectAudioTrack> audioTracks() const override { return {{0, "Main", "eng", true}, {1, "Second", "jpn", false}}; }
    std::optional<int> initialAudioTrackID() const override { return 0; }
    std::vector<DirectSubtitleTrack> subtitleTracks() const override {
        return {{0, "English", "eng", false}, {1, "日本語", "jpn", true}};
    }
    void stop() override {
        log_.push_back("engine.stop");
        if (onStop) onStop();
    }
    void setVolume(float) override {}
    void setPlaybackRate(double) override {}
    void selectAudioTrack(int) override {}

private:
    Log& log_;
};

media::AssetProperties playableAsset(double duration = 100) {
    media::AssetProperties asset;
    asset.isPlayable = true;
    asset.videoTrackCount = 1;
    asset.nominalFrameRate = 24;
    asset.durationSeconds = duration;
    asset.audioTrackCount = 1;
    return asset;
}

class SessionOpeningTests : public ::testing::Test {
protected:
    SessionHarness harness;
    Log log;
    std::shared_ptr<FakePlayer> player = std::make_shared<FakePlayer>(log);
    // The engine each path opens with; a path without one fails to open.
    std::map<std::string, std::shared_ptr<FakeEngine>> engines;
    std::vector<std::string> directOpens;
    std::unique_ptr<PlayerSession> session = [this] {
        PlayerSession::Options options = harness.options();
        options.platformPlayer = player;
        options.runFileWork = [](std::function<void()> work) { work(); }; // the fakes answer at once
        options.openDirectPlayback = [this](const std::filesystem::path& path) -> std::shared_ptr<DirectPlaybackBackend> {
            directOpens.push_back(path.filename().string());
            const auto found = engines.find(path.filename().string());
            if (found == engines.end()) throw PlatformError("Lumavane.DirectPlayback", 1, "decoder refused " + path.filename().string());
            return found->second;
        };
        return std::make_unique<PlayerSession>(std::move(options));
    }();

    std::filesystem::path file(const std::string& name) {
        const auto path = harness.directory.path() / name;
        std::ofstream(path) << "x";
        return standardizedVideoPath(path);
    }
    std::shared_ptr<FakeEngine> engineFor(const std::string& name) {
        return engines[name] = std::make_shared<FakeEngine>(log);
    }
    void answerLoad(std::size_t index, media::AssetResult result) {
        player->loads.at(index).second(std::move(result));
        harness.loop.runUntilIdle();
    }
};

TEST_F(SessionOpeningTests, EachFileFindsItsBackEndAndOnlyTheDirectErrorIsShown) {
    const auto refused = [](const char* text) { return media::AssetResult(std::make_exception_ptr(std::runtime_error(text))); };
    media::AssetProperties notPlayable;
    media::AssetProperties twoAudioNoGroup = playableAsset();
    twoAudioNoGroup.audioTrackCount = 2;
    media::AssetProperties noVideo = playableAsset();
    noVideo.videoTrackCount = 0;
    const struct Case {
        const char* name;
        std::optional<media::AssetResult> asset; // none: the platform is never asked
        bool directOpens;
        bool platformPlays;
    } cases[] = {
        {"tracks.MKV", std::nullopt, true, false},
        {"a.webm", std::nullopt, true, false},
        {"a.mp4", playableAsset(), false, true},
        {"b.mp4", media::AssetResult(notPlayable), true, false},
        {"c.mp4", media::AssetResult(twoAudioNoGroup), true, false},
        {"d.mp4", media::AssetResult(noVideo), true, false},
        {"e.mp4", media::AssetResult(playableAsset(0)), true, false},
        {"f.mp4", media::AssetResult(playableAsset(NAN)), true, false},
        {"g.mov", refused("load failed"), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engineFor(c.name);
        directOpens.clear();
        player->loads.clear();
        session->loadVideo(file(c.name));
        harness.loop.runUntilIdle();
        ASSERT_EQ(player->loads.size(), c.asset ? 1u : 0u);
        if (c.asset) answerLoad(0, *c.asset);
        EXPECT_EQ(directOpens.size(), c.directOpens ? 1u : 0u);
        EXPECT_TRUE(session->hasVideo());
        EXPECT_TRUE(session->playing());
        EXPECT_EQ(session->platformItem() != nullptr, c.platformPlays);
        EXPECT_EQ(session->message(), std::nullopt);
    }

    // Both back-ends refuse: the player's message with the file's name (not the decoder's own
    // text), the file kept as current and listed.
    session->loadVideo(file("broken.mp4"));
    harness.loop.runUntilIdle();
    answerLoad(player->loads.size() - 1, media::AssetResult(notPlayable));
    EXPECT_EQ(session->message(), "<動画を再生できません。>\nbroken.mp4");
    EXPECT_FALSE(session->hasVideo());
    EXPECT_EQ(session->resolution(), "—");
    EXPECT_EQ(session->currentVideoURL(), file("broken.mp4"));
    EXPECT_EQ(session->playlist().back(), file("broken.mp4"));
}

TEST_F(SessionOpeningTests, AnOpenOvertakenWhileLoadingPublishesNothing) {
    session->loadVideo(file("a.mp4"));
    harness.loop.runUntilIdle();
    session->loadVideo(file("b.mp4"));
    harness.loop.runUntilIdle();
    ASSERT_EQ(player->loads.size(), 2u);
    answerLoad(0, playableAsset(50));
    // A's refusal is dropped too, not handed to the direct back-end.
    EXPECT_TRUE(player->items.empty());
    EXPECT_FALSE(session->hasVideo());
    EXPECT_TRUE(directOpens.empty());
    answerLoad(1, playableAsset(70));
    ASSERT_EQ(player->items.size(), 1u);
    EXPECT_EQ(player->items[0]->path(), file("b.mp4"));
    EXPECT_EQ(session->duration(), 70);
    EXPECT_EQ(session->currentVideoURL(), file("b.mp4"));
    ASSERT_EQ(session->history().size(), 1u);
    EXPECT_EQ(session->history()[0].url, file("b.mp4"));
}

TEST_F(SessionOpeningTests, AResumeSeeksAndRestoresTracksBeforeTheHistoryIsWritten) {
    media::AssetProperties asset = playableAsset(100);
    asset.audioTrackCount = 2;
    asset.audibleGroup = media::MediaSelectionGroup{{{"English", "en", "eng"}, {"日本語", std::nullopt, std::nullopt}}, 0};
    const auto path = file("a.mp4");
    session->loadVideo(path, PlaybackHistoryEntry{path, 42, 100, {}, 1, std::nullopt});
    harness.loop.runUntilIdle();
    answerLoad(0, asset);

    EXPECT_EQ(player->seeks, std::vector<double>{42});
    EXPECT_EQ(session->audioTracks(), (std::vector<DirectAudioTrack>{{0, "English", "en", true}, {1, "日本語", "und", false}}));
    EXPECT_EQ(session->selectedAudioTrackID(), 1);
    EXPECT_EQ(player->items[0]->selectedAudioOption(), 1u);
    ASSERT_EQ(session->history().size(), 1u);
    EXPECT_EQ(session->history()[0].position, 42);
    EXPECT_EQ(session->history()[0].audioTrackID, 1);
    const auto stored = harness.store.data("player.history");
    ASSERT_TRUE(stored.has_value());
    const auto json = nlohmann::json::parse(stored->begin(), stored->end());
    EXPECT_EQ(playbackHistoryEntryFromJSON(json.at(0)).position, 42);

    // Direct back-end: no subtitle track in the entry turns the file's default one off; a
    // position within the last second starts from the beginning.
    const auto engine = engineFor("b.mkv");
    session->loadVideo(file("b.mkv"), PlaybackHistoryEntry{file("b.mkv"), 99.5, 100, {}, std::nullopt, std::nullopt});
    harness.loop.runUntilIdle();
    EXPECT_EQ(session->selectedSubtitleTrackID(), std::nullopt);
    EXPECT_TRUE(engine->seeks.empty());
    EXPECT_EQ(session->history().size(), 2u);
    EXPECT_EQ(session->history()[0].position, 0);
}

TEST_F(SessionOpeningTests, StopPlaybackClosesInItsOrder) {
    const auto engine = engineFor("a.mkv");
    session->loadVideo(file("a.mkv"));
    harness.loop.runUntilIdle();
    ASSERT_TRUE(session->hasVideo());
    const std::uint64_t generation = session->videoGeneration();
    auto hasVideo = session->hasVideo.observe([&](bool value) { log.push_back(value ? "hasVideo" : "!hasVideo"); });
    auto url = session->currentVideoURL.observe([&](const auto& value) { log.push_back(value ? "url" : "!url"); });
    auto name = session->filename.observe([&](const std::string& value) { log.push_back(value); });
    engine->onStop = [&] {
        log.push_back(session->videoGeneration() == generation + 1 && !session->directEngine() ? "generation+1"
                                                                                              : "generation unchanged");
    };
    log.clear();
    harness.sleep->calls.clear();
    session->stopPlayback();
    EXPECT_EQ(log, (Log{"engine.stop", "generation+1", "player.pause", "player.replace(none)", "!hasVideo", "!url",
                        "<動画を開いて始める>"}));
    EXPECT_EQ(harness.sleep->calls, std::vector<bool>{false});
    EXPECT_EQ(session->resolution(), "—");
    EXPECT_EQ(session->audioTracks().size(), 0u);
    EXPECT_EQ(session->duration(), 0);

    // Nothing open: nothing happens.
    log.clear();
    session->stopPlayback();
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(session->videoGeneration(), generation + 1);
}

TEST_F(SessionOpeningTests, StopPlaybackAlsoEndsAnOpeningOrAFailedOpen) {
    session->loadVideo(file("a.mp4"));
    harness.loop.runUntilIdle();
    session->stopPlayback();
    EXPECT_EQ(session->currentVideoURL(), std::nullopt);
    answerLoad(0, playableAsset());
    EXPECT_TRUE(player->items.empty());
    EXPECT_FALSE(session->playing());

    session->loadVideo(file("broken.mkv"));
    harness.loop.runUntilIdle();
    ASSERT_TRUE(session->message().has_value());
    session->stopPlayback();
    EXPECT_EQ(session->message(), std::nullopt);
    EXPECT_EQ(session->filename(), "<動画を開いて始める>");
}

TEST_F(SessionOpeningTests, OneFileIsOnePlaylistEntryHoweverItIsNamed) {
    const auto real = file("a.mkv");
    engineFor("a.mkv");
    std::filesystem::create_directory(harness.directory.path() / "sub");
    std::filesystem::create_symlink(real, harness.directory.path() / "link.mkv");
    engineFor("link.mkv");
    ASSERT_TRUE(session->openDroppedVideo({harness.directory.path() / "link.mkv", real}));
    session->loadVideo(harness.directory.path() / "sub" / ".." / "a.mkv");
    session->loadVideo(real);
    harness.loop.runUntilIdle();
    EXPECT_EQ(session->playlist(), std::vector<std::filesystem::path>{real});

    EXPECT_FALSE(session->openDroppedVideo({harness.directory.path() / "notes.txt"}));
    EXPECT_EQ(session->message(), "<再生可能な動画が見つかりませんでした。>");
    EXPECT_EQ(session->playlist(), std::vector<std::filesystem::path>{real});
}

TEST_F(SessionOpeningTests, TheItemObserversActOnlyForTheirOwnOpen) {
    ASSERT_TRUE(session->openDroppedVideo({file("a.mp4"), file("b.mp4")}));
    harness.loop.runUntilIdle();
    answerLoad(0, playableAsset());
    const auto first = player->items.at(0);
    const auto showPicture = [&](FakeItem& item) {
        item.frames.push_back({PixelBuffer::create(4, 2, LV_PIXEL_FORMAT_32BGRA), 0.0});
        session->tick(1.0);
    };
    showPicture(*first);

    // The end of an earlier entry opens the next one; the old item then reports nothing more.
    first->end();
    EXPECT_EQ(session->currentVideoURL(), file("b.mp4"));
    first->fail("late");
    EXPECT_EQ(session->message(), std::nullopt);
    harness.loop.runUntilIdle();
    answerLoad(1, playableAsset());
    const auto second = player->items.at(1);
    showPicture(*second);

    // A failed item stops playing, with its own reason or the generic text.
    second->fail(std::nullopt);
    EXPECT_EQ(session->message(), "<動画を再生できません。>");
    EXPECT_FALSE(session->playing());
    EXPECT_FALSE(session->isPaused());
    EXPECT_TRUE(session->hasVideo());
    log.clear();
    session->togglePlayback(); // nothing to play: the transport stays as it is
    EXPECT_FALSE(session->playing());
    EXPECT_EQ(log, Log{});

    // The end of the last entry leaves it open, not playing.
    session->setPlaying(true);
    second->end();
    EXPECT_FALSE(session->playing());
    EXPECT_EQ(session->currentVideoURL(), file("b.mp4"));
}

TEST_F(SessionOpeningTests, PlatformFramesArriveByTickTurnedUprightAndTheTransportToggles) {
    session->loadVideo(file("a.mp4"));
    harness.loop.runUntilIdle();
    media::AssetProperties asset = playableAsset();
    asset.preferredTransform = media::transformForRotation(90, 4, 2);
    answerLoad(0, asset);
    player->items.at(0)->frames.push_back({PixelBuffer::create(4, 2, LV_PIXEL_FORMAT_32BGRA), 0.0});
    session->tick(1.0);
    EXPECT_EQ(session->latestSourceSize(), (image::Size{2, 4}));
    EXPECT_EQ(session->resolution(), "2 × 4");
    EXPECT_DOUBLE_EQ(session->videoAspectRatio(), 0.5);

    log.clear();
    session->togglePlayback();
    EXPECT_FALSE(session->playing());
    EXPECT_TRUE(session->isPaused());
    session->togglePlayback();
    EXPECT_TRUE(session->playing());
    EXPECT_EQ(log, (Log{"player.pause", "player.play"}));
}

TEST_F(SessionOpeningTests, TheDirectEngineReportsItsStreamAndOnlyItsOwnCallbacksCount) {
    const PixelBuffer frame = PixelBuffer::create(4, 2, LV_PIXEL_FORMAT_32BGRA);
    const struct {
        double rotation;
        const char* resolution;
        double aspect;
        image::Size picture; // the 4 x 2 frame as shown
    } cases[] = {{0, "1920 × 1080", 16.0 / 9, {4, 2}},   {90, "1080 × 1920", 0.5625, {2, 4}},
                 {-90, "1080 × 1920", 0.5625, {2, 4}},  {180, "1920 × 1080", 16.0 / 9, {4, 2}},
                 {450, "1080 × 1920", 0.5625, {2, 4}},  {NAN, "1920 × 1080", 16.0 / 9, {4, 2}},
                 {INFINITY, "1920 × 1080", 16.0 / 9, {4, 2}}, {44, "1920 × 1080", 16.0 / 9, {4, 2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rotation);
        engineFor("a.mkv")->rotation = c.rotation;
        session->loadVideo(file("a.mkv"));
        harness.loop.runUntilIdle();
        EXPECT_EQ(session->resolution(), c.resolution);
        EXPECT_DOUBLE_EQ(session->videoAspectRatio(), c.aspect);
        EXPECT_EQ(session->status(), "直接デコード準備完了");
        engines["a.mkv"]->onVideoFrame(frame, 1.0);
        EXPECT_EQ(session->latestSourceSize(), c.picture);
    }
    EXPECT_EQ(session->selectedSubtitleTrackID(), 1); // the default one

    const auto old = engines["a.mkv"];
    old->onSubtitleCue(DirectSubtitleCue{1, "こんにちは", 0, 5});
    old->onSubtitleCue(DirectSubtitleCue{1, "こんにちは", 0, 5});
    EXPECT_EQ(session->subtitleText(), "こんにちは");

    // Once replaced, the old engine's frames, errors and end change nothing.
    engineFor("b.mkv");
    session->loadVideo(file("b.mkv"));
    harness.loop.runUntilIdle();
    old->onVideoFrame(frame, 2.0);
    old->onError("stale");
    old->onEnded();
    EXPECT_FALSE(session->latest().has_value());
    EXPECT_EQ(session->message(), std::nullopt);
    EXPECT_TRUE(session->playing());

    engines["b.mkv"]->onError("読み込みエラー");
    EXPECT_EQ(session->message(), "読み込みエラー");
    EXPECT_FALSE(session->playing());
    EXPECT_TRUE(session->hasVideo());

    // After a stop even the last engine's frames are dropped.
    const auto last = engines["b.mkv"];
    session->stopPlayback();
    last->onVideoFrame(frame, 3.0);
    EXPECT_FALSE(session->latest().has_value());
}

// A file that opens but ends without giving a single picture says it cannot be played, on either
// back-end, and the playlist stays on it so that the message can be read.
TEST_F(SessionOpeningTests, AnEndWithoutAnyPictureIsReportedAndDoesNotMoveOn) {
    engineFor("cut.mkv");
    engineFor("next.mkv");
    ASSERT_TRUE(session->openDroppedVideo({file("cut.mkv"), file("next.mkv")}));
    harness.loop.runUntilIdle();
    ASSERT_TRUE(session->hasVideo());
    engines["cut.mkv"]->onEnded();
    EXPECT_EQ(session->message(), "<動画を再生できません。>\ncut.mkv");
    EXPECT_EQ(session->resolution(), "—");
    EXPECT_FALSE(session->playing());
    EXPECT_EQ(session->currentVideoURL(), file("cut.mkv"));
    EXPECT_TRUE(directOpens == std::vector<std::string>{"cut.mkv"});

    // The same file with a picture ends as a video does: the next entry opens.
    session->loadVideo(file("cut.mkv"));
    harness.loop.runUntilIdle();
    engines["cut.mkv"]->onVideoFrame(PixelBuffer::create(4, 2, LV_PIXEL_FORMAT_32BGRA), 0);
    engines["cut.mkv"]->onEnded();
    EXPECT_EQ(session->message(), std::nullopt);
    EXPECT_EQ(session->currentVideoURL(), file("next.mkv"));

    session->loadVideo(file("cut.mp4"));
    harness.loop.runUntilIdle();
    answerLoad(player->loads.size() - 1, playableAsset());
    player->items.back()->end();
    EXPECT_EQ(session->message(), "<動画を再生できません。>\ncut.mp4");
    EXPECT_FALSE(session->playing());

    // A platform item whose frames no tick took before its end (a busy main thread) had pictures:
    // they are shown, and the clip ends as a video does.
    session->loadVideo(file("late.mp4"));
    harness.loop.runUntilIdle();
    answerLoad(player->loads.size() - 1, playableAsset());
    player->items.back()->frames.push_back({PixelBuffer::create(4, 2, LV_PIXEL_FORMAT_32BGRA), 0.0});
    player->items.back()->frames.push_back({PixelBuffer::create(4, 2, LV_PIXEL_FORMAT_32BGRA), 0.5});
    player->items.back()->end();
    EXPECT_EQ(session->message(), std::nullopt);
    EXPECT_TRUE(session->latest().has_value());
}

// An opener that answers only when the test lets it, on whichever thread calls it: a file on a
// hung mount. It never waits longer than the test would.
struct StalledOpener {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::vector<std::string> opened;
    std::optional<std::thread::id> thread;
    std::shared_ptr<DirectPlaybackBackend> engine;

    std::shared_ptr<DirectPlaybackBackend> open(const std::filesystem::path& path) {
        std::unique_lock lock(mutex);
        opened.push_back(path.filename().string());
        thread = std::this_thread::get_id();
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
        return engine;
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitForOpen() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return !opened.empty(); });
    }
};

// Opening on the direct back-end blocks nobody: the session answers while the open hangs, a close
// drops its late result, quitting does not wait for it, and what is not a file is refused before
// anything opens it.
TEST_F(SessionOpeningTests, AHangingOpenBlocksNeitherTheMainThreadNorClosing) {
    const auto stalled = std::make_shared<StalledOpener>();
    Log engineLog;
    stalled->engine = std::make_shared<FakeEngine>(engineLog);
    PlayerSession::Options options = harness.options();
    options.platformPlayer = player;
    options.openDirectPlayback = [stalled](const std::filesystem::path& path) { return stalled->open(path); };
    auto hung = std::make_unique<PlayerSession>(std::move(options));

    hung->loadVideo(file("slow.mkv"));
    harness.loop.runUntilIdle(); // the opening task: it must not wait for the open
    ASSERT_TRUE(stalled->waitForOpen());
    EXPECT_NE(stalled->thread, std::this_thread::get_id());
    EXPECT_EQ(hung->resolution(), "読み込み中…");
    hung->stopPlayback();
    EXPECT_EQ(hung->filename(), "<動画を開いて始める>");
    // Answered after the close: the engine is stopped and nothing about it is shown.
    stalled->release();
    EXPECT_TRUE(harness.loop.runUntil([&] { return !engineLog.empty(); }, 10));
    EXPECT_EQ(engineLog, Log{"engine.stop"});
    EXPECT_FALSE(hung->hasVideo());
    EXPECT_FALSE(hung->directEngine());
    EXPECT_EQ(hung->message(), std::nullopt);
    EXPECT_EQ(hung->resolution(), "—");

    // Pipes are refused with the player's message, on both roads, and never opened: a pipe
    // nobody writes to would block whoever opens it.
    for (const char* name : {"pipe.mkv", "pipe.mp4"}) {
        SCOPED_TRACE(name);
        const auto path = harness.directory.path() / name;
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        hung->loadVideo(path);
        if (!player->loads.empty()) {
            ASSERT_EQ(player->loads.back().first.filename(), name);
            player->loads.back().second(std::make_exception_ptr(std::runtime_error("not a file")));
        }
        EXPECT_TRUE(harness.loop.runUntil([&] { return hung->message().has_value(); }, 10));
        EXPECT_EQ(hung->message(), "<動画を再生できません。>\n" + std::string(name));
        EXPECT_EQ(hung->resolution(), "—");
    }
    EXPECT_EQ(stalled->opened, std::vector<std::string>{"slow.mkv"});

    // A session destroyed while its open hangs goes at once; the late answer finds nobody.
    const auto second = std::make_shared<StalledOpener>();
    second->engine = std::make_shared<FakeEngine>(engineLog);
    PlayerSession::Options more = harness.options();
    more.platformPlayer = player;
    more.openDirectPlayback = [second](const std::filesystem::path& path) { return second->open(path); };
    hung = std::make_unique<PlayerSession>(std::move(more));
    hung->loadVideo(file("slower.mkv"));
    harness.loop.runUntilIdle();
    ASSERT_TRUE(second->waitForOpen());
    hung.reset();
    second->release();
    harness.loop.runUntilIdle();
}

TEST(PlayableVideosTests, FoldersAreWalkedSafelyAndSortedLikeAFileBrowser) {
    TemporaryDirectory directory;
    const auto root = directory.path();
    const auto touch = [&](const std::filesystem::path& relative) {
        std::filesystem::create_directories((root / relative).parent_path());
        std::ofstream(root / relative) << "x";
    };
    for (const char* name : {"drop/b.mkv", "drop/a10.mp4", "drop/A2.mp4", "drop/.c.mp4", "drop/notes.txt",
                             "drop/clip.MKV", "drop/.hidden/x.mp4", "drop/Movie.app/inside.mp4", "drop/sub/d.mp4",
                             "drop/trailer.qt", "drop/song.mp3",
                             "z.mp4", "a.mp4", "other/e.mp4"})
        touch(name);
    // A link back up (a cycle) and a link to another folder: neither is followed.
    std::filesystem::create_directory_symlink(root / "drop", root / "drop/sub/loop");
    std::filesystem::create_directory_symlink(root / "other", root / "drop/other-link");
    std::filesystem::path deep = root / "drop";
    for (int level = 0; level < 20; ++level) deep /= "n";
    touch(std::filesystem::relative(deep / "deep.mp4", root));

    const auto found = playableVideos({root / "z.mp4", root / "drop", root / "a.mp4", root / "drop/b.mkv",
                                       root / "nothing-here.mp4"});
    std::vector<std::string> names;
    for (const auto& path : found) names.push_back(std::filesystem::relative(path, root).string());
    EXPECT_EQ(names, (std::vector<std::string>{"z.mp4", "drop/A2.mp4", "drop/a10.mp4", "drop/b.mkv", "drop/clip.MKV",
                                               "drop/sub/d.mp4", "drop/trailer.qt", "a.mp4"}));
    EXPECT_TRUE(playableVideos({}).empty());
}

} // namespace
} // namespace lumavane::test
