// The video pane with its transport bar as a person sees it on a virtual X server with the
// application's style, in both languages: at the narrowest pane the bar allows and at the default
// window's, and the floating controls of the video-only full screen; grabbed into PNGs to look at
// ($LUMAVANE_SCREENSHOT_DIR, else /tmp/lumavane-video-pane-screenshots).
#include "ScreenChecks.hpp"

#include "Lumavane/App/AppTestSupport.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Presentation/QtMainExecutor.hpp"
#include "Lumavane/Session/PlaybackSleepAssertion.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/PopoverPickers.hpp"
#include "Lumavane/Views/SeekSlider.hpp"
#include "Lumavane/Views/SidebarView.hpp"
#include "Lumavane/Views/TransportSessionBinding.hpp"

#include <QScreen>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

struct NoSleepPrevention final : PlaybackSleepPreventing {
    void setPlaybackActive(bool) override {}
};

// A main view over a session of its own, its video pane alone in a window.
struct PaneHarness {
    explicit PaneHarness(const std::string& language) {
        test::application();
        defaults = test::freshDefaults("pane-" + language);
        DefaultsStore::standard().set(AppLocalization::languageKey, language);
        PlayerSession::Options options{DefaultsStore::standard()};
        options.modelImportsDirectory = defaults.parent_path() / ("pane-imports-" + language);
        options.playbackSleepPrevention = std::make_shared<NoSleepPrevention>();
        options.executor = &executor;
        session = std::make_unique<PlayerSession>(std::move(options));
        ContentView::Options viewOptions{DefaultsStore::standard()};
        viewOptions.symbolIcon = &symbolIcon;
        view = std::make_unique<ContentView>(*session, std::move(viewOptions));
        auto* column = new QVBoxLayout(&window);
        column->setContentsMargins(0, 0, 0, 0);
        column->addWidget(view->videoPane());
        window.setWindowTitle("Lumavane");
    }
    ~PaneHarness() {
        view.reset();
        session.reset();
        DefaultsStore::standard().synchronize();
    }
    TransportBar* bar() const { return view->transportBinding()->bars().front(); }

    fs::path defaults;
    QObject context;
    QtMainExecutor executor{&context};
    std::unique_ptr<PlayerSession> session;
    QWidget window;
    std::unique_ptr<ContentView> view;
};

// Runs `look` once per language over a shown pane of `size` with a video open.
template <typename Look> void inBothLanguages(QSize size, Look&& look) {
    applyAppStyle(test::application());
    const fs::path out = test::screenshotFolder("lumavane-video-pane-screenshots");
    for (const std::string language : {"ja", "en"}) {
        SCOPED_TRACE(language);
        PaneHarness h(language);
        h.session->setHasVideo(true);
        h.window.resize(size);
        h.window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.window));
        look(h, out / language);
    }
}

// The default window with the sidebar at its default width.
constexpr int standardPaneWidth = 1240 - SidebarView::idealWidth;

TEST(VideoPaneScreens, TheTransportBarStaysWholeDownToItsMinimumInBothLanguages) {
    inBothLanguages({standardPaneWidth, 600}, [](PaneHarness& h, const fs::path& out) {
        // The narrowest pane: what the window must leave it (the bar's own minimum and its padding).
        const int narrowest = h.view->videoPane()->minimumSizeHint().width();
        EXPECT_GE(narrowest, h.bar()->minimumSizeHint().width() + 40);
        EXPECT_LE(narrowest, standardPaneWidth) << "the default window cannot hold the bar";
        for (const auto& [width, name] : {std::pair{narrowest, "narrowest"}, {standardPaneWidth, "default"}}) {
            h.window.resize(width, 600);
            EXPECT_EQ(test::lookAt(h.window, out.string() + "-video-pane-" + name + ".png"), "") << name;
            EXPECT_GE(h.bar()->seekSlider()->width(), TransportBar::minimumSeekWidth) << name;
        }
    });
}

TEST(VideoPaneScreens, FullScreenControlsInBothLanguages) {
    inBothLanguages({1280, 720}, [](PaneHarness& h, const fs::path& out) {
        h.session->loadVideo(h.defaults.parent_path() /
                             "Summer holiday at the lake with the whole family - the long version (final cut).mkv");
        h.session->setHasVideo(true);
        h.view->windowWillEnterFullScreen(&h.window);
        h.view->windowDidEnterFullScreen(&h.window);
        h.view->setFullscreenControlsHovered(true); // the controls stay while looked at
        EXPECT_EQ(test::lookAt(h.window, out.string() + "-video-pane-fullscreen.png"), "");
        EXPECT_TRUE(h.view->fullscreenOSD()->isVisible());
        EXPECT_GE(h.view->fullscreenTransportSlot()->findChild<SeekSlider*>()->width(),
                  TransportBar::minimumSeekWidth);
        h.view->setFullscreenControlsHovered(false);
        // And back: the bar under the picture again, whole.
        h.view->windowWillExitFullScreen(&h.window);
        h.view->windowDidExitFullScreen(&h.window);
        EXPECT_FALSE(h.view->fullscreenOSD()->isVisible());
        EXPECT_EQ(test::lookAt(h.window, out.string() + "-video-pane-after-fullscreen.png"), "");
        EXPECT_TRUE(h.bar()->isVisible());
        EXPECT_GE(h.bar()->seekSlider()->width(), TransportBar::minimumSeekWidth);
    });
}

TEST(VideoPaneScreens, PickerPopoversInBothLanguages) {
    inBothLanguages({standardPaneWidth, 600}, [](PaneHarness& h, const fs::path& out) {
        for (const auto& [popover, which, name] :
             {std::tuple{ContentView::Popover::aspectModes, TransportPopover::aspectModes, "aspect"},
              {ContentView::Popover::playbackRates, TransportPopover::playbackRates, "rates"}}) {
            h.view->setPopover(popover, true);
            PopoverFrame* frame = h.bar()->popover(which);
            ASSERT_TRUE(frame && frame->isVisible()) << name;
            EXPECT_FALSE(frame->rows().empty());
            EXPECT_EQ(test::lookAt(*frame, out.string() + "-popover-" + name + ".png"), "") << name;
            // The popover opens inside the window's screen, under or over its button.
            EXPECT_TRUE(frame->screen()->availableGeometry().contains(frame->frameGeometry())) << name;
            h.view->setPopover(popover, false);
        }
    });
}

} // namespace
} // namespace lumavane
