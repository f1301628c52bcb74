#include "AppTestSupport.hpp"
#include "Lumavane/App/LaunchOptions.hpp"
#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/App/SingleInstance.hpp"

#include <gtest/gtest.h>

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>

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
        {"0 0 1240 780 0 0 1280 720 ", QRect(0, 0, 1240, 780)},
        {"10 10 0 700", std::nullopt},
        {"garbage", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(PlayerWindowLifecycle::restoredFrame(c.text, screens), c.frame) << c.text;
    // With a window manager's frame: the frame lies inside the screen too.
    EXPECT_EQ(PlayerWindowLifecycle::restoredFrame("0 0 1240 780 ", {QRect(0, 0, 1280, 720)}, QMargins(1, 24, 1, 1)),
              QRect(1, 24, 1240, 695));
}

TEST(PlayerWindowLifecycle, FitsTheFirstFrameIntoASmallScreen) {
    struct Case {
        QRect frame, available;
        QMargins decoration;
        QRect fitted;
    };
    const Case cases[] = {
        {QRect(0, 0, 1240, 780), QRect(0, 0, 1280, 720), {}, QRect(0, 0, 1240, 720)},
        {QRect(0, 0, 1240, 780), QRect(0, 0, 1280, 720), QMargins(2, 28, 2, 2), QRect(2, 28, 1240, 690)},
        {QRect(100, 60, 1240, 780), QRect(0, 32, 1280, 688), {}, QRect(40, 32, 1240, 688)}, // under a panel
        {QRect(40, 40, 1000, 640), QRect(0, 0, 1600, 1000), {}, QRect(40, 40, 1000, 640)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PlayerWindowLifecycle::fittedFrame(c.frame, c.available, c.decoration), c.fitted) << c.fitted.y();

    test::application();
    const fs::path file = test::freshDefaults("first");
    DefaultsStore defaults(file);
    PlayerWindowLifecycle lifecycle(defaults, "Lumavane.playerWindow", [] { return std::vector<QRect>{QRect(0, 0, 1280, 720)}; });
    QWidget window;
    window.resize(1240, 780);
    lifecycle.registerWindow(&window);
    EXPECT_TRUE(QRect(0, 0, 1280, 720).contains(window.geometry())) << "the first frame, nothing saved yet";
    fs::remove(file);
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

// Runs `work` on its own thread while this one keeps answering events, as a second process
// would while the first player's event loop runs.
template <typename Work>
auto whileAnswering(Work work) {
    std::atomic<bool> done = false;
    decltype(work()) result{};
    std::thread other([&] {
        result = work();
        done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    other.join();
    return result;
}

QString socketName(const std::string& tag) {
    return QString::fromStdString(
        (fs::temp_directory_path() / ("lumavane-instance-" + tag + "-" + std::to_string(getpid()))).string());
}

TEST(SingleInstance, LaterLaunchesHandTheirOptionsToThePlayer) {
    test::application();
    const QString name = socketName("forward");
    SingleInstance player(name);
    ASSERT_EQ(player.claim({}, 2000), SingleInstance::Claim::player) << "nobody else runs";
    EXPECT_TRUE(player.isListening());

    // Paths are bytes: not UTF-8, spaces, a leading "--".
    const LaunchOptions sent{fs::path("/models/x 4x.zip"), fs::path(std::string("/videos/--\xff\xfe caf\xc3\xa9.mkv"))};
    const auto claimed = whileAnswering([&] { return SingleInstance(name).claim(sent, 10000); });
    EXPECT_EQ(claimed, SingleInstance::Claim::forwarded);
    EXPECT_EQ(whileAnswering([&] { return SingleInstance(name).claim({}, 10000); }), SingleInstance::Claim::forwarded);

    std::vector<LaunchOptions> received;
    player.setLaunchHandler([&](const LaunchOptions& options) { received.push_back(options); });
    ASSERT_EQ(received.size(), 2u) << "launches that came before the handler are kept for it";
    EXPECT_EQ(received[0].model, sent.model);
    EXPECT_EQ(received[0].video, sent.video);
    EXPECT_FALSE(received[1].model || received[1].video);

    for (const QByteArray& line : {QByteArray("reopen"), QByteArray("launch video=***"), QByteArray("launch tv=Lw==")})
        EXPECT_FALSE(SingleInstance::decode(line)) << line.toStdString();
}

// A player that is still starting up: it listens but answers only once its event loop runs.
TEST(SingleInstance, NeverTakesTheSocketOfALivePlayer) {
    test::application();
    const QString name = socketName("live");
    QLocalServer::removeServer(name);
    QLocalServer busy;
    ASSERT_TRUE(busy.listen(name));
    int requests = 0, connections = 0;
    QObject::connect(&busy, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* socket = busy.nextPendingConnection()) {
            ++connections;
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [&, socket] {
                if (!socket->readAll().startsWith("launch")) return;
                ++requests;
                QTimer::singleShot(1500, socket, [socket] { socket->write("ok\n"); });
            });
        }
    });
    const auto claimed = whileAnswering([&] { return SingleInstance(name).claim({}, 10000); });
    EXPECT_EQ(claimed, SingleInstance::Claim::forwarded) << "a late answer is still an answer";
    EXPECT_EQ(requests, 1);
    EXPECT_TRUE(busy.isListening());
    QLocalSocket again;
    again.connectToServer(name);
    ASSERT_TRUE(again.waitForConnected(1000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return connections == 2; }, 5000)) << "the socket still reaches the running player";
}

TEST(SingleInstance, APlayerThatEndsLetsTheNextLaunchBeThePlayer) {
    test::application();
    const QString name = socketName("ending");
    SingleInstance ending(name);
    ASSERT_EQ(ending.claim({}, 2000), SingleInstance::Claim::player);
    ending.release(); // its event loop has ended; the rest of its teardown has not
    SingleInstance next(name);
    EXPECT_EQ(next.claim({}, 2000), SingleInstance::Claim::player);
    EXPECT_TRUE(next.isListening());
}

TEST(SingleInstance, TheSocketOfACrashedPlayerIsReplaced) {
    test::application();
    const QString name = socketName("stale");
    const QByteArray path = QFile::encodeName(name);
    int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    ::unlink(path.constData());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale); // the file stays behind, nobody listens
    SingleInstance player(name);
    EXPECT_EQ(player.claim({}, 2000), SingleInstance::Claim::player);
    EXPECT_TRUE(player.isListening());
}

// Two real launches a moment apart, the first still starting up when the second comes.
TEST(SingleInstance, OnlyOneOfTwoLaunchesBecomesThePlayer) {
    test::application();
    const QString name = socketName("race");
    QProcess first, second;
    first.start(SINGLE_INSTANCE_PROBE, {name, "1500", "--video", "/videos/first.mkv"});
    second.start(SINGLE_INSTANCE_PROBE, {name, "1500", "--video", "/videos/second.mkv"});
    ASSERT_TRUE(first.waitForFinished(60000));
    ASSERT_TRUE(second.waitForFinished(60000));
    const QString a = QString::fromLocal8Bit(first.readAllStandardOutput());
    const QString b = QString::fromLocal8Bit(second.readAllStandardOutput());
    const bool firstPlays = a.startsWith("player");
    const QString& player = firstPlays ? a : b;
    const QString& other = firstPlays ? b : a;
    EXPECT_TRUE(player.startsWith("player")) << a.toStdString() << "|" << b.toStdString();
    EXPECT_EQ(other, "forwarded\n") << a.toStdString() << "|" << b.toStdString();
    EXPECT_TRUE(player.contains(firstPlays ? "launch video=/videos/second.mkv" : "launch video=/videos/first.mkv"))
        << player.toStdString();
}

} // namespace
} // namespace lumavane
