// The sidebar beside the playlist and the history, both filled, grabbed on a virtual X server
// with the application's style, to be looked at (LUMAVANE_SIDEBAR_SCREENSHOT, else /tmp).
#include "SidebarTestSupport.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Style/LumavaneBrandAssets.hpp"
#include "Lumavane/Session/PlayerSession.hpp"

#include <QHBoxLayout>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(SidebarScreenshot, BothListsFilled) {
    test::SidebarHarness h;
    applyAppStyle(test::application());
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
    auto* sidebar = new SidebarView(*h.session, {h.sessions.store, &symbolIcon, LumavaneBrandAssets::sidebarIcon()});
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
    QTest::qWait(200);
    const char* configured = std::getenv("LUMAVANE_SIDEBAR_SCREENSHOT");
    const fs::path file = configured ? configured : fs::temp_directory_path() / "lumavane-sidebar.png";
    ASSERT_TRUE(window.grab().save(QString::fromStdString(file.string())));
    std::cout << "screenshot: " << file << "\n";
}

} // namespace
} // namespace lumavane
