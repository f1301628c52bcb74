#include "AppTestSupport.hpp"
#include "Lumavane/App/LaunchOptions.hpp"
#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/App/SingleInstance.hpp"

#include <gtest/gtest.h>

#include <QWidget>

#include <atomic>
#include <thread>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(LaunchOptions, TakesTheFirstOptionWithAValueOnly) {
    const std::string cwd = fs::current_path().string();
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::string> model, video;
    };
    const Case cases[] = {
        {{"lumavane"}, {}, {}},
        {{"lumavane", "--model"}, {}, {}},
        {{"lumavane", "--video", "/a.mp4", "--model"}, {}, "/a.mp4"},
        {{"lumavane", "--model", "/m1.zip", "--model", "/m2.zip"}, "/m1.zip", {}},
        {{"lumavane", "--video", "--model", "/m.zip"}, "/m.zip", cwd + "/--model"},
        {{"lumavane", "--model", "rel/m.zip", "--video", "/v1.mkv", "--video", "/v2.mkv"}, cwd + "/rel/m.zip", "/v1.mkv"},
        {{"lumavane", "-model", "/x", "--videos", "/y"}, {}, {}},
    };
    for (const Case& c : cases) {
        const LaunchOptions options = LaunchOptions::parse(c.arguments);
        const auto text = [](const std::optional<fs::path>& p) {
            return p ? std::optional<std::string>(p->string()) : std::nullopt;
        };
        EXPECT_EQ(text(options.model), c.model) << c.arguments.size();
        EXPECT_EQ(text(options.video), c.video) << c.arguments.size();
    }
}

TEST(LaunchOptions, RunOncePerProcessModelBeforeVideo) {
    struct Case {
        LaunchOptions options;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {{}, {"bundled"}},
        {{fs::path("/m.zip"), std::nullopt}, {"model /m.zip"}},
        {{std::nullopt, fs::path("/v.mp4")}, {"bundled", "video /v.mp4"}},
        {{fs::path("/m.zip"), fs::path("/v.mp4")}, {"model /m.zip", "video /v.mp4"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> calls;
        const LaunchActions actions{
            [&](const fs::path& p) { calls.push_back("model " + p.string()); },
            [&] { calls.push_back("bundled"); },
            [&](const fs::path& p) { calls.push_back("video " + p.string()); },
        };
        LaunchOptionsTask task;
        EXPECT_TRUE(task.run(c.options, actions));
        EXPECT_FALSE(task.run(c.options, actions)) << "the window appearing again repeats nothing";
        EXPECT_EQ(calls, c.calls);
    }
}

TEST(PlayerWindowLifecycle, ChoosesTheLegacyFrameToMigrate) {
    const std::string modified = "NSWindow Frame SwiftUI.WindowGroup<_EnvironmentKeyWritingModifier<Lumavane.ContentView>>";
    const std::string plainA = "NSWindow Frame SwiftUI.WindowGroup<A Lumavane.ContentView>";
    const std::string plainB = "NSWindow Frame SwiftUI.WindowGroup<B Lumavane.ContentView>";
    struct Case {
        DefaultsValue::Dictionary defaults;
        std::optional<std::string> frame;
    };
    const Case cases[] = {
        {{{plainA, "a"}, {modified, "m"}}, "m"},
        {{{plainB, "b"}, {plainA, "a"}}, "a"},
        {{{modified, 3}, {plainB, "b"}}, "b"},
        {{{"NSWindow Frame Other", "x"}, {"NSWindow Frame SwiftUI.WindowGroup<Other.View>", "y"}}, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(PlayerWindowLifecycle::legacyFrame(c.defaults), c.frame);
}

TEST(PlayerWindowLifecycle, RestoresOnTheScreenWhereTheFrameFits) {
    const std::vector<QRect> screens{QRect(0, 0, 1600, 1000), QRect(1600, 0, 1280, 800)};
    struct Case {
        std::string text;
        std::optional<QRect> frame;
    };
    const Case cases[] = {
        {"100 50 1240 780 0 0 1600 1000 ", QRect(100, 50, 1240, 780)},
        {"1700 10 1000 700 1600 0 1280 800 ", QRect(1700, 10, 1000, 700)},
        {"2500 300 1000 700 1600 0 1280 800 ", QRect(1880, 100, 1000, 700)}, // pulled back inside
        {"5000 5000 1240 780 5000 5000 1920 1080 ", QRect(360, 220, 1240, 780)}, // gone screen
        {"1650 0 2000 1200 ", QRect(1600, 0, 1280, 800)},                        // shrunk to fit
        {"10 10 0 700", std::nullopt},
        {"garbage", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(PlayerWindowLifecycle::restoredFrame(c.text, screens), c.frame) << c.text;
}

TEST(PlayerWindowLifecycle, MigratesOnceThenSavesUnderItsOwnName) {
    test::application();
    const fs::path file = test::freshDefaults("frame");
    DefaultsStore defaults(file);
    const std::string legacyKey = "NSWindow Frame SwiftUI.WindowGroup<Lumavane.ContentView>";
    defaults.set(legacyKey, "200 100 1100 700 0 0 1600 1000 ");
    const auto screens = [] { return std::vector<QRect>{QRect(0, 0, 1600, 1000)}; };
    {
        PlayerWindowLifecycle lifecycle(defaults, "Lumavane.playerWindow", screens);
        QWidget window;
        lifecycle.registerWindow(&window);
        EXPECT_EQ(window.geometry(), QRect(200, 100, 1100, 700));
        EXPECT_EQ(defaults.string("NSWindow Frame Lumavane.playerWindow"), "200 100 1100 700 0 0 1600 1000 ");
        EXPECT_TRUE(defaults.contains(legacyKey)) << "the legacy key stays";
        window.show();
        window.setGeometry(300, 120, 1200, 760);
        EXPECT_TRUE(defaults.string("NSWindow Frame Lumavane.playerWindow")->starts_with("300 120 1200 760 "));
    }
    defaults.set(legacyKey, "0 0 1000 640 0 0 1600 1000 ");
    PlayerWindowLifecycle lifecycle(defaults, "Lumavane.playerWindow", screens);
    QWidget window;
    lifecycle.registerWindow(&window);
    EXPECT_EQ(window.geometry(), QRect(300, 120, 1200, 760)) << "a saved frame wins over the legacy one";
    fs::remove(file);
}

TEST(SingleInstance, ASecondLaunchReachesTheFirst) {
    test::application();
    const QString name = QString::fromStdString(
        (fs::temp_directory_path() / ("lumavane-instance-" + std::to_string(getpid()))).string());
    EXPECT_FALSE(SingleInstance(name).notifyRunningInstance(200)) << "nobody is running yet";
    SingleInstance first(name);
    int reopened = 0;
    first.onReopen = [&] { ++reopened; };
    ASSERT_TRUE(first.listen());
    for (int launch = 1; launch <= 2; ++launch) {
        std::atomic<bool> answered = false, done = false;
        std::thread second([&] {
            answered = SingleInstance(name).notifyRunningInstance(2000);
            done = true;
        });
        while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        second.join();
        EXPECT_TRUE(answered);
        EXPECT_EQ(reopened, launch);
    }
}

} // namespace
} // namespace lumavane
