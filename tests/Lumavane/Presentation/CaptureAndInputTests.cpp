#include "PresentationTestSupport.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Presentation/FrameCapture.hpp"
#include "Lumavane/Presentation/MetalSurface.hpp"
#include "Lumavane/Presentation/SurfaceClock.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <sys/stat.h>

using namespace lumavane;
using namespace lumavane::test;

namespace {

TEST(DisplayLinkTimelineTests, TargetsAreMonotonicRefreshBoundaries) {
    DisplayLinkTimeline timeline(0.01);
    // Timer firings: on time, early, late by frames, the same instant twice, a clock step back.
    const double fires[] = {5.0, 5.009, 5.0101, 5.0455, 5.0455, 5.03, 5.1};
    double last = -1;
    for (double now : fires) {
        const double target = timeline.nextTarget(now);
        EXPECT_GT(target, last);
        EXPECT_GT(target, std::min(now, last + 0.01) - 1e-12);
        EXPECT_NEAR(std::fmod(target - 5.0 + 1e-9, 0.01), 0, 1e-6) << "on the refresh grid";
        last = target;
    }
    EXPECT_NEAR(timeline.delayUntilNext(5.1234), 0.0066, 1e-9);
    timeline.setInterval(1.0 / 120); // another screen
    EXPECT_GT(timeline.nextTarget(5.101), last);
}

// A timer armed in whole milliseconds, as the video surface arms it, fires up to a millisecond
// early: its targets stay a refresh ahead of the clock (they ran further ahead with every early
// firing, 0.6 s after 6 s, and the pictures chosen for them came that much early).
TEST(DisplayLinkTimelineTests, ATimerFiringEarlyKeepsTargetsOneRefreshAhead) {
    constexpr double interval = 1.0 / 60;
    DisplayLinkTimeline timeline(interval);
    double now = 7.0;
    for (int fire = 0; fire < 600; ++fire) {
        const double target = timeline.nextTarget(now);
        ASSERT_GT(target, now) << fire;
        ASSERT_LE(target - now, interval + 0.0025) << fire;
        const double delay = std::max(1.0, std::round(timeline.delayUntilNext(now) * 1000)) / 1000;
        now += delay - (fire % 3 == 0 ? 0.001 : 0.0); // early by a millisecond at times
    }
}

TEST(PointerGestureTests, ClickTogglesAndDragMovesTheWindow) {
    struct Case {
        const char* name;
        std::vector<std::pair<double, double>> moves;
        bool fullScreen, releaseInside;
        int windowMoves;
        bool toggles;
    } cases[] = {
        {"click", {}, false, true, 0, true},
        {"drag of 3.9", {{3.9, 0}}, false, true, 0, true},
        {"drag of 4", {{2.4, 3.2}}, false, true, 1, false},
        {"long drag moves once", {{5, 0}, {9, 0}, {0, 0}}, false, true, 1, false},
        {"released outside", {}, false, false, 0, false},
        {"full screen drag", {{10, 0}}, true, true, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PointerGesture gesture;
        gesture.press(100, 50);
        int moves = 0;
        for (auto [dx, dy] : c.moves)
            moves += gesture.drag(100 + dx, 50 + dy, c.fullScreen) == PointerGesture::Drag::moveWindow;
        EXPECT_EQ(moves, c.windowMoves);
        EXPECT_EQ(gesture.release(c.releaseInside), c.toggles);
        EXPECT_FALSE(gesture.release(true)) << "no press, no toggle";
    }
}

TEST(FrameCaptureTests, CaptureSizesFollowTheModeRoundedAndClamped) {
    struct Case {
        const char* mode;
        image::Size extent;
        std::optional<image::Size> original;
        image::Size drawable;
        image::Size expected;
    } cases[] = {
        {"screen", {1920, 1080}, std::nullopt, {2560, 1440}, {2560, 1440}},
        {"bogus", {1920, 1080}, std::nullopt, {2560, 1440}, {2560, 1440}},
        {"original", {2560, 1440}, image::Size{1280.4, 720.5}, {800, 600}, {1280, 721}},
        {"original", {2560, 1440}, std::nullopt, {800, 600}, {2560, 1440}},
        {"output", {2560, 1440}, image::Size{1280, 720}, {800, 600}, {2560, 1440}},
        {"output", {0.3, 0.4}, std::nullopt, {800, 600}, {1, 1}},
        {"output", {40000, 10000}, std::nullopt, {800, 600}, {16384, 4096}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        SurfaceRig rig;
        rig.host.size = c.drawable;
        rig.surface->present(image::Image::constantColor({1, 0, 0, 1}).cropped({0, 0, c.extent.width, c.extent.height}),
                             std::nullopt);
        if (c.original) rig.surface->originalSize = [o = *c.original] { return std::optional(o); };
        EXPECT_EQ(rig.surface->captureSize(c.mode), c.expected);
    }
}

TEST(FrameCaptureTests, FileNamesCarryMillisecondsAndAUUIDPart) {
    const std::string name = captureFileName(1700000000.1239);
    EXPECT_TRUE(std::regex_match(name, std::regex("Lumavane-1700000000123-[0-9A-F]{8}\\.png"))) << name;
    EXPECT_NE(captureFileName(1700000000.1239), name) << "same millisecond, another UUID";
    EXPECT_TRUE(std::regex_match(captureFileName(), std::regex("Lumavane-[0-9]{13}-[0-9A-F]{8}\\.png")));
}

struct CaptureRig {
    TemporaryDirectory directory;
    DefaultsStore defaults{directory.path() / "defaults.json"};
    std::vector<std::string> errors;
    std::vector<std::string> dialogTitles;
    std::string name = "Lumavane-1-ABCDEF12.png";

    CaptureSaver saver() {
        return CaptureSaver({defaults,
                             [this](const std::string& title, const std::string&, auto answer) {
                                 dialogTitles.push_back(title);
                                 answer(std::nullopt);
                             },
                             [this](const std::string& message) { errors.push_back(message); },
                             [this] { return name; }});
    }
};

image::CPUImage bitmap(int w, int h, std::uint8_t value) {
    return *image::CPUImage::make(w, h, 8, 32, std::size_t(w) * 4, std::vector<std::uint8_t>(std::size_t(w) * h * 4, value));
}

// Folder mode writes into the stored folder and never replaces a file; every failure is shown
// and falls back to the dialog.
TEST(FrameCaptureTests, FolderModeNeverOverwrites) {
    CaptureRig rig;
    const auto folder = rig.directory.path() / "captures";
    std::filesystem::create_directory(folder);
    rig.defaults.set("player.captureSaveMode", "folder");
    rig.defaults.set("player.captureDirectory", folder.string());
    rig.saver().save(bitmap(4, 2, 255), std::nullopt, nullptr);
    const auto written = files::readWholeFile(folder / rig.name);
    EXPECT_TRUE(rig.errors.empty());
    EXPECT_TRUE(rig.dialogTitles.empty());

    rig.defaults.set(AppLocalization::languageKey, "en");
    rig.saver().save(bitmap(8, 8, 0), std::nullopt, nullptr); // same name
    EXPECT_EQ(files::readWholeFile(folder / rig.name), written);
    ASSERT_EQ(rig.errors.size(), 1u);
    EXPECT_EQ(rig.errors.back(), "“Lumavane-1-ABCDEF12.png” could not be saved (File exists).");
    EXPECT_EQ(rig.dialogTitles.size(), 1u);

    // The messages speak the interface language, never a library's words.
    rig.defaults.set(AppLocalization::languageKey, "ja");
    rig.defaults.set("player.captureDirectory", (folder / "gone").string());
    rig.name = "other.png";
    rig.saver().save(bitmap(4, 2, 255), std::nullopt, nullptr);
    ASSERT_EQ(rig.errors.size(), 2u);
    EXPECT_EQ(rig.errors.back(), "キャプチャフォルダ「" + (folder / "gone").string() + "」が見つかりません。");
    EXPECT_FALSE(std::filesystem::exists(folder / "gone" / "other.png"));
    rig.defaults.set(AppLocalization::languageKey, "en");

    if (::geteuid() != 0) { // root writes anywhere
        ::chmod(folder.c_str(), 0555);
        rig.defaults.set("player.captureDirectory", folder.string());
        rig.saver().save(bitmap(4, 2, 255), std::nullopt, nullptr);
        EXPECT_EQ(rig.errors.size(), 3u);
        ::chmod(folder.c_str(), 0755);
    }
    rig.defaults.remove("player.captureDirectory");
    rig.saver().save(bitmap(4, 2, 255), std::nullopt, nullptr);
    EXPECT_EQ(rig.dialogTitles.back(), "Save Displayed Frame");
}

class FakeSession : public PresentationSession {
public:
    DisplayHook display;
    CaptureHook capture;
    int gateResets = 0, refreshes = 0, toggles = 0;
    std::vector<double> ticks;
    std::vector<image::Size> displaySizes;
    double lastMetrics = 0, gpuMS = -1;

    void tick(double t) override { ticks.push_back(t); }
    void togglePlayback() override { ++toggles; }
    void setDisplayHook(DisplayHook hook) override { display = std::move(hook); }
    void setCaptureFrameHook(CaptureHook hook) override { capture = std::move(hook); }
    void resetPresentationGate() override { ++gateResets; }
    void refreshDisplay() override { ++refreshes; }
    std::optional<image::Size> latestSourceSize() const override { return image::Size{8, 4}; }
    void updateDisplayPixelSize(image::Size size) override { displaySizes.push_back(size); }
    double videoAspectRatio() const override { return 2.0; }
    double lastDisplayMetricsUpdate() const override { return lastMetrics; }
    void storeDisplayGPUms(double ms, double now) override { gpuMS = ms, lastMetrics = now; }
};

TEST(MetalSurfaceTests, DisplayGPUTimesAreThrottledAndSane) {
    struct Case {
        double ms, now;
        bool quiet;
        double stored;
    } cases[] = {{NAN, 10, false, -1}, {-1, 10, false, -1}, {2, 10, false, 2},
                 {3, 10.2, false, 2},  {4, 10.25, false, 4}, {5, 500, true, 4}, {6, 1010.25, true, 6}};
    FakeSession session;
    for (const Case& c : cases) {
        offerDisplayGPUTime(session, c.ms, c.now, c.quiet);
        EXPECT_EQ(session.gpuMS, c.stored) << c.ms << " at " << c.now;
    }
}

// The binder installs the session's hooks; the session's capture reaches a PNG in the folder,
// upright and of the "output" size; the hooks do nothing once the surface is gone.
TEST(MetalSurfaceTests, HooksReachTheSurfaceAndCaptureSavesUpright) {
    CaptureRig captures;
    captures.defaults.set("player.captureSaveMode", "folder");
    captures.defaults.set("player.captureDirectory", captures.directory.path().string());
    captures.defaults.set("player.captureSize", "output");
    auto session = std::make_shared<FakeSession>();
    auto rig = std::make_unique<SurfaceRig>();
    MetalSurface binder(session, *rig->surface, {.capture = {captures.defaults, nullptr,
                                                             [&](const std::string& m) { captures.errors.push_back(m); },
                                                             [&] { return captures.name; }}});
    EXPECT_EQ(session->gateResets, 1);
    EXPECT_EQ(session->refreshes, 1);
    EXPECT_EQ(rig->surface->sourceAspectRatio(), 2.0);
    session->display(pictureOf(8, 4, [](int x, int row) {
                         return x == 0 && row == 0 ? Pixel{0, 0, 255, 255} : Pixel{255, 0, 0, 255};
                     }),
                     std::nullopt);
    EXPECT_EQ(rig->surface->presentedFrameCount(), 1);
    EXPECT_EQ(session->displaySizes.back(), (image::Size{16, 8})) << "2:1 content fills the 16 × 8 drawable";
    rig->surface->displayLinkFired(3.25);
    EXPECT_EQ(session->ticks, std::vector<double>{3.25});

    session->capture();
    const auto path = captures.directory.path() / captures.name;
    rig->loop.runUntil([&] { return std::filesystem::exists(path); }, 30);
    ASSERT_TRUE(std::filesystem::exists(path)) << (captures.errors.empty() ? "" : captures.errors.front());
    const auto png = files::readWholeFile(path);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ((png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19]), 8) << "width of the output size";
    EXPECT_EQ((png[20] << 24 | png[21] << 16 | png[22] << 8 | png[23]), 4);

    image::CPUImage captured = bitmap(1, 1, 0);
    rig->surface->captureFrame({std::nullopt, [&](image::CPUImage c) { captured = c; }}, "output",
                               [](image::CPUImage p, auto o, auto done) { done(composeCapture(p, o)); }, nullptr);
    rig->loop.runUntil([&] { return captured.width() == 8; }, 30);
    ASSERT_EQ(captured.width(), 8);
    EXPECT_GT(captured.row(0)[2], 200) << "the marked corner is top left";
    EXPECT_LT(captured.row(3)[2], 60);

    rig.reset();
    session->display(solid(1, 1, 1), std::nullopt); // surface gone: nothing happens
    session->capture();
}

} // namespace
