#include "BenchmarkSheetTestSupport.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>

#include <ctime>

namespace lumavane {
namespace {

using namespace test;
using State = BenchmarkSheet::ResultsState;

QString tr(const char* key) { return QString::fromStdString(AppLocalization::string(key)); }

struct SheetTest : ::testing::Test {
    WebHarness web;
    FakeBenchmarkSession session;
    std::vector<std::unique_ptr<BenchmarkSheet>> sheets;

    BenchmarkSheet& open(std::optional<ImportedModelSeries> s = std::nullopt,
                         std::optional<std::filesystem::path> standalone = std::nullopt,
                         BenchmarkWebServices services = {}) {
        if (!services.http) services = web.services();
        sheets.push_back(std::make_unique<BenchmarkSheet>(session, std::move(s), std::move(standalone), services));
        return *sheets.back();
    }
    void withResult() {
        session.report = standardReport();
        session.measuredAt = DefaultsDate{800000000};
    }
};

// Each state with what it shows and which buttons it offers.
TEST_F(SheetTest, StatesAndTheirButtons) {
    struct Case {
        const char* name;
        std::function<void(FakeBenchmarkSession&)> setUp;
        State state;
        std::vector<const char*> shown, hidden;
    };
    const Case cases[] = {
        {"idle", [](auto&) {}, State::idle, {"runButton", "resultsWebsite"}, {"copyButton", "postButton", "errorLine"}},
        {"running with an earlier result and error",
         [](auto& s) {
             s.running = true;
             s.report = standardReport();
             s.error = BenchmarkRunError{"", "old failure"};
         },
         State::running,
         {"cancelRun"},
         {"errorLine", "copyButton", "remeasure", "resultsWebsite", "runButton"}},
        {"finished with results",
         [](auto& s) { s.report = standardReport(); },
         State::results,
         {"remeasure", "copyButton", "postButton", "resultsWebsite"},
         {"runButton", "errorLine"}},
        {"failed first run",
         [](auto& s) { s.error = BenchmarkRunError{"", "GPU lost"}; },
         State::error,
         {"errorLine", "errorRemeasure", "resultsWebsite"},
         {"copyButton", "runButton"}},
        {"failed later run keeps the results",
         [](auto& s) {
             s.report = standardReport();
             s.error = BenchmarkRunError{"", "GPU lost"};
         },
         State::results,
         {"errorLine", "remeasure"},
         {"errorRemeasure"}},
        {"cancelled before any result",
         [](auto& s) { s.canRequest = true; },
         State::idle,
         {"runButton"},
         {"errorLine"}},
    };
    for (const Case& c : cases) {
        session.reset();
        c.setUp(session);
        BenchmarkSheet& sheet = open();
        EXPECT_EQ(sheet.resultsState(), c.state) << c.name;
        for (const char* name : c.shown) EXPECT_TRUE(find<QWidget>(sheet, name)) << c.name << " shows " << name;
        for (const char* name : c.hidden) EXPECT_FALSE(find<QWidget>(sheet, name)) << c.name << " hides " << name;
        EXPECT_EQ(find(sheet, "closeButton")->isEnabled(), !session.running) << c.name;
        sheets.clear();
    }

    // Results: four cards, 720p 2x first; the score card with the three scores.
    withResult();
    BenchmarkSheet& sheet = open();
    const auto cards = sheet.findChildren<QWidget*>("resultCard");
    ASSERT_EQ(cards.size(), 4);
    EXPECT_TRUE(sheet.findChild<QWidget*>("scoreCard"));
    const auto rows = cards[0]->findChildren<QLabel*>("p95");
    ASSERT_EQ(rows.size(), 2); // quality, then fast
    EXPECT_EQ(rows[0]->text(), "P95 8.0 ms · " + tr("推奨") + " 60 fps"); // 0.9 × 125 fps
    // The running state's cancel button cancels at once; Escape does not close a running sheet.
    session.running = true;
    session.publish();
    find(sheet, "cancelRun")->click();
    EXPECT_EQ(session.calls, std::vector<std::string>{"cancelBenchmark"});
    sheet.show();
    sheet.reject();
    EXPECT_TRUE(sheet.isVisible());
}

// canRun per mode, and the confirmation that closes an open video first.
TEST_F(SheetTest, RunControlAndConfirmation) {
    struct Case {
        const char* name;
        std::optional<ImportedModelSeries> series;
        std::optional<std::filesystem::path> standalone;
        std::function<void(FakeBenchmarkSession&)> setUp;
        bool canRun;
        std::size_t configurations;
        std::vector<std::string> calls; // after startBenchmark() without a video
    };
    const Case cases[] = {
        {"default", {}, {}, [](auto&) {}, true, 4, {"runBenchmark"}},
        {"default, a shipped model missing", {}, {}, [](auto& s) { s.canRequest = false; }, false, 4, {}},
        {"standalone file", {}, "/m/solo.onnx", [](auto&) {}, false, 4, {}},
        {"series 2x and 4x", series({2, 4}), {}, [](auto&) {}, true, 4, {"runModelBenchmark machine|crisp|1.2|v"}},
        {"series 4x only", series({4}), {}, [](auto&) {}, true, 2, {"runModelBenchmark machine|crisp|1.2|v"}},
        {"series while a model loads", series({2}), {}, [](auto& s) { s.loading = true; }, false, 2, {}},
        {"series while another model's run", series({2}), {}, [](auto& s) { s.runningKey = "other"; }, false, 2, {}},
        // Neither 2x nor 4x: nothing to measure, so no run (and the reason is shown).
        {"series 3x only", series({3}), {}, [](auto&) {}, false, 0, {}},
    };
    for (const Case& c : cases) {
        session.reset();
        c.setUp(session);
        BenchmarkSheet& sheet = open(c.series, c.standalone);
        EXPECT_EQ(sheet.canRun(), c.canRun) << c.name;
        EXPECT_EQ(sheet.configurations().size(), c.configurations) << c.name;
        if (auto* run = find(sheet, "runButton")) EXPECT_EQ(run->isEnabled(), c.canRun) << c.name;
        EXPECT_EQ(!labelText(sheet, "cannotRunReason").isEmpty(), std::string(c.name) == "series 3x only") << c.name;
        sheet.startBenchmark();
        EXPECT_EQ(session.calls, c.calls) << c.name;
        sheets.clear();
    }
    EXPECT_EQ(open(series({4})).configurations(),
              (std::vector<BenchmarkSheet::Configuration>{
                  {PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkScale::four},
                  {PerformanceBenchmarkProfile::fullHD1080, PerformanceBenchmarkScale::four}}));

    // With a video open: the confirmation; cancelling changes nothing, confirming closes and runs.
    for (const bool confirm : {false, true}) {
        session.reset();
        session.video = true;
        BenchmarkSheet& sheet = open();
        sheet.show();
        sheet.startBenchmark();
        EXPECT_TRUE(sheet.showsCloseVideoConfirmation());
        EXPECT_TRUE(session.calls.empty());
        auto* box = sheet.findChild<QMessageBox*>("closeVideoConfirmation");
        ASSERT_TRUE(box);
        EXPECT_EQ(box->text(), tr("動画を閉じてベンチマークを実行しますか？"));
        EXPECT_EQ(box->informativeText(), tr("開いている動画を閉じてから測定を開始します。"));
        box->findChild<QAbstractButton*>(confirm ? "closeVideoAndMeasure" : "cancelConfirmation")->click();
        EXPECT_FALSE(sheet.showsCloseVideoConfirmation());
        const std::vector<std::string> expected =
            confirm ? std::vector<std::string>{"stopPlayback", "runBenchmark"} : std::vector<std::string>{};
        EXPECT_EQ(session.calls, expected);
        sheets.clear();
    }
}

// The session's error belongs to one run: a sheet shows only its own.
TEST_F(SheetTest, ErrorShownOnlyOnItsOwnRunsSheet) {
    const auto crisp = series({2, 4});
    const std::string crispKey = "machine|crisp|1.2|v";
    struct Case {
        const char* name;
        std::string errorKey;
        bool onDefault, onSeries, onStandalone;
    };
    const Case cases[] = {
        {"default run failed", "", true, false, false},
        {"series run failed", crispKey, false, true, false},
        {"another series' run failed", "machine|other|1|v", false, false, false},
    };
    for (const Case& c : cases) {
        session.reset();
        session.error = BenchmarkRunError{c.errorKey, "failed here"};
        BenchmarkSheet& onDefault = open();
        BenchmarkSheet& onSeries = open(crisp);
        BenchmarkSheet& onStandalone = open({}, "/m/solo.onnx");
        EXPECT_EQ(onDefault.runError().has_value(), c.onDefault) << c.name;
        EXPECT_EQ(onSeries.runError().has_value(), c.onSeries) << c.name;
        EXPECT_EQ(onStandalone.runError().has_value(), c.onStandalone) << c.name;
        EXPECT_EQ(onDefault.resultsState(), c.onDefault ? State::error : State::idle) << c.name;
        EXPECT_EQ(labelText(onSeries, "errorLine"), QString(c.onSeries ? "failed here" : "")) << c.name;
        sheets.clear();
    }
}

// The score index follows the stored reference; the web parts stay unavailable without an endpoint.
TEST_F(SheetTest, ScoreIndexAndComparisonWithoutEndpoint) {
    withResult();
    struct Case {
        const char* name;
        std::optional<BenchmarkComparisonReference> stored;
        bool checkpointsFail;
        QString index;
        QString note;
    };
    const auto summary = *BenchmarkScoreSummary::from(standardReport());
    const Case cases[] = {
        {"nothing stored", std::nullopt, false, "—", tr("同条件の比較基準がありません。")},
        {"a matching reference", referenceWith(summary.performance / 2), false, "200.0",
         tr("Webの基準を取得できませんでした。")},
        {"an unranked reference", BenchmarkComparisonReference{anchor, {0, 100.0, {}, checkpoints}, "2026-03-04T02:40:00Z"},
         false, "—",
         tr("Webの基準を取得できませんでした。")},
        {"checkpoints unreadable", std::nullopt, true, "—", tr("同条件の比較基準がありません。")},
    };
    for (const Case& c : cases) {
        web.defaults.remove(BenchmarkComparisonReference::defaultsKey);
        if (c.stored) c.stored->save(web.defaults);
        session.checkpointsFail = c.checkpointsFail;
        BenchmarkSheet& sheet = open();
        EXPECT_EQ(labelText(sheet, "scoreIndex"), c.index) << c.name;
        EXPECT_TRUE(sheet.comparisonUnavailable()) << c.name; // no endpoint configured
        EXPECT_FALSE(sheet.comparisonRefreshing()) << c.name;
        EXPECT_EQ(labelText(sheet, "comparisonNote"), c.note) << c.name;
        sheets.clear();
    }
    // No results address: the website alert instead of opening anything.
    BenchmarkSheet& sheet = open();
    sheet.openResultsWebsite();
    EXPECT_TRUE(sheet.showsWebsiteUnavailable());
    // Its text in the body, where it is read with or without a window manager.
    auto* alert = sheet.findChild<QMessageBox*>("websiteUnavailable");
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->text(), tr("ベンチマークサイトは準備中です。"));
    BenchmarkSheet& withSite = open({}, {}, web.services({}, {}, "HTTPS://results.example/x"));
    withSite.openResultsWebsite();
    EXPECT_FALSE(withSite.showsWebsiteUnavailable());
    EXPECT_EQ(web.opened.size(), 1u);
    BenchmarkSheet& ftp = open({}, {}, web.services({}, {}, "ftp://results.example/x"));
    ftp.openResultsWebsite();
    EXPECT_TRUE(ftp.showsWebsiteUnavailable());
}

// The measuring date and the reference's snapshot read to the minute, with the month's short name,
// in either interface language.
TEST_F(SheetTest, DatesToTheMinuteInBothLanguages) {
    withResult();
    session.measuredAt = DefaultsDate{800000047}; // 2026-05-09 06:14:07 UTC
    const auto summary = *BenchmarkScoreSummary::from(standardReport());
    referenceWith(summary.performance / 2, "2026-03-04T02:40:19Z").save(web.defaults);
    const auto local = [](std::time_t t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        return tm;
    };
    const std::tm measured = local(978307200 + 800000047), snapshot = local(1772592019);
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto japanese = [](const std::tm& tm) {
        return QString::asprintf("%d年%d月%d日 %d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                 tm.tm_min);
    };
    const auto english = [&](const std::tm& tm) {
        return QString::asprintf("%s %d, %d %d:%02d %s", months[tm.tm_mon], tm.tm_mday, tm.tm_year + 1900,
                                 tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, tm.tm_min, tm.tm_hour < 12 ? "AM" : "PM");
    };
    for (const char* language : {"ja", "en"}) {
        web.defaults.set("LumavanePreferredLanguage", std::string(language));
        const bool ja = std::string(language) == "ja";
        BenchmarkSheet& sheet = open();
        EXPECT_EQ(labelText(sheet, "measuredAt"), ja ? japanese(measured) : english(measured)) << language;
        EXPECT_TRUE(labelText(sheet, "referenceRow").endsWith(": " + (ja ? japanese(snapshot) : english(snapshot))))
            << language << ": " << labelText(sheet, "referenceRow").toStdString();
        sheets.clear();
    }
}

// As shipped, the real models have no comparison reference: the card says so and no service is
// asked about any anchor.
TEST_F(SheetTest, NoReferenceForTheShippedModels) {
    withResult();
    const std::filesystem::path models = resourcesDirectory() / "Models";
    session.ownCheckpoints = benchmarkComparisonCheckpoints({{BundledModelPreset::fast, models / "Lumavane-Fast-4x"},
                                                             {BundledModelPreset::quality, models / "Lumavane-Quality-4x"}});
    std::atomic<int> asked{0};
    web.answer = [&](const std::string&) {
        ++asked;
        return LoopbackHttpServer::reply(503, "application/json", "{}");
    };
    BenchmarkSheet& sheet = open({}, {}, web.services({}, web.endpoint));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet.comparisonRefreshing(); }, 10000));
    EXPECT_FALSE(sheet.comparisonReference());
    EXPECT_EQ(labelText(sheet, "scoreIndex"), "—");
    EXPECT_EQ(labelText(sheet, "comparisonNote"), tr("同条件の比較基準がありません。"));
    EXPECT_FALSE(sheet.findChild<QLabel*>("referenceRow"));
    EXPECT_FALSE(find(sheet, "updateReference"));
    EXPECT_EQ(asked.load(), 0);
}

// Refreshes never overlap, so an older answer cannot overwrite a newer stored reference.
TEST_F(SheetTest, ComparisonRefreshOneAtATime) {
    withResult();
    referenceWith(100).save(web.defaults);
    std::atomic<int> served{0};
    web.answer = [&](const std::string&) {
        const int n = ++served;
        const std::string snapshot = n == 1 ? "2026-05-01T00:00:00Z" : "2026-06-01T00:00:00Z";
        return LoopbackHttpServer::reply(
            200, "application/json",
            R"({"cohort":{"ranked_count":12,"median_performance":)" + std::to_string(100 + n) +
                R"(,"suite":{"id":"lumavane.standard","version":1,"warmup_frames":5,"measured_frames":30,)"
                R"("scope":"enhancement_pipeline_only"},"checkpoints":{"fast":")" +
                fastHash + R"(","quality":")" + qualityHash + R"("}},"snapshot_at":")" + snapshot + "\"}");
    };
    BenchmarkSheet& sheet = open({}, {}, web.services({}, web.endpoint));
    EXPECT_TRUE(sheet.comparisonRefreshing()); // started by the shown result
    EXPECT_TRUE(sheet.comparisonUsesSavedReference());
    sheet.updateComparisonReference(); // "比較基準を更新" while in flight: dropped
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet.comparisonRefreshing(); }, 10000));
    EXPECT_EQ(served.load(), 1);
    EXPECT_FALSE(sheet.comparisonUsesSavedReference());
    EXPECT_FALSE(sheet.comparisonUnavailable());
    EXPECT_EQ(sheet.comparisonReference()->snapshotAt, "2026-05-01T00:00:00Z");
    EXPECT_EQ(BenchmarkComparisonReference::saved(checkpoints, web.defaults)->snapshotAt, "2026-05-01T00:00:00Z");
    ASSERT_TRUE(find(sheet, "updateReference"));
    find(sheet, "updateReference")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet.comparisonRefreshing(); }, 10000));
    EXPECT_EQ(sheet.comparisonReference()->snapshotAt, "2026-06-01T00:00:00Z");

    // A refresh that comes back while a benchmark runs is dropped; a failed one keeps the stored one.
    sheet.updateComparisonReference();
    session.running = true;
    session.publish(); // the key changes: the refresh in flight is cancelled
    EXPECT_FALSE(sheet.comparisonRefreshing());
    QTest::qWait(200);
    EXPECT_EQ(sheet.comparisonReference()->snapshotAt, "2026-06-01T00:00:00Z");
    session.running = false;
    web.answer = [](const std::string&) { return LoopbackHttpServer::reply(503, "application/json", "{}"); };
    session.measuredAt = DefaultsDate{800000100}; // a new result starts a refresh
    session.publish();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet.comparisonRefreshing(); }, 10000));
    EXPECT_TRUE(sheet.comparisonUsesSavedReference());
    EXPECT_TRUE(sheet.comparisonUnavailable());
    EXPECT_EQ(sheet.comparisonReference()->snapshotAt, "2026-06-01T00:00:00Z");
    EXPECT_EQ(labelText(sheet, "comparisonNote"), tr("Webの基準を取得できませんでした。"));
}

// Copying: the session's report with the web lines, a series' own lines; the mark's timer
// restarts with each copy.
TEST_F(SheetTest, CopyAndTheCopiedMark) {
    withResult();
    const auto summary = *BenchmarkScoreSummary::from(standardReport());
    referenceWith(summary.performance / 2).save(web.defaults);
    BenchmarkSheet& sheet = open();
    find(sheet, "copyButton")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              "Lumavane Benchmark\nWeb score index (cohort median = 100): 200.0\n"
              "Reference snapshot: 2026-03-04T02:40:00Z\nReference: saved");
    EXPECT_TRUE(sheet.copied());
    EXPECT_EQ(find(sheet, "copyButton")->text(), tr("コピー済み"));
    EXPECT_EQ(find(sheet, "copyButton")->property(symbolProperty).toString(), "checkmark");
    QTest::qWait(600);
    const int left = sheet.copiedMarkTimer().remainingTime();
    sheet.copyBenchmark(); // starts the mark's time again
    EXPECT_GT(sheet.copiedMarkTimer().remainingTime(), left);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet.copied(); }, 4000));
    EXPECT_EQ(find(sheet, "copyButton")->text(), tr("コピー"));

    // Nothing to copy: clipboard and mark untouched.
    session.information.reset();
    QGuiApplication::clipboard()->setText("before");
    sheet.copyBenchmark();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
    EXPECT_FALSE(sheet.copied());

    session.modelReports["machine|crisp|1.2|v"] = {
        {{PerformanceBenchmarkProfile::fullHD1080, PerformanceBenchmarkScale::two, 24.2, 41.3, 30}}, DefaultsDate{1}};
    BenchmarkSheet& onSeries = open(series({2}));
    EXPECT_EQ(onSeries.report()->measurements[0].model, PerformanceBenchmarkModel::quality);
    EXPECT_EQ(onSeries.report()->measurements[0].medianMS, 24.2);
    EXPECT_FALSE(find<QWidget>(onSeries, "postButton"));
    onSeries.copyBenchmark();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "Crisp\nCrisp Small\n1080p · 2×: 41.3 fps · P95 24.2 ms");
}

TEST_F(SheetTest, LabelsAndDeleteButton) {
    EXPECT_EQ(BenchmarkSheet::categoryLabel("anime"), tr("アニメ"));
    EXPECT_EQ(BenchmarkSheet::categoryLabel("live-action"), tr("実写"));
    for (const char* other : {"Anime", "live action", "live_action", ""})
        EXPECT_EQ(BenchmarkSheet::categoryLabel(other), tr("汎用")) << other;
    auto variant = series({4, 2, 2}).manifest.variants[0];
    EXPECT_EQ(BenchmarkSheet::variantLine(variant), "Crisp Small · onnx · 4× / 2× / 2×");
    PerformanceBenchmarkMeasurement slow;
    EXPECT_EQ(BenchmarkSheet::recommendedFPSLabel(slow), tr("24 fps未満"));

    // The series holding the model in use can be removed only while a shipped model remains.
    for (const bool bundled : {true, false}) {
        session.reset();
        session.bundled = bundled;
        session.customModel = "/m/solo.onnx";
        BenchmarkSheet& sheet = open({}, "/m/solo.onnx");
        EXPECT_EQ(labelText(sheet, "subtitle"), "solo");
        EXPECT_EQ(find(sheet, "deleteButton")->isEnabled(), bundled);
        if (bundled) {
            find(sheet, "deleteButton")->click();
            EXPECT_EQ(session.calls, std::vector<std::string>{"removeImportedModel /m/solo.onnx"});
        }
        sheets.clear();
    }
}

// The details speak the interface language: no manifest format names, no untranslated
// subtitle, and a model too slow for 24 fps is not "recommended below 24 fps".
TEST_F(SheetTest, DetailsTextsReadInEitherLanguage) {
    struct Case {
        std::string language;
        QString subtitle, compact, slow;
    };
    const Case cases[] = {{"ja", "標準モデル", "Fast · コンパクト · 4× / 2×", "P95 8.0 ms · 推奨 24 fps未満"},
                          {"en", "Default Models", "Fast · Compact · 4× / 2×",
                           "P95 8.0 ms · Recommended: none (under 24 fps)"}};
    withResult();
    session.report->measurements[0].recommendedFPS.reset(); // quality, 720p 2×
    for (const Case& c : cases) {
        DefaultsStore::standard().set(AppLocalization::languageKey, c.language);
        BenchmarkSheet& sheet = open();
        EXPECT_EQ(labelText(sheet, "subtitle"), c.subtitle) << c.language;
        const auto cards = sheet.findChildren<QWidget*>("resultCard");
        ASSERT_FALSE(cards.empty());
        const auto rows = cards[0]->findChildren<QLabel*>("p95");
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0]->text(), c.slow) << c.language;
        ModelSeriesManifest::Variant compact{"fast", "Fast", std::nullopt, "Fast", "compact-metal", {4, 2}, true};
        EXPECT_EQ(BenchmarkSheet::variantLine(compact), c.compact) << c.language;
        compact.format = "coreml";
        EXPECT_EQ(BenchmarkSheet::variantLine(compact), "Fast · Core ML · 4× / 2×") << c.language;
        sheets.clear();
    }
    DefaultsStore::standard().remove(AppLocalization::languageKey);
}

} // namespace
} // namespace lumavane
