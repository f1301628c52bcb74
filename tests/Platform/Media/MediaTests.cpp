#include "Platform/Foundation/ManualRunLoop.hpp"
#include "Platform/Media/GStreamerPlayer.hpp"
#include "MediaClips.hpp"
#include "support/Ffprobe.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumavane::media {
namespace {

// Polls: frames arrive without posting anything to the loop.
bool waitUntil(ManualRunLoop& loop, const std::function<bool()>& done, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        loop.runUntilIdle();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    return false;
}

struct Pixel {
    int b, g, r;
};

Pixel pixelAt(const PixelBuffer& frame, std::size_t x, std::size_t y) {
    const auto* row = static_cast<const std::uint8_t*>(frame.baseAddress()) + y * frame.bytesPerRow();
    return {row[x * 4], row[x * 4 + 1], row[x * 4 + 2]};
}

TEST(MediaAssetTests, InspectionReportsTracksDurationRateAndRotation) {
    struct Case {
        std::filesystem::path path;
        bool playable;
        std::size_t videoTracks;
        std::size_t audioTracks;
        double duration;
        int rotation;
    };
    const std::vector<Case> cases = {
        {sharedMedia("h264_aac.mp4"), true, 1, 1, 3.0, 0},
        {clip("upright_rotated.mp4"), true, 1, 0, 2.0, 270},
        {sharedMedia("audio_only.m4a"), true, 0, 1, 2.0, 0},
        {sharedMedia("not_media.mp4"), false, 0, 0, NAN, 0},
        {sharedMedia("empty.mp4"), false, 0, 0, NAN, 0},
        // Streams in no container, whose length GStreamer guesses: the direct back-end plays them.
        {sharedMedia("raw.h264"), false, 0, 0, NAN, 0},
        {sharedMedia("raw.hevc"), false, 0, 0, NAN, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.filename().string());
        const AssetProperties asset = inspectAsset(c.path);
        EXPECT_EQ(asset.isPlayable, c.playable);
        if (!c.playable) continue;
        EXPECT_EQ(asset.videoTrackCount, c.videoTracks);
        EXPECT_EQ(asset.audioTrackCount, c.audioTracks);
        EXPECT_FALSE(asset.audibleGroup.has_value());
        EXPECT_NEAR(asset.durationSeconds, c.duration, 0.1);
        if (c.videoTracks == 0) continue;
        EXPECT_FLOAT_EQ(asset.nominalFrameRate, 25.0f);
        EXPECT_EQ(asset.preferredTransform, transformForRotation(c.rotation, asset.width, asset.height));
    }
    // Stored 160 x 96 and shown a quarter turn anticlockwise: the top-left corner lands bottom left
    // (image space, y up).
    EXPECT_EQ(inspectAsset(clip("upright_rotated.mp4")).preferredTransform.apply({0, 96}),
              (image::Point{0, 0}));
    // A video track without frames has no usable length.
    const AssetProperties empty = inspectAsset(clip("no_frames.mp4"));
    EXPECT_FALSE(empty.isPlayable && empty.videoTrackCount > 0 && empty.durationSeconds > 0);
    EXPECT_THROW(inspectAsset(sharedMedia("no_such_file.mp4")), PlatformError);
}

// The length runs from the media's start as ffprobe states both: GStreamer's discoverer counts a
// transport stream from its first clock reference and guesses (8.18 s for wrapped.ts's 8.02 s, none
// for long_gop.ts).
TEST(MediaAssetTests, TheLengthIsFfprobesFromTheMediasStart) {
    for (const char* name : {"offset.ts", "wrapped.ts", "long_gop.ts", "h264_aac.mp4"}) {
        SCOPED_TRACE(name);
        const double expected = test::ffprobeDuration(sharedMedia(name));
        ASSERT_GT(expected, 2.9);
        EXPECT_NEAR(inspectAsset(sharedMedia(name)).durationSeconds, expected, 0.001);
    }
}

TEST(MediaAssetTests, EveryAudioStreamIsAnOptionWithItsLanguage) {
    for (const auto& [path, titles] :
         std::vector<std::pair<std::filesystem::path, std::vector<std::string>>>{
             {clip("two_audio.mp4"), {"English", "Japanese"}},
             {sharedMedia("tracks.mkv"), {"Main stereo", "日本語音声"}}}) {
        SCOPED_TRACE(path.filename().string());
        const AssetProperties asset = inspectAsset(path);
        ASSERT_TRUE(asset.audibleGroup.has_value());
        ASSERT_EQ(asset.audibleGroup->options.size(), 2u);
        EXPECT_EQ(asset.audibleGroup->defaultOption, 0u);
        EXPECT_EQ(asset.audibleGroup->options[0].displayName, titles[0]);
        EXPECT_EQ(asset.audibleGroup->options[1].displayName, titles[1]);
        EXPECT_EQ(asset.audibleGroup->options[0].extendedLanguageTag, "en");
        EXPECT_EQ(asset.audibleGroup->options[1].extendedLanguageTag, "ja");
    }
}

// A file is inspected for the newest opening only. What an earlier one still had queued or running
// is dropped, and so is all of it when the player goes: its completions never come.
TEST(MediaInspectionTests, OnlyTheNewestInspectionIsWaitedFor) {
    ManualRunLoop loop;
    std::vector<std::filesystem::path> inspected;
    const auto load = [&](Player& player, const std::filesystem::path& path) {
        player.loadAsset(path, [&inspected, path](AssetResult result) {
            EXPECT_TRUE(std::holds_alternative<AssetProperties>(result));
            inspected.push_back(path);
        });
    };
    {
        const auto player = makeGStreamerPlayer(loop);
        for (int n = 0; n < 12; ++n) load(*player, clip("upright.mp4"));
        load(*player, clip("two_audio.mp4"));
        ASSERT_TRUE(waitUntil(loop, [&] { return !inspected.empty(); }));
        // Every earlier one was stale before it could end: none of them comes.
        EXPECT_EQ(inspected, std::vector<std::filesystem::path>{clip("two_audio.mp4")});
    }
    inspected.clear();
    {
        const auto player = makeGStreamerPlayer(loop);
        for (int n = 0; n < 20; ++n) load(*player, clip("upright.mp4"));
    }
    loop.runUntilIdle();
    // At most the newest, had it been inspected through before the player went.
    EXPECT_LE(inspected.size(), 1u);
}

// Many quick openings: each newer one makes the one before stale while GStreamer is still discovering
// it, in whatever phase the discovery is. However the stale ones end, the newest is inspected. (A
// discovery stopped between exposing its pads and collecting its result deadlocked inside GStreamer,
// and every later inspection waited behind it for good: in 6 of 6 runs of this test.)
TEST(MediaInspectionTests, ManyQuickOpeningsNeverHoldUpTheNewest) {
    const std::filesystem::path videoOnly = clip("video_only_720p.mp4");
    const std::filesystem::path small = clip("upright.mp4");
    ManualRunLoop loop;
    auto player = makeGStreamerPlayer(loop);
    for (int n = 0; n < 100; ++n) {
        player->loadAsset(videoOnly, [](AssetResult) {});
        // Spread over a discovery's phases: opening, typefinding, the first frame, pads exposed. The
        // stale ones still at work then decode side by side: larger pictures would take gigabytes.
        std::this_thread::sleep_for(std::chrono::milliseconds(n % 6 * 30));
    }
    std::optional<AssetResult> newest;
    player->loadAsset(small, [&](AssetResult result) { newest = std::move(result); });
    const auto arrived = [&] { return newest.has_value(); };
    if (!waitUntil(loop, arrived, 120)) {
        // A hung inspection would hold the player's end as well.
        (void)player.release();
        FAIL() << "the newest inspection never came";
    }
    ASSERT_TRUE(std::holds_alternative<AssetProperties>(*newest));
    const auto& asset = std::get<AssetProperties>(*newest);
    EXPECT_TRUE(asset.isPlayable);
    EXPECT_EQ(asset.width, 160);
}

// Another process holds a write lease on a file: an opening of it for reading blocks until that
// process lets go, or until the kernel breaks the lease (45 s by default), as a file on a hung
// network mount blocks.
class WriteLease {
public:
    explicit WriteLease(const std::filesystem::path& path) {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) return;
        inode_ = status.st_ino;
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0) return;
        if (::pipe(release) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        child_ = ::fork();
        if (child_ == 0) {
            // Only async-signal-safe calls here. The lease's break signal is ignored: the lease
            // holds until the kernel's break time.
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(SIGIO, &ignore, nullptr);
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), O_RDWR);
            const char taken = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ? 1 : 0;
            (void)!::write(ready[1], &taken, 1);
            char ignored;
            (void)!::read(release[0], &ignored, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char taken = 0;
        held_ = child_ > 0 && ::read(ready[0], &taken, 1) == 1 && taken == 1;
        ::close(ready[0]);
    }
    ~WriteLease() { end(); }

    bool held() const { return held_; }

    // The lease's state as /proc/locks shows it: "ACTIVE", "BREAKING" while an opening waits for it,
    // empty once it is gone.
    std::string state() const {
        std::ifstream locks("/proc/locks");
        const std::string suffix = ":" + std::to_string(inode_);
        for (std::string line; std::getline(locks, line);) {
            std::istringstream fields(line);
            std::vector<std::string> field;
            for (std::string word; fields >> word;) field.push_back(word);
            if (field.size() > 5 && field[1] == "LEASE" && field[5].size() > suffix.size() &&
                field[5].compare(field[5].size() - suffix.size(), suffix.size(), suffix) == 0)
                return field[2];
        }
        return "";
    }

    // Lets go: the waiting opening goes on.
    void end() {
        if (release_ >= 0) ::close(std::exchange(release_, -1));
        if (child_ > 0) ::waitpid(std::exchange(child_, -1), nullptr, 0);
    }

private:
    ino_t inode_ = 0;
    pid_t child_ = -1;
    int release_ = -1;
    bool held_ = false;
};

// A file whose opening hangs holds up neither a later inspection nor the player's end.
TEST(MediaInspectionTests, AFileWhoseOpeningHangsHoldsUpNothing) {
    const test::TemporaryDirectory directory;
    const std::filesystem::path hung = directory.path() / "leased.mp4";
    std::filesystem::copy_file(clip("two_audio.mp4"), hung);
    WriteLease lease(hung);
    if (!lease.held()) GTEST_SKIP() << "no write lease can be taken here";

    ManualRunLoop loop;
    auto player = makeGStreamerPlayer(loop);
    bool hungDelivered = false;
    player->loadAsset(hung, [&](AssetResult) { hungDelivered = true; });
    const auto opening = [&] { return lease.state() == "BREAKING"; };
    ASSERT_TRUE(waitUntil(loop, opening, 60)) << "the file was never opened";
    std::optional<AssetResult> newest;
    player->loadAsset(clip("upright.mp4"), [&](AssetResult result) { newest = std::move(result); });
    // Waited for as long as it takes: had it waited behind the hung one, the lease would have been
    // broken by then.
    const auto inspected = [&] { return newest.has_value(); };
    const bool arrived = waitUntil(loop, inspected, 120);
    EXPECT_EQ(lease.state(), "BREAKING") << "the newest inspection waited for the hung opening";
    ASSERT_TRUE(arrived);
    ASSERT_TRUE(std::holds_alternative<AssetProperties>(*newest));
    EXPECT_TRUE(std::get<AssetProperties>(*newest).isPlayable);

    // The player goes while the opening still hangs, without waiting for it.
    player.reset();
    EXPECT_EQ(lease.state(), "BREAKING") << "the player's end waited for the hung opening";
    lease.end();
    loop.runUntilIdle();
    EXPECT_FALSE(hungDelivered);
}

class MediaPlayerTests : public ::testing::Test {
protected:
    ManualRunLoop loop;
    std::unique_ptr<Player> player = makeGStreamerPlayer(loop);

    bool runUntil(const std::function<bool()>& done, double seconds = 10) { return waitUntil(loop, done, seconds); }
};

TEST_F(MediaPlayerTests, FramesArriveUprightAtTheirTimesAndTheEndIsReported) {
    auto item = player->makeItem(clip("upright.mp4"));
    std::vector<ItemStatus> statuses;
    bool ended = false;
    item->onStatusChange = [&](ItemStatus status) { statuses.push_back(status); };
    item->onPlayedToEnd = [&] { ended = true; };
    player->replaceCurrentItem(item);
    player->setVolume(0);
    player->playImmediately(2.0);

    std::vector<VideoFrame> frames;
    ASSERT_TRUE(runUntil([&] {
        if (auto frame = item->copyPixelBuffer(player->currentTime() + 0.05)) frames.push_back(std::move(*frame));
        return ended;
    }));
    EXPECT_EQ(statuses, std::vector<ItemStatus>{ItemStatus::readyToPlay});
    ASSERT_GE(frames.size(), 5u);
    double previous = -1;
    for (const VideoFrame& frame : frames) {
        SCOPED_TRACE(frame.itemTime);
        EXPECT_GT(frame.itemTime, previous);
        previous = frame.itemTime;
        ASSERT_EQ(frame.buffer.pixelFormat(), LV_PIXEL_FORMAT_32BGRA);
        ASSERT_EQ(frame.buffer.width(), 160u);
        ASSERT_EQ(frame.buffer.height(), 96u);
        const Pixel top = pixelAt(frame.buffer, 80, 10);
        EXPECT_GT(top.r, 230);
        EXPECT_LT(top.g, 25);
        const int grey = 16 + int(std::lround(frame.itemTime * 25)) % 25 * 8;
        const Pixel bottom = pixelAt(frame.buffer, 80, 86);
        EXPECT_NEAR(bottom.g, grey, 6);
        EXPECT_NEAR(bottom.r, grey, 6);
    }
    EXPECT_NEAR(frames.back().itemTime, 1.96, 0.05);
    // Ahead of the clock by the host time asked for, at the rate it plays.
    EXPECT_NEAR(player->itemTime(hostTimeSeconds() + 0.5) - player->currentTime(), 1.0, 0.05);
}

// With a lead the output has each frame that long before its time, so that the session can take
// it ahead of the clock for the enhancer; never earlier than the lead and a short window. Also with
// sound, where playbin sets its own offset on the video sink while it builds its chains.
TEST_F(MediaPlayerTests, WithALeadFramesAreThereAheadOfTheirTime) {
    constexpr double lead = 0.3;
    for (const auto& [path, frames] : {std::pair{clip("upright.mp4"), 50u}, std::pair{sharedMedia("h264_aac.mp4"), 75u}}) {
        SCOPED_TRACE(path.filename().string());
        auto item = player->makeItem(path);
        player->setVideoPresentationLeadTime(lead);
        player->replaceCurrentItem(item);
        player->setVolume(0);
        player->playImmediately(1.0);
        std::vector<double> aheadOfClock;
        double previous = -1;
        const double last = (frames - 1) / 25.0;
        ASSERT_TRUE(runUntil([&] {
            const double now = player->currentTime();
            while (auto frame = item->copyNextPixelBuffer(now + 2 * lead)) {
                EXPECT_GT(frame->itemTime, previous); // every frame, in order
                previous = frame->itemTime;
                aheadOfClock.push_back(frame->itemTime - now);
            }
            return previous > last - 0.01;
        }));
        EXPECT_EQ(aheadOfClock.size(), frames);
        // The first ones come at once; later ones as the clock reaches them minus the lead.
        std::sort(aheadOfClock.begin(), aheadOfClock.end());
        EXPECT_GT(aheadOfClock[aheadOfClock.size() / 2], lead / 2);
        EXPECT_LT(aheadOfClock.back(), lead + 0.1);
        player->replaceCurrentItem(nullptr);
    }
}

// A clip without sound: its video sink, a lead ahead, ends the stream early; the end is told only
// once the clock has reached the last frame, so that every frame is shown before it.
TEST_F(MediaPlayerTests, WithALeadTheEndComesWhenTheClockReachesTheLastFrame) {
    auto item = player->makeItem(clip("upright.mp4"));
    bool ended = false;
    double dueAtEnd = -1, last = -1;
    item->onPlayedToEnd = [&] {
        ended = true;
        dueAtEnd = last;
    };
    player->setVideoPresentationLeadTime(0.3);
    player->replaceCurrentItem(item);
    player->playImmediately(1.0);
    ASSERT_TRUE(runUntil([&] {
        // Only the frames due by the clock, as the display takes them.
        while (auto frame = item->copyNextPixelBuffer(player->itemTime(hostTimeSeconds()))) last = frame->itemTime;
        return ended;
    }));
    EXPECT_NEAR(dueAtEnd, 1.96, 0.001);
}

TEST_F(MediaPlayerTests, AnAccurateSeekShowsTheFrameAtItsTarget) {
    auto item = player->makeItem(clip("upright.mp4"));
    player->replaceCurrentItem(item);
    std::vector<bool> completions;
    player->seek(0.5, [&](bool finished) { completions.push_back(finished); });
    player->seek(1.28, [&](bool finished) { completions.push_back(finished); });
    ASSERT_TRUE(runUntil([&] { return completions.size() == 2; }));
    EXPECT_EQ(completions, (std::vector<bool>{false, true}));
    EXPECT_NEAR(player->currentTime(), 1.28, 0.02);
    std::optional<VideoFrame> frame;
    ASSERT_TRUE(runUntil([&] { return (frame = item->copyPixelBuffer(1.28)).has_value(); }));
    EXPECT_NEAR(frame->itemTime, 1.28, 0.001);
    EXPECT_NEAR(pixelAt(frame->buffer, 80, 86).g, 16 + 7 * 8, 6);

    // A seek outlived by its item finishes unfinished.
    bool finished = true;
    player->seek(0.2, [&](bool value) { finished = value; });
    player->replaceCurrentItem(nullptr);
    EXPECT_FALSE(finished);
}

// The frame of ffprobe's time `time` (counted from its start): the last one due by then.
std::size_t frameAt(const test::ProbedVideo& probed, double time) {
    const auto after = std::upper_bound(probed.frameTimes.begin(), probed.frameTimes.end(), time + 1e-6);
    return after == probed.frameTimes.begin() ? 0 : std::size_t(after - probed.frameTimes.begin() - 1);
}

// The shared clips' right half is grey 16 + (N mod 25) * 8 for frame N.
int greyOf(const PixelBuffer& frame) { return pixelAt(frame, 240, 90).g; }

// The number a numbered clip's frame carries: column k (16 pixels wide) is white for bit k.
int numberOf(const PixelBuffer& frame) {
    int number = 0;
    for (int bit = 0; bit < 10; ++bit)
        if (pixelAt(frame, std::size_t(bit * 16 + 8), 48).g > 128) number |= 1 << bit;
    return number;
}

// A paused seek to the length, or past it, shows ffprobe's last frame, with and without sound; the
// position stays where it was sent. Also on a transport stream whose 33-bit clock wraps, after a
// seek beyond the wrap and again to the end (GStreamer's demuxer then stamped the frames it read
// again from the file's start wrongly, and none came for the end), and the seeks after it show
// their frames.
TEST_F(MediaPlayerTests, APausedSeekToTheEndShowsTheLastFrame) {
    for (const std::filesystem::path& path :
         {clip("upright.mp4"), sharedMedia("h264_aac.mp4"), clip("numbered_wrapped.ts")}) {
        const test::ProbedVideo probed = test::ffprobeVideo(path.string());
        const double length = test::ffprobeDuration(path.string());
        ASSERT_FALSE(probed.frameTimes.empty());
        const double last = probed.frameTimes.back();
        const bool numbered = path == clip("numbered_wrapped.ts");
        auto item = player->makeItem(path);
        player->replaceCurrentItem(item);
        std::vector<double> targets{length, length + 1};
        if (numbered) targets = {6.07, length, length, 3.0, length + 1, 0.5};
        for (const double target : targets) {
            SCOPED_TRACE(path.filename().string() + " at " + std::to_string(target));
            bool finished = false;
            player->seek(target, [&](bool value) { finished = value; });
            ASSERT_TRUE(runUntil([&] { return finished; }));
            EXPECT_NEAR(player->currentTime(), std::min(target, length), 0.001);
            std::optional<VideoFrame> frame;
            ASSERT_TRUE(runUntil([&] { return (frame = item->copyPixelBuffer(player->currentTime())).has_value(); }));
            const std::size_t index = frameAt(probed, std::min(target, last));
            // GStreamer stamps the first frame after an exact seek with the target.
            EXPECT_NEAR(frame->itemTime, target < length ? target : last, 0.001);
            if (numbered) {
                EXPECT_EQ(numberOf(frame->buffer), int(index));
            } else {
                const bool upright = path == clip("upright.mp4");
                const int grey = upright ? pixelAt(frame->buffer, 80, 86).g : greyOf(frame->buffer);
                EXPECT_NEAR(grey, 16 + int(index) % 25 * 8, 6);
            }
        }
        player->replaceCurrentItem(nullptr);
    }
}

// Time 0 is the media's start as ffprobe gives it: on transport streams, which GStreamer counts from
// their first clock reference (0.7 s before the first frame here), and across the wrap of their
// 33-bit clock. Every frame comes at ffprobe's time for it, and the position runs from 0 to the
// length and no further.
TEST_F(MediaPlayerTests, TransportStreamFramesAndPositionsCountFromTheMediasStart) {
    for (const auto& [name, rate] : {std::pair{"offset.ts", 1.0}, std::pair{"wrapped.ts", 2.0}}) {
        SCOPED_TRACE(name);
        const test::ProbedVideo probed = test::ffprobeVideo(sharedMedia(name).string());
        const double length = test::ffprobeDuration(sharedMedia(name).string());
        ASSERT_FALSE(probed.frameTimes.empty());
        auto item = player->makeItem(sharedMedia(name));
        bool ended = false;
        item->onPlayedToEnd = [&] { ended = true; };
        player->replaceCurrentItem(item);
        player->setVolume(0);
        player->playImmediately(rate);
        std::vector<VideoFrame> frames;
        double earliest = INFINITY, latest = -INFINITY;
        ASSERT_TRUE(runUntil(
            [&] {
                const double now = player->currentTime();
                if (item->status() == ItemStatus::readyToPlay) {
                    earliest = std::min(earliest, now);
                    latest = std::max(latest, now);
                }
                while (auto frame = item->copyNextPixelBuffer(now + 0.1)) frames.push_back(std::move(*frame));
                return ended;
            },
            20));
        EXPECT_GE(earliest, 0.0);
        EXPECT_LE(earliest, probed.frameTimes.front() + 0.1);
        EXPECT_LE(latest, length + 1e-6); // ffprobe prints microseconds
        EXPECT_NEAR(player->currentTime(), length, 0.05);
        ASSERT_EQ(frames.size(), probed.frameTimes.size());
        for (std::size_t n = 0; n < frames.size(); ++n) {
            SCOPED_TRACE(n);
            // Another rate is set by an exact seek to where the item stands, which stamps the
            // first frame with that time.
            if (n == 0 && rate != 1.0)
                EXPECT_LT(frames[n].itemTime, probed.frameTimes[1]);
            else
                EXPECT_NEAR(frames[n].itemTime, probed.frameTimes[n], 0.001);
            EXPECT_NEAR(greyOf(frames[n].buffer), 16 + int(n % 25) * 8, 6);
        }
        player->replaceCurrentItem(nullptr);
    }
}

// A seek goes to the media time asked for, before and after the wrap, and shows ffprobe's frame there.
TEST_F(MediaPlayerTests, ASeekOnAWrappedTransportStreamLandsAtItsMediaTime) {
    const std::filesystem::path path = sharedMedia("wrapped.ts");
    const test::ProbedVideo probed = test::ffprobeVideo(path.string());
    auto item = player->makeItem(path);
    player->replaceCurrentItem(item);
    for (const double target : {1.0, 6.0, 0.0}) {
        SCOPED_TRACE(target);
        bool finished = false;
        player->seek(target, [&](bool value) { finished = value; });
        ASSERT_TRUE(runUntil([&] { return finished; }));
        EXPECT_NEAR(player->currentTime(), target, 0.02);
        std::optional<VideoFrame> frame;
        ASSERT_TRUE(runUntil([&] { return (frame = item->copyPixelBuffer(target)).has_value(); }));
        // ffprobe's frame there; GStreamer stamps the first frame after an exact seek with the target.
        const std::size_t n = frameAt(probed, target);
        EXPECT_NEAR(greyOf(frame->buffer), 16 + int(n % 25) * 8, 6);
        EXPECT_GE(frame->itemTime, std::min(probed.frameTimes[n], target) - 0.001);
        EXPECT_LE(frame->itemTime, target + 0.001);
    }
}

TEST_F(MediaPlayerTests, AFileGStreamerRefusesFailsTheItemWithAReason) {
    auto item = player->makeItem(sharedMedia("not_media.mp4"));
    std::optional<ItemStatus> status;
    item->onStatusChange = [&](ItemStatus value) { status = value; };
    player->replaceCurrentItem(item);
    player->playImmediately(1.0);
    ASSERT_TRUE(runUntil([&] { return status.has_value(); }));
    EXPECT_EQ(*status, ItemStatus::failed);
    EXPECT_EQ(item->status(), ItemStatus::failed);
    ASSERT_TRUE(item->errorDescription().has_value());
    EXPECT_FALSE(item->errorDescription()->empty());
}

TEST_F(MediaPlayerTests, AReplacedItemReportsNothingMore) {
    auto first = player->makeItem(clip("upright.mp4"));
    int reports = 0;
    first->onStatusChange = [&](ItemStatus) { ++reports; };
    first->onPlayedToEnd = [&] { ++reports; };
    player->replaceCurrentItem(first);
    player->playImmediately(2.0);
    player->replaceCurrentItem(player->makeItem(clip("two_audio.mp4")));
    player->currentItem()->selectAudioOption(1);
    bool ready = false;
    player->currentItem()->onStatusChange = [&](ItemStatus status) { ready = status == ItemStatus::readyToPlay; };
    ASSERT_TRUE(runUntil([&] { return ready; }));
    runUntil([] { return false; }, 0.3);
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(player->currentItem()->selectedAudioOption(), 1u);
}

} // namespace
} // namespace lumavane::media


