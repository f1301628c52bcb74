#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Presentation/QtMainExecutor.hpp"
#include "Lumavane/Presentation/VideoSurfaceWidget.hpp"
#include "Lumavane/Session/PlaybackSleepAssertion.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/ButtonStyles.hpp"
#include "Lumavane/Views/ComparisonOverlay.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/VideoDropArea.hpp"
#include "Lumavane/Views/VideoOverlays.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

#include <cmath>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

QApplication& application() {
    setenv("QT_QPA_PLATFORM", LUMAVANE_TEST_QPA, 0);
    static int argc = 1;
    static char name[] = "ViewsTests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

struct NoSleepPrevention final : PlaybackSleepPreventing {
    void setPlaybackActive(bool) override {}
};

// Pumps events until the condition holds or a second passes.
bool waitFor(const std::function<bool()>& condition, int milliseconds = 1000) {
    for (int waited = 0; waited < milliseconds; waited += 5) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// A main view over a session of its own in a 1000 x 640 window, on the test's own defaults.
struct Harness {
    explicit Harness(const std::string& language = "ja", int hideMilliseconds = 2000) {
        application();
        folder = fs::temp_directory_path() / ("lumavane-views-" + std::to_string(getpid()) + "-" +
                                              std::to_string(counter++));
        fs::remove_all(folder);
        fs::create_directories(folder);
        setenv("LUMAVANE_DEFAULTS", (folder / "defaults.json").c_str(), 1);
        DefaultsStore::standard().set("LumavanePreferredLanguage", language);
        PlayerSession::Options options{DefaultsStore(folder / "defaults.json")};
        options.modelImportsDirectory = folder / "imports";
        options.playbackSleepPrevention = std::make_shared<NoSleepPrevention>();
        options.executor = &executor;
        options.localize = [](const std::string& key) { return key; };
        options.openDirectPlayback = [](const fs::path&) -> std::shared_ptr<DirectPlaybackBackend> {
            throw std::runtime_error("no engine in the view tests");
        };
        session = std::make_unique<PlayerSession>(std::move(options));
        ContentView::Options viewOptions{DefaultsStore(folder / "defaults.json")};
        viewOptions.fullscreenHideMilliseconds = hideMilliseconds;
        view = std::make_unique<ContentView>(*session, std::move(viewOptions));
        // Never shown: a GL widget cannot be flushed on the offscreen platform.
        view->videoPane()->resize(1000, 640);
    }
    ~Harness() {
        // The surface's draws complete on the GPU's thread through the surface's executor: let
        // them land before the surface goes.
        waitFor([] { return false; }, 40);
        view.reset();
        session.reset();
        std::error_code ignored; // the store may still be writing in the background
        fs::remove_all(folder, ignored);
    }
    QWidget* window() { return view->videoPane()->window(); }
    void enterFullScreen() {
        view->windowWillEnterFullScreen(window());
        view->windowDidEnterFullScreen(window());
    }
    bool shown(QWidget* widget) { return widget->isVisibleTo(view->videoPane()); }

    static inline int counter = 0;
    fs::path folder;
    QObject context;
    QtMainExecutor executor{&context};
    std::unique_ptr<PlayerSession> session;
    std::unique_ptr<ContentView> view;
};

TEST(ContentView, PanesShownInEachState) {
    struct Case {
        bool hasVideo, fullscreen;
        ViewMode mode;
        bool empty, comparison, transport, osd;
    } cases[] = {
        {false, false, ViewMode::compare, true, false, true, false},
        {true, false, ViewMode::compare, false, true, true, false},
        {true, false, ViewMode::enhanced, false, false, true, false},
        {true, true, ViewMode::compare, false, true, false, true},
        {false, true, ViewMode::original, true, false, false, true},
    };
    for (const Case& c : cases) {
        Harness h;
        h.session->setMode(c.mode);
        h.session->setHasVideo(c.hasVideo);
        if (c.fullscreen) h.enterFullScreen();
        SCOPED_TRACE(testing::Message() << c.hasVideo << c.fullscreen << int(c.mode));
        EXPECT_EQ(h.shown(h.view->emptyState()), c.empty);
        EXPECT_EQ(h.shown(h.view->comparisonOverlay()), c.comparison);
        EXPECT_EQ(h.shown(h.view->transportSlot()), c.transport);
        EXPECT_EQ(h.shown(h.view->fullscreenOSD()), c.osd);
        EXPECT_EQ(h.view->state().isVideoFullscreen, c.fullscreen);
    }
}

TEST(ContentView, AnotherWindowsFullScreenIsIgnored) {
    Harness h;
    QWidget other;
    h.view->windowWillEnterFullScreen(&other);
    h.view->windowDidEnterFullScreen(&other);
    EXPECT_FALSE(h.view->state().isVideoFullscreen);
    EXPECT_FALSE(h.view->state().fullscreenTransitionInProgress);
    h.enterFullScreen();
    h.view->windowWillExitFullScreen(&other);
    h.view->windowDidExitFullScreen(&other);
    EXPECT_TRUE(h.view->state().isVideoFullscreen);
}

TEST(ContentView, FullScreenControlsHideAfterTheIntervalUnlessHeld) {
    struct Case {
        const char* name;
        std::function<void(ContentView&)> hold;
        bool hides;
    } cases[] = {
        {"nothing", [](ContentView&) {}, true},
        {"pointer on the controls", [](ContentView& v) { v.setFullscreenControlsHovered(true); }, false},
        {"popover open", [](ContentView& v) { v.setPopover(ContentView::Popover::subtitles, true); }, false},
        {"seek bar dragged", [](ContentView& v) { v.setScrubbing(true); }, false},
        {"sidebar out", [](ContentView& v) { v.setFullscreenSidebarVisible(true); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h("ja", 40);
        h.enterFullScreen();
        c.hold(*h.view);
        h.view->showFullscreenControlsTemporarily();
        EXPECT_TRUE(h.view->state().fullscreenControlsVisible);
        waitFor([&] { return !h.view->state().fullscreenControlsVisible; }, 200);
        EXPECT_EQ(!h.view->state().fullscreenControlsVisible, c.hides);
        EXPECT_EQ(h.view->cursorHidden(), c.hides);
    }
    // Pointer movement shows them again and restarts the timer; leaving full screen stops it.
    Harness h("ja", 40);
    h.enterFullScreen();
    ASSERT_TRUE(waitFor([&] { return !h.view->state().fullscreenControlsVisible; }));
    QHoverEvent move(QEvent::HoverMove, QPointF(10, 10), QPointF(10, 10), QPointF(9, 9));
    QApplication::sendEvent(h.view->surface(), &move);
    EXPECT_TRUE(h.view->state().fullscreenControlsVisible);
    EXPECT_FALSE(h.view->cursorHidden());
    EXPECT_TRUE(h.view->hideTaskPending());
    h.view->windowWillExitFullScreen(h.window());
    EXPECT_FALSE(h.view->hideTaskPending());
}

TEST(ContentView, SheetsArePresentedIndependently) {
    Harness h;
    std::vector<std::pair<ContentView::Sheet, bool>> presented;
    h.view->presentSheet = [&](ContentView::Sheet sheet, bool shown) { presented.emplace_back(sheet, shown); };
    h.view->setShowsSettings(true);
    h.view->showBenchmark("series", std::nullopt);
    h.enterFullScreen();
    h.view->setShowsModelImport(true);
    h.view->setShowsSettings(true); // already shown: nothing new
    h.view->setShowsBenchmark(false);
    using S = ContentView::Sheet;
    const std::vector<std::pair<S, bool>> expected{
        {S::settings, true}, {S::benchmark, true}, {S::modelImport, true}, {S::benchmark, false}};
    EXPECT_EQ(presented, expected);
    EXPECT_EQ(h.view->state().benchmarkSeriesID, "series");
    EXPECT_TRUE(h.view->state().showsSettings && h.view->state().showsModelImport);
}

TEST(ComparisonOverlay, GeometryAtSeveralAspectRatios) {
    struct Case {
        double w, h, aspect, fraction;
        QRectF content;
        QPointF handle;
        bool left, right;
    } cases[] = {
        {1000, 600, 16.0 / 9, 0.5, {0, 18.75, 1000, 562.5}, {500, 300}, true, true},
        {1000, 600, 4.0 / 3, 0.25, {100, 0, 800, 600}, {300, 300}, true, true},
        {1000, 1000, 16.0 / 9, 0.1, {0, 218.75, 1000, 562.5}, {100, 500}, false, true},
        {400, 900, 9.0 / 16, 1.0, {0, 94.4444, 400, 711.111}, {400, 450}, true, false},
        {1000, 600, std::nan(""), 0.5, {500, 300, 0, 0}, {500, 300}, false, false},
        {1000, 600, 16.0 / 9, std::nan(""), {0, 18.75, 1000, 562.5}, {500, 300}, true, true},
        {0, 0, 16.0 / 9, 0.5, {0, 0, 0, 0}, {0, 0}, false, false},
        {1000, 600, 0, 0.5, {500, 300, 0, 0}, {500, 300}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " a=" << c.aspect << " f=" << c.fraction);
        const ComparisonGeometry g = comparisonGeometry(c.w, c.h, c.aspect, c.fraction);
        for (double v : {g.content.x(), g.content.y(), g.content.width(), g.content.height(), g.handle.x(),
                         g.handle.y(), g.boundary.x(), g.boundary.height()})
            EXPECT_TRUE(std::isfinite(v));
        EXPECT_NEAR(g.content.x(), c.content.x(), 1e-3);
        EXPECT_NEAR(g.content.y(), c.content.y(), 1e-3);
        EXPECT_NEAR(g.content.width(), c.content.width(), 1e-3);
        EXPECT_NEAR(g.content.height(), c.content.height(), 1e-3);
        EXPECT_NEAR(g.handle.x(), c.handle.x(), 1e-3);
        EXPECT_NEAR(g.handle.y(), c.handle.y(), 1e-3);
        EXPECT_EQ(g.boundary.width(), 44);
        EXPECT_EQ(g.leftBadge, c.left);
        EXPECT_EQ(g.rightBadge, c.right);
    }
}

TEST(ComparisonOverlay, BadgesNeedMoreThan155Points) {
    struct Case {
        double fraction;
        bool left, right;
    } cases[] = {{0.155, false, true}, {0.156, true, true}, {0.845, true, true}, {0.846, true, false}, {0, false, true}};
    for (const Case& c : cases) {
        const ComparisonGeometry g = comparisonGeometry(1000, 562.5, 16.0 / 9, c.fraction);
        EXPECT_EQ(g.leftBadge, c.left) << c.fraction;
        EXPECT_EQ(g.rightBadge, c.right) << c.fraction;
    }
}

TEST(ComparisonOverlay, DragWritesTheShownComparisonsFractionAndSavesOnce) {
    struct Case {
        bool effects;
        double pointerX, expected;
    } cases[] = {{false, 250, 0.25}, {false, -80, 0}, {false, 5000, 1}, {true, 750, 0.75}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.effects << " " << c.pointerX);
        Harness h;
        h.session->setHasVideo(true);
        h.session->setVideoAspectRatio(16.0 / 9);
        if (c.effects) {
            h.session->setMode(ViewMode::enhanced);
            h.session->setFxComparison(true);
            h.session->setSharpenEnabled(true);
        } else {
            h.session->setMode(ViewMode::compare);
        }
        ComparisonOverlay& overlay = *h.view->comparisonOverlay();
        h.view->surface()->resize(1000, 600);
        h.view->refresh();
        ASSERT_EQ(overlay.size(), QSize(1000, 600));
        const double splitBefore = h.session->split(), fxBefore = h.session->fxSplit();
        int saves = 0;
        DefaultsStore defaults(h.folder / "defaults.json");
        auto watch = defaults.observe(PlayerSession::preferencesKey, [&] { ++saves; });
        const QPointF handle = overlay.geometry().handle;
        QMouseEvent press(QEvent::MouseButtonPress, handle, handle, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&overlay, &press);
        EXPECT_TRUE(press.isAccepted());
        saves = 0;
        const QPointF to(c.pointerX, 300);
        QMouseEvent move(QEvent::MouseMove, to, to, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&overlay, &move);
        EXPECT_DOUBLE_EQ(c.effects ? h.session->fxSplit() : h.session->split(), c.expected);
        EXPECT_DOUBLE_EQ(c.effects ? h.session->split() : h.session->fxSplit(), c.effects ? splitBefore : fxBefore);
        EXPECT_EQ(saves, c.expected == 0.5 ? 0 : 1);
        // A press off the boundary is the surface's: nothing moves.
        const double after = c.effects ? h.session->fxSplit() : h.session->split();
        QMouseEvent release(QEvent::MouseButtonRelease, to, to, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&overlay, &release);
        const QPointF away(overlay.geometry().handle.x() + (c.expected > 0.5 ? -200 : 200), 300);
        QMouseEvent press2(QEvent::MouseButtonPress, away, away, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&overlay, &press2);
        EXPECT_EQ(c.effects ? h.session->fxSplit() : h.session->split(), after);
    }
}

TEST(ComparisonOverlay, AdjustActionStepsAndClamps) {
    Harness h;
    h.session->setHasVideo(true);
    ComparisonOverlay& overlay = *h.view->comparisonOverlay();
    struct Case {
        double start;
        bool increment;
        double expected;
    } cases[] = {{0.98, true, 1.0}, {0.03, false, 0.0}, {0.5, true, 0.55}};
    for (const Case& c : cases) {
        h.session->setSplit(c.start);
        overlay.adjust(c.increment);
        EXPECT_NEAR(h.session->split(), c.expected, 1e-12);
    }
    h.session->setSplit(0.333);
    EXPECT_EQ(overlay.valueText(), "左側 33パーセント");
}

TEST(VideoDropArea, OnlyFileURLsAreAccepted) {
    application();
    QWidget target;
    std::vector<std::vector<fs::path>> received;
    VideoDropArea area(target, "drop", [&](const std::vector<fs::path>& urls) {
        received.push_back(urls);
        return true;
    });
    struct Case {
        QList<QUrl> urls;
        bool accepted;
    } cases[] = {
        {{QUrl::fromLocalFile("/tmp/a.mp4"), QUrl("https://example.com/b.mp4")}, true},
        {{QUrl("https://example.com/b.mp4")}, false},
        {{}, false},
        {{QUrl::fromLocalFile("/tmp/folder")}, true},
    };
    for (const Case& c : cases) {
        QMimeData data;
        data.setUrls(c.urls);
        EXPECT_EQ(area.drop(data), c.accepted);
    }
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], std::vector<fs::path>{"/tmp/a.mp4"});
    EXPECT_EQ(received[1], std::vector<fs::path>{"/tmp/folder"}); // folders pass unchanged
}

TEST(ContentView, DropsAreSearchedOffTheMainThreadAndOpenedOnIt) {
    struct Case {
        std::vector<std::string> files; // created in a dropped folder
        bool opens;
    } cases[] = {{{"b.mkv", "a.mkv", "notes.txt"}, true}, {{"notes.txt"}, false}};
    for (const Case& c : cases) {
        Harness h;
        const fs::path dropped = h.folder / "dropped";
        fs::create_directories(dropped);
        for (const auto& name : c.files) std::ofstream(dropped / name) << "x";
        std::function<void()> pending;
        h.view->runInBackground = [&](std::function<void()> work) { pending = std::move(work); };
        EXPECT_TRUE(h.view->acceptDrop({dropped})); // accepted before the folder is read
        EXPECT_TRUE(h.session->playlist().empty());
        ASSERT_TRUE(pending);
        std::thread worker(pending);
        worker.join();
        EXPECT_TRUE(h.session->playlist().empty()); // applied on the main thread only
        waitFor([&] { return !h.session->playlist().empty() || h.session->message().has_value(); });
        if (c.opens) {
            ASSERT_EQ(h.session->playlist().size(), 2u);
            EXPECT_EQ(h.session->playlist()[0].filename(), "a.mkv");
        } else {
            EXPECT_TRUE(h.session->playlist().empty());
            EXPECT_EQ(h.session->message(), std::optional<std::string>("再生可能な動画が見つかりませんでした。"));
        }
    }
    Harness h;
    EXPECT_FALSE(h.view->acceptDrop({}));
}

// The lowest row of the picture with anything drawn on it, -1 when none.
int lowestDrawnRow(const QImage& picture) {
    for (int y = picture.height() - 1; y >= 0; --y)
        for (int x = 0; x < picture.width(); ++x)
            if (qAlpha(picture.pixel(x, y)) > 0) return y;
    return -1;
}

TEST(ContentView, FullScreenSubtitlesStayAboveTheFloatingControls) {
    Harness h;
    h.session->setHasVideo(true);
    h.enterFullScreen();
    // The floating controls where they are drawn, at the foot of a 1280 x 720 picture.
    const QSize size(1280, 720);
    h.view->surface()->resize(size);
    h.view->refresh(); // never shown: no resize event lays the overlays out
    const int controlsTop = size.height() - h.view->fullscreenControlsHeight();
    EXPECT_EQ(h.view->fullscreenOSD()->geometry().bottom() + 1, size.height() - 28);
    EXPECT_EQ(h.view->fullscreenOSD()->geometry().top(), controlsTop);

    // Subtitles in a box, as the settings draw them: the box's last row stays above the controls.
    const SubtitleRenderer boxes{
        [](const std::string&, double points) {
            QFont font;
            font.setPixelSize(int(points));
            return font;
        },
        [](const QFont& font, const QString& text, int width, const std::string&, double) {
            return QFontMetrics(font).boundingRect(QRect(0, 0, width - 28, 100000), Qt::TextWordWrap, text).size() +
                   QSize(28, 14);
        },
        [](QPainter& painter, const QRect& area, const QString& text, const std::string&, double) {
            painter.fillRect(area, Qt::black);
            painter.drawText(area.adjusted(14, 7, -14, -7), Qt::AlignCenter | Qt::TextWordWrap, text);
        }};
    for (const bool fullscreen : {true, false}) {
        QImage picture(size, QImage::Format_ARGB32_Premultiplied);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        overlays::paintSubtitles(painter, size, "字幕の一行目\nThe second line", h.view->appearance(), boxes, fullscreen,
                                 h.view->fullscreenControlsHeight());
        painter.end();
        const int bottom = lowestDrawnRow(picture);
        if (fullscreen) {
            EXPECT_LT(bottom, controlsTop) << "the controls cover the last line";
        } else {
            EXPECT_EQ(bottom, size.height() - 34 - 1); // under the picture, the windowed padding
        }
    }
}

TEST(ContentView, FullScreenOSDShowsFileNamesVerbatim) {
    Harness h("en");
    auto* name = h.view->fullscreenOSD()->findChild<QLabel*>();
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text().toStdString(), AppLocalization::string("動画を開いて始める"));
    EXPECT_NE(name->text().toStdString(), "動画を開いて始める");
    h.session->loadVideo(h.folder / "字幕");
    h.session->setHasVideo(true);
    EXPECT_EQ(name->text().toStdString(), "字幕");
}

QRgb pixel(const image::CPUImage& image, int x, int y) {
    const std::uint8_t* p = image.row(y) + 4 * x;
    return qRgba(p[2], p[1], p[0], p[3]);
}

TEST(ContentView, CaptureContentDrawsTheChosenLayersAtTheExactSize) {
    Harness h;
    DefaultsStore defaults(h.folder / "defaults.json");
    defaults.set("player.captureOSD", true);
    h.session->setHasVideo(true);
    h.session->setPaused(true);
    auto capture = h.view->captureContent({301, 171}, 2);
    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->width(), 602);
    EXPECT_EQ(capture->height(), 342);
    EXPECT_GT(qAlpha(pixel(*capture, 301 + 2, 171)), 0); // the pause glyph in the badge
    EXPECT_EQ(qAlpha(pixel(*capture, 4, 4)), 0);

    // Full screen with the controls hidden: the badge without the on-screen display.
    h.view->setFullscreenControlsHovered(false);
    Harness f("ja", 20);
    DefaultsStore(f.folder / "defaults.json").set("player.captureOSD", true);
    f.session->setHasVideo(true);
    f.session->setPaused(true);
    f.enterFullScreen();
    const auto osdRow = [&](const image::CPUImage& image) {
        int drawn = 0;
        for (int x = 0; x < image.width(); ++x) drawn += qAlpha(pixel(image, x, 500 - 40)) > 0;
        return drawn;
    };
    auto shown = f.view->captureContent({1000, 500}, 1);
    ASSERT_TRUE(shown);
    EXPECT_GT(osdRow(*shown), 500);
    ASSERT_TRUE(waitFor([&] { return !f.view->state().fullscreenControlsVisible; }));
    auto hidden = f.view->captureContent({1000, 500}, 1);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(osdRow(*hidden), 0);
    EXPECT_GT(qAlpha(pixel(*hidden, 501, 250)), 0);

    // Nothing asked for: a clear picture; guides alone: the boundary's handle.
    defaults.set("player.captureOSD", false);
    auto clear = h.view->captureContent({100, 100}, 1);
    ASSERT_TRUE(clear);
    EXPECT_EQ(qAlpha(pixel(*clear, 50, 50)), 0);
    defaults.set("player.captureComparisonGuides", true);
    auto guides = h.view->captureContent({400, 225}, 1);
    ASSERT_TRUE(guides);
    EXPECT_GT(qAlpha(pixel(*guides, 200 + 12, 112)), 100);
    EXPECT_FALSE(h.view->captureContent({0, 100}, 2));
}

TEST(StyledButton, DisabledUnderThePointerDropsItsHighlight) {
    application();
    struct Case {
        ButtonStyle style;
        bool keepsHover;
    } cases[] = {{ButtonStyle::displayMode, false}, {ButtonStyle::accentIcon, false}, {ButtonStyle::playerIcon, true}};
    for (const Case& c : cases) {
        StyledButton button(c.style);
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QApplication::sendEvent(&button, &enter);
        EXPECT_TRUE(button.hovered());
        button.setEnabled(false);
        button.setEnabled(true);
        EXPECT_EQ(button.hovered(), c.keepsHover) << int(c.style);
    }
    StyledButton segment(ButtonStyle::displayMode);
    segment.setSelected(true);
    segment.setEnabled(false);
    const ButtonLook look = segment.currentLook();
    EXPECT_NEAR(look.fill.alphaF(), 0.14, 0.01); // a disabled selected segment keeps its fill
    EXPECT_DOUBLE_EQ(look.opacity, 0.45);
}

} // namespace
} // namespace lumavane
