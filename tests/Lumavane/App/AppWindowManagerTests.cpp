// The player under a real window manager (openbox on a small virtual screen): the manager's
// frame counts when the window is fitted, and full screen is the manager's to carry out.
#include "AppWindowSupport.hpp"

namespace lumavane {
namespace {

using test::WindowHarness;

TEST(PlayerUnderAWindowManager, FitsItsFrameAndComesBackFromFullScreen) {
    WindowHarness h("openbox", "en", false);
    h.showAndSettle();
    PlayerWindow& window = h.window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !PlayerWindowLifecycle::decoration(window).isNull(); }, 20000))
        << "the window manager frames the window";
    const QRect area = window.availableArea();
    // Framed where it stands (no move, no resize), then grown by the playlist.
    for (bool playlist : {false, true}) {
        if (playlist) h.layout().togglePlaylist();
        EXPECT_TRUE(QTest::qWaitFor([&] { return area.contains(window.frameGeometry()); }, 20000))
            << "title bar and all on the screen, playlist " << playlist;
        h.settle();
        const auto found = test::windowFindings(h);
        EXPECT_TRUE(found.empty()) << "playlist " << playlist << test::lines(found);
    }

    const QRect normal = window.geometry();
    test::setVideoFullscreen(h, true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.geometry() == window.screen()->geometry(); }, 20000));
    EXPECT_FALSE(window.menuBar()->isVisible());
    test::setVideoFullscreen(h, false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.geometry() == normal; }, 20000));
    const auto found = test::windowFindings(h);
    EXPECT_TRUE(found.empty()) << test::lines(found);
    test::expectPaneTogglesWork(h);
}

} // namespace
} // namespace lumavane
