// The sidebar, its model table and the playlist pane over a real session: what the rows show of
// the session's state, which operation each control calls, and what a language change does.
#include "SidebarTestSupport.hpp"

#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Style/ToggleSwitch.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Style/AppStyle.hpp"

#include <QComboBox>
#include <QEnterEvent>
#include <QTest>
#include <QLabel>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using test::child;
using test::SidebarHarness;
using Kind = ModelCard::Kind;

std::string text(const QWidget* parent, const char* name) {
    if (auto* elided = child<MiddleElidedLabel>(parent, name)) return elided->fullText().toStdString();
    return child<QLabel>(parent, name)->text().toStdString();
}
QAbstractButton* button(const QWidget* parent, const char* name) { return child<QAbstractButton>(parent, name); }

TEST(ModelSelectionTable, CardsShowTheSessionsModelsAndMarkTheOneInUse) {
    SidebarHarness h;
    h.fillModels();
    ModelSelectionTable table(*h.session, {});
    std::optional<std::pair<std::optional<std::string>, std::optional<fs::path>>> details;
    table.showDetails = [&](auto series, auto url) { details.emplace(series, url); };
    const fs::path quality = h.root / "Series" / "Quality";

    // Cards by title: the newest recent model comes first among the standalone cards.
    const auto card = [&](const std::string& title) -> QWidget* {
        for (QWidget* shown : table.cardWidgets())
            if (text(shown, "cardTitle") == title) return shown;
        ADD_FAILURE() << "no card " << title;
        return nullptr;
    };
    const std::string shipped = h.session->bundledModelManifest()->name;
    struct Step {
        const char* name;
        std::function<void()> act;
        std::string selected;  // card title
        const char* extra;     // the selected card's own control
        std::optional<fs::path> inUse;
        std::vector<std::string> order;
    };
    const Step steps[] = {
        {"core ml file loaded last", [] {}, "Portrait", "fixedModelNote", h.root / "Portrait.mlmodel",
         {shipped, "Example Anime", "Portrait", "Loose"}},
        {"standalone card", [&] { button(card("Loose"), "cardButton")->click(); }, "Loose", "fixedModelNote",
         h.root / "Loose", {shipped, "Example Anime", "Loose", "Portrait"}},
        {"series card", [&] { button(card("Example Anime"), "cardButton")->click(); }, "Example Anime",
         "variantPicker", h.root / "Series" / "Fast", {shipped, "Example Anime", "Loose", "Portrait"}},
        {"variant picker", [&] {
             auto* picker = child<QComboBox>(card("Example Anime"), "variantPicker");
             picker->setCurrentIndex(1);
             Q_EMIT picker->activated(1);
         }, "Example Anime", "variantPicker", quality, {shipped, "Example Anime", "Loose", "Portrait"}},
        {"shipped card", [&] { button(card(shipped), "cardButton")->click(); }, shipped, "presetControl",
         std::nullopt, {shipped, "Example Anime", "Loose", "Portrait"}},
    };
    for (const Step& step : steps) {
        step.act();
        h.settle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(h.session->customModelURL(), step.inUse) << step.name;
        std::vector<std::string> order;
        for (QWidget* shown : table.cardWidgets()) {
            const std::string title = text(shown, "cardTitle");
            order.push_back(title);
            EXPECT_EQ(shown->property("selected").toBool(), title == step.selected) << step.name << " " << title;
            for (const char* extra : {"fixedModelNote", "variantPicker", "presetControl"})
                EXPECT_EQ(child(shown, extra) != nullptr, title == step.selected && std::string(extra) == step.extra)
                    << step.name << " " << extra << " on " << title;
        }
        EXPECT_EQ(order, step.order) << step.name;
    }
    // The shipped card's preset control chooses the processing mode, automatic included.
    for (auto [index, preset] : {std::pair{1, BundledModelPreset::fast}, std::pair{0, BundledModelPreset::automatic}}) {
        child<HoverSegments>(card(shipped), "presetControl")->segment(index)->click();
        h.settle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(h.session->bundledModelPreset(), preset);
        EXPECT_EQ(child<HoverSegments>(card(shipped), "presetControl")->selectedIndex(), index);
    }
    // What each card says: shipped, imported series, standalone folder, Core ML file.
    const auto& manifest = *h.session->bundledModelManifest();
    const std::vector<std::tuple<Kind, std::string, std::string, std::string>> shown{
        {Kind::shipped, manifest.name, manifest.author.name, "汎用"},
        {Kind::series, "Example Anime", "Example", "アニメ"},
        {Kind::standalone, "Loose", "カスタムモデル", ""},
        {Kind::standalone, "Portrait", "カスタムモデル", ""}};
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto& [kind, title, subtitle, category] = shown[i];
        EXPECT_EQ(table.cards()[i].kind, kind) << i;
        EXPECT_EQ(text(table.cardWidgets()[i], "cardTitle"), title) << i;
        EXPECT_EQ(text(table.cardWidgets()[i], "cardSubtitle"), subtitle) << i;
        EXPECT_EQ(table.cards()[i].category, category) << i;
    }
    // The details buttons name their own model.
    const std::pair<std::optional<std::string>, std::optional<fs::path>> opened[] = {
        {std::nullopt, std::nullopt}, {"org.example.anime", std::nullopt}, {std::nullopt, h.root / "Loose"}};
    for (std::size_t i = 0; i < 3; ++i) {
        button(table.cardWidgets()[i], "detailsButton")->click();
        EXPECT_EQ(details, opened[i]) << i;
    }
}

TEST(ModelSelectionTable, TheVariantShownIsTheFileInUseThroughALinkedFolder) {
    test::TemporaryDirectory scratch;
    const fs::path real = scratch.path() / "Models", link = scratch.path() / "Linked";
    test::writeText(real / "Fast" / "manifest.json", "{}");
    test::writeText(real / "Quality" / "manifest.json", "{}");
    fs::create_directory_symlink(real, link);
    ImportedModelSeries series;
    series.manifest.variants = {{.id = "fast", .path = "Fast"}, {.id = "quality", .path = "Quality"}};
    const struct {
        fs::path manifestFolder;
        std::optional<fs::path> inUse;
        const char* shown;
    } cases[] = {
        {link, real / "Quality", "quality"},      {real, link / "Quality", "quality"},
        {link, link / "Quality", "quality"},      {link, real / "Fast", "fast"},
        {link, real / "Missing", "fast"},          {link, std::nullopt, "fast"},
    };
    for (const auto& c : cases) {
        series.manifestURL = c.manifestFolder / "model-series.json";
        EXPECT_EQ(shownVariantID(series, c.inUse), c.shown) << series.manifestURL << " " << c.inUse.value_or("none");
    }

    // Through the session: a series imported from the linked folder.
    SidebarHarness h;
    h.writeSeries(h.root / "Real");
    fs::create_directory_symlink(h.root / "Real", h.root / "Link");
    h.session->importModelSeries(h.root / "Link" / "model-series.json");
    h.settle();
    h.session->selectModelSeries(h.session->importedModelSeries().front(), "quality", false);
    h.settle();
    ModelSelectionTable table(*h.session, {});
    auto* picker = child<QComboBox>(table.cardWidgets()[1], "variantPicker");
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(picker->currentData().toString(), "quality");
}

TEST(SidebarView, RowsFollowTheSessionAndTheLanguage) {
    SidebarHarness h;
    h.fillModels();
    SidebarView sidebar(*h.session, {h.sessions.store, {}, {}});
    std::vector<std::pair<std::optional<std::string>, std::optional<fs::path>>> opened;
    sidebar.showBenchmark = [&](auto series, auto url) { opened.emplace_back(series, url); };
    // The details row: a standalone file, a series variant, a shipped model.
    button(&sidebar, "modelDetailsRow")->click();
    h.session->selectModelSeries(h.session->importedModelSeries().front(), "quality", false);
    h.settle();
    button(&sidebar, "modelDetailsRow")->click();
    h.session->useDefaultModel();
    h.settle();
    button(&sidebar, "modelDetailsRow")->click();
    const decltype(opened) expected{{std::nullopt, h.root / "Portrait.mlmodel"},
                                    {"org.example.anime", std::nullopt},
                                    {std::nullopt, std::nullopt}};
    EXPECT_EQ(opened, expected);

    // Statistics: dashes until there are numbers, the details only when expanded.
    PlaybackStatistics stats{.processingMS = 0, .enhancedFPS = 0, .tiles = 0, .frameAgeMS = 0, .displayGPUms = 1.234};
    const auto rows = statisticsRows(*h.session, stats, true);
    const std::vector<std::string> values{h.session->resolution(), h.session->outputResolution(), "—", "—", "0 ms",
                                          "1.23 ms", "—"};
    ASSERT_EQ(rows.size(), values.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].second, values[i]) << rows[i].first;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(sidebar.findChildren<QWidget*>("metric").size(), 3);
    sidebar.setShowsPlaybackDetails(true);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(sidebar.findChildren<QWidget*>("metric").size(), 7);
    // A new reading reaches the rows in place.
    h.session->statisticsReadout.update(PlaybackStatistics{.processingMS = 12.345, .enhancedFPS = 29.97, .tiles = 4});
    const auto metrics = sidebar.findChildren<QLabel*>("metricValue");
    ASSERT_EQ(metrics.size(), 7);
    EXPECT_EQ(metrics[2]->text(), "30.0 fps");
    EXPECT_EQ(metrics[3]->text(), "12.3 ms");
    EXPECT_EQ(metrics[6]->text(), "4");

    // The background follows the stored transparency.
    h.sessions.store.set("player.sidebarTransparency", 0.25);
    EXPECT_DOUBLE_EQ(sidebar.backgroundOpacity(), 0.75);

    // A language change relabels everything, the model table's cards too.
    const auto shownTexts = [&] {
        return std::vector<std::string>{
            child<QLabel>(button(&sidebar, "modelImportRow"), "rowText")->text().toStdString(),
            button(&sidebar, "openVideo")->text().toStdString(),
            text(sidebar.modelTable()->cardWidgets()[2], "cardSubtitle")};
    };
    EXPECT_EQ(shownTexts(), (std::vector<std::string>{"モデルをインポート", "動画を開く", "カスタムモデル"}));
    DefaultsStore::standard().set(AppLocalization::languageKey, std::string("en"));
    sidebar.relabel();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(shownTexts(), (std::vector<std::string>{"Import Model", "Open Video", "Custom Model"}));
}

TEST(SidebarView, TheInputRowReadsInTheChosenLanguageWhileAVideoOpens) {
    for (const auto& [language, loading] : {std::pair{"en", "Loading…"}, std::pair{"ja", "読み込み中…"}}) {
        SidebarHarness h(language);
        h.session->loadVideo(h.root / "Clip.mp4");
        const auto rows = statisticsRows(*h.session, {}, false);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0].second, loading) << language;
        EXPECT_EQ(rows[1].second, "—") << language;
    }
}

TEST(SidebarView, AtItsNarrowestTheSwitchNamesAndRowsStayWhole) {
    SidebarHarness h;
    DefaultsStore::standard().set(AppLocalization::languageKey, std::string("en"));
    h.session->loadBundledModelIfAvailable(fs::path(LUMAVANE_SOURCE_DIR) / "resources" / "Models" / "model-series.json");
    h.settle();
    SidebarView sidebar(*h.session, {h.sessions.store, {}, {}});
    sidebar.resize(260, 900);
    sidebar.show();
    h.settle();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    // The enhancement toggle is a switch, and it drives the session.
    auto* toggle = qobject_cast<ToggleSwitch*>(button(&sidebar, "enhancementSwitch"));
    ASSERT_NE(toggle, nullptr);
    const bool was = h.session->enabled();
    toggle->click();
    EXPECT_EQ(h.session->enabled(), !was);

    // The card's title keeps its words whole: the badge goes under the names when it would
    // leave the title narrower than its longest word, and back beside them when there is room.
    // (At the pane's narrowest and a low window the scroll bar takes its share of the width.)
    const auto badgeUnderTitle = [&](int width, int height) {
        sidebar.resize(width, height);
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        QWidget* card = sidebar.modelTable()->cardWidgets().front();
        auto* title = child<QLabel>(card, "cardTitle");
        auto* badge = child<QLabel>(card, "categoryBadge");
        const QFontMetrics metrics(title->font());
        for (const QString& word : title->text().split(' ', Qt::SkipEmptyParts))
            EXPECT_LE(metrics.horizontalAdvance(word), title->width()) << word.toStdString() << " at " << width;
        return badge->mapTo(card, QPoint()).y() >= title->mapTo(card, QPoint()).y() + title->height();
    };
    EXPECT_TRUE(badgeUnderTitle(260, 400));
    EXPECT_FALSE(badgeUnderTitle(340, 900));
    sidebar.resize(260, 900);
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();

    // A row text longer than the narrow pane wraps onto a second line instead of being cut.
    auto* details = child<QLabel>(button(&sidebar, "modelDetailsRow"), "rowText");
    EXPECT_GE(details->height(), details->heightForWidth(details->width()));
    EXPECT_GT(details->heightForWidth(details->width()), QFontMetrics(details->font()).height());
}

TEST(PlaylistView, RowTexts) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> times[] = {{65, "0:01:05"}, {3 * 3600 + 121, "3:02:01"}, {3599.9, "0:59:59"},
                                                    {-1, "0:00:00"}, {nan, "0:00:00"},  {inf, "0:00:00"},
                                                    {100 * 3600, "100:00:00"}};
    for (const auto& [seconds, shown] : times) EXPECT_EQ(historyTime(seconds), shown) << seconds;
    const std::tuple<double, double, double> fractions[] = {{30, 60, 0.5}, {90, 60, 1}, {10, 0, 0},  {10, nan, 0},
                                                            {-5, 60, 0},   {nan, 60, 0}, {10, -60, 0}, {10, inf, 0}};
    for (const auto& [position, duration, fraction] : fractions)
        EXPECT_DOUBLE_EQ(historyProgressFraction(position, duration), fraction) << position << "/" << duration;
    EXPECT_EQ(playlistRowDetail(11, "/v/Clip One.mkv"), "12  \u00B7  MKV");
    EXPECT_EQ(playlistRowDetail(0, "/v/README"), "1  \u00B7  ");
}

TEST(PlaylistView, OperationsReachTheSessionAndComeBack) {
    SidebarHarness h;
    PlaylistView pane(*h.session, {h.sessions.store, {}});
    const auto titles = [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::vector<std::string> shown;
        for (QWidget* row : pane.rows()) shown.push_back(text(row, "rowTitle") + "|" + text(row, "rowDetail"));
        return shown;
    };
    EXPECT_NE(child(&pane, "emptyPlaylist"), nullptr);
    const std::string longName = "A very long name of a video file that cannot fit in the pane at all - part 2";
    ASSERT_TRUE(h.session->appendDroppedVideos({h.video("Clip One.mkv"), h.video("b.mp4"), h.video(longName + ".mp4")}));
    EXPECT_EQ(titles(), (std::vector<std::string>{"Clip One|1  ·  MKV", "b|2  ·  MP4", longName + "|3  ·  MP4"}));

    // A long name keeps its start and its end.
    pane.resize(240, 600);
    pane.show();
    QCoreApplication::processEvents();
    const QString elided = child<MiddleElidedLabel>(pane.rows()[2], "rowTitle")->text();
    EXPECT_TRUE(elided.contains(QChar(0x2026))) << elided.toStdString();
    EXPECT_TRUE(elided.startsWith("A very")) << elided.toStdString();
    EXPECT_TRUE(elided.endsWith("part 2")) << elided.toStdString();

    button(pane.rows()[1], "trashButton")->click();
    EXPECT_EQ(h.session->playlist(), (std::vector<fs::path>{h.root / "videos" / "Clip One.mkv", h.root / "videos" / (longName + ".mp4")}));
    EXPECT_EQ(titles().size(), 2u);

}

TEST(PlaylistView, HistoryRowsTheSwitchAndAMissingFile) {
    SidebarHarness h;
    nlohmann::json history = nlohmann::json::array();
    for (const auto& [name, position, duration] : {std::tuple{"gone.mkv", 65.0, 3 * 3600 + 121.0},
                                                   std::tuple{"other.mp4", 30.0, 0.0}})
        history.push_back(toJSON(PlaybackHistoryEntry{.url = h.root / name, .position = position, .duration = duration}));
    const std::string data = history.dump();
    h.sessions.store.set("player.history", DefaultsValue::Data(data.begin(), data.end()));
    h.restart();
    {
        PlaylistView pane(*h.session, {h.sessions.store, {}});
        EXPECT_FALSE(pane.showsHistory());
        pane.setShowsHistory(true);
    }
    PlaylistView pane(*h.session, {h.sessions.store, {}});
    ASSERT_TRUE(pane.showsHistory()); // kept across panes (and launches)
    const auto rows = pane.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(text(rows[0], "rowTitle"), "gone");
    EXPECT_EQ(text(rows[0], "rowDetail"), "0:01:05 / 3:02:01");
    EXPECT_EQ(child<HistoryProgressBar>(rows[1], "historyProgress")->fraction(), 0);

    // Choosing an entry whose file is gone lets the session say so; the row stays.
    button(rows[0], "playButton")->click();
    EXPECT_TRUE(h.session->message().has_value());
    button(rows[1], "trashButton")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(pane.rows().size(), 1u);
    EXPECT_EQ(text(pane.rows()[0], "rowTitle"), "gone");
    button(&pane, "clearHistory")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(h.session->history().empty());
    EXPECT_NE(child(&pane, "emptyHistory"), nullptr);
}

// Symbols take the ink of the style they sit in. A plain white square stands for every theme
// icon, so what is painted is the ink alone.
QIcon whiteSquare(const QString&) {
    static const QIcon icon = [] {
        QPixmap square(16, 16);
        square.fill(Qt::white);
        return QIcon(square);
    }();
    return icon;
}

// The colour painted at the middle of a widget (not premultiplied), over nothing.
QColor middleOf(QWidget* widget) {
    const QImage painted = widget->grab().toImage();
    return painted.pixelColor(painted.width() / 2, painted.height() / 2);
}

void hover(QWidget* widget, bool inside) {
    if (inside) {
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(widget, &enter);
    } else {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(widget, &leave);
    }
}

bool sameInk(const QColor& painted, const QColor& ink, int alpha) {
    return std::abs(painted.red() - ink.red()) <= 3 && std::abs(painted.green() - ink.green()) <= 3 &&
           std::abs(painted.blue() - ink.blue()) <= 3 && std::abs(painted.alpha() - alpha) <= 3;
}

MATCHER_P2(IsInk, ink, alpha, "") {
    *result_listener << "painted " << arg.name(QColor::HexArgb).toStdString();
    return sameInk(arg, ink, alpha);
}

TEST(PlaylistView, SymbolsTakeTheirStylesInksAndTitlesTwoLines) {
    SidebarHarness h;
    PlaylistView pane(*h.session, {h.sessions.store, &whiteSquare});
    pane.resize(240, 600);
    pane.show();
    const QColor accent = ContentView::accent();
    const int secondary = int(std::lround(0.55 * 255));
    EXPECT_THAT(middleOf(child(&pane, "emptySymbol")), IsInk(accent, 255));

    const std::string longName = "A very long name of a video file that cannot fit in the pane at all - part 2";
    ASSERT_TRUE(h.session->appendDroppedVideos({h.video("Clip One.mkv"), h.video(longName + ".mp4")}));
    h.session->playPlaylistItem(h.root / "videos" / "Clip One.mkv");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    auto rows = pane.rows();
    ASSERT_EQ(rows.size(), 2u);
    // The current row's symbol in the accent, the others' in the secondary ink.
    EXPECT_THAT(middleOf(child(rows[0], "rowSymbol")), IsInk(accent, 255));
    EXPECT_THAT(middleOf(child(rows[1], "rowSymbol")), IsInk(QColor(Qt::white), secondary));

    // The trash is secondary at rest and red only under the pointer.
    auto* trash = button(rows[1], "trashButton");
    EXPECT_THAT(middleOf(trash), IsInk(QColor(Qt::white), secondary));
    hover(trash, true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return sameInk(middleOf(trash), Qt::red, 255); }, 5000))
        << middleOf(trash).name(QColor::HexArgb).toStdString();
    hover(trash, false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return sameInk(middleOf(trash), Qt::white, secondary); }, 5000))
        << middleOf(trash).name(QColor::HexArgb).toStdString();

    // A long title takes two lines, keeping its start and its end; a short one takes one.
    auto* title = child<MiddleElidedLabel>(rows[1], "rowTitle");
    const QString shown = title->text();
    EXPECT_EQ(shown.count('\n'), 1) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith("A very")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("part 2")) << shown.toStdString();
    EXPECT_GE(title->height(), 2 * title->fontMetrics().lineSpacing());
    auto* shortTitle = child<MiddleElidedLabel>(rows[0], "rowTitle");
    EXPECT_EQ(shortTitle->text(), "Clip One");
    EXPECT_LT(shortTitle->height(), 2 * shortTitle->fontMetrics().lineSpacing());

    // The history's symbol is secondary too.
    pane.setShowsHistory(true);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* row : pane.rows())
        EXPECT_THAT(middleOf(child(row, "rowSymbol")), IsInk(QColor(Qt::white), secondary));
}

TEST(ModelSelectionTable, TheDetailsSymbolIsSecondaryUntilHovered) {
    SidebarHarness h;
    h.fillModels();
    ModelSelectionTable table(*h.session, &whiteSquare);
    table.resize(260, 600);
    table.show();
    auto* details = button(table.cardWidgets().front(), "detailsButton");
    ASSERT_TRUE(details->isEnabled());
    EXPECT_THAT(middleOf(details), IsInk(QColor(Qt::white), int(std::lround(0.55 * 255))));
    hover(details, true);
    // Over the hover fill (the accent at 0.14) the symbol is the accent itself.
    EXPECT_TRUE(QTest::qWaitFor([&] { return sameInk(middleOf(details), ContentView::accent(), 255); }, 5000))
        << middleOf(details).name(QColor::HexArgb).toStdString();
    // Fades and repaints make no new icons: one per symbol and ink.
    const std::size_t made = tintedSymbolIconCount();
    for (int i = 0; i < 3; ++i) {
        hover(details, false);
        hover(details, true);
        QTest::qWait(150);
        details->grab();
    }
    EXPECT_EQ(tintedSymbolIconCount(), made);
}

} // namespace
} // namespace lumavane
