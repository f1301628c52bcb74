// Seeking, the seek preview, tracks, rate and volume, playlist and history on fakes of both
// back-ends and of the thumbnail decoder.
#include "Lumavane/Session/PlayableVideos.hpp"
#include "SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <thread>

namespace lumavane::test {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

class FakeItem final : public media::PlayerItem {
public:
    explicit FakeItem(std::filesystem::path path) : path_(std::move(path)) {}
    const std::filesystem::path& path() const override { return path_; }
    media::ItemStatus status() const override { return media::ItemStatus::readyToPlay; }
    std::optional<std::string> errorDescription() const override { return std::nullopt; }
    void selectAudioOption(std::size_t index) override { selected = index; }
    std::optional<std::size_t> selectedAudioOption() const override { return selected; }
    bool hasNewPixelBuffer(double) const override { return false; }
    std::optional<media::VideoFrame> copyPixelBuffer(double) override { return std::nullopt; }
    std::optional<std::size_t> selected;

private:
    std::filesystem::path path_;
};

// Seeks complete only when the test says so.
class FakePlayer final : public media::Player {
public:
    std::vector<std::function<void(media::AssetResult)>> loads;
    std::vector<double> seeks;
    std::vector<std::function<void(bool)>> completions;
    std::vector<double> plays; // rates of playImmediately
    int pauses = 0;
    double defaultRate_ = 1;
    float volume = 1;

    void loadAsset(const std::filesystem::path&, std::function<void(media::AssetResult)> done) override {
        loads.push_back(std::move(done));
    }
    std::shared_ptr<media::PlayerItem> makeItem(const std::filesystem::path& path) override {
        return std::make_shared<FakeItem>(path);
    }
    void replaceCurrentItem(std::shared_ptr<media::PlayerItem> item) override { current_ = std::move(item); }
    std::shared_ptr<media::PlayerItem> currentItem() const override { return current_; }
    void setDefaultRate(double rate) override { defaultRate_ = rate; }
    double defaultRate() const override { return defaultRate_; }
    void playImmediately(double rate) override { plays.push_back(rate); }
    void pause() override { ++pauses; }
    double rate() const override { return 0; }
    void setRate(double rate) override { plays.push_back(rate); }
    void setVolume(float value) override { volume = value; }
    double currentTime() const override { return 0; }
    void seek(double seconds, std::function<void(bool)> done) override {
        seeks.push_back(seconds);
        completions.push_back(std::move(done));
    }

private:
    std::shared_ptr<media::PlayerItem> current_;
};

class FakeEngine final : public DirectPlaybackBackend {
public:
    std::vector<std::pair<double, bool>> seeks; // time, preview
    std::vector<int> audioSelections;
    float volume = 1;
    double rate = 1;
    double time = 0;
    double currentTime() const override { return time; }
    void play() override {}
    void pause() override {}
    void seek(double seconds, bool preview) override { seeks.emplace_back(seconds, preview); }
    void setVideoPresentationLeadTime(double) override {}
    double duration() const override { return 100; }
    double frameRate() const override { return 25; }
    int width() const override { return 320; }
    int height() const override { return 180; }
    double rotationDegrees() const override { return 0; }
    std::vector<DirectAudioTrack> audioTracks() const override { return {{0, "Main", "eng", true}, {1, "Second", "jpn", false}}; }
    std::optional<int> initialAudioTrackID() const override { return 0; }
    std::vector<DirectSubtitleTrack> subtitleTracks() const override { return {{0, "English", "eng", false}, {1, "日本語", "jpn", true}}; }
    void stop() override {}
    void setVolume(float value) override { volume = value; }
    void setPlaybackRate(double value) override { rate = value; }
    void selectAudioTrack(int id) override { audioSelections.push_back(id); }
};

// Every request waits for the test's answer; answered images are cached as the provider does.
class FakeThumbnails final : public SeekThumbnailSource {
public:
    struct Request {
        std::string kind; // "image" or "warm"
        double seconds;
        bool retain;
        CancellationToken cancellation;
        ImageCompletion image;
        Completion warm;
    };
    std::vector<Request> requests;
    std::map<double, image::CPUImage> cache;
    int prepares = 0;

    std::optional<image::CPUImage> cachedImage(double seconds) const override {
        const auto found = cache.find(seconds);
        return found == cache.end() ? std::nullopt : std::optional(found->second);
    }
    void prepare() override { ++prepares; }
    void image(double seconds, bool retain, double, CancellationToken cancellation, ImageCompletion done) override {
        requests.push_back({"image", seconds, retain, std::move(cancellation), std::move(done), nullptr});
    }
    void warmBackwardNeighborhood(double seconds, double, bool, CancellationToken cancellation, Completion done) override {
        requests.push_back({"warm", seconds, false, std::move(cancellation), nullptr, std::move(done)});
    }
    // Answers request i (a cancelled one with an error, as the provider does).
    void answer(std::size_t i, bool fail = false) {
        Request& request = requests.at(i);
        const bool error = fail || request.cancellation.isCancelled();
        const auto failure = error ? std::make_exception_ptr(std::runtime_error("no picture")) : nullptr;
        if (request.image) {
            std::optional<image::CPUImage> picture;
            if (!error) {
                picture = picture1x1(request.seconds);
                cache.insert_or_assign(request.seconds, *picture);
            }
            std::exchange(request.image, nullptr)(picture, failure);
        } else {
            std::exchange(request.warm, nullptr)(failure);
        }
    }
    std::vector<double> imageTimes(std::size_t from = 0) const {
        std::vector<double> times;
        for (std::size_t i = from; i < requests.size(); ++i)
            if (requests[i].kind == "image") times.push_back(requests[i].seconds);
        return times;
    }
    static image::CPUImage picture1x1(double seconds) {
        const auto value = std::uint8_t(int(seconds) & 0xff);
        return *image::CPUImage::make(1, 1, 8, 32, 4, {value, value, value, 255});
    }
};

class SessionSeekingTests : public ::testing::Test {
protected:
    SessionHarness harness;
    double now = 1000; // host seconds
    std::shared_ptr<FakePlayer> player = std::make_shared<FakePlayer>();
    std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
    std::shared_ptr<FakeThumbnails> thumbnails = std::make_shared<FakeThumbnails>();
    std::vector<bool> thumbnailContainingTime;
    std::unique_ptr<PlayerSession> session = make();

    std::unique_ptr<PlayerSession> make() {
        PlayerSession::Options options = harness.options();
        options.platformPlayer = player;
        options.openDirectPlayback = [this](const std::filesystem::path&) -> std::shared_ptr<DirectPlaybackBackend> {
            return engine;
        };
        options.hostClock = [this] { return now; };
        options.makeThumbnailSource = [this](const std::filesystem::path&, bool containingTime) {
            thumbnailContainingTime.push_back(containingTime);
            return thumbnails;
        };
        return std::make_unique<PlayerSession>(std::move(options));
    }
    std::filesystem::path file(const std::string& name) {
        const auto path = harness.directory.path() / name;
        std::ofstream(path) << "x";
        return standardizedVideoPath(path);
    }
    // An MP4 opens on the platform player, a Matroska file on the direct engine.
    void open(const std::string& name, double duration = 100) {
        session->loadVideo(file(name));
        harness.loop.runUntilIdle();
        if (lowerCaseExtension(name) == "mp4") {
            media::AssetProperties asset;
            asset.isPlayable = true;
            asset.videoTrackCount = 1;
            asset.nominalFrameRate = 25;
            asset.durationSeconds = duration;
            asset.audioTrackCount = 2;
            asset.audibleGroup = media::MediaSelectionGroup{{{"English", "en", "eng"}, {"日本語", "ja", "jpn"}}, 0};
            std::exchange(player->loads.back(), nullptr)(asset);
        }
        harness.loop.runUntilIdle();
        ASSERT_TRUE(session->hasVideo());
    }
    void completeSeek(std::size_t i, bool finished) {
        player->completions.at(i)(finished);
        harness.loop.runUntilIdle();
    }
    std::optional<std::string> stored(const char* key) {
        const auto data = harness.store.data(key);
        return data ? std::optional<std::string>(std::string(data->begin(), data->end())) : std::nullopt;
    }
};

TEST_F(SessionSeekingTests, PlatformSeeksClampAndOnlyTheNewestCompletionCounts) {
    // No video: nothing moves, nothing is written.
    session->seek(5);
    EXPECT_TRUE(player->seeks.empty());
    EXPECT_FALSE(stored("player.history"));

    open("a.mp4");
    session->seek(nan);
    session->seek(-3);
    session->seek(250);
    session->seek(42.5);
    EXPECT_EQ(player->seeks, (std::vector<double>{0, 100, 42.5}));
    EXPECT_EQ(session->positionReadout.value(), 42.5);
    EXPECT_EQ(player->pauses, 4); // the open's and one per seek
    EXPECT_TRUE(session->seeking());

    ASSERT_TRUE(session->playing()); // an open starts playing
    player->plays.clear();
    completeSeek(0, true); // older seeks: ignored
    completeSeek(1, true);
    EXPECT_TRUE(session->seeking());
    EXPECT_TRUE(player->plays.empty());
    // The newest one ends the seek even when it did not finish, and playback goes on.
    completeSeek(2, false);
    EXPECT_FALSE(session->seeking());
    EXPECT_EQ(player->plays, std::vector<double>{1.0});

    // A completion arriving after another video opened does nothing.
    session->seek(10);
    open("b.mp4");
    const bool playing = session->playing();
    session->seek(20);
    completeSeek(3, true);
    EXPECT_TRUE(session->seeking());
    EXPECT_EQ(session->playing(), playing);
}

TEST_F(SessionSeekingTests, DirectSeeksPreviewOnlyWhilePausedAndScrubsSeekOnceAtTheEnd) {
    open("a.mkv");
    session->seek(30);
    session->togglePlayback(); // pauses
    session->seek(40);
    EXPECT_EQ(engine->seeks, (std::vector<std::pair<double, bool>>{{30, false}, {40, true}}));

    engine->seeks.clear();
    session->setScrubbing(true);
    EXPECT_EQ(session->scrubPosition(), 40);
    for (double t : {10.0, 55.0, -1.0, 70.0}) session->seek(t);
    EXPECT_TRUE(engine->seeks.empty());
    EXPECT_EQ(session->position(), 40);
    EXPECT_EQ(session->scrubPosition(), 70);
    session->setScrubbing(false);
    EXPECT_EQ(engine->seeks, (std::vector<std::pair<double, bool>>{{70, true}}));
    EXPECT_EQ(session->scrubPosition(), std::nullopt);
    EXPECT_EQ(session->position(), 70);
}

TEST_F(SessionSeekingTests, APreviewDecodesOneAtATimeAndAimsAtTheNewestPosition) {
    open("a.mp4");
    EXPECT_EQ(thumbnailContainingTime, std::vector<bool>{true}); // the platform back-end's frames
    harness.loop.runUntilIdle();
    EXPECT_EQ(thumbnails->prepares, 1);

    session->setSeekPreview(10);
    session->setSeekPreview(11);
    session->setSeekPreview(12);
    EXPECT_EQ(thumbnails->imageTimes(), std::vector<double>{10});
    thumbnails->answer(0);
    // The picture for 10 came too late: dropped, and 12 asked for next.
    EXPECT_FALSE(session->seekPreviewThumbnail());
    EXPECT_EQ(thumbnails->imageTimes(), (std::vector<double>{10, 12}));
    thumbnails->answer(1);
    ASSERT_TRUE(session->seekPreviewThumbnail());
    // Resting after steps of 1 s: two neighbours ahead, one after the other.
    EXPECT_EQ(thumbnails->imageTimes(2), std::vector<double>{13});
    thumbnails->answer(2);
    EXPECT_EQ(thumbnails->imageTimes(2), (std::vector<double>{13, 14}));
    thumbnails->answer(3);
    EXPECT_EQ(thumbnails->requests.size(), 4u);

    // A cached time shows at once; a step of 0.1 s prefetches twelve.
    session->setSeekPreview(13);
    EXPECT_TRUE(session->seekPreviewThumbnail());
    session->setSeekPreview(13.1);
    thumbnails->answer(4); // 13: stale
    thumbnails->answer(5); // 13.1
    int prefetched = 0;
    while (thumbnails->requests.back().image && prefetched < 20) {
        thumbnails->answer(thumbnails->requests.size() - 1);
        ++prefetched;
    }
    EXPECT_EQ(prefetched, 12);
    EXPECT_NEAR(thumbnails->requests.back().seconds, 13.1 + 1.2, 1e-9);
    EXPECT_FALSE(thumbnails->requests.back().retain);

    // Hiding during a decode drops its picture and prefetches nothing.
    session->setSeekPreview(50);
    session->setSeekPreview(std::nullopt);
    const std::size_t before = thumbnails->requests.size();
    thumbnails->answer(before - 1);
    EXPECT_EQ(thumbnails->requests.size(), before);
    EXPECT_FALSE(session->seekPreviewThumbnail());

    // A decode error ends the task quietly; the next movement starts another.
    session->setSeekPreview(60);
    thumbnails->answer(thumbnails->requests.size() - 1, true);
    session->setSeekPreview(61);
    EXPECT_EQ(thumbnails->requests.back().seconds, 61);
}

TEST_F(SessionSeekingTests, FastSteadyDragsAreAimedOneStepAheadWithinTheVideo) {
    open("a.mkv");
    EXPECT_EQ(thumbnailContainingTime, std::vector<bool>{false});
    const struct {
        std::vector<double> hovers;
        double hostStep;      // host seconds between hovers
        double expectedNext;  // target after the first picture
    } cases[] = {
        {{10, 15, 20}, 0.01, 25},    // steady 5 s steps: one step ahead
        {{80, 85, 90, 95}, 0.01, 100}, // never past the end
        {{10, 15, 20}, 0.06, 20},    // too slow between movements
        {{10, 12, 14}, 0.01, 14},    // steps under 4 s
        {{30, 25, 20}, 0.01, 15},    // backwards too
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hovers.back());
        session->setSeekPreview(std::nullopt);
        const std::size_t first = thumbnails->requests.size();
        for (double t : c.hovers) {
            now += c.hostStep;
            session->setSeekPreview(t);
        }
        ASSERT_GT(thumbnails->requests.size(), first);
        thumbnails->answer(first);
        // Backwards the neighbourhood behind the target is warmed before each picture.
        if (thumbnails->requests.back().kind == "warm") {
            EXPECT_EQ(thumbnails->requests.back().seconds, c.expectedNext);
            thumbnails->answer(thumbnails->requests.size() - 1);
            EXPECT_EQ(thumbnails->requests.back().seconds, c.hovers.back()); // the pointer's position
        } else {
            EXPECT_EQ(thumbnails->requests.back().seconds, c.expectedNext);
        }
    }
}

TEST_F(SessionSeekingTests, HoveringDuringASeekWaitsForItsCompletion) {
    open("a.mp4");
    session->seek(30);
    session->setSeekPreview(10);
    EXPECT_TRUE(thumbnails->requests.empty());
    completeSeek(0, true);
    EXPECT_EQ(thumbnails->imageTimes(), std::vector<double>{10});
    // A seek cancels the running decode; its late answer changes nothing.
    session->seek(40);
    thumbnails->answer(0);
    EXPECT_FALSE(session->seekPreviewThumbnail());
}

TEST_F(SessionSeekingTests, TracksAndSubtitleCues) {
    open("a.mkv");
    const std::string historyBefore = *stored("player.history");
    session->selectAudioTrack(7); // not in the video
    session->selectAudioTrack(0); // already selected
    EXPECT_TRUE(engine->audioSelections.empty());
    EXPECT_EQ(*stored("player.history"), historyBefore);
    session->selectAudioTrack(1);
    EXPECT_EQ(engine->audioSelections, std::vector<int>{1});
    EXPECT_EQ(session->history().front().audioTrackID, 1);

    session->selectSubtitle(9); // not in the video
    EXPECT_EQ(session->selectedSubtitleTrackID(), 1);
    const DirectSubtitleCue cues[] = {{1, "one", 1.0, 2.0}, {0, "other track", 1.0, 3.0}, {1, "two", 1.5, 3.0}};
    for (const auto& cue : cues) engine->onSubtitleCue(cue);
    const struct {
        double time;
        const char* text;
    } expected[] = {{0.5, ""}, {1.0, "one"}, {1.7, "one\ntwo"}, {2.0, "two"}, {3.0, ""}};
    // Each display tick shows the cues of the engine's time.
    const auto tickAt = [&](double time) {
        engine->time = time;
        now += 1;
        session->tick(now);
    };
    for (const auto& e : expected) {
        tickAt(e.time);
        EXPECT_EQ(session->subtitleText(), e.text) << e.time;
    }
    tickAt(1.7);
    session->selectSubtitle(std::nullopt);
    EXPECT_EQ(session->subtitleText(), "");
    EXPECT_EQ(session->history().front().subtitleTrackID, std::nullopt);
    session->selectSubtitle(0);
    EXPECT_EQ(session->subtitleText(), "other track");
    // Cues ended more than a second ago are dropped, so going back finds nothing.
    tickAt(10);
    tickAt(1.7);
    EXPECT_EQ(session->subtitleText(), "");

    // The platform back-end selects the option at the track's place.
    open("b.mp4");
    session->selectAudioTrack(1);
    EXPECT_EQ(std::dynamic_pointer_cast<FakeItem>(session->platformItem())->selected, 1u);
}

TEST_F(SessionSeekingTests, RatesSnapToThePresetsAndVolumeFollowsMute) {
    open("a.mp4");
    session->togglePlayback(); // pauses
    player->plays.clear();
    const struct {
        double requested;
        double rate;
    } rates[] = {{1.25, 1.0}, {1.2004, 1.2}, {0.75, 0.75}, {nan, 0.75}, {2.0, 2.0}, {3.0, 2.0}};
    for (const auto& r : rates) {
        session->setPlaybackRate(r.requested);
        EXPECT_EQ(session->playbackRate(), r.rate) << r.requested;
        EXPECT_EQ(player->defaultRate(), r.rate);
    }
    // Paused: the default rate changes without starting playback.
    EXPECT_TRUE(player->plays.empty());

    open("c.mkv");
    session->setIsMuted(true);
    EXPECT_EQ(engine->volume, 0);
    EXPECT_EQ(player->volume, 0);
    session->setVolume(0);
    EXPECT_TRUE(session->isMuted());
    const auto before = harness.store.value(PlayerSession::preferencesKey);
    session->setVolume(nan);
    EXPECT_EQ(harness.store.value(PlayerSession::preferencesKey), before);
    EXPECT_EQ(session->volume(), 0);
    session->setVolume(0.3);
    EXPECT_FALSE(session->isMuted());
    EXPECT_FLOAT_EQ(engine->volume, 0.3f);
    session->setVolume(1.5);
    EXPECT_EQ(session->volume(), 1.0);
    session->setPlaybackRate(1.5);
    EXPECT_EQ(engine->rate, 1.5);
}

TEST_F(SessionSeekingTests, PlaylistAppendsOnlyNewVideosAndPlaysInOrder) {
    const auto a = file("a.mkv"), b = file("b.mkv"), c = file("c.mkv");
    std::filesystem::create_directory(harness.directory.path() / "sub");
    EXPECT_TRUE(session->appendDroppedVideos({a, b}));
    EXPECT_TRUE(session->currentVideoURL() == std::nullopt); // nothing opened
    // The same file through a "." component counts as queued.
    EXPECT_TRUE(session->appendDroppedVideos({a.parent_path() / "." / "b.mkv"}));
    EXPECT_EQ(session->message(), "<選択した動画はすでにプレイリストに入っています。>");
    EXPECT_FALSE(session->appendDroppedVideos({harness.directory.path() / "sub"}));
    EXPECT_EQ(session->message(), "<再生可能な動画が見つかりませんでした。>");
    session->chooseVideos({c}, true);
    EXPECT_EQ(session->playlist(), (std::vector<std::filesystem::path>{a, b, c}));

    session->playPlaylistItem(b);
    harness.loop.runUntilIdle();
    EXPECT_EQ(session->currentVideoURL(), b);
    const auto generation = session->videoGeneration();
    session->playPlaylistItem(b); // already open
    EXPECT_EQ(session->videoGeneration(), generation);
    EXPECT_TRUE(session->playNextPlaylistItem());
    harness.loop.runUntilIdle();
    EXPECT_EQ(session->currentVideoURL(), c);
    EXPECT_FALSE(session->playNextPlaylistItem()); // the last one

    // Removed while open: it keeps playing, and its end is the end.
    session->removePlaylistItem(c);
    EXPECT_EQ(session->playlist(), (std::vector<std::filesystem::path>{a, b}));
    EXPECT_TRUE(session->hasVideo());
    EXPECT_FALSE(session->playNextPlaylistItem());

    // Choosing without appendOnly replaces the list and opens the first.
    session->chooseVideos({c, a}, false);
    EXPECT_EQ(session->playlist(), (std::vector<std::filesystem::path>{c, a}));
    EXPECT_EQ(session->currentVideoURL(), c);
}

TEST_F(SessionSeekingTests, HistoryKeepsFiftyAndRoundTripsWithThe2001Epoch) {
    for (int i = 0; i < 51; ++i) open("v" + std::to_string(i) + ".mkv");
    ASSERT_EQ(session->history().size(), PlayerSession::historyLimit);
    EXPECT_EQ(session->history().front().url, file("v50.mkv"));
    EXPECT_EQ(session->history().back().url, file("v1.mkv"));
    // Reopening moves the entry to the front.
    open("v10.mkv");
    EXPECT_EQ(session->history().front().url, file("v10.mkv"));
    EXPECT_EQ(session->history().size(), PlayerSession::historyLimit);

    // Progress: written at once on pause, at most every 2 s while the position moves.
    ASSERT_TRUE(session->playing());
    session->seek(20);
    const std::string afterSeek = *stored("player.history");
    now += 1;
    session->setPosition(21);
    EXPECT_EQ(*stored("player.history"), afterSeek);
    now += 1.5;
    session->setPosition(22);
    EXPECT_NE(*stored("player.history"), afterSeek);
    session->setPosition(23);
    session->togglePlayback();
    const auto json = nlohmann::json::parse(*stored("player.history"));
    EXPECT_EQ(json.at(0).at("position"), 23);
    EXPECT_EQ(json.at(0).at("url"), fileURLString(file("v10.mkv")));
    const double unixNow = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(json.at(0).at("lastPlayed").get<double>(), unixNow - 978307200.0, 60);

    // Read back by a new session, also from an entry without track keys.
    nlohmann::json written = nlohmann::json::array();
    written.push_back({{"url", fileURLString(file("old.mp4"))}, {"position", 5}, {"duration", 9}, {"lastPlayed", 0}});
    const std::string text = written.dump();
    harness.store.set("player.history", DefaultsValue::Data(text.begin(), text.end()));
    session = make();
    ASSERT_EQ(session->history().size(), 1u);
    EXPECT_EQ(session->history()[0], (PlaybackHistoryEntry{file("old.mp4"), 5, 9, {0}, std::nullopt, std::nullopt}));

    // A missing file: a localized message, the entry kept.
    std::filesystem::remove(file("old.mp4"));
    session->playHistoryItem(session->history()[0]);
    EXPECT_EQ(session->message(), "<ファイルが見つかりません。移動または削除された可能性があります。>");
    EXPECT_EQ(session->history().size(), 1u);
    session->removeHistoryItem(file("old.mp4"));
    EXPECT_EQ(*stored("player.history"), "[]");
    EXPECT_TRUE(session->historyReadout.value().empty());
}

// The real direct engine and thumbnail decoder on the generated two-track clip.
TEST(SessionSeekingRealTests, DirectSeeksPreviewsAndCuesOnAGeneratedClip) {
    SessionHarness harness;
    PlayerSession session(harness.options());
    const auto waitFor = [&](const std::function<bool()>& done) {
        const double start = hostTimeSeconds();
        while (!done() && hostTimeSeconds() - start < 20) {
            harness.loop.runUntilIdle();
            session.tick(hostTimeSeconds());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    session.loadVideo(std::filesystem::path(LUMAVANE_TEST_MEDIA_DIR) / "tracks.mkv");
    ASSERT_TRUE(waitFor([&] { return session.hasVideo() || session.message(); }));
    ASSERT_TRUE(session.directEngine());
    session.togglePlayback(); // pause

    // A paused seek ends with the first frame decoded at the target.
    session.seek(2.0);
    EXPECT_TRUE(session.seeking());
    ASSERT_TRUE(waitFor([&] { return !session.seeking(); }));
    EXPECT_EQ(session.position(), 2.0);

    // The hover thumbnail comes from the real decoder, at most 512 x 288.
    session.setSeekPreview(1.0);
    ASSERT_TRUE(waitFor([&] { return session.seekPreviewThumbnail().has_value(); }));
    EXPECT_EQ(session.seekPreviewThumbnail()->width(), 320);

    // English subtitles: "Hello, world" from 0.5 s to 1.2 s, shown while playing through it.
    const auto& tracks = session.subtitleTracks();
    const auto english = std::find_if(tracks.begin(), tracks.end(), [](const auto& t) { return t.language == "eng"; });
    ASSERT_NE(english, tracks.end());
    session.selectSubtitle(english->id);
    session.seek(0.3);
    session.togglePlayback();
    std::vector<std::pair<double, std::string>> shown;
    ASSERT_TRUE(waitFor([&] {
        if (shown.empty() || shown.back().second != session.subtitleText())
            shown.emplace_back(session.directEngine()->currentTime(), session.subtitleText());
        return session.directEngine()->currentTime() > 1.4;
    }));
    const auto hello = std::find_if(shown.begin(), shown.end(), [](const auto& s) { return s.second == "Hello, world"; });
    ASSERT_NE(hello, shown.end());
    EXPECT_NEAR(hello->first, 0.5, 0.1);
    ASSERT_NE(std::next(hello), shown.end());
    EXPECT_NEAR(std::next(hello)->first, 1.2, 0.1);
    session.stopPlayback();
}

} // namespace
} // namespace lumavane::test
