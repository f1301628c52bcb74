// Seeking, the seek preview, tracks, rate and volume, playlist and history on fakes of both
// back-ends and the thumbnail decoder; seeks, thumbnails and cue timing on a generated clip.
#include "Lumavane/Session/PlayableVideos.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "FakeDirectEngine.hpp"
#include "FakePlatformPlayer.hpp"
#include "SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <limits>
#include <map>
#include <thread>

namespace lumavane::test {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using Seeks = FakeDirectEngine::Seeks;

using FakeEngine = FakeDirectEngine;

// Every request waits for the test's answer; answered pictures are cached, as the provider does.
struct FakeThumbnails final : SeekThumbnailSource {
    struct Request {
        bool warm;
        double seconds;
        bool retain;
        CancellationToken cancellation;
        ImageCompletion image;
        Completion done;
    };
    std::vector<Request> requests;
    std::map<double, image::CPUImage> cache;
    int prepares = 0;

    std::optional<image::CPUImage> cachedImage(double seconds) const override {
        const auto found = cache.find(seconds);
        return found == cache.end() ? std::nullopt : std::optional(found->second);
    }
    void prepare() override { ++prepares; }
    void image(double seconds, bool retain, double, CancellationToken token, ImageCompletion done) override {
        requests.push_back({false, seconds, retain, token, done, nullptr});
    }
    void warmBackwardNeighborhood(double seconds, double, bool, CancellationToken token, Completion done) override {
        requests.push_back({true, seconds, false, token, nullptr, done});
    }
    // Answers a request (the last one by default); a cancelled one fails, as the provider's do.
    void answer(std::optional<std::size_t> index = std::nullopt, bool fail = false) {
        Request& request = requests.at(index.value_or(requests.size() - 1));
        const auto error = fail || request.cancellation.isCancelled()
                               ? std::make_exception_ptr(std::runtime_error("no picture"))
                               : nullptr;
        if (request.warm) return std::exchange(request.done, nullptr)(error);
        std::optional<image::CPUImage> picture;
        if (!error) cache.insert_or_assign(request.seconds, *(picture = image::CPUImage::make(1, 1, 8, 32, 4, {1, 2, 3, 255})));
        std::exchange(request.image, nullptr)(picture, error);
    }
    std::vector<double> times(std::size_t from = 0) const {
        std::vector<double> result;
        for (std::size_t i = from; i < requests.size(); ++i) result.push_back(requests[i].seconds);
        return result;
    }
};

class SessionSeekingTests : public ::testing::Test {
protected:
    SessionHarness harness;
    double now = 1000; // host seconds
    std::shared_ptr<FakePlayer> player = std::make_shared<FakePlayer>();
    std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
    std::shared_ptr<FakeThumbnails> thumbnails = std::make_shared<FakeThumbnails>();
    std::vector<bool> containingTime; // of each thumbnail source made
    std::unique_ptr<PlayerSession> session = make();

    std::unique_ptr<PlayerSession> make() {
        PlayerSession::Options options = harness.options();
        options.platformPlayer = player;
        options.runFileWork = [](std::function<void()> work) { work(); }; // the fakes answer at once
        options.openDirectPlayback = [this](const std::filesystem::path&) -> std::shared_ptr<DirectPlaybackBackend> { return engine; };
        options.hostClock = [this] { return now; };
        options.makeThumbnailSource = [this](const std::filesystem::path&, bool containing) {
            containingTime.push_back(containing);
            return thumbnails;
        };
        return std::make_unique<PlayerSession>(std::move(options));
    }
    std::filesystem::path file(const std::string& name) {
        std::ofstream(harness.directory.path() / name) << "x";
        return standardizedVideoPath(harness.directory.path() / name);
    }
    // An MP4 opens on the platform player (two audio options), a Matroska file on the direct engine.
    void open(const std::string& name) {
        session->loadVideo(file(name));
        harness.loop.runUntilIdle();
        if (lowerCaseExtension(name) == "mp4") {
            media::AssetProperties asset{.isPlayable = true, .videoTrackCount = 1, .durationSeconds = 100, .audioTrackCount = 2};
            asset.audibleGroup = media::MediaSelectionGroup{{{"English", "en", "eng"}, {"日本語", "ja", "jpn"}}, 0};
            player->loads.back()(asset);
            harness.loop.runUntilIdle();
        }
        ASSERT_TRUE(session->hasVideo());
    }
    void completeSeek(std::size_t i, bool finished) {
        player->completions.at(i)(finished);
        harness.loop.runUntilIdle();
    }
    std::optional<std::string> stored() {
        const auto data = harness.store.data("player.history");
        return data ? std::optional<std::string>(std::string(data->begin(), data->end())) : std::nullopt;
    }
};

TEST_F(SessionSeekingTests, PlatformSeeksClampAndOnlyTheNewestCompletionCounts) {
    session->seek(5); // no video: nothing moves, nothing is written
    EXPECT_TRUE(player->seeks.empty());
    EXPECT_FALSE(stored());

    open("a.mp4");
    for (double t : {nan, -3.0, 250.0, 42.5}) session->seek(t);
    EXPECT_EQ(player->seeks, (std::vector<double>{0, 100, 42.5}));
    EXPECT_EQ(session->positionReadout.value(), 42.5);
    ASSERT_TRUE(session->playing()); // an open starts playing
    player->plays.clear();
    session->setSeekPreview(10);     // refused while seeking
    EXPECT_TRUE(thumbnails->requests.empty());
    completeSeek(0, true);
    completeSeek(1, true);
    EXPECT_TRUE(session->seeking());
    EXPECT_TRUE(player->plays.empty());
    // The newest completion ends the seek even when it did not finish: playback and previews go on.
    completeSeek(2, false);
    EXPECT_FALSE(session->seeking());
    EXPECT_EQ(player->plays, std::vector<double>{1.0});
    EXPECT_EQ(thumbnails->times(), std::vector<double>{10});
    // A seek cancels the running decode; its late answer shows nothing.
    session->seek(10);
    thumbnails->answer();
    EXPECT_FALSE(session->seekPreviewThumbnail());

    // A completion arriving after another video opened does nothing.
    open("b.mp4");
    session->seek(20);
    completeSeek(3, true);
    EXPECT_TRUE(session->seeking());
}

TEST_F(SessionSeekingTests, DirectSeeksPreviewWhilePausedAndAScrubSeeksOnceAtItsEnd) {
    open("a.mkv");
    session->seek(30);
    session->togglePlayback(); // pauses
    session->seek(40);
    session->setScrubbing(true);
    EXPECT_EQ(session->scrubPosition(), 40);
    for (double t : {10.0, 55.0, -1.0, 70.0}) session->seek(t);
    EXPECT_EQ(session->position(), 40);
    EXPECT_EQ(session->scrubPosition(), 70);
    session->setScrubbing(false);
    EXPECT_EQ(engine->seeks, (Seeks{{30, false}, {40, true}, {70, true}}));
    EXPECT_EQ(session->scrubPosition(), std::nullopt);
    EXPECT_EQ(session->position(), 70);
}

// The end of the video ends a seek too: a preview refused during the seek is asked for again
// while the pointer still rests on the bar without a thumbnail.
TEST_F(SessionSeekingTests, TheEndOfADirectSeekAsksAgainForTheRefusedPreview) {
    const PixelBuffer frame = PixelBuffer::create(4, 2, LV_PIXEL_FORMAT_32BGRA);
    open("a.mkv");
    engine->onVideoFrame(frame, 0);
    session->seek(99.9);
    session->setSeekPreview(10); // refused while seeking
    EXPECT_TRUE(thumbnails->requests.empty());
    engine->onEnded();
    EXPECT_FALSE(session->seeking());
    EXPECT_EQ(thumbnails->times(), std::vector<double>{10});
    EXPECT_FALSE(session->playing());
    EXPECT_EQ(session->position(), 100);

    // Off the bar: nothing to ask for.
    open("b.mkv");
    engine->onVideoFrame(frame, 0);
    session->seek(99.9);
    engine->onEnded();
    EXPECT_EQ(thumbnails->times(), std::vector<double>{10});
}

TEST_F(SessionSeekingTests, APreviewDecodesOneAtATimeForTheNewestPositionThenPrefetches) {
    open("a.mp4");
    EXPECT_EQ(containingTime, std::vector<bool>{true}); // the platform back-end's frame on screen
    EXPECT_EQ(thumbnails->prepares, 1);
    for (double t : {10.0, 11.0, 12.0}) session->setSeekPreview(t);
    thumbnails->answer(0); // 10 came too late: dropped
    EXPECT_FALSE(session->seekPreviewThumbnail());
    thumbnails->answer(1);
    EXPECT_TRUE(session->seekPreviewThumbnail());
    // Resting after 1 s steps: two neighbours ahead, one after the other, not retained.
    thumbnails->answer(2);
    thumbnails->answer(3);
    EXPECT_EQ(thumbnails->times(), (std::vector<double>{10, 12, 13, 14}));
    EXPECT_FALSE(thumbnails->requests.back().retain);

    // A cached time shows at once; after a 0.1 s step twelve neighbours follow.
    session->setSeekPreview(13);
    EXPECT_TRUE(session->seekPreviewThumbnail());
    session->setSeekPreview(13.1);
    thumbnails->answer(4);
    const std::size_t first = thumbnails->requests.size();
    for (int i = 0; i < 20 && thumbnails->requests.back().image; ++i) thumbnails->answer();
    EXPECT_EQ(thumbnails->requests.size() - first, 12u);
    EXPECT_NEAR(thumbnails->requests.back().seconds, 14.3, 1e-9);

    // Hiding during a decode drops its picture and prefetches nothing; an error ends quietly.
    session->setSeekPreview(50);
    session->setSeekPreview(std::nullopt);
    thumbnails->answer();
    EXPECT_EQ(thumbnails->times(first + 12), std::vector<double>{50});
    session->setSeekPreview(60);
    thumbnails->answer(std::nullopt, true);
    session->setSeekPreview(61);
    EXPECT_EQ(thumbnails->requests.back().seconds, 61);
}

TEST_F(SessionSeekingTests, FastSteadyDragsAreAimedOneStepAheadWithinTheVideo) {
    open("a.mkv");
    EXPECT_EQ(containingTime, std::vector<bool>{false});
    const struct {
        std::vector<double> hovers;
        double hostStep; // between hovers
        std::vector<double> next; // requests after the first answer
    } cases[] = {
        {{10, 15, 20}, 0.01, {25}},      // steady 5 s steps: one step ahead
        {{80, 85, 90, 95}, 0.01, {100}}, // never past the end
        {{10, 15, 20}, 0.06, {20}},      // too slow between movements
        {{10, 12, 14}, 0.01, {14}},      // steps under 4 s
        {{30, 25, 20}, 0.01, {15, 20}},  // backwards: warm-up ahead, then the pointer's picture
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hovers.back());
        session->setSeekPreview(std::nullopt);
        const std::size_t first = thumbnails->requests.size();
        for (double t : c.hovers) {
            now += c.hostStep;
            session->setSeekPreview(t);
        }
        thumbnails->answer(first);
        if (thumbnails->requests.back().warm) thumbnails->answer();
        EXPECT_EQ(thumbnails->times(first + 1), c.next);
    }
}

TEST_F(SessionSeekingTests, TrackChoicesAndSubtitleCues) {
    open("a.mkv");
    const auto history = stored();
    session->selectAudioTrack(7); // not in the video
    session->selectAudioTrack(0); // already selected
    EXPECT_EQ(stored(), history);
    session->selectAudioTrack(1);
    EXPECT_EQ(engine->audioSelections, std::vector<int>{1});
    EXPECT_EQ(session->history().front().audioTrackID, 1);

    session->selectSubtitle(9); // not in the video
    EXPECT_EQ(session->selectedSubtitleTrackID(), 1);
    for (const DirectSubtitleCue& cue : {DirectSubtitleCue{1, "one", 1.0, 2.0}, {0, "other", 1.0, 3.0}, {1, "two", 1.5, 3.0}})
        engine->onSubtitleCue(cue);
    const auto tickAt = [&](double time) {
        engine->time = time;
        session->tick(now += 1);
        return session->subtitleText();
    };
    const std::pair<double, const char*> shown[] = {{0.5, ""}, {1.0, "one"}, {1.7, "one\ntwo"}, {2.0, "two"}, {3.0, ""}};
    for (const auto& [time, text] : shown) EXPECT_EQ(tickAt(time), text) << time;
    tickAt(1.7);
    session->selectSubtitle(std::nullopt);
    EXPECT_EQ(session->subtitleText(), "");
    EXPECT_EQ(session->history().front().subtitleTrackID, std::nullopt);
    session->selectSubtitle(0);
    EXPECT_EQ(session->subtitleText(), "other");
    // Cues ended over a second ago are dropped.
    tickAt(10);
    EXPECT_EQ(tickAt(1.7), "");

    open("b.mp4"); // the platform option at the track's place
    session->selectAudioTrack(1);
    EXPECT_EQ(session->platformItem()->selectedAudioOption(), 1u);
}

TEST_F(SessionSeekingTests, RatesSnapToThePresetsAndVolumeFollowsMute) {
    open("a.mp4");
    session->togglePlayback(); // paused: the default rate changes, nothing plays
    player->plays.clear();
    const std::pair<double, double> rates[] = {{1.25, 1.0}, {1.2004, 1.2}, {nan, 1.2}, {2.0, 2.0}, {3.0, 2.0}};
    for (const auto& [requested, rate] : rates) {
        session->setPlaybackRate(requested);
        EXPECT_EQ(session->playbackRate(), rate) << requested;
        EXPECT_EQ(player->defaultRate(), rate);
    }
    EXPECT_TRUE(player->plays.empty());

    open("c.mkv");
    session->setPlaybackRate(1.5);
    EXPECT_EQ(engine->rate, 1.5);
    session->setIsMuted(true);
    EXPECT_EQ(engine->volume, 0);
    EXPECT_EQ(player->volume, 0);
    session->setVolume(0);
    EXPECT_TRUE(session->isMuted());
    const auto before = harness.store.value(PlayerSession::preferencesKey);
    session->setVolume(nan);
    EXPECT_EQ(harness.store.value(PlayerSession::preferencesKey), before);
    session->setVolume(0.3);
    EXPECT_FALSE(session->isMuted());
    EXPECT_FLOAT_EQ(engine->volume, 0.3f);
    session->setVolume(1.5);
    EXPECT_EQ(session->volume(), 1.0);
}

TEST_F(SessionSeekingTests, PlaylistAppendsOnlyNewVideosAndPlaysInOrder) {
    const auto a = file("a.mkv"), b = file("b.mkv"), c = file("c.mkv");
    EXPECT_TRUE(session->appendDroppedVideos({a, b}));
    EXPECT_EQ(session->currentVideoURL(), std::nullopt);
    // The same file through a "." component is already queued.
    EXPECT_TRUE(session->appendDroppedVideos({a.parent_path() / "." / "b.mkv"}));
    EXPECT_EQ(session->message(), "<選択した動画はすでにプレイリストに入っています。>");
    EXPECT_FALSE(session->appendDroppedVideos({harness.directory.path() / "none.txt"}));
    EXPECT_EQ(session->message(), "<再生可能な動画が見つかりませんでした。>");
    session->chooseVideos({c}, true);
    EXPECT_EQ(session->playlist(), (std::vector<std::filesystem::path>{a, b, c}));

    session->playPlaylistItem(b);
    const auto generation = session->videoGeneration();
    session->playPlaylistItem(b); // already open
    EXPECT_EQ(session->videoGeneration(), generation);
    EXPECT_TRUE(session->playNextPlaylistItem());
    EXPECT_EQ(session->currentVideoURL(), c);
    EXPECT_FALSE(session->playNextPlaylistItem()); // the last one
    // Removed while open: it keeps playing, and its end is the end.
    harness.loop.runUntilIdle();
    session->removePlaylistItem(c);
    EXPECT_TRUE(session->hasVideo());
    EXPECT_FALSE(session->playNextPlaylistItem());
    // Choosing without appendOnly replaces the list and opens the first.
    session->chooseVideos({c, a}, false);
    EXPECT_EQ(session->playlist(), (std::vector<std::filesystem::path>{c, a}));
    EXPECT_EQ(session->currentVideoURL(), c);
}

TEST_F(SessionSeekingTests, ChosenVideosAreAppendedWhilePlayingInTheGivenOrder) {
    session->chooseVideos({file("now.mkv")}, false);
    harness.loop.runUntilIdle();
    ASSERT_TRUE(session->playing());
    const auto generation = session->videoGeneration();
    const auto shows = harness.directory.path() / "shows";
    std::filesystem::create_directories(shows);
    for (const char* name : {"Ep10.mkv", "ep2.mp4", ".hidden.mp4", "notes.txt"}) std::ofstream(shows / name) << "x";

    // Given files stay as given, the folder's videos in file-browser order where it stood; a file
    // the desktop types as video counts without one of the 24 extensions.
    session->chooseVideos({file("z.mkv"), shows, file("b.qt")}, true);
    harness.loop.runUntilIdle();
    EXPECT_EQ(session->playlist(), (std::vector<std::filesystem::path>{file("now.mkv"), file("z.mkv"),
                                                                       standardizedVideoPath(shows / "ep2.mp4"),
                                                                       standardizedVideoPath(shows / "Ep10.mkv"),
                                                                       file("b.qt")}));
    // The playing video was not touched.
    EXPECT_EQ(session->videoGeneration(), generation);
    EXPECT_EQ(session->currentVideoURL(), file("now.mkv"));
    EXPECT_TRUE(session->playing());
    EXPECT_TRUE(session->hasVideo());
    EXPECT_EQ(session->message(), std::nullopt);

    session->chooseVideos({shows / "notes.txt", file("song.mp3")}, true);
    EXPECT_EQ(session->message(), "<再生可能な動画が見つかりませんでした。>");
    EXPECT_EQ(session->playlist().size(), 5u);
    EXPECT_TRUE(session->playing());
}

TEST_F(SessionSeekingTests, HistoryKeepsFiftyWritesProgressEveryTwoSecondsAndRoundTrips) {
    for (int i = 0; i <= 50; ++i) open("v" + std::to_string(i) + ".mkv");
    open("v10.mkv"); // to the front again
    ASSERT_EQ(session->history().size(), PlayerSession::historyLimit);
    EXPECT_EQ(session->history()[0].url, file("v10.mkv"));
    EXPECT_EQ(session->history()[1].url, file("v50.mkv"));
    EXPECT_EQ(session->history().back().url, file("v1.mkv"));

    session->seek(20);
    const auto written = stored();
    session->setPosition(21); // within 2 s of the last write
    EXPECT_EQ(stored(), written);
    now += 2;
    session->setPosition(22);
    EXPECT_NE(stored(), written);
    session->setPosition(23);
    session->togglePlayback(); // a pause writes at once
    const auto json = nlohmann::json::parse(*stored());
    EXPECT_EQ(json.at(0).at("position"), 23);
    EXPECT_EQ(json.at(0).at("url"), fileURLString(file("v10.mkv")));
    const double unixNow = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(json.at(0).at("lastPlayed").get<double>(), unixNow - 978307200.0, 60);

    // An entry without track keys reads back with both absent.
    const std::string text = R"([{"url":")" + fileURLString(file("old.mp4")) + R"(","position":5,"duration":9,"lastPlayed":0}])";
    harness.store.set("player.history", DefaultsValue::Data(text.begin(), text.end()));
    session = make();
    ASSERT_EQ(session->history().size(), 1u);
    EXPECT_EQ(session->history()[0], (PlaybackHistoryEntry{file("old.mp4"), 5, 9, {0}, std::nullopt, std::nullopt}));
    // A missing file: a localized message, the entry kept.
    std::filesystem::remove(file("old.mp4"));
    session->playHistoryItem(session->history()[0]);
    EXPECT_EQ(session->message(), "<ファイルが見つかりません。移動または削除された可能性があります。>");
    EXPECT_EQ(session->history().size(), 1u);
    session->clearHistory();
    EXPECT_EQ(stored(), "[]");
    EXPECT_TRUE(session->historyReadout.value().empty());
}

// The real direct engine and thumbnail decoder on the generated two-track clip.
TEST(SessionSeekingRealTests, DirectSeeksPreviewsAndCueTimingOnAGeneratedClip) {
    SessionHarness harness;
    PlayerSession session(harness.options());
    const auto waitFor = [&](const std::function<bool()>& done) {
        for (const double start = hostTimeSeconds(); !done() && hostTimeSeconds() - start < 20;) {
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
    session.setSeekPreview(1.0);
    ASSERT_TRUE(waitFor([&] { return session.seekPreviewThumbnail().has_value(); }));
    EXPECT_EQ(session.seekPreviewThumbnail()->width(), 320);

    // English: "Hello, world" from 0.5 s to 1.2 s, shown while playing through it.
    const auto& tracks = session.subtitleTracks();
    const auto english = std::find_if(tracks.begin(), tracks.end(), [](const auto& t) { return t.language == "eng"; });
    ASSERT_NE(english, tracks.end());
    session.selectSubtitle(english->id);
    session.seek(0.3);
    session.togglePlayback();
    std::vector<std::pair<double, std::string>> shown; // engine time, text, at each change
    ASSERT_TRUE(waitFor([&] {
        if (shown.empty() || shown.back().second != session.subtitleText())
            shown.emplace_back(session.directEngine()->currentTime(), session.subtitleText());
        return session.directEngine()->currentTime() > 1.4;
    }));
    const auto hello = std::find_if(shown.begin(), shown.end(), [](const auto& s) { return s.second == "Hello, world"; });
    ASSERT_TRUE(hello != shown.end() && std::next(hello) != shown.end());
    EXPECT_NEAR(hello->first, 0.5, 0.1);
    EXPECT_NEAR(std::next(hello)->first, 1.2, 0.1);
    session.stopPlayback();
}

} // namespace
} // namespace lumavane::test
