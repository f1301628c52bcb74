// The benchmark sheet (before a run, running, with results, for a model series and for a single
// model file) and the posting sheet as a person sees them on a virtual X server with the
// application's style, in both languages: every text whole, nothing over anything, every button
// whole and drawn with its icon. Grabbed into PNGs to look at: $LUMAVANE_SCREENSHOT_DIR, else
// /tmp/lumavane-benchmark-screenshots.
#include "BenchmarkSheetTestSupport.hpp"
#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Views/ScreenChecks.hpp"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPixmap>
#include <QScrollArea>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(BenchmarkSheetScreens, EveryStateInBothLanguages) {
    test::WebHarness web;
    applyAppStyle(test::application());
    const fs::path out = test::screenshotFolder("lumavane-benchmark-screenshots");
    test::FakeBenchmarkSession session;
    ModelSeriesManifest manifest = test::standardManifest();
    session.manifest = manifest;
    const auto summary = *BenchmarkScoreSummary::from(test::standardReport());
    test::referenceWith(summary.performance / 1.25).save(web.defaults);
    const auto crisp = test::series({2, 4});

    struct Screen {
        const char* name;
        std::function<void()> arrange;
        std::optional<ImportedModelSeries> series;
        std::optional<fs::path> standalone;
    };
    const Screen screens[] = {
        {"idle", [&] { session.report.reset(), session.measuredAt.reset(); }, {}, {}},
        {"running", [&] { session.running = true; }, {}, {}},
        {"results",
         [&] {
             session.running = false;
             session.report = test::standardReport();
             // One condition too slow for any recommended rate: the longest note.
             auto& slowest = session.report->measurements[3];
             slowest.p95MS = 62.5;
             slowest.sustainedFPS = 16;
             slowest.recommendedFPS.reset();
             session.measuredAt = DefaultsDate{800000000};
         },
         {}, {}},
        {"series-idle", [] {}, crisp, {}},
        {"standalone", [] {}, {}, fs::path("/models/Portrait Upscaler 4x.mlmodel")},
    };
    for (const char* language : {"ja", "en"}) {
        SCOPED_TRACE(language);
        web.defaults.set("LumavanePreferredLanguage", std::string(language));
        for (const Screen& screen : screens) {
            screen.arrange();
            BenchmarkSheet sheet(session, screen.series, screen.standalone, web.services());
            sheet.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
            EXPECT_EQ(test::lookAt(sheet, out / (std::string(language) + "-benchmark-" + screen.name + ".png")), "")
                << screen.name;
            EXPECT_EQ(sheet.size(), QSize(720, 760)) << screen.name;
            // The results scroll: every card of them, also those below the fold.
            if (auto* area = sheet.findChild<QWidget*>("resultsArea"))
                if (auto* scroll = area->findChild<QScrollArea*>())
                    EXPECT_EQ(test::lookAt(*scroll->widget(),
                                           out / (std::string(language) + "-benchmark-" + screen.name + "-cards.png")),
                              "");
            // The short notes under the numbers read on one line: the cards have room for them.
            for (const QLabel* note : sheet.findChildren<QLabel*>()) {
                if (note->objectName() != "p95" && note->objectName() != "referenceRow") continue;
                EXPECT_LT(note->height(), 2 * note->fontMetrics().lineSpacing())
                    << "a note broken into narrow lines: " << note->text().toStdString();
            }
        }

        BenchmarkWebPostSheet post(session, web.services(web.endpoint));
        post.findChild<QLineEdit*>("commentField")->setText("静かな部屋で測定\n電源接続");
        post.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&post));
        EXPECT_EQ(test::lookAt(post, out / (std::string(language) + "-benchmark-posting.png")), "");
    }
}

} // namespace
} // namespace lumavane
