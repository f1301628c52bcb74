#include "FakeDirectEngine.hpp"
#include "FakePlatformPlayer.hpp"
#include "SessionTestSupport.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "Platform/Image/Context.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <set>

namespace lumavane {

// Reaches the state the frame pipeline keeps to itself.
struct PlayerSessionTestAccess {
    static bool busy(const PlayerSession& session) { return session.busy_; }
    static void setSeeking(PlayerSession& session, bool seeking) { session.seeking_ = seeking; }
    static void playOnInARun(PlayerSession& session) { session.runStartPending_ = false; }
    static void beginRun(PlayerSession& session) { session.beginRun(); }
    static std::size_t queuedSources(const PlayerSession& session) { return session.sourcePresentationFrames_.size(); }
    static std::size_t queuedEnhanced(const PlayerSession& session) {
        return session.enhancedPresentationFrames_.size();
    }
};

namespace {

using test::SessionHarness;
using Access = PlayerSessionTestAccess;

// Doubles the picture, or throws when `failure` is set. Calls beyond the first `allowed` wait.
class FakeEnhancer final : public PlaybackEnhancer {
public:
    ModelInfo model{"Fake", 64, 64, 2, "", "", false};
    const ModelInfo& info() const override { return model; }

    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>& buffer,
                                       std::optional<image::Size>, const CancellationToken&) override {
        std::unique_lock lock(mutex_);
        inputs.push_back(buffer ? buffer->baseAddress() : nullptr);
        ++inFlight_;
        maxInFlight = std::max(maxInFlight, inFlight_);
        const std::size_t index = inputs.size() - 1;
        changed_.notify_all();
        changed_.wait(lock, [&] { return index < allowed_; });
        --inFlight_;
        if (failure) throw EnhancementError::invalid(*failure);
        return {image.transformed(image::AffineTransform::scale(2, 2)), 1};
    }

    void allow(std::size_t calls) {
        std::lock_guard lock(mutex_);
        allowed_ = calls;
        changed_.notify_all();
    }
    void release() { allow(std::numeric_limits<std::size_t>::max()); }
    void waitForCalls(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return inputs.size() >= count; });
    }
    std::size_t calls() {
        std::lock_guard lock(mutex_);
        return inputs.size();
    }

    std::vector<const void*> inputs; // the decoder buffer each call read, if any
    int maxInFlight = 0;
    std::optional<std::string> failure;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int inFlight_ = 0;
    std::size_t allowed_ = std::numeric_limits<std::size_t>::max();
};

// Builds fresh fake enhancers; a build waits while held, as a model's compile takes seconds.
class SlowFactory final : public PlaybackEnhancerFactory {
public:
    std::shared_ptr<PlaybackEnhancer> make(const std::filesystem::path&, OutputScale) override {
        std::unique_lock lock(mutex_);
        ++builds_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        return std::make_shared<FakeEnhancer>();
    }
    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    void waitForBuilds(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return builds_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int builds_ = 0;
    bool held_ = false;
};

PixelBuffer frameBuffer() { return PixelBuffer::create(8, 4, LV_PIXEL_FORMAT_32BGRA); }

// A frame whose every pixel carries its number, so that a picture on screen tells which it shows.
PixelBuffer numberedFrame(int number) {
    PixelBuffer buffer = frameBuffer();
    auto* bytes = static_cast<std::uint8_t*>(buffer.baseAddress());
    for (std::size_t row = 0; row < buffer.height(); ++row)
        for (std::size_t x = 0; x < buffer.width(); ++x) {
            std::uint8_t* pixel = bytes + row * buffer.bytesPerRow() + x * 4;
            pixel[0] = pixel[1] = pixel[2] = std::uint8_t(number * 16);
            pixel[3] = 255;
        }
    return buffer;
}

// The number of the frame a picture shows at the fraction `fx` of its width.
int frameNumber(const image::Image& picture, double fx = 0.5) {
    static const auto context = image::Context::make();
    const image::Rect extent = picture.extent();
    const auto bitmap = context->createCPUImage(picture, extent);
    if (!bitmap) return -1;
    const std::uint8_t* pixel = bitmap->row(bitmap->height() / 2) + int(fx * bitmap->width()) * 4;
    return int(std::lround(pixel[1] / 16.0));
}

struct Pipeline {
    SessionHarness harness;
    std::unique_ptr<PlayerSession> session;
    std::shared_ptr<FakeEnhancer> enhancer = std::make_shared<FakeEnhancer>();
    std::shared_ptr<test::FakeDirectEngine> direct = std::make_shared<test::FakeDirectEngine>();
    std::vector<std::pair<std::optional<image::Image>, std::optional<image::Image>>> shown;

    std::shared_ptr<test::FakePlayer> player = std::make_shared<test::FakePlayer>();
    std::shared_ptr<SlowFactory> factory = std::make_shared<SlowFactory>();

    // On the fake direct engine, or with `platform` on a video opened on the fake platform player.
    explicit Pipeline(bool withEnhancer = true, bool platform = false) {
        auto options = harness.options();
        options.hostClock = [this] { return harness.loop.now(); };
        options.platformPlayer = player;
        options.enhancerFactory = factory;
        player->hostNow = [this] { return harness.loop.now(); };
        session = std::make_unique<PlayerSession>(std::move(options));
        session->setMode(ViewMode::enhanced);
        if (platform) {
            std::ofstream(harness.directory.path() / "clip.mp4") << "x";
            session->loadVideo(harness.directory.path() / "clip.mp4");
            harness.loop.runUntilIdle();
            media::AssetProperties asset;
            asset.isPlayable = true;
            asset.videoTrackCount = 1;
            asset.nominalFrameRate = 25;
            asset.durationSeconds = 100;
            player->loads.back()(asset);
        } else {
            session->setDirectPlayback(direct);
            session->setHasVideo(true);
            session->setDuration(direct->duration());
            session->setSourceFPS(25);
        }
        session->display = [this](std::optional<image::Image> picture, std::optional<image::Image> guide) {
            shown.emplace_back(std::move(picture), std::move(guide));
        };
        if (withEnhancer) session->setEnhancer(enhancer);
        // Frames come in a run already under way, unless a case seeks.
        PlayerSessionTestAccess::playOnInARun(*session);
    }
    ~Pipeline() {
        factory->hold(false); // a build still held would keep the session's queue from ending
        enhancer->release();
        settle();
    }

    void frame(double pts, const PixelBuffer& buffer = frameBuffer()) { session->consumeDirectFrame(buffer, pts); }
    // Frames 1 to 3 (1.00, 1.04, 1.08 s) arrive ahead of the clock while frame 1 is enhanced: the
    // enhancer takes frame 3 next and never sees frame 2.
    void skipTheSecondOfThreeFrames() {
        direct->time = 0.96;
        enhancer->allow(0);
        frame(1.00, numberedFrame(1));
        enhancer->waitForCalls(1);
        frame(1.04, numberedFrame(2));
        frame(1.08, numberedFrame(3));
        enhancer->release();
        harness.loop.runUntil([&] { return enhancer->calls() == 2 && !Access::busy(*session); }, 10);
    }
    // What the last picture on screen shows: its frame number and whether it is enhanced.
    // One display tick at 60 Hz: what it shows is drawn before the next, then time moves on.
    int refreshAtSixtyHertz() {
        session->tick(harness.loop.now() + 1.0 / 60);
        settle();
        harness.loop.advance(1.0 / 60);
        return onScreen().first;
    }

    std::pair<int, bool> onScreen() const {
        if (shown.empty() || !shown.back().first) return {-1, false};
        return {frameNumber(*shown.back().first), shown.back().second.has_value()};
    }
    // Waits for the step in flight to come back to the main thread.
    void settle() { harness.loop.runUntil([this] { return !Access::busy(*session); }, 10); }
    bool lastShownIsEnhanced() const { return !shown.empty() && shown.back().second.has_value(); }
};

TEST(FramePipeline, EachGuardStopsTheStepAndAnAutomaticSwitchDoesNot) {
    struct Row {
        const char* name;
        std::function<void(Pipeline&)> arrange;
        bool starts;
    };
    const Row rows[] = {
        {"all clear", [](Pipeline&) {}, true},
        {"seeking", [](Pipeline& p) { Access::setSeeking(*p.session, true); }, false},
        {"enhancement off", [](Pipeline& p) { p.session->setEnabled(false); }, false},
        {"original mode", [](Pipeline& p) { p.session->setMode(ViewMode::original); }, false},
        {"off and seeking", [](Pipeline& p) {
             p.session->setEnabled(false);
             Access::setSeeking(*p.session, true);
         }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Pipeline p(false); // the frame arrives without starting a step
        p.frame(1.0);
        row.arrange(p);
        p.session->setEnhancer(p.enhancer); // submits the newest frame
        p.settle();
        EXPECT_EQ(p.enhancer->calls() > 0, row.starts);
    }

    Pipeline noModel(false);
    noModel.frame(1.0);
    noModel.settle();
    EXPECT_EQ(noModel.enhancer->calls(), 0u);
    EXPECT_EQ(noModel.session->status(), "<モデル未選択>");
}

TEST(FramePipeline, OneStepInFlightAndTheNewestFrameIsTakenNext) {
    Pipeline p;
    p.enhancer->allow(0);
    const PixelBuffer first = frameBuffer(), second = frameBuffer(), third = frameBuffer();
    p.frame(1.00, first);
    p.enhancer->waitForCalls(1);
    p.frame(1.04, second); // busy: not submitted, and not marked as submitted
    p.frame(1.08, third);
    p.frame(1.08, third); // the same time again
    p.harness.loop.runUntilIdle();
    EXPECT_EQ(p.enhancer->calls(), 1u);
    p.enhancer->release();
    p.harness.loop.runUntil([&] { return p.enhancer->calls() == 2 && !Access::busy(*p.session); }, 10);
    EXPECT_EQ(p.enhancer->inputs, (std::vector<const void*>{first.baseAddress(), third.baseAddress()}));
    EXPECT_EQ(p.enhancer->maxInFlight, 1);
    p.session->submitLatest(); // the newest frame is already done
    p.settle();
    EXPECT_EQ(p.enhancer->calls(), 2u);
}

TEST(FramePipeline, AStaleCompletionOnlyResubmits) {
    Pipeline p;
    p.enhancer->allow(0);
    p.frame(1.0);
    p.enhancer->waitForCalls(1);
    p.session->invalidate(); // e.g. a settings change while the step runs
    EXPECT_TRUE(Access::busy(*p.session));
    p.enhancer->allow(1); // the stale step finishes; the resubmitted one waits
    for (int i = 0; i < 1000 && p.enhancer->calls() < 2; ++i) p.harness.loop.runUntil([] { return false; }, 0.01);
    // The resubmitted step enhances the same frame again; nothing of the stale one was kept.
    p.harness.loop.runUntilIdle();
    EXPECT_EQ(p.session->outputResolution(), "—");
    EXPECT_FALSE(p.lastShownIsEnhanced());
    EXPECT_EQ(Access::queuedEnhanced(*p.session), 0u);
    p.enhancer->release();
    p.settle();
    EXPECT_EQ(p.session->outputResolution(), "16 × 8");
    EXPECT_EQ(p.enhancer->calls(), 2u);
}

TEST(FramePipeline, TheEnhancedFrameIsShownWhenItsSourceIsDueAndNotWhenLate) {
    Pipeline p;
    p.session->setPlaying(true);
    p.direct->time = 0.9;
    p.frame(1.0);
    p.settle();
    EXPECT_TRUE(p.shown.empty()); // nothing is due yet

    struct Step {
        double clock;
        bool enhanced;
        const char* status;
    };
    const Step steps[] = {
        {0.989, false, "<Original · 推論待ち / 遅延超過>"}, // 11 ms early: outside the 10 ms tolerance
        {0.991, true, "<Enhance>"},                        // within it
        {1.150, true, "<Enhance>"},                        // 150 ms old: still shown
        {1.151, false, "<Original · 推論待ち / 遅延超過>"}, // too late: the original instead
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.clock);
        p.direct->time = step.clock;
        p.session->refreshDisplay();
        EXPECT_EQ(p.session->showingEnhancement(), step.enhanced);
        EXPECT_EQ(p.session->status(), step.status);
        if (step.clock > 0.99) {
            ASSERT_FALSE(p.shown.empty());
            EXPECT_EQ(p.lastShownIsEnhanced(), step.enhanced);
        }
    }
    EXPECT_GT(p.direct->lead, 0); // the measured latency is passed on while playing
    // Paused, the last enhanced picture is never too late.
    p.session->setPlaying(false);
    EXPECT_EQ(p.direct->lead, 0);
    p.direct->time = 5;
    p.session->refreshDisplay();
    EXPECT_TRUE(p.lastShownIsEnhanced());

    p.session->setEnabled(false);
    EXPECT_EQ(p.session->status(), "<Original>");
}

TEST(FramePipeline, TheQueuesKeepTheNewest32) {
    Pipeline p;
    p.session->setPlaying(true);
    p.direct->time = -1; // nothing due, so nothing is pruned
    for (int i = 0; i < 40; ++i) {
        p.frame(i * 0.04);
        p.settle();
    }
    EXPECT_EQ(Access::queuedSources(*p.session), 32u);
    EXPECT_EQ(Access::queuedEnhanced(*p.session), 32u);

    // The lookup returns the newest due frame and forgets only the older ones.
    PresentationQueue<SourcePresentationFrame> queue;
    const image::Image picture = image::Image::constantColor({});
    for (const double pts : {1.00, 1.04, 1.08}) queue.append({picture, pts});
    EXPECT_FALSE(queue.due(0.99, 0.004));
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.due(1.05, 0.004)->pts, 1.04);
    EXPECT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.due(1.05, 0.004)->pts, 1.04); // shown again on the next refresh

    EXPECT_DOUBLE_EQ(presentationTolerance(0), 0.002);
    EXPECT_DOUBLE_EQ(presentationTolerance(std::numeric_limits<double>::quiet_NaN()), 0.002);
    EXPECT_DOUBLE_EQ(presentationTolerance(24), 0.01);
    EXPECT_DOUBLE_EQ(presentationTolerance(60), 0.25 / 60);
}

TEST(FramePipeline, AFailedStepSwitchesEnhancementOffForThisSessionOnly) {
    Pipeline p;
    // No free output buffer is no fault of the model: that frame alone goes unenhanced.
    p.enhancer->failure = EnhancementMessage::outputBusy;
    p.frame(0.96);
    p.settle();
    EXPECT_TRUE(p.session->enabled());
    EXPECT_FALSE(p.session->message());

    p.enhancer->failure = "出力プールを作れません。";
    p.frame(1.0);
    p.settle();
    EXPECT_FALSE(p.session->enabled());
    EXPECT_EQ(p.session->message(), "<出力プールを作れません。>");
    EXPECT_FALSE(p.lastShownIsEnhanced()); // the original keeps playing
    ASSERT_FALSE(p.shown.empty());

    // Another setting saved later must not carry the failure into the next launch.
    p.session->setSplit(0.25);
    const auto stored = p.harness.store.dictionary(PlayerSession::preferencesKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored->at("enabled").get<bool>(), true);
    EXPECT_TRUE(p.harness.make()->enabled());

    // Switched on again by the user, it enhances once more and a later off is saved.
    p.enhancer->failure.reset();
    p.session->setEnabled(true);
    p.session->submitLatest();
    p.settle();
    EXPECT_TRUE(p.lastShownIsEnhanced());
    p.session->setEnabled(false);
    EXPECT_EQ(*p.harness.store.dictionary(PlayerSession::preferencesKey)->at("enabled").get<bool>(), false);
}

TEST(FramePipeline, CompareShowsTheOriginalLeftOfTheSplit) {
    const auto context = image::Context::make();
    const auto solid = [](double red, double green, double width, double height) {
        return image::Image::constantColor({red, green, 0, 1}).cropped({0, 0, width, height});
    };
    const image::Image enhanced = solid(0, 1, 8, 4);
    const image::Image original = solid(1, 0, 4, 2); // half the size: scaled up to cover
    const auto bitmap = context->createCPUImage(compareComposite(enhanced, original, 0.25), {0, 0, 8, 4});
    ASSERT_TRUE(bitmap);
    for (int x = 0; x < 8; ++x) {
        const std::uint8_t* pixel = bitmap->row(2) + x * 4; // B G R A
        EXPECT_EQ(pixel[2] > 128, x < 2) << x;
        EXPECT_EQ(pixel[1] > 128, x >= 2) << x;
    }
    // An empty picture on either side leaves the enhanced one alone instead of dividing by zero.
    const image::Image empty = image::Image::constantColor({}).cropped({0, 0, 0, 0});
    EXPECT_EQ(compareComposite(enhanced, empty, 0.5).node(), enhanced.node());
    EXPECT_EQ(compareComposite(empty, original, 0.5).node(), empty.node());

    // The session composes in compare mode, and a new split alone draws again.
    Pipeline p;
    p.session->setMode(ViewMode::compare);
    p.frame(1.0);
    p.settle();
    const std::size_t draws = p.shown.size();
    p.session->refreshDisplay();
    EXPECT_EQ(p.shown.size(), draws);
    p.session->setSplit(0.3);
    EXPECT_EQ(p.shown.size(), draws + 1);
}

// The enhancer was busy when frame 2 came and took frame 3 next: frame 2 is still shown, as its
// original, instead of the enhanced frame 1 standing in for it.
TEST(FramePipeline, AFrameTheEnhancerSkippedIsShownAsItsOriginal) {
    Pipeline p;
    p.session->setPlaying(true);
    p.skipTheSecondOfThreeFrames();

    std::vector<std::pair<int, bool>> seen;
    for (const double clock : {1.00, 1.02, 1.04, 1.06, 1.08}) {
        p.direct->time = clock;
        p.session->refreshDisplay();
        if (seen.empty() || seen.back() != p.onScreen()) seen.push_back(p.onScreen());
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, bool>>{{1, true}, {2, false}, {3, true}}));
    EXPECT_EQ(p.session->status(), "<Enhance>");
}

// Playing forward, no picture follows one of a later moment: not when the clock the refreshes go
// by falls back a little (a display target nearer than the last, a step of the audio clock) so
// that the frame on screen is no longer due, and not when an enhancement of an earlier frame
// completes late meanwhile. A seek back shows the earlier moment again.
TEST(FramePipeline, APictureNeverFollowsOneOfALaterMoment) {
    for (const ViewMode mode : {ViewMode::enhanced, ViewMode::compare}) {
        SCOPED_TRACE(int(mode));
        Pipeline p;
        p.session->setMode(mode);
        p.session->setPlaying(true);
        p.direct->time = 0.96;
        p.enhancer->allow(0);
        for (int number = 1; number <= 4; ++number) p.frame(0.96 + 0.04 * number, numberedFrame(number));
        p.enhancer->waitForCalls(1); // frame 1, held

        std::vector<int> seen;
        const auto refreshAt = [&](double clock) {
            p.direct->time = clock;
            p.session->refreshDisplay();
            if (seen.empty() || seen.back() != p.onScreen().first) seen.push_back(p.onScreen().first);
        };
        for (const double clock : {1.00, 1.04, 1.08, 1.065}) refreshAt(clock);
        p.enhancer->allow(1); // frame 1 done, 65 ms after its time; frame 4 goes next, held
        // Its completion refreshes the display, then hands frame 4 to the enhancer.
        p.harness.loop.runUntil([&] { return p.enhancer->calls() == 2; }, 10);
        if (seen.back() != p.onScreen().first) seen.push_back(p.onScreen().first);
        refreshAt(1.07);
        p.enhancer->release();
        p.settle();
        refreshAt(1.12);
        EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
        EXPECT_TRUE(p.lastShownIsEnhanced()) << "frame 4 enhanced, on time";

        p.session->seek(0);
        p.direct->time = 0;
        p.frame(0.00, numberedFrame(9));
        p.settle();
        EXPECT_EQ(p.onScreen(), (std::pair{9, true})) << "after a seek back";
    }
}

// Compare while the enhancer falls behind: a composite's two halves are always one moment, and
// when the enhanced frame is of an earlier moment than the frame due, the original is shown whole.
TEST(FramePipeline, CompareShowsOneMomentOrTheOriginalWhole) {
    Pipeline p;
    p.session->setMode(ViewMode::compare);
    p.session->setPlaying(true);
    p.skipTheSecondOfThreeFrames();

    struct Seen {
        int left, right;
        bool enhanced;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;
    for (const double clock : {1.00, 1.04, 1.08}) {
        p.direct->time = clock;
        p.session->refreshDisplay();
        const auto& [picture, guide] = p.shown.back();
        seen.push_back({frameNumber(*picture, 0.25), frameNumber(*picture, 0.75), guide.has_value()});
    }
    EXPECT_EQ(seen, (std::vector<Seen>{{1, 1, true}, {2, 2, false}, {3, 3, true}}));
}

// An effect before upscaling changes while playing: the frames already queued stay due, and the
// newest is enhanced again with the new effect and shown when its time comes.
TEST(FramePipeline, AnEffectChangeWhilePlayingEnhancesTheNewestFrameAgain) {
    Pipeline p;
    p.session->setPlaying(true);
    p.session->setFxPipelineOrder(FXPipelineOrder::beforeUpscale);
    p.session->setSharpenEnabled(true);
    p.direct->time = 1.00;
    for (int number = 1; number <= 3; ++number) {
        p.frame(0.96 + 0.04 * number, numberedFrame(number));
        p.settle();
    }
    EXPECT_EQ(p.onScreen(), (std::pair{1, true}));
    const std::size_t calls = p.enhancer->calls();

    p.enhancer->allow(calls);
    p.session->setSharpenAmount(0.6);
    // The frame due now stays on screen, as its original until a new enhancement is done.
    EXPECT_EQ(p.onScreen(), (std::pair{1, false}));
    p.enhancer->waitForCalls(calls + 1);
    p.enhancer->release();
    p.settle();
    EXPECT_EQ(p.enhancer->calls(), calls + 1); // the newest frame, once

    p.direct->time = 1.04;
    p.session->refreshDisplay();
    EXPECT_EQ(p.onScreen(), (std::pair{2, false}));
    p.direct->time = 1.08;
    p.session->refreshDisplay();
    EXPECT_EQ(p.onScreen(), (std::pair{3, true}));
    EXPECT_EQ(p.session->status(), "<Enhance>");
}

// The platform back-end: when a completion raises the lead, the frames that come due at once
// are all taken, and each is shown when the clock reaches it.
TEST(FramePipeline, PlatformFramesTakenAheadByAGrowingLeadAreEachShown) {
    Pipeline p(true, true);
    ASSERT_TRUE(p.session->platformItem());
    for (int number = 0; number < 12; ++number)
        p.player->made->frames.push_back({numberedFrame(number), number * 0.04});
    p.enhancer->allow(0);
    std::set<int> seen;
    const auto tick = [&] {
        p.session->tick(p.harness.loop.now());
        if (p.onScreen().first >= 0) seen.insert(p.onScreen().first);
        p.harness.loop.advance(0.01);
        p.player->time += 0.01;
    };
    tick(); // frame 0 goes to the enhancer, which takes 0.1 s
    p.enhancer->waitForCalls(1);
    for (int i = 0; i < 10; ++i) tick();
    EXPECT_EQ(p.player->leads.back(), 0);
    p.enhancer->allow(1);
    p.harness.loop.runUntil([&] { return p.session->outputResolution() != "—"; }, 10);
    p.enhancer->waitForCalls(2); // the newest frame taken next
    const double lead = p.session->activeEnhancementLeadTime();
    EXPECT_GT(lead, 0.1); // about three frames more than before
    EXPECT_EQ(p.player->leads.back(), lead);
    p.enhancer->release();
    while (p.player->time < 0.44) tick();
    EXPECT_EQ(seen, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

// The direct engine shows only the newest of the frames that come due together, so a lead that
// jumps by several frames would skip frames: it grows by half a frame per completion at most.
TEST(FramePipeline, TheDirectEnginesLeadGrowsByHalfAFrameAtATime) {
    Pipeline p;
    p.session->setPlaying(true);
    // Every enhancement takes 0.2 s.
    const auto enhance = [&](double pts) {
        const std::size_t calls = p.enhancer->calls();
        p.enhancer->allow(calls);
        p.frame(pts);
        p.enhancer->waitForCalls(calls + 1);
        p.harness.loop.advance(0.2);
        p.enhancer->allow(calls + 1);
        p.settle();
    };
    enhance(1.00);
    const double target = p.session->activeEnhancementLeadTime();
    EXPECT_GT(target, 0.2);
    for (int number = 1; p.direct->lead < target && number < 40; ++number) enhance(1.00 + 0.04 * number);
    EXPECT_DOUBLE_EQ(p.direct->lead, target);
    EXPECT_GT(p.direct->leads.size(), 10u);
    for (std::size_t i = 1; i < p.direct->leads.size(); ++i)
        EXPECT_LE(p.direct->leads[i] - p.direct->leads[i - 1], 0.5 / 25 + 1e-9) << i;
    p.session->setPlaying(false); // and falls at once
    EXPECT_EQ(p.direct->lead, 0);
}

// The direct engine's first hand-over of a run takes every frame due within its lead and keeps
// only the newest. Played from the start again (a seek back, or Play at the end) with a lead of
// several frames, the run's first frame must still be the one handed over and shown: the lead
// stays under a frame until it has come, while the display ticks and the engine refills.
TEST(FramePipeline, TheFirstFrameOfARunIsHandedOverAndShown) {
    for (const bool fromTheEnd : {false, true}) {
        SCOPED_TRACE(fromTheEnd ? "Play at the end" : "seek back");
        Pipeline p;
        p.session->setPlaying(true);
        // Enhancements of 0.2 s raise the lead to well over a frame.
        for (int number = 0; number < 30; ++number) {
            const std::size_t calls = p.enhancer->calls();
            p.enhancer->allow(calls);
            p.frame(1.0 + 0.04 * number);
            p.enhancer->waitForCalls(calls + 1);
            p.harness.loop.advance(0.2);
            p.enhancer->allow(calls + 1);
            p.settle();
        }
        ASSERT_GT(p.direct->lead, 0.2);

        if (fromTheEnd) {
            p.session->togglePlayback();
            p.session->setPosition(p.session->duration());
            p.session->togglePlayback();
        } else {
            p.session->seek(0);
        }
        p.direct->time = 0; // the clock waits for the sound meanwhile
        for (int tick = 0; tick < 30; ++tick) {
            p.session->tick(p.harness.loop.now() + 1.0 / 60);
            p.harness.loop.advance(1.0 / 60);
        }
        const double due = p.direct->time + p.direct->lead + 0.002;
        const int first = int(std::floor(due / 0.04));
        EXPECT_EQ(first, 0) << "handed over with a lead of " << p.direct->lead << " s";
        p.frame(first * 0.04, numberedFrame(first));
        EXPECT_EQ(p.onScreen().first, 0);
        // Once it has come the lead grows again with the next completion.
        p.enhancer->release();
        p.harness.loop.runUntil([&] { return p.session->outputResolution() != "—" && !Access::busy(*p.session); }, 10);
        EXPECT_GT(p.direct->lead, 0.02);
    }
}

// The first frame of a run (opening, a seek, Play at the end) is on screen at a refresh however late
// it reaches the session: frames handed over in a row while the main thread was busy, or taken from
// the platform output in one tick, wait behind it for the next refresh. On both back-ends, with and
// without enhancement, at rate 1 and 1.5.
TEST(FramePipeline, TheFirstFrameOfARunIsOnScreenAtARefreshHoweverLateItComes) {
    for (const bool platform : {false, true})
        for (const bool enhance : {false, true})
            for (const double rate : {1.0, 1.5}) {
                SCOPED_TRACE(std::string(platform ? "platform" : "direct") + (enhance ? ", enhanced" : "") +
                             ", rate " + std::to_string(rate));
                Pipeline p(enhance, platform);
                p.session->setPlaybackRate(rate);
                p.session->seek(5.0);
                if (platform) {
                    ASSERT_FALSE(p.player->completions.empty());
                    p.player->completions.back()(true);
                    p.harness.loop.runUntilIdle();
                }
                p.session->setPlaying(true);
                const auto tick = [&] { return p.refreshAtSixtyHertz(); };
                // Frames 0 to 2 of the run come when the clock has passed the third. What a tick
                // shows is drawn before the next: meanwhile a step may complete.
                p.direct->time = p.player->time = 5.09;
                for (int n = 0; n < 3; ++n) {
                    if (platform)
                        p.player->made->frames.push_back({numberedFrame(n), 5.0 + n * 0.04});
                    else
                        p.frame(5.0 + n * 0.04, numberedFrame(n));
                }
                p.settle();
                EXPECT_EQ(tick(), 0);
                EXPECT_EQ(tick(), 2) << "the next refresh shows the frame due";
                EXPECT_EQ(tick(), 2);
            }
}

// A run whose first frame is of an earlier moment than the picture on screen (a new engine taking
// over slightly behind) does not hold the screen on it: the picture goes on with the frames due.
TEST(FramePipeline, ARunsFirstFrameBehindTheScreenDoesNotHoldIt) {
    Pipeline p(false, false);
    p.session->seek(5.0);
    PlayerSessionTestAccess::playOnInARun(*p.session);
    p.session->setPlaying(true);
    const auto tick = [&] { return p.refreshAtSixtyHertz(); };
    p.direct->time = 5.0;
    for (int n = 0; n < 4; ++n) p.frame(5.0 + n * 0.04, numberedFrame(n));
    p.settle();
    p.direct->time = 5.13;
    EXPECT_EQ(tick(), 3);
    PlayerSessionTestAccess::beginRun(*p.session);
    p.frame(5.08, numberedFrame(2));
    for (int n = 4; n < 8; ++n) p.frame(5.0 + n * 0.04, numberedFrame(n));
    p.settle();
    p.direct->time = 5.25;
    EXPECT_EQ(tick(), 6);
    p.direct->time = 5.29;
    EXPECT_EQ(tick(), 7);
}

// What a refresh draws is seen at the display link's target, a refresh after its tick: the frame
// due then is shown (within the tolerance), on both back-ends, and the direct engine hands frames
// over that much earlier while playing. A target further ahead than 50 ms is not believed.
TEST(FramePipeline, TheFrameDueAtTheRefreshsTargetIsShown) {
    // Frames 20 ms apart from 0.96 s, the clock at 1.00 s: the target 16 ms ahead makes 1.02 s due
    // (its time less the 10 ms tolerance); the clock alone, 1.00 s.
    Pipeline platform(false, true);
    for (int n = 0; n < 8; ++n) platform.player->made->frames.push_back({numberedFrame(n), 0.96 + n * 0.02});
    platform.player->time = 1.00;
    platform.session->tick(platform.harness.loop.now() + 0.016);
    EXPECT_EQ(platform.onScreen().first, 3);
    platform.session->tick(platform.harness.loop.now() + 0.3);
    EXPECT_EQ(platform.onScreen().first, 5) << "1.05 s at most: 1.06 s is not due";

    Pipeline direct(false);
    direct.session->setPlaying(true);
    direct.direct->time = 1.00;
    direct.session->tick(direct.harness.loop.now() + 0.016);
    EXPECT_NEAR(direct.direct->lead, 0.016, 1e-9);
    direct.frame(1.00, numberedFrame(2));
    direct.frame(1.02, numberedFrame(3));
    EXPECT_EQ(direct.onScreen().first, 3);
    direct.session->setPlaying(false);
    EXPECT_EQ(direct.direct->lead, 0);
}

TEST(FramePipeline, TheAspectRatioTakesOnlyFinitePositiveRatios) {
    SessionHarness harness;
    const auto session = harness.make();
    EXPECT_DOUBLE_EQ(session->videoAspectRatio(), 16.0 / 9.0);
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double offered, kept;
    } rows[] = {{0.0, 16.0 / 9.0}, {inf, 16.0 / 9.0}, {std::nan(""), 16.0 / 9.0}, {2.0, 2.0}, {-1.0, 2.0}};
    for (const auto& row : rows) {
        session->setVideoAspectRatio(row.offered);
        EXPECT_DOUBLE_EQ(session->videoAspectRatio(), row.kept) << row.offered;
    }
}

} // namespace
} // namespace lumavane

namespace lumavane {
namespace {

// Frame n (pts n × 0.04 s) reaches the session two frames ahead of the clock, as a lead makes
// the engine hand them over, and the clock then moves on to the next frame.
struct LeadingFrames {
    Pipeline& p;
    int next = 1;
    void deliverUpTo(int last) {
        for (; next <= last; ++next) {
            p.direct->time = (next - 2) * 0.04;
            p.frame(next * 0.04, numberedFrame(next));
        }
    }
};

// Paused while the enhancer lags: the picture is the frame due at the paused position, first as
// its original (neither an older enhanced frame nor one fetched ahead for the enhancer), then
// enhanced once its own enhancement is done; and it keeps that moment through later changes.
TEST(FramePipeline, APausedPictureIsTheFrameDueAtThePausedPosition) {
    Pipeline p;
    p.session->setFxPipelineOrder(FXPipelineOrder::beforeUpscale);
    p.session->setPlaying(true);
    p.enhancer->allow(0);
    LeadingFrames frames{p};
    frames.deliverUpTo(1); // frame 1 goes to the enhancer
    p.enhancer->waitForCalls(1);
    frames.deliverUpTo(8); // the clock reaches frame 6 (0.24 s)
    p.enhancer->allow(1);  // frame 1 finishes 200 ms late; frame 8, the newest, is taken next
    p.harness.loop.runUntil([&] { return p.session->outputResolution() != "—"; }, 10);
    p.enhancer->waitForCalls(2);
    EXPECT_EQ(p.onScreen(), (std::pair{6, false})) << "a late enhanced frame gives way to the original";

    p.session->togglePlayback();
    ASSERT_FALSE(p.session->playing());
    p.session->refreshDisplay(); // the next display refresh
    EXPECT_EQ(p.onScreen(), (std::pair{6, false})) << "paused: the frame due now, not enhanced frame 1";

    p.enhancer->release(); // frame 8 finishes, then the paused frame is enhanced
    p.harness.loop.runUntil([&] { return !Access::busy(*p.session) && p.enhancer->calls() >= 3; }, 10);
    EXPECT_EQ(p.onScreen(), (std::pair{6, true})) << "the paused frame enhanced, not frame 8 fetched ahead";
    EXPECT_EQ(p.session->status(), "<Enhance>");

    const std::size_t calls = p.enhancer->calls();
    p.session->setMode(ViewMode::compare);
    p.session->setMode(ViewMode::enhanced);
    p.session->setSharpenEnabled(true); // enhances the paused frame again with the effect
    p.settle();
    EXPECT_EQ(p.enhancer->calls(), calls + 1);
    EXPECT_EQ(p.onScreen(), (std::pair{6, true})) << "an effect change keeps the paused moment";

    // Playing again, the frames fetched ahead before the pause are still shown in turn.
    p.session->togglePlayback();
    std::vector<int> seen;
    for (const int number : {7, 8}) {
        p.direct->time = number * 0.04;
        p.session->refreshDisplay();
        seen.push_back(p.onScreen().first);
    }
    EXPECT_EQ(seen, (std::vector<int>{7, 8}));
}

// Enhancement switched off and on again, or the view taken to Original and back, while paused:
// the frame on screen is enhanced again and shown so, with its output size, on both back-ends.
TEST(FramePipeline, EnhancementComingOnWhilePausedEnhancesThePictureOnScreen) {
    for (const bool platform : {false, true}) {
        SCOPED_TRACE(platform ? "platform" : "direct");
        Pipeline p(true, platform);
        p.session->setMode(ViewMode::compare);
        if (platform) {
            p.player->made->frames.push_back({numberedFrame(3), 0.0});
            p.session->tick(p.harness.loop.now());
        } else {
            p.frame(0.0, numberedFrame(3));
        }
        p.settle();
        if (p.session->playing()) p.session->togglePlayback(); // an opened video plays at once
        p.settle();
        p.session->refreshDisplay();
        ASSERT_EQ(p.onScreen(), (std::pair{3, true}));
        ASSERT_FALSE(p.session->playing());

        const std::function<void()> offAndOn[] = {
            [&] {
                p.session->setEnabled(false);
                EXPECT_EQ(p.onScreen(), (std::pair{3, false}));
                EXPECT_EQ(p.session->outputResolution(), "—");
                p.session->setEnabled(true);
            },
            [&] {
                p.session->setMode(ViewMode::original);
                p.session->setEnabled(false);
                p.session->setEnabled(true); // the step waits for a view that shows it
                EXPECT_EQ(p.onScreen(), (std::pair{3, false}));
                p.session->setMode(ViewMode::compare);
            },
        };
        for (const auto& change : offAndOn) {
            change();
            p.settle();
            // The display refreshes on its own while paused, with nothing new from the source.
            if (platform) p.session->tick(p.harness.loop.now());
            else p.session->refreshDisplay();
            EXPECT_EQ(p.onScreen(), (std::pair{3, true}));
            EXPECT_TRUE(p.session->showingEnhancement());
            EXPECT_EQ(p.session->outputResolution(), "16 × 8");
            EXPECT_EQ(p.session->status(), "<Enhance>");
        }
    }
}

// The platform back-end's frames are taken at the display's target time, ahead of the clock;
// pausing holds the picture last shown.
TEST(FramePipeline, APausedPlatformPictureIsTheOneLastShown) {
    Pipeline p(true, true);
    for (int number = 0; number < 12; ++number)
        p.player->made->frames.push_back({numberedFrame(number), number * 0.04});
    p.player->time = 0.20;
    p.session->tick(p.harness.loop.now() + 0.016); // the refresh ahead shows frame 5
    p.settle();
    p.player->time = 0.21;
    // A late refresh: its target is believed up to 50 ms ahead (frame 6 at 0.24 s is shown) and
    // frames up to 7 (0.28 s) are taken.
    p.session->tick(p.harness.loop.now() + 0.07);
    p.settle();
    ASSERT_EQ(p.session->latestSourceSize().has_value(), true);
    ASSERT_EQ(p.onScreen().first, 6);
    p.session->togglePlayback();
    p.settle();
    p.session->tick(p.harness.loop.now());
    EXPECT_EQ(p.onScreen(), (std::pair{6, true})) << "the frame last shown holds, not frame 7 fetched ahead";

}

} // namespace
} // namespace lumavane

namespace lumavane {
namespace {

// Plays the fake direct engine at 60 display refreshes a second: the engine hands each 25 fps
// frame over a lead time before it is due, as it does for the enhancer, and every refresh notes
// the frame on screen (its time, from the source picture shown or enhanced).
struct LeadPlayback {
    Pipeline& p;
    double lead = 0.12;
    double clock = 0;
    int delivered = 0;
    std::map<const void*, double> ptsOf;
    int late = 0;     // refreshes that showed another frame than the one due
    int enhanced = 0; // refreshes that showed an enhanced frame
    int refreshes = 0;

    // Counts afresh from here on.
    void count() { late = enhanced = refreshes = 0; }
    void play(double seconds) {
        for (const double end = clock + seconds; clock < end;) {
            clock += 1.0 / 60;
            p.direct->time = clock;
            while ((delivered + 1) * 0.04 <= clock + lead) {
                ++delivered;
                p.frame(delivered * 0.04);
                ptsOf[p.session->latest()->node().get()] = delivered * 0.04;
            }
            p.harness.loop.runUntilIdle();
            p.session->tick(p.harness.loop.now());
            if (p.shown.empty()) continue; // nothing due yet
            const auto& [picture, guide] = p.shown.back();
            const double shown = ptsOf[(guide ? *guide : *picture).node().get()];
            const double due = std::floor((clock + p.session->presentationTolerance()) / 0.04) * 0.04;
            late += std::abs(shown - due) > 1e-6 ? 1 : 0;
            enhanced += guide ? 1 : 0;
            ++refreshes;
        }
    }
};

// A model switch while playing (the automatic mode's, whose build takes its time here, and then
// the user's own choice): every frame is still shown when it is due, and enhancement goes on
// once the new model is in place.
TEST(FramePipeline, FramesStayOnTimeWhileAModelLoadsOrSwitches) {
    Pipeline p;
    p.session->setPlaying(true);
    LeadPlayback playback{p};
    playback.play(1.0);
    EXPECT_EQ(playback.late, 0);

    p.factory->hold(true);
    p.session->loadModel("/models/Fast", true, std::nullopt, std::nullopt, false, {});
    p.factory->waitForBuilds(1);
    playback.count();
    playback.play(1.0);
    EXPECT_EQ(playback.late, 0) << "while the new model builds";
    p.factory->hold(false);
    p.harness.loop.runUntil([&] { return !p.session->loadingModel(); }, 10);
    playback.count();
    playback.play(0.5);
    EXPECT_EQ(playback.late, 0) << "when the new model comes in";
    p.harness.loop.runUntil([&] { return !Access::busy(*p.session); }, 10);
    playback.count();
    playback.play(1.0);
    EXPECT_GT(playback.enhanced, 0) << "enhancement resumes with the new model";

    // The user's choice drops the frames in flight, not the video's queued frames.
    p.session->loadModel("/models/Quality", false, std::nullopt, std::nullopt, false, {});
    playback.count();
    playback.play(1.0);
    EXPECT_EQ(playback.late, 0) << "a model the user chose";
}

} // namespace
} // namespace lumavane

namespace lumavane {
namespace {

// Plays the fake direct engine at 60 refreshes a second with 25 fps frames handed over 0.12 s
// ahead; each frame's step is waited for (up to `patience` of real time) before the clock moves
// on, so that a picture shown as its original means the step did not run, or its result was lost.
struct WaitedPlayback {
    Pipeline& p;
    double clock = 0;
    int delivered = 0;
    int refreshes = 0;
    int originals = 0;

    // False when a step did not come back in time.
    bool play(double seconds, double patience = 5) {
        for (const double end = clock + seconds; clock < end;) {
            clock += 1.0 / 60;
            p.direct->time = clock;
            while ((delivered + 1) * 0.04 <= clock + 0.12) {
                p.frame(++delivered * 0.04);
                if (!p.harness.loop.runUntil([&] { return !Access::busy(*p.session); }, patience)) return false;
            }
            p.session->tick(p.harness.loop.now());
            if (p.shown.empty()) continue;
            ++refreshes;
            originals += p.lastShownIsEnhanced() ? 0 : 1;
        }
        return true;
    }
};

// An automatic switch while playing: the model in place goes on enhancing while the next one
// builds, and what it enhanced stays due when the new one comes in, so no run of originals shows;
// a step of the replaced model that finishes after the switch is kept too, without its model
// description or timings standing for the new model's.
TEST(FramePipeline, TheModelInPlaceEnhancesUntilAnAutomaticSwitchIsInstalled) {
    Pipeline p;
    p.enhancer->model.inputWidth = 32; // tells the replaced model's description from the new one's
    p.session->setPlaying(true);
    WaitedPlayback playback{p};
    ASSERT_TRUE(playback.play(0.5));
    EXPECT_EQ(playback.originals, 0);
    ASSERT_EQ(p.session->modelInfo()->inputWidth, 32);

    p.factory->hold(true);
    p.session->loadModel("/models/Fast", true, std::nullopt, std::nullopt, false, {});
    p.factory->waitForBuilds(1);
    const std::size_t before = p.enhancer->calls();
    ASSERT_TRUE(playback.play(1.0, 2)) << "the step waits for the build";
    EXPECT_GT(p.enhancer->calls(), before + 20);
    EXPECT_EQ(playback.originals, 0) << "while the new model builds";

    // The new model comes in while the old one's step is in flight.
    const std::size_t held = p.enhancer->calls();
    p.enhancer->allow(held);
    p.frame(++playback.delivered * 0.04);
    p.enhancer->waitForCalls(held + 1);
    p.factory->hold(false);
    p.harness.loop.runUntil([&] { return !p.session->loadingModel(); }, 10);
    ASSERT_NE(p.session->enhancer(), p.enhancer);
    EXPECT_EQ(p.session->modelInfo()->inputWidth, 64);
    p.enhancer->release();
    p.settle();
    EXPECT_EQ(p.session->modelInfo()->inputWidth, 64) << "the replaced model's step does not describe the model";
    const std::size_t oldCalls = p.enhancer->calls();
    playback.refreshes = playback.originals = 0;
    ASSERT_TRUE(playback.play(1.0));
    EXPECT_GT(playback.refreshes, 50);
    EXPECT_EQ(playback.originals, 0) << "when the new model comes in";
    EXPECT_EQ(p.enhancer->calls(), oldCalls) << "the new model enhances from then on";
}

} // namespace
} // namespace lumavane
