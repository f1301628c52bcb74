#include "SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>

namespace lumavane {
namespace {

using test::SessionHarness;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

DefaultsValue::Data bytes(const std::string& text) { return DefaultsValue::Data(text.begin(), text.end()); }

TEST(SessionRestore, AnEmptyStoreGivesEveryDefaultAndWritesNothing) {
    SessionHarness harness;
    int writes = 0;
    const Connection counting = harness.store.observeAll([&](const std::string&) { ++writes; });
    const auto session = harness.make();
    harness.loop.runUntilIdle();

    EXPECT_EQ(session->mode(), ViewMode::compare);
    EXPECT_TRUE(session->enabled());
    EXPECT_EQ(session->split(), 0.5);
    EXPECT_EQ(session->volume(), 1.0);
    EXPECT_FALSE(session->isMuted());
    EXPECT_EQ(session->playbackRate(), 1.0);
    EXPECT_FALSE(session->sharpenEnabled() || session->debandEnabled() || session->grainEnabled());
    EXPECT_EQ(session->sharpenAmount(), 0.3);
    EXPECT_EQ(session->debandAmount(), 0.45);
    EXPECT_EQ(session->grainAmount(), 0.12);
    EXPECT_EQ(session->brightness(), 0);
    EXPECT_EQ(session->gamma(), 1.0);
    EXPECT_TRUE(session->enhancementCleanupEnabled());
    EXPECT_EQ(session->enhancementCleanupAmount(), 0.75);
    EXPECT_TRUE(session->fxEnabled());
    EXPECT_EQ(session->fxSplit(), 0.5);
    EXPECT_EQ(session->fxPipelineOrder(), FXPipelineOrder::afterUpscale);
    EXPECT_EQ(session->outputScale(), OutputScale::optimal);
    EXPECT_TRUE(session->history().empty());
    EXPECT_TRUE(session->recentModelURLs().empty());
    EXPECT_TRUE(session->importedModelSeries().empty());
    EXPECT_TRUE(session->modelBenchmarkReports().empty());
    EXPECT_FALSE(session->savedDefaultBenchmark());
    EXPECT_EQ(session->filename(), "動画を開いて始める");
    EXPECT_EQ(session->status(), "モデル未選択");
    EXPECT_EQ(session->resolution(), "—");
    EXPECT_EQ(session->videoAspectRatio(), 16.0 / 9.0);
    EXPECT_EQ(session->autoMachine(), "Test GPU");
    EXPECT_EQ(session->modelImportsDirectory(), harness.directory.path() / "imports");
    EXPECT_TRUE(session->preferencesReady());
    EXPECT_EQ(writes, 0);
    EXPECT_TRUE(harness.store.keys().empty());
}

TEST(SessionRestore, WithoutADeviceTheMachineIsUnknown) {
    SessionHarness harness;
    harness.facts->gpu = std::nullopt;
    EXPECT_EQ(harness.make()->autoMachine(), "unknown");
}

TEST(SessionRestore, ReadsEachPreferenceByItsRule) {
    using Read = std::function<double(const PlayerSession&)>;
    const Read mode = [](const PlayerSession& s) { return double(s.mode()); };
    const Read rate = [](const PlayerSession& s) { return s.playbackRate(); };
    const Read order = [](const PlayerSession& s) { return double(s.fxPipelineOrder()); };
    const Read scale = [](const PlayerSession& s) { return double(s.outputScale()); };
    struct Row {
        const char* key;
        DefaultsValue stored;
        Read read;
        double expected;
    };
    const Row rows[] = {
        {"mode", "Original", mode, double(ViewMode::original)},
        {"mode", "Enhanced", mode, double(ViewMode::enhanced)},
        {"mode", "original", mode, double(ViewMode::compare)},
        {"mode", "Blend", mode, double(ViewMode::compare)},
        {"mode", 1, mode, double(ViewMode::compare)},
        {"enabled", false, [](const PlayerSession& s) { return double(s.enabled()); }, 0},
        {"enabled", 0, [](const PlayerSession& s) { return double(s.enabled()); }, 1},
        {"split", 1.7, [](const PlayerSession& s) { return s.split(); }, 1.0},
        {"split", -0.2, [](const PlayerSession& s) { return s.split(); }, 0},
        {"split", "0.4", [](const PlayerSession& s) { return s.split(); }, 0.5},
        {"split", 1, [](const PlayerSession& s) { return s.split(); }, 1.0},
        {"split", true, [](const PlayerSession& s) { return s.split(); }, 0.5},
        {"split", nan, [](const PlayerSession& s) { return s.split(); }, 0.5},
        {"volume", 0.3, [](const PlayerSession& s) { return s.volume(); }, 0.3},
        {"volume", infinity, [](const PlayerSession& s) { return s.volume(); }, 1.0},
        {"isMuted", true, [](const PlayerSession& s) { return double(s.isMuted()); }, 1},
        {"isMuted", 1, [](const PlayerSession& s) { return double(s.isMuted()); }, 0},
        {"playbackRate", 1.5, rate, 1.5},
        {"playbackRate", 1.25, rate, 1.0},
        {"playbackRate", 1.3, rate, 1.0},
        {"playbackRate", 1.2004, rate, 1.2004}, // near an offered rate: kept as stored
        {"playbackRate", 1.2005, rate, 1.2005},
        {"playbackRate", 0.7495, rate, 0.7495},
        {"playbackRate", 2, rate, 2.0},
        {"playbackRate", nan, rate, 1.0},
        {"playbackRate", "1.5", rate, 1.0},
        {"sharpenEnabled", true, [](const PlayerSession& s) { return double(s.sharpenEnabled()); }, 1},
        {"sharpenAmount", 2.0, [](const PlayerSession& s) { return s.sharpenAmount(); }, 1.0},
        {"debandEnabled", true, [](const PlayerSession& s) { return double(s.debandEnabled()); }, 1},
        {"debandAmount", -1.0, [](const PlayerSession& s) { return s.debandAmount(); }, 0},
        {"grainEnabled", "yes", [](const PlayerSession& s) { return double(s.grainEnabled()); }, 0},
        {"grainAmount", 0.5, [](const PlayerSession& s) { return s.grainAmount(); }, 0.5},
        {"brightness", 5.0, [](const PlayerSession& s) { return s.brightness(); }, 1.0},
        {"brightness", -4.0, [](const PlayerSession& s) { return s.brightness(); }, -1.0},
        {"brightness", nan, [](const PlayerSession& s) { return s.brightness(); }, 0},
        {"gamma", 0.1, [](const PlayerSession& s) { return s.gamma(); }, 0.25},
        {"gamma", 5.0, [](const PlayerSession& s) { return s.gamma(); }, 3.0},
        {"gamma", "2", [](const PlayerSession& s) { return s.gamma(); }, 1.0},
        {"enhancementCleanupEnabled", false,
         [](const PlayerSession& s) { return double(s.enhancementCleanupEnabled()); }, 0},
        {"enhancementCleanupAmount", 0.2, [](const PlayerSession& s) { return s.enhancementCleanupAmount(); },
         0.2},
        {"fxComparison", true, [](const PlayerSession& s) { return double(s.fxComparison()); }, 0},
        {"fxDifferencePreview", true, [](const PlayerSession& s) { return double(s.fxDifferencePreview()); },
         0},
        {"fxEnabled", false, [](const PlayerSession& s) { return double(s.fxEnabled()); }, 0},
        {"fxSplit", 0.25, [](const PlayerSession& s) { return s.fxSplit(); }, 0.25},
        {"fxPipelineOrder", "beforeUpscale", order, double(FXPipelineOrder::beforeUpscale)},
        {"fxPipelineOrder", "before", order, double(FXPipelineOrder::afterUpscale)},
        {"outputScale", "2×", scale, double(OutputScale::two)},
        {"outputScale", "4×", scale, double(OutputScale::four)},
        {"outputScale", "2x", scale, double(OutputScale::optimal)},
        {"outputScale", "最適", scale, double(OutputScale::optimal)},
    };
    for (const Row& row : rows) {
        SessionHarness harness;
        const DefaultsValue::Dictionary stored{{row.key, row.stored}};
        harness.store.set(PlayerSession::preferencesKey, stored);
        int writes = 0;
        const Connection counting = harness.store.observeAll([&](const std::string&) { ++writes; });
        const auto session = harness.make();
        EXPECT_EQ(row.read(*session), row.expected) << row.key;
        EXPECT_EQ(writes, 0) << row.key << ": the restore wrote back";
    }
}

TEST(SessionRestore, APreferencesValueOfTheWrongTypeCountsAsEmpty) {
    SessionHarness harness;
    harness.store.set(PlayerSession::preferencesKey, "mode=Original");
    const auto session = harness.make();
    EXPECT_EQ(session->mode(), ViewMode::compare);
    EXPECT_EQ(session->split(), 0.5);
}

std::string historyJSON(int count) {
    nlohmann::json entries = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        entries.push_back({{"url", "file:///videos/clip%20" + std::to_string(i) + ".mp4"},
                           {"position", i},
                           {"duration", 100.5},
                           {"lastPlayed", 700000000.25 + i},
                           {"unknown", "ignored"}});
    }
    entries[0]["audioTrackID"] = 2;
    return entries.dump();
}

TEST(SessionRestore, RestoresTheFirstFiftyHistoryEntriesAndPublishesThem) {
    SessionHarness harness;
    harness.store.set("player.history", bytes(historyJSON(60)));
    const auto session = harness.make();
    ASSERT_EQ(session->history().size(), 50u);
    const PlaybackHistoryEntry& first = session->history().front();
    EXPECT_EQ(first.url, "/videos/clip 0.mp4");
    EXPECT_EQ(first.duration, 100.5);
    EXPECT_EQ(first.lastPlayed.secondsSinceReferenceDate, 700000000.25);
    EXPECT_EQ(first.audioTrackID, 2);
    EXPECT_EQ(first.subtitleTrackID, std::nullopt);
    EXPECT_EQ(session->history().back().position, 49);
    EXPECT_EQ(session->historyReadout.value(), session->history());
}

// A history record is bounded like a whole defaults file: 15.6 MB of it holding 3.9 million items
// took over a second and hundreds of megabytes to parse at every launch. One holding more values
// reads as unusable, leaving the history empty; the rest of the file is kept, the record too.
TEST(SessionRestore, AHistoryRecordPastTheValueLimitStartsEmptyAndTheRestOfTheFileIsKept) {
    std::string millions = "[{}";
    for (int i = 1; i < 3900000; ++i) millions += ",{}";
    millions += "]";
    struct Row {
        const char* what;
        std::string history;
        std::size_t restored;
    };
    // Six values an entry: whole entries, told from a real history only by their number.
    const Row rows[] = {
        {"a full history", historyJSON(50), 50},
        {"entries just under the limit", historyJSON(16000), 50},
        {"entries past the limit", historyJSON(20000), 0},
        {"millions of items", std::move(millions), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SessionHarness harness;
        const auto folder = harness.directory.path() / "files";
        std::filesystem::create_directories(folder);
        {
            DefaultsStore writer(folder / "written.json");
            writer.set("player.history", bytes(row.history));
            writer.set(PlayerSession::preferencesKey, DefaultsValue::Dictionary{{"volume", 0.25}});
            writer.set("player.recentModels", std::vector<std::string>{"/m/a.mlmodel"});
            writer.synchronize();
        }
        // A copy has no live store, so it is read from the file as at a launch.
        std::filesystem::copy_file(folder / "written.json", folder / "defaults.json");
        PlayerSession::Options options = harness.options();
        options.preferences = DefaultsStore(folder / "defaults.json");
        const PlayerSession session(std::move(options));
        EXPECT_EQ(session.history().size(), row.restored);
        EXPECT_EQ(session.volume(), 0.25);
        EXPECT_EQ(session.recentModelURLs(), std::vector<std::filesystem::path>{"/m/a.mlmodel"});
        EXPECT_EQ(DefaultsStore(folder / "defaults.json").data("player.history"), bytes(row.history));
    }
}

TEST(SessionRestore, HistoryEntriesKeepTheirFilesAsFileURLs) {
    const PlaybackHistoryEntry entry{"/Videos/a b/é#1.mp4", 12.5, 60, DefaultsDate{3}, 1, std::nullopt};
    const nlohmann::json json = toJSON(entry);
    EXPECT_EQ(json["url"], "file:///Videos/a%20b/%C3%A9%231.mp4");
    EXPECT_FALSE(json.contains("subtitleTrackID"));
    EXPECT_EQ(playbackHistoryEntryFromJSON(json), entry);
    EXPECT_EQ(pathFromFileURLString("file://localhost/a%2Fb"), std::filesystem::path("/a/b"));
    EXPECT_EQ(pathFromFileURLString("https://example.com/a.mp4"), std::nullopt);
    EXPECT_EQ(pathFromFileURLString("file:///a%00b"), std::nullopt);
}

TEST(SessionRestore, UnreadableRecordsLeaveTheirDefaults) {
    const std::string goodReport =
        R"({"measurements":[{"profile":"720p","scale":"2×","p95MS":8,"sustainedFPS":125,"recommendedFPS":120}],"measuredAt":100})";
    const std::string goodSnapshot = R"({"identity":"id","measuredAt":5,"report":{"measurements":[]}})";
    struct Row {
        const char* what;
        const char* key;
        DefaultsValue stored;
        bool restored;
    };
    std::string badEntry = historyJSON(3);
    badEntry.replace(badEntry.find("\"position\":1"), 12, "\"position\":\"1\"");
    // Nested past the bound under a key the reader ignores: still a decoding error.
    const std::string deep = std::string(50000, '[') + std::string(50000, ']');
    std::string deepHistory = historyJSON(2);
    deepHistory.replace(deepHistory.find("\"ignored\""), 9, deep);
    const std::string deepReport = R"({"model-a":{"x":)" + deep + "," + goodReport.substr(1) + "}";
    const Row rows[] = {
        {"history", "player.history", bytes(historyJSON(2)), true},
        {"history not JSON", "player.history", bytes("[{"), false},
        {"history as text", "player.history", historyJSON(2), false},
        {"history with one bad entry", "player.history", bytes(badEntry), false},
        {"history as an object", "player.history", bytes("{}"), false},
        {"history nested past the bound", "player.history", bytes(deepHistory), false},
        {"benchmarks nested past the bound", "player.modelBenchmarks", bytes(deepReport), false},
        {"benchmarks", "player.modelBenchmarks", bytes(R"({"model-a":)" + goodReport + "}"), true},
        {"benchmarks with a letter x", "player.modelBenchmarks",
         bytes(
             R"({"model-a":{"measurements":[{"profile":"720p","scale":"2x","p95MS":8,"sustainedFPS":125}]}})"),
         false},
        {"benchmarks as a list", "player.modelBenchmarks", bytes("[" + goodReport + "]"), false},
        {"default benchmark", "player.defaultBenchmark", bytes(goodSnapshot), true},
        {"default benchmark without report", "player.defaultBenchmark",
         bytes(R"({"identity":"id","measuredAt":5})"), false},
        {"default benchmark as a number", "player.defaultBenchmark", 3, false},
        {"recent models", "player.recentModels", std::vector<std::string>{"/m/a.mlmodel", "/m/b"}, true},
        {"recent models mixed", "player.recentModels", DefaultsValue::Array{"/m/a", 1}, false},
    };
    for (const Row& row : rows) {
        SessionHarness harness;
        harness.store.set(row.key, row.stored);
        const auto session = harness.make();
        const bool restored = !session->history().empty() || !session->modelBenchmarkReports().empty() ||
                              session->savedDefaultBenchmark().has_value() ||
                              !session->recentModelURLs().empty();
        EXPECT_EQ(restored, row.restored) << row.what;
    }

    SessionHarness harness;
    harness.store.set("player.modelBenchmarks", bytes(R"({"model-a":)" + goodReport + "}"));
    harness.store.set("player.defaultBenchmark", bytes(goodSnapshot));
    harness.store.set("player.recentModels", std::vector<std::string>{"/m/a.mlmodel", "/m/b"});
    const auto session = harness.make();
    const ModelBenchmarkReport& report = session->modelBenchmarkReports().at("model-a");
    EXPECT_EQ(report.measuredAt, DefaultsDate{100});
    ASSERT_EQ(report.measurements.size(), 1u);
    EXPECT_EQ(report.measurements[0].recommendedFPS, 120);
    EXPECT_EQ(session->savedDefaultBenchmark()->identity, "id");
    EXPECT_EQ(session->recentModelURLs(), (std::vector<std::filesystem::path>{"/m/a.mlmodel", "/m/b"}));
}

TEST(SessionRestore, ImportedSeriesWhoseManifestIsGoneAreDropped) {
    SessionHarness harness;
    std::vector<std::string> paths;
    for (const char* name : {"first", "deleted", "third"}) {
        const auto folder = harness.directory.path() / name;
        paths.push_back((folder / "model-series.json").string());
        if (std::string(name) == "deleted") continue;
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "model-series.json") << "{}";
    }
    harness.store.set("player.modelSeries", paths);
    const auto session = harness.make();
    ASSERT_EQ(session->importedModelSeries().size(), 2u);
    EXPECT_EQ(session->importedModelSeries()[0].id(), "first");
    EXPECT_EQ(session->importedModelSeries()[1].id(), "third");
    EXPECT_EQ(session->importedModelSeries()[1].manifestURL, paths[2]);
}

} // namespace
} // namespace lumavane
