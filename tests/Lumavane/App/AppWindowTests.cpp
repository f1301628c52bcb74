// The player's window on a virtual X server without a window manager, at whatever screen size
// the test is run with (the default frame fits a 1600 x 1000 screen, not a 1280 x 720 one).
// LUMAVANE_APP_SCREENSHOTS names a folder to keep a picture of each checked state in.
#include "AppWindowSupport.hpp"

#include <QGuiApplication>
#include <QMessageBox>

#include <cstdlib>
#include <fstream>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using test::WindowHarness;

std::vector<std::string> fileLines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A picture of the screen for a person to look at, when asked for.
void keepScreenshot(const std::string& name) {
    const char* folder = std::getenv("LUMAVANE_APP_SCREENSHOTS");
    if (!folder || !*folder) return;
    const QSize size = QGuiApplication::primaryScreen()->size();
    QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(
        std::string(folder) + "/" + name + "-" + std::to_string(size.width()) + "x" + std::to_string(size.height()) +
        ".png"));
}

TEST(PlayerWindow, FirstFrameFitsTheScreen) {
    WindowHarness h("first");
    h.showAndSettle();
    const QRect area = h.window().availableArea();
    EXPECT_TRUE(area.contains(h.window().frameGeometry()));
    EXPECT_EQ(h.window().width(), std::min(PlayerWindow::defaultWidth, area.width()));
    EXPECT_EQ(h.window().height(), std::min(PlayerWindow::defaultHeight, area.height()));
    EXPECT_TRUE(h.layout().toolbar().isVisible());
}

TEST(PlayerWindowLooks, InBothLanguagesWithThePlaylistOpenAndClosed) {
    for (const std::string language : {"ja", "en"}) {
        for (bool playlist : {false, true}) {
            WindowHarness h("looks", language, playlist);
            h.showAndSettle();
            ASSERT_EQ(h.layout().playlistCollapsed(), !playlist);
            const auto found = test::windowFindings(h);
            EXPECT_TRUE(found.empty()) << language << (playlist ? ", playlist open" : ", playlist closed")
                                       << test::lines(found);
            keepScreenshot("window-" + language + (playlist ? "-playlist" : ""));
        }
    }
}

TEST(PlayerWindowLooks, AfterAFullScreenRoundTrip) {
    for (const std::string language : {"ja", "en"}) {
        WindowHarness h("roundtrip", language, true);
        h.showAndSettle();
        const QRect normal = h.window().geometry();
        test::setVideoFullscreen(h, true);
        const QRect screen = h.window().screen()->geometry();
        EXPECT_TRUE(QTest::qWaitFor([&] { return h.window().geometry() == screen; }, 10000))
            << "the video covers the screen, with or without a window manager";
        EXPECT_FALSE(h.window().menuBar()->isVisible()) << "the menu bar leaves with everything else";
        keepScreenshot("fullscreen-" + language);
        test::setVideoFullscreen(h, false);
        EXPECT_TRUE(QTest::qWaitFor([&] { return h.window().geometry() == normal; }, 10000)) << "the frame comes back";
        EXPECT_TRUE(h.window().menuBar()->isVisible());
        EXPECT_TRUE(h.layout().toolbar().isVisible());
        // The video's title stands over the video pane again, not over the sidebar.
        const QWidget* title = h.app->contentView().titleView();
        const QWidget* pane = h.app->contentView().videoPane();
        const auto leftOf = [&](const QWidget* widget) { return widget->mapTo(&h.window(), QPoint()).x(); };
        EXPECT_TRUE(QTest::qWaitFor([&] { return leftOf(title) >= leftOf(pane); }, 5000))
            << "title at " << leftOf(title) << ", video pane at " << leftOf(pane);
        const auto found = test::windowFindings(h);
        EXPECT_TRUE(found.empty()) << language << test::lines(found);
        keepScreenshot("after-fullscreen-" + language);
        test::expectPaneTogglesWork(h);
    }
}

// Leaving again while the entering transition still runs: the window must come back, and with it
// the panes' toggles.
TEST(PlayerWindow, LeavingFullScreenDuringTheTransitionComesBack) {
    WindowHarness h("quick", "en", true);
    h.showAndSettle();
    ContentView& content = h.app->contentView();
    content.enterVideoFullscreen();
    ASSERT_TRUE(QTest::qWaitFor([&] { return content.state().isVideoFullscreen; }, 10000));
    ASSERT_TRUE(h.layout().fullscreenTransition()->isTransitioning()) << "still handing the picture over";
    test::setVideoFullscreen(h, false);
    EXPECT_FALSE(h.window().isFullScreen());
    test::expectPaneTogglesWork(h);
}

TEST(PlayerWindow, ShortcutsWorkWithoutTheMenuBarAndOverAMessage) {
    WindowHarness h("shortcuts");
    int opened = 0;
    h.app->openVideo = [&](bool) { ++opened; };
    h.showAndSettle();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&h.window()));
    test::setVideoFullscreen(h, true);
    QTest::keyClick(&h.window(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(opened, 1) << "Ctrl+O with the menu bar away";
    test::setVideoFullscreen(h, false);

    auto* message = new QMessageBox(QMessageBox::Warning, "Lumavane", "?", QMessageBox::Ok,
                                    h.app->contentView().videoPane());
    message->open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(message));
    QTest::keyClick(message, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(opened, 2);
    QTest::keyClick(message, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(h.quits, 1) << "Ctrl+Q while a message is shown";
    delete message;
}

TEST(PlayerWindow, FullScreenTransitionsAppendOneTraceLineEach) {
    const fs::path trace = fs::temp_directory_path() / ("lumavane-fullscreen-" + std::to_string(getpid()) + ".jsonl");
    std::ofstream(trace).close();
    setenv("LUMAVANE_FULLSCREEN_TRACE", trace.c_str(), 1);
    WindowHarness h("fullscreen");
    h.showAndSettle();
    VideoFullscreenTransition* transition = h.layout().fullscreenTransition();
    ASSERT_NE(transition, nullptr);
    for (bool entering : {true, false}) {
        transition->toggleFullScreen();
        EXPECT_TRUE(transition->isTransitioning()) << "the video surface is in the window: animated";
        EXPECT_TRUE(QTest::qWaitFor([&] { return !transition->isTransitioning(); }, 20000));
        EXPECT_EQ(h.window().isFullScreen(), entering);
        EXPECT_EQ(h.layout().videoFullscreen(), entering);
        EXPECT_EQ(h.window().windowOpacity(), 1.0);
    }
    const auto written = fileLines(trace);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(written[0].starts_with(R"({"actual":"{{)")) << written[0];
    EXPECT_NE(written[0].find(R"("entering":true)"), std::string::npos);
    EXPECT_NE(written[1].find(R"("entering":false)"), std::string::npos);
    unsetenv("LUMAVANE_FULLSCREEN_TRACE");
    fs::remove(trace);
}

} // namespace
} // namespace lumavane
