// Grabs the benchmark sheet with results and the posting sheet, in the application's style, into
// PNGs to look at: $LUMAVANE_SCREENSHOT_DIR, else /tmp/lumavane-benchmark-screenshots.
#include "BenchmarkSheetTestSupport.hpp"
#include "Lumavane/Style/AppStyle.hpp"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPixmap>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(BenchmarkSheetScreenshots, ResultsAndPosting) {
    test::WebHarness web;
    applyAppStyle(test::application());
    const char* dir = std::getenv("LUMAVANE_SCREENSHOT_DIR");
    const fs::path out = dir ? dir : "/tmp/lumavane-benchmark-screenshots";
    fs::create_directories(out);
    test::FakeBenchmarkSession session;
    session.report = test::standardReport();
    session.measuredAt = DefaultsDate{800000000};
    ModelSeriesManifest manifest = test::series({2, 4}).manifest;
    manifest.name = "Lumavane Standard";
    manifest.description = "高速と高画質の二つのモデルを同梱しています。";
    manifest.variants = {{"fast", "Fast", "fast", "fast.onnx", "onnx", {2, 4}, true},
                         {"quality", "Quality", "quality", "quality.onnx", "onnx", {2, 4}, true}};
    session.manifest = manifest;
    const auto summary = *BenchmarkScoreSummary::from(session.report.value());
    test::referenceWith(summary.performance / 1.25).save(web.defaults);

    for (const char* language : {"ja", "en"}) {
        web.defaults.set("LumavanePreferredLanguage", std::string(language));
        BenchmarkSheet sheet(session, std::nullopt, std::nullopt, web.services());
        sheet.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        QTest::qWait(50);
        const fs::path file = out / (std::string(language) + "-benchmark-results.png");
        ASSERT_TRUE(sheet.grab().save(QString::fromStdString(file.string()))) << file;

        BenchmarkWebPostSheet post(session, web.services(web.endpoint));
        post.findChild<QLineEdit*>("commentField")->setText("静かな部屋で測定\n電源接続");
        post.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&post));
        QTest::qWait(50);
        const fs::path posting = out / (std::string(language) + "-benchmark-posting.png");
        ASSERT_TRUE(post.grab().save(QString::fromStdString(posting.string()))) << posting;
    }
}

} // namespace
} // namespace lumavane
