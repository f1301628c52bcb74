// A second launch handing its video to the running player while a sheet is open over the window,
// under a real window manager: the sheet keeps the keyboard.
#include "AppWindowSupport.hpp"
#include "Lumavane/App/SingleInstance.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Sheets/ModelImportSheet.hpp"

#include <QLabel>
#include <QProcess>

#include <unistd.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using test::WindowHarness;

// Where key presses go: the window of each widget that receives one.
struct KeyWatch final : QObject {
    std::vector<QWidget*> windows;
    bool eventFilter(QObject* receiver, QEvent* event) override {
        if (event->type() == QEvent::KeyPress)
            if (auto* widget = qobject_cast<QWidget*>(receiver)) windows.push_back(widget->window());
        return false;
    }
};

// The video cannot be opened; its failure shows inside the import sheet, and the keys typed next
// (Return, then Escape, which closes it) reach that sheet, not the window under it. Twice: the
// sheet opened again takes the next hand-over the same way.
TEST(PlayerUnderAWindowManager, AHandOverLeavesTheKeyboardWithTheOpenSheet) {
    WindowHarness h("hand-over", "en", false);
    presentModelImportSheets(h.app->contentView(), h.app->session(), &h.window());
    h.showAndSettle();
    const QString name = QString::fromStdString(
        (fs::temp_directory_path() / ("lumavane-instance-hand-over-" + std::to_string(getpid()))).string());
    SingleInstance player(name);
    ASSERT_EQ(player.claim({}, 2000), SingleInstance::Claim::player);
    player.setLaunchHandler([&](const LaunchOptions& launch) { h.app->openLaunch(launch); });

    ContentView& content = h.app->contentView();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        content.setShowsModelImport(true);
        auto* sheet = qobject_cast<ModelImportSheet*>(QApplication::activeModalWidget());
        ASSERT_TRUE(sheet);
        ASSERT_TRUE(QTest::qWaitForWindowActive(sheet, 20000));

        QProcess second;
        second.start(SINGLE_INSTANCE_PROBE, {name, "0", "--video", "/nonexistent/second launch.mp4"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 30000));
        EXPECT_EQ(second.readAllStandardOutput().trimmed(), "forwarded");
        ASSERT_TRUE(QTest::qWaitFor([&] { return bool(h.app->session().message()); }, 20000));
        EXPECT_TRUE(sheet->findChild<QLabel*>("chooserMessage")->isVisible());
        EXPECT_FALSE(content.messageAlert()) << "shown in the sheet alone";
        // The window manager's answer to the activation takes a moment: given ample time, the
        // window under the sheet must not become the active one.
        EXPECT_FALSE(QTest::qWaitFor([&] { return QApplication::activeWindow() != sheet; }, 3000))
            << "the window under the sheet took the keyboard";

        KeyWatch watch;
        QApplication::instance()->installEventFilter(&watch);
        ASSERT_TRUE(QGuiApplication::focusWindow());
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Return);
        QApplication::instance()->removeEventFilter(&watch);
        ASSERT_FALSE(watch.windows.empty());
        for (QWidget* window : watch.windows) EXPECT_EQ(window, sheet) << "Return went elsewhere";
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !content.state().showsModelImport; }, 20000))
            << "Escape did not reach the sheet";
        EXPECT_FALSE(h.app->session().message());
        if (content.state().showsModelImport) content.setShowsModelImport(false);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

} // namespace
} // namespace lumavane
