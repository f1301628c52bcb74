#include "AppTestSupport.hpp"
#include "Lumavane/App/LumavaneApp.hpp"
#include "Lumavane/App/PlayerSplitLayout.hpp"
#include "Lumavane/App/PlayerToolbar.hpp"
#include "Lumavane/App/PlayerWindow.hpp"
#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/App/VideoFullscreenTransition.hpp"
#include "Lumavane/Localization/AppLanguageStore.hpp"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include <fstream>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

struct WindowHarness {
    explicit WindowHarness(const std::string& tag)
        : file((test::application(), test::freshDefaults(tag))), defaults(DefaultsStore::standard()),
          languages(defaults), lifecycle(defaults, "Lumavane.playerWindow") {
        app = std::make_unique<LumavaneApp>(
            LumavaneApp::Options{defaults, {"lumavane"}, &lifecycle, &languages, [] {}});
    }
    ~WindowHarness() {
        app.reset();
        fs::remove(file);
    }
    fs::path file;
    DefaultsStore defaults;
    AppLanguageStore languages;
    PlayerWindowLifecycle lifecycle;
    std::unique_ptr<LumavaneApp> app;
};

std::vector<std::string> lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(PlayerWindowOnX11, OpensWithinTwoSeconds) {
    QElapsedTimer clock;
    clock.start();
    WindowHarness h("open");
    h.app->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.app->window(), 2000 - int(clock.elapsed())));
    EXPECT_GE(h.app->window().width(), PlayerWindow::minimumWidth);
    EXPECT_TRUE(h.app->layout().toolbar().isVisible());
}

TEST(PlayerWindowOnX11, FullScreenTransitionsAppendOneTraceLineEach) {
    const fs::path trace = fs::temp_directory_path() / ("lumavane-fullscreen-" + std::to_string(getpid()) + ".jsonl");
    std::ofstream(trace).close();
    setenv("LUMAVANE_FULLSCREEN_TRACE", trace.c_str(), 1);
    WindowHarness h("fullscreen");
    h.app->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.app->window()));
    VideoFullscreenTransition* transition = h.app->layout().fullscreenTransition();
    ASSERT_NE(transition, nullptr);
    for (bool entering : {true, false}) {
        transition->toggleFullScreen();
        EXPECT_TRUE(transition->isTransitioning()) << "the video surface is in the window: animated";
        EXPECT_TRUE(QTest::qWaitFor([&] { return !transition->isTransitioning(); }, 4000));
        EXPECT_EQ(h.app->window().isFullScreen(), entering);
        EXPECT_EQ(h.app->layout().videoFullscreen(), entering);
        EXPECT_EQ(h.app->window().windowOpacity(), 1.0);
    }
    const auto written = lines(trace);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(written[0].starts_with(R"({"actual":"{{)")) << written[0];
    EXPECT_NE(written[0].find(R"("entering":true)"), std::string::npos);
    EXPECT_NE(written[1].find(R"("entering":false)"), std::string::npos);
    unsetenv("LUMAVANE_FULLSCREEN_TRACE");
    fs::remove(trace);
}

} // namespace
} // namespace lumavane
