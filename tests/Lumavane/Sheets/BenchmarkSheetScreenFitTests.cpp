// The benchmark sheet in each of its states, the tallest (results with the score card, the
// reference row, its note and an error line) included, and the posting sheet, on a 1280x720
// screen in both languages: each window lies wholly in the screen's available area and its button
// row is whole and on the screen. Grabbed into PNGs to look at: $LUMAVANE_SCREENSHOT_DIR, else
// /tmp/lumavane-small-screen-screenshots.
#include "BenchmarkSheetTestSupport.hpp"
#include "SheetScreenFit.hpp"

#include <gtest/gtest.h>

#include <QLineEdit>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(SheetsOnASmallScreen, BenchmarkAndPostingSheetsInBothLanguages) {
    test::WebHarness web;
    applyAppStyle(test::application());
    ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry().size(), QSize(1280, 720));
    const fs::path out = test::screenshotFolder("lumavane-small-screen-screenshots");
    test::FakeBenchmarkSession session;
    ModelSeriesManifest manifest = test::standardManifest();
    const auto summary = *BenchmarkScoreSummary::from(test::standardReport());
    test::referenceWith(summary.performance / 1.25).save(web.defaults); // shown, its refresh not possible
    const auto crisp = test::series({2, 4});
    ModelBenchmarkReport crispReport;
    for (const auto& m : test::standardReport().measurements)
        if (m.model == PerformanceBenchmarkModel::quality)
            crispReport.measurements.push_back({m.profile, m.scale, m.p95MS, m.sustainedFPS, m.recommendedFPS});
    crispReport.measuredAt = DefaultsDate{800000000};

    struct Screen {
        const char* name;
        std::function<void(test::FakeBenchmarkSession&)> arrange;
        std::optional<ImportedModelSeries> series;
        std::optional<fs::path> standalone;
        std::vector<const char*> row;
    };
    const Screen screens[] = {
        {"idle", [](auto&) {}, {}, {}, {"closeButton", "resultsWebsite"}},
        {"running", [](auto& s) { s.running = true; }, {}, {}, {"closeButton"}},
        {"failed", [](auto& s) { s.error = BenchmarkRunError{"", "GPU lost"}; }, {}, {},
         {"closeButton", "resultsWebsite", "errorRemeasure"}},
        {"results",
         [](auto& s) {
             s.report = test::standardReport();
             s.measuredAt = DefaultsDate{800000000};
             s.error = BenchmarkRunError{"", "The last run stopped: the device was lost."};
         },
         {}, {}, {"closeButton", "resultsWebsite", "remeasure", "copyButton", "postButton"}},
        {"series-results",
         [&](auto& s) { s.modelReports[s.modelBenchmarkKey(crisp, crisp.manifest.variants[0])] = crispReport; }, crisp,
         {}, {"closeButton", "deleteButton", "remeasure", "copyButton"}},
        {"standalone", [](auto&) {}, {}, fs::path("/models/Portrait Upscaler 4x.mlmodel"), {"closeButton", "deleteButton"}},
    };
    for (const char* language : {"ja", "en"}) {
        SCOPED_TRACE(language);
        web.defaults.set("LumavanePreferredLanguage", std::string(language));
        for (const Screen& screen : screens) {
            session.reset();
            session.manifest = manifest;
            screen.arrange(session);
            BenchmarkSheet sheet(session, screen.series, screen.standalone, web.services());
            sheet.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
            EXPECT_EQ(test::screenFitFindings(sheet, screen.row), "") << screen.name;
            EXPECT_EQ(sheet.width(), 720) << screen.name;
            EXPECT_EQ(test::lookAt(sheet, out / (std::string(language) + "-benchmark-" + screen.name + ".png"),
                                   test::Scrolling::allowed),
                      "")
                << screen.name;
        }

        // One sheet through a whole run: before, while and after the result comes in.
        session.reset();
        session.manifest = manifest;
        BenchmarkSheet sheet(session, std::nullopt, std::nullopt, web.services());
        sheet.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        EXPECT_EQ(test::screenFitFindings(sheet, {"closeButton", "resultsWebsite"}), "") << "before the run";
        session.running = true;
        session.publish();
        EXPECT_EQ(test::screenFitFindings(sheet, {"closeButton"}), "") << "running";
        session.running = false;
        session.report = test::standardReport();
        session.measuredAt = DefaultsDate{800000000};
        session.publish();
        EXPECT_EQ(test::screenFitFindings(sheet, {"closeButton", "resultsWebsite", "remeasure", "copyButton", "postButton"}),
                  "")
            << "with the result";
        sheet.close();

        session.reset();
        session.report = test::standardReport();
        BenchmarkWebPostSheet post(session, web.services(web.endpoint));
        post.findChild<QLineEdit*>("commentField")->setText("静かな部屋で測定");
        post.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&post));
        EXPECT_EQ(test::screenFitFindings(post, {"closeButton", "mainButton"}), "");
        EXPECT_EQ(post.size(), QSize(600, 560)); // room enough: the size it was drawn for
        EXPECT_EQ(test::lookAt(post, out / (std::string(language) + "-benchmark-posting.png"), test::Scrolling::allowed),
                  "");
    }
}

} // namespace
} // namespace lumavane
