// The sidebar as a person sees it on a virtual X server with the application's style, in both
// languages at its default width: every text whole, nothing laid over anything, every button
// reachable and drawn with its icon; grabbed into PNGs to look at ($LUMAVANE_SCREENSHOT_DIR, else
// /tmp/lumavane-sidebar-screenshots).
#include "ScreenChecks.hpp"
#include "SidebarTestSupport.hpp"

#include "Lumavane/Style/LumavaneBrandAssets.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"

#include <QHBoxLayout>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

// The window's sidebar: the default width, the default window's height under the toolbar.
struct ShownSidebar {
    explicit ShownSidebar(test::SidebarHarness& h) {
        window.setWindowTitle("Lumavane");
        auto* row = new QHBoxLayout(&window);
        row->setContentsMargins(0, 0, 0, 0);
        sidebar = new SidebarView(*h.session, {h.sessions.store, &symbolIcon, LumavaneBrandAssets::sidebarIcon()});
        sidebar->setFixedWidth(SidebarView::idealWidth);
        row->addWidget(sidebar);
        window.resize(SidebarView::idealWidth, 740);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    QWidget window;
    SidebarView* sidebar;
};

std::vector<std::string> segmentTitles(const HoverSegments& segments) {
    std::vector<std::string> titles;
    for (int i = 0; i < segments.count(); ++i) titles.push_back(segments.segment(i)->text().toStdString());
    return titles;
}

TEST(SidebarScreens, ShippedModelAndAFailedOpenInBothLanguages) {
    applyAppStyle(test::application());
    const fs::path out = test::screenshotFolder("lumavane-sidebar-screenshots");
    for (const std::string language : {"ja", "en"}) {
        SCOPED_TRACE(language);
        test::SidebarHarness h(language);
        h.session.reset();
        auto options = h.sessions.options();
        options.loadModelSeriesManifest = &ModelSeriesManifest::load;
        options.enhancerFactory = std::make_shared<test::InstantFactory>();
        options.localize = [](const std::string& key) { return AppLocalization::string(key); };
        h.session = std::make_unique<PlayerSession>(std::move(options));
        ShownSidebar shown(h);
        h.session->loadBundledModelIfAvailable(fs::path(LUMAVANE_SOURCE_DIR) / "resources" / "Models" /
                                               "model-series.json");
        h.settle();
        EXPECT_EQ(test::lookAt(shown.window, out / (language + "-sidebar.png"), test::Scrolling::allowed), "");

        // The shipped card's name and author whole, on as many lines as they need.
        const QWidget* card = shown.sidebar->modelTable()->cardWidgets().front();
        EXPECT_EQ(card->findChild<QLabel*>("cardTitle")->text(), "Lumavane Compact 4x");
        EXPECT_EQ(card->findChild<QLabel*>("cardSubtitle")->text(), "Lumavane developers");
        // Every scale the loaded model offers, not a lone 2× left from before it was installed.
        auto* scales = shown.sidebar->findChild<HoverSegments*>("scaleControl");
        const std::vector<std::string> offered{AppLocalization::string("最適"), AppLocalization::string("2×"),
                                               AppLocalization::string("4×")};
        EXPECT_EQ(segmentTitles(*scales), offered);
        const int scaleHeight = scales->height();

        // A video that cannot be opened: the message in red, and the card around it as it was.
        h.session->loadVideo(h.video("Summer holiday at the lake with the whole family (final cut).mp4"));
        ASSERT_TRUE(h.sessions.loop.runUntil([&] { return h.session->message().has_value(); }, 60));
        EXPECT_EQ(test::lookAt(shown.window, out / (language + "-sidebar-message.png"), test::Scrolling::allowed),
                  "");
        auto* message = shown.sidebar->findChild<QLabel*>("sessionMessage");
        ASSERT_TRUE(message && message->isVisible());
        EXPECT_EQ(scales->height(), scaleHeight) << "the scale control is squashed";
        auto* scroll = shown.sidebar->findChild<QScrollArea*>("sidebarScroll");
        const QWidget* content = scroll->widget();
        EXPECT_GE(content->height(), content->layout()->totalHeightForWidth(content->width()))
            << "the cards are squeezed";
        // In a window with room for it all: no scroll bar, and every button whole.
        shown.window.resize(SidebarView::idealWidth, 1000);
        EXPECT_EQ(test::lookAt(shown.window, out / (language + "-sidebar-message-tall.png")), "");
        EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
        EXPECT_EQ(scales->height(), scaleHeight);
    }
}

TEST(SidebarScreens, BesideThePlaylistAndTheHistoryInBothLanguages) {
    applyAppStyle(test::application());
    for (const std::string language : {"ja", "en"}) {
        SCOPED_TRACE(language);
        test::SidebarHarness h(language);
        h.fillModels();
        h.session->selectModelSeries(h.session->importedModelSeries().front(), "quality", false);
        h.settle();
        const std::string longName = "Summer holiday at the lake with the whole family - the long version (final cut)";
        ASSERT_TRUE(h.session->appendDroppedVideos(
            {h.video("Clip One.mkv"), h.video("週末の記録.mp4"), h.video(longName + ".mov"), h.video("trailer.webm")}));
        nlohmann::json history = nlohmann::json::array();
        history.push_back(toJSON(PlaybackHistoryEntry{.url = h.root / "videos" / "Clip One.mkv", .position = 1865,
                                                      .duration = 5400, .lastPlayed = {818000000}}));
        history.push_back(toJSON(PlaybackHistoryEntry{.url = h.root / "videos" / (longName + ".mov"), .position = 65,
                                                      .duration = 3 * 3600 + 121, .lastPlayed = {817000000}}));
        const std::string data = history.dump();
        h.sessions.store.set("player.history", DefaultsValue::Data(data.begin(), data.end()));
        const auto playlist = h.session->playlist();
        h.restart();
        h.fillModels();
        h.session->selectModelSeries(h.session->importedModelSeries().front(), "quality", false);
        h.settle();
        ASSERT_TRUE(h.session->appendDroppedVideos(playlist));
        h.sessions.store.set("player.sidebarTransparency", 0.0);

        QWidget window;
        window.setWindowTitle("Lumavane");
        auto* row = new QHBoxLayout(&window);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(1);
        auto* sidebar =
            new SidebarView(*h.session, {h.sessions.store, &symbolIcon, LumavaneBrandAssets::sidebarIcon()});
        sidebar->setFixedWidth(SidebarView::idealWidth);
        row->addWidget(sidebar);
        auto* list = new PlaylistView(*h.session, {h.sessions.store, &symbolIcon});
        list->setFixedWidth(280);
        row->addWidget(list);
        auto* past = new PlaylistView(*h.session, {h.sessions.store, &symbolIcon});
        past->setShowsHistory(true);
        past->setFixedWidth(280);
        row->addWidget(past);
        window.resize(SidebarView::idealWidth + 562, 900);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        EXPECT_EQ(test::lookAt(window,
                               test::screenshotFolder("lumavane-sidebar-screenshots") / (language + "-sidebar-lists.png"),
                               test::Scrolling::allowed),
                  "");
    }
}

} // namespace
} // namespace lumavane
