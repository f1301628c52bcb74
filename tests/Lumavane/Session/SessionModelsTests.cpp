// Models in the session: loads on a fake enhancer factory (and the shipped models for real), the
// saved choice, scales, the automatic mode's memory, imports of good and hostile ZIPs, removal.
#include "SessionTestSupport.hpp"

#include "Lumavane/Models/ModelsTestSupport.hpp"
#include "Lumavane/Session/ModelSelection.hpp"
#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Lumavane/Session/SameFile.hpp"
#include "ModelArchive/ZipWriter.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <sys/inotify.h>
#include <unistd.h>

namespace lumavane {

// The newest source frame and the automatic mode's entry points, without a video.
struct PlayerSessionTestAccess {
    static void setLatest(PlayerSession& session, double width, double height) {
        session.latest_ = image::Image::constantColor(image::Color{0, 0, 0, 1}).cropped(image::Rect{0, 0, width, height});
    }
    static void prepareAutomaticContext(PlayerSession& session) { session.prepareAutomaticContext(); }
    static SerialQueue& importQueue(PlayerSession& session) { return session.modelImportWorker_; }
    static CancellationToken importCancellation(PlayerSession& session) {
        return session.modelImportCancellation_.token();
    }
};

namespace {

namespace fs = std::filesystem;
using Access = PlayerSessionTestAccess;
using test::SessionHarness;
using test::ScopedEnv;
using test::ZipEntry;

// Never enhances: these tests only load models.
struct FakeEnhancer final : PlaybackEnhancer {
    ModelInfo model;
    bool outputs = true; // native 4x and display-sized output
    const ModelInfo& info() const override { return model; }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>&,
                                       std::optional<image::Size>, const CancellationToken&) override {
        return {image, 1};
    }
    bool supportsNative4xOutput() const override { return outputs; }
    bool supportsOptimalDisplayOutput() const override { return outputs; }
};

// Builds fakes named after the model's folder. A model whose name is in `failing` throws; one in
// `coreLike` has neither native 4x nor display-sized output. Builds wait while held.
class FakeFactory final : public PlaybackEnhancerFactory {
public:
    std::set<std::string> failing, coreLike;

    std::shared_ptr<PlaybackEnhancer> make(const fs::path& url, OutputScale scale) override {
        std::unique_lock lock(mutex_);
        const std::string name = url.filename().string();
        builds.emplace_back(name, scale);
        released_.wait(lock, [&] { return !held_; });
        if (failing.count(name)) throw std::runtime_error("cannot build " + name);
        auto enhancer = std::make_shared<FakeEnhancer>();
        enhancer->model.name = name;
        enhancer->outputs = !coreLike.count(name);
        return enhancer;
    }
    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        released_.notify_all();
    }
    std::vector<std::pair<std::string, OutputScale>> builds;

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
};

fs::path shippedManifest() { return resourcesDirectory() / "Models" / "model-series.json"; }
const char* const refusedManifest = "<Invalid or unsupported model-series manifest.>";

// A session with the real manifest reader, a fake (or the real) enhancer factory and its own
// temporary folder for staging.
struct ModelHarness {
    SessionHarness harness;
    std::shared_ptr<FakeFactory> factory = std::make_shared<FakeFactory>();
    fs::path root = harness.directory.path();
    ScopedEnv tmpdir{"TMPDIR", ensure(root / "tmp").string()};
    std::unique_ptr<PlayerSession> session;

    static fs::path ensure(const fs::path& folder) { return fs::create_directories(folder), folder; }

    explicit ModelHarness(std::optional<fs::path> imports = std::nullopt) { make(factory, imports); }
    void make(std::shared_ptr<PlaybackEnhancerFactory> useFactory, std::optional<fs::path> imports = std::nullopt) {
        session.reset();
        auto options = harness.options();
        options.loadModelSeriesManifest = &ModelSeriesManifest::load;
        options.enhancerFactory = std::move(useFactory);
        if (imports) options.modelImportsDirectory = *imports;
        session = std::make_unique<PlayerSession>(std::move(options));
    }

    void settle() {
        ASSERT_TRUE(harness.loop.runUntil([&] { return !session->loadingModel() && !session->preparingModelImport(); }, 60));
        harness.loop.runUntilIdle();
    }
    // A new session that starts at this output scale.
    void startAt(OutputScale scale, std::shared_ptr<PlaybackEnhancerFactory> useFactory = nullptr) {
        harness.store.set(PlayerSession::preferencesKey, DefaultsValue::Dictionary{{"outputScale", rawValue(scale)}});
        make(useFactory ? useFactory : factory);
    }
    std::optional<std::string> key(const std::string& name) const { return harness.store.string(name); }
    bool stagingLeft() const { return !fs::is_empty(root / "tmp"); }

    // A series folder with compact variants "Fast" and "Quality" (both 2x and 4x, optimal).
    fs::path writeSeries(const fs::path& folder, const std::string& id = "org.example.anime") {
        nlohmann::json manifest = test::seriesManifest();
        manifest["id"] = id;
        manifest["variants"].push_back({{"id", "quality"}, {"name", "Quality"}, {"path", "Quality"},
                                        {"format", "compact-metal"}, {"outputScales", {2, 4}},
                                        {"supportsOptimal", true}});
        test::writeText(folder / "model-series.json", manifest.dump());
        test::writeText(folder / "Fast" / "manifest.json", test::compactFolderManifest(4));
        test::writeText(folder / "Quality" / "manifest.json", test::compactFolderManifest(4));
        return folder / "model-series.json";
    }
    fs::path writeStandalone(const std::string& name) {
        test::writeText(root / "models" / name / "manifest.json", test::compactFolderManifest(4));
        return root / "models" / name;
    }

    // The completion's answer, once it came.
    std::optional<std::optional<ModelImportCandidate>> prepare(const fs::path& url, bool wait = true) {
        std::optional<std::optional<ModelImportCandidate>> answer;
        session->prepareModelImportCandidate(url, [&](auto candidate) { answer = std::move(candidate); });
        if (wait) settle();
        return answer;
    }
    bool modelsFolderEmpty() const {
        const fs::path folder = session->modelImportsDirectory();
        return !fs::exists(folder) || fs::is_empty(folder);
    }
};

std::vector<ZipEntry> packageEntries(const std::string& id = "org.example.anime") {
    nlohmann::json manifest = test::seriesManifest();
    manifest["id"] = id;
    return {{"pkg/model-series.json", manifest.dump(), true},
            {"pkg/Fast/manifest.json", test::compactFolderManifest(4)},
            {"pkg/Fast/0.weights", test::pseudoRandomText(3000), true}};
}

TEST(SessionModels, EachChoiceIsSavedAndComesBackAtTheNextLaunch) {
    ModelHarness h;
    const fs::path series = h.writeSeries(h.root / "Series");
    const fs::path standalone = h.writeStandalone("Loose");
    h.session->loadBundledModelIfAvailable(shippedManifest()); // first launch: AUTO, quality
    h.settle();
    EXPECT_TRUE(h.session->hasBundledModelChoices());
    EXPECT_EQ(h.session->modelInfo()->name, "Lumavane-Quality-4x");
    EXPECT_EQ(h.session->status(), "<モデル準備完了>");

    struct Choice {
        const char* name;
        std::function<void(PlayerSession&)> choose;
        const char* kind;
        std::optional<std::string> seriesID, variantID, standalonePath;
        const char* restored;
    };
    const std::vector<Choice> choices = {
        {"series", [&](PlayerSession& s) { s.importModelSeries(series); }, "series", "org.example.anime", "fast",
         std::nullopt, "Fast"},
        {"variant", [&](PlayerSession& s) { s.selectModelSeries(s.importedModelSeries()[0], "quality", false); },
         "series", "org.example.anime", "quality", std::nullopt, "Quality"},
        {"standalone", [&](PlayerSession& s) { s.requestModelLoad(standalone); }, "standalone", std::nullopt,
         std::nullopt, standalone.string(), "Loose"},
        {"default", [&](PlayerSession& s) { s.useDefaultModel(); }, "default", std::nullopt, std::nullopt,
         std::nullopt, "Lumavane-Quality-4x"},
        {"preset", [&](PlayerSession& s) { s.setBundledModel(BundledModelPreset::fast); }, "default", std::nullopt,
         std::nullopt, std::nullopt, "Lumavane-Fast-4x"},
    };
    for (const Choice& choice : choices) {
        SCOPED_TRACE(choice.name);
        choice.choose(*h.session);
        h.settle();
        EXPECT_EQ(h.key("player.selectedModelKind"), choice.kind);
        EXPECT_EQ(h.key("player.selectedSeriesID"), choice.seriesID);
        EXPECT_EQ(h.key("player.selectedVariantID"), choice.variantID);
        EXPECT_EQ(h.key("player.selectedStandalonePath"), choice.standalonePath);
        ModelHarness next;
        next.harness.store = h.harness.store;
        next.make(next.factory);
        next.session->loadBundledModelIfAvailable(shippedManifest());
        next.settle();
        EXPECT_EQ(next.session->modelInfo()->name, choice.restored);
    }
    EXPECT_EQ(h.key("player.seriesVariant.org.example.anime"), "quality");
    EXPECT_EQ(h.harness.store.stringArray("player.modelSeries"), std::vector<std::string>{series.string()});
    EXPECT_EQ(h.session->standaloneModelURLs(), std::vector<fs::path>{standalone});

    // A saved standalone model that is gone: the shipped model of the stored preset, which the
    // preset control shows, and the message says the model is missing (not of a kind not read).
    h.factory->failing.insert("gone");
    for (const auto& [stored, preset, model] :
         {std::tuple("高速", BundledModelPreset::fast, "Lumavane-Fast-4x"),
          std::tuple("AUTO", BundledModelPreset::automatic, "Lumavane-Quality-4x")}) {
        SCOPED_TRACE(stored);
        // (The fallback saved the shipped model as the choice.)
        h.harness.store.set("player.selectedModelKind", "standalone");
        h.harness.store.set("player.selectedStandalonePath", (h.root / "gone").string());
        h.harness.store.set("player.modelPreset", stored);
        h.make(h.factory);
        h.session->loadBundledModelIfAvailable(shippedManifest());
        EXPECT_EQ(h.session->bundledModelPreset(), preset) << "while the saved model loads";
        h.settle();
        EXPECT_EQ(h.session->message(), "<「gone」が見つかりません。移動または削除された可能性があります。>");
        EXPECT_EQ(h.session->modelInfo()->name, model);
        EXPECT_EQ(h.session->bundledModelPreset(), preset);
    }
    // One that is there but does not load still says so.
    test::writeText(h.root / "gone", "not a model");
    h.session->requestModelLoad(h.root / "gone");
    h.settle();
    EXPECT_EQ(h.session->message(), "<「gone」を読み込めませんでした。>");

    // A series whose folder was deleted after it was imported, chosen from the list.
    ASSERT_FALSE(h.session->importedModelSeries().empty());
    const ImportedModelSeries listed = h.session->importedModelSeries()[0];
    fs::remove_all(series.parent_path());
    h.session->selectModelSeries(listed, std::nullopt, false);
    h.settle();
    EXPECT_EQ(h.session->message(),
              "<「" + listed.manifest.name + "」が見つかりません。移動または削除された可能性があります。>");
}

TEST(SessionModels, OnlyTheNewestLoadIsInstalled) {
    ModelHarness h;
    const fs::path first = h.writeStandalone("First"), second = h.writeStandalone("Second");
    h.factory->hold(true);
    bool firstSucceeded = false;
    h.session->loadModel(first, false, std::nullopt, std::nullopt, false, [&] { firstSucceeded = true; });
    h.session->requestModelLoad(second);
    h.factory->hold(false);
    h.settle();
    EXPECT_FALSE(firstSucceeded);
    EXPECT_EQ(h.session->modelInfo()->name, "Second");
    EXPECT_EQ(h.session->recentModelURLs(), std::vector<fs::path>{second});

    // A failure keeps the running model and its saved choice.
    h.factory->failing.insert("First");
    h.session->requestModelLoad(first);
    h.settle();
    EXPECT_EQ(h.session->message(), "<「First」を読み込めませんでした。>");
    EXPECT_EQ(h.session->status(), "<以前のモデルを使用>");
    EXPECT_EQ(h.session->modelInfo()->name, "Second");
    EXPECT_EQ(h.key("player.selectedStandalonePath"), second.string());
}

TEST(SessionModels, ScalesFollowWhatTheModelAndItsVariantServe) {
    using enum OutputScale;
    struct Case {
        const char* name;
        bool coreLike;
        std::vector<std::int64_t> declared; // empty: a standalone model
        bool declaresOptimal;
        OutputScale current, built, installed;
        std::vector<OutputScale> offered; // empty: refused
    };
    const std::vector<Case> cases = {
        {"compact at optimal", false, {}, false, optimal, optimal, optimal, {optimal, two, four}},
        {"core-like at four", true, {}, false, four, four, two, {two}},
        {"4x-only variant at 2x", false, {4}, false, two, four, four, {four}},
        {"variant without optimal", false, {2, 4}, false, optimal, two, two, {two, four}},
        {"4x variant on an engine without it", true, {2, 4}, true, optimal, optimal, optimal, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness h;
        if (c.coreLike) h.factory->coreLike.insert("Fast");
        h.startAt(c.current);
        if (c.declared.empty()) {
            h.session->requestModelLoad(h.writeStandalone("Fast"));
        } else {
            nlohmann::json manifest = test::seriesManifest();
            manifest["variants"][0]["outputScales"] = c.declared;
            manifest["variants"][0]["supportsOptimal"] = c.declaresOptimal;
            test::writeText(h.root / "S" / "model-series.json", manifest.dump());
            test::writeText(h.root / "S" / "Fast" / "manifest.json", test::compactFolderManifest(4));
            h.session->importModelSeries(h.root / "S" / "model-series.json");
        }
        h.settle();
        EXPECT_EQ(h.factory->builds.back().second, c.built);
        if (c.offered.empty()) {
            EXPECT_EQ(h.session->message(), refusedManifest);
            EXPECT_TRUE(h.session->importedModelSeries().empty());
            continue;
        }
        EXPECT_EQ(h.session->outputScale(), c.installed);
        EXPECT_EQ(h.session->availableOutputScales(), c.offered);
        // 4x reloads the model when offered and not already in use; otherwise it is ignored.
        const std::size_t builds = h.factory->builds.size();
        h.session->setOutputScale(four);
        h.settle();
        const bool reloads = std::count(c.offered.begin(), c.offered.end(), four) && c.installed != four;
        EXPECT_EQ(h.factory->builds.size(), builds + (reloads ? 1 : 0));
    }
}

TEST(SessionModels, AutomaticContextKeys) {
    const std::pair<double, double> hd{1920, 1080};
    const std::pair<model_selection::AutoContext, std::optional<std::string>> cases[] = {
        {{"GPU", hd, 24, 1, OutputScale::optimal, std::pair{2600.0, 1440.0}}, "v2|GPU|1920x1080|24|最適|display:20x11"},
        {{"GPU", hd, 24, 1, OutputScale::optimal, std::pair{2624.0, 1440.0}}, "v2|GPU|1920x1080|24|最適|display:21x11"},
        {{"GPU", hd, 24, 2, OutputScale::two, std::pair{2560.0, 1440.0}}, "v2|GPU|1920x1080|48|2×"},
        {{"GPU", std::pair{959.9, 540.5}, 29.97, 1, OutputScale::four, {}}, "v2|GPU|959x540|30|4×"},
        {{"GPU", std::nullopt, 24, 1, OutputScale::two, {}}, std::nullopt},
        {{"GPU", hd, 0, 1, OutputScale::two, {}}, std::nullopt},
    };
    for (const auto& [context, key] : cases) EXPECT_EQ(model_selection::autoContextKey(context), key);
}

TEST(SessionModels, AutomaticModeRemembersTheModelPerContext) {
    ModelHarness h;
    h.session->loadBundledModelIfAvailable(shippedManifest());
    h.settle();
    EXPECT_FALSE(h.session->autoContextKey()); // no frame yet
    Access::setLatest(*h.session, 320, 180);
    h.session->setSourceFPS(24);
    const std::string at24 = h.session->autoContextKey().value_or("");
    EXPECT_EQ(at24, "v2|Test GPU|320x180|24|最適");
    Access::prepareAutomaticContext(*h.session); // first seen: quality, which already runs
    EXPECT_FALSE(h.session->loadingModel());

    const auto& shipped = h.session->bundledModelURLs();
    h.session->loadModel(shipped.at(BundledModelPreset::fast), true, std::nullopt, std::nullopt, false, {});
    EXPECT_EQ(h.session->status(), "<モデル準備完了>"); // a switch shows no compiling status
    h.settle();
    EXPECT_EQ(h.session->rememberedAutoPreset(), BundledModelPreset::fast);

    // Each context starts with its own remembered model.
    for (const auto& [fps, preset] : {std::pair{30.0, BundledModelPreset::quality}, {24.0, BundledModelPreset::fast}}) {
        h.session->setSourceFPS(fps);
        Access::prepareAutomaticContext(*h.session);
        h.settle();
        EXPECT_EQ(h.session->activeModelPreset(), preset);
    }
    EXPECT_EQ(h.harness.store.dictionary("player.autoModes.v2"),
              (DefaultsValue::Dictionary{{at24, DefaultsValue("高速")},
                                         {"v2|Test GPU|320x180|30|最適", DefaultsValue("高画質")}}));

    // "AUTO" is no preference; with a preset chosen, switches are not remembered.
    h.harness.store.set("player.autoModes.v2", DefaultsValue::Dictionary{{at24, DefaultsValue("AUTO")}});
    EXPECT_EQ(h.session->rememberedAutoPreset(), BundledModelPreset::quality);
    h.session->setBundledModel(BundledModelPreset::quality);
    h.settle();
    h.session->loadModel(shipped.at(BundledModelPreset::fast), true, std::nullopt, std::nullopt, false, {});
    h.settle();
    EXPECT_EQ(h.harness.store.dictionary("player.autoModes.v2")->at(at24), DefaultsValue("AUTO"));
}

TEST(SessionModels, ZipImportsEndToEnd) {
    const auto with = [](std::vector<ZipEntry> extra, const std::string& id = "org.example.anime") {
        std::vector<ZipEntry> entries = packageEntries(id);
        entries.insert(entries.end(), extra.begin(), extra.end());
        return entries;
    };
    std::vector<ZipEntry> many;
    for (int i = 0; i < 4096; ++i) many.push_back({"pkg/x/" + std::to_string(i), ""});
    struct Case {
        const char* name;
        std::vector<ZipEntry> entries;
        std::optional<std::string> refusal; // "": any message
        bool buildFails = false;
    };
    const std::vector<Case> cases = {
        {"good package", with({}), std::nullopt},
        {"shipped series id", with({}, "lumavane.compact-4x"), refusedManifest},
        {"too many entries", with(many), "<The model ZIP contains more than 4,096 entries.>"},
        {"path outside", with({{"../escape.txt", "x"}}), ""},
        {"compression ratio", with({{"pkg/zeros.bin", std::string(4 << 20, '\0'), true}}), ""},
        {"no manifest", {{"pkg/Fast/manifest.json", test::compactFolderManifest(4)}}, ""},
        {"variant does not build", with({}), std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness h;
        h.session->loadBundledModelIfAvailable(shippedManifest());
        h.settle();
        if (c.buildFails) h.factory->failing.insert("Fast");
        const fs::path zip = h.root / "Chosen.ZIP";
        test::makeZip(c.entries).write(zip);
        const auto answer = h.prepare(zip);
        ASSERT_TRUE(answer);
        if (c.refusal) {
            EXPECT_FALSE(*answer);
            ASSERT_TRUE(h.session->message());
            if (!c.refusal->empty()) {
                EXPECT_EQ(h.session->message(), c.refusal);
            }
        } else {
            ASSERT_TRUE(*answer && (*answer)->preparedArchive);
            h.session->importModel(**answer);
            h.settle();
            EXPECT_EQ(h.session->importedModelSeries().size(), c.buildFails ? 0u : 1u);
            EXPECT_EQ(h.key("player.selectedModelKind"), c.buildFails ? "default" : "series");
            EXPECT_EQ(h.session->message(),
                      c.buildFails ? std::optional<std::string>("<「Fast」を読み込めませんでした。>")
                                   : std::nullopt);
        }
        EXPECT_FALSE(h.stagingLeft());
        EXPECT_EQ(h.modelsFolderEmpty(), c.refusal || c.buildFails);
    }
}

TEST(SessionModels, BusyAndAbandonedImports) {
    ModelHarness h;
    const fs::path zip = h.root / "p.zip";
    test::makeZip(packageEntries()).write(zip);
    const auto candidate = h.prepare(zip).value();
    ASSERT_TRUE(candidate);

    // While a load runs nothing is installed and a preparation answers at once, with nothing.
    h.factory->hold(true);
    h.session->requestModelLoad(h.writeStandalone("Busy"));
    h.session->importModel(*candidate);
    EXPECT_EQ(h.session->message(), "<別のモデルの処理中です。終わってからもう一度お試しください。>");
    EXPECT_TRUE(h.modelsFolderEmpty());
    const auto answer = h.prepare(zip, false);
    EXPECT_TRUE(answer && !*answer);
    h.factory->hold(false);
    h.settle();
    h.session->discardModelImport(candidate);

    // A preparation the sheet gave up on goes with its staging folder and never answers.
    bool answered = false;
    h.session->prepareModelImportCandidate(zip, [&](auto) { answered = true; });
    h.session->cancelModelImportPreparation();
    h.session->discardModelImport(h.prepare(zip).value()); // queued behind the abandoned one
    EXPECT_FALSE(answered);
    EXPECT_FALSE(h.stagingLeft());

    // A ZIP is never unpacked on the spot; a series document with the reserved id is refused.
    EXPECT_FALSE(h.session->modelImportCandidate(zip));
    EXPECT_FALSE(h.stagingLeft());
    const fs::path reserved = h.writeSeries(h.root / "Reserved", model_selection::fallbackReservedSeriesID);
    EXPECT_FALSE(h.session->modelImportCandidate(h.root / "Reserved"));
    h.session->importModelSeries(reserved);
    EXPECT_EQ(h.session->message(), refusedManifest);
    EXPECT_TRUE(h.session->importedModelSeries().empty());
}

// An 8.7 MB archive once kept the import queue busy for over ten minutes after the sheet was
// closed. A cancelled preparation's work stops: cancelled before its turn on the queue, it makes
// no staging folder at all, and the next preparation runs at once.
// Counts what is made in a folder from now on.
class FolderWatch {
public:
    explicit FolderWatch(const fs::path& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(inotify_add_watch(fd_, folder.c_str(), IN_CREATE), 0);
    }
    ~FolderWatch() { close(fd_); }
    int made() {
        alignas(inotify_event) char events[4096];
        for (ssize_t got; (got = read(fd_, events, sizeof events)) > 0;) {
            for (char* at = events; at < events + got;
                 at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
                ++made_;
        }
        return made_;
    }

private:
    int fd_;
    int made_ = 0;
};

TEST(SessionModels, ACancelledPreparationStopsItsWork) {
    ModelHarness h;
    const fs::path zip = h.root / "p.zip";
    test::makeZip(packageEntries()).write(zip);
    FolderWatch staging(h.root / "tmp");

    std::promise<void> release;
    Access::importQueue(*h.session).async([released = release.get_future().share()] { released.wait(); });
    bool answered = false;
    h.session->prepareModelImportCandidate(zip, [&](auto) { answered = true; });
    h.session->cancelModelImportPreparation();
    release.set_value();
    const auto next = h.prepare(zip).value();
    ASSERT_TRUE(next);
    EXPECT_FALSE(answered);
    EXPECT_EQ(staging.made(), 1); // the second preparation's
    h.session->discardModelImport(next);
    EXPECT_FALSE(h.stagingLeft());

    // Quitting does not wait for a preparation to finish: the session's end stops it.
    std::promise<void> releaseAgain;
    Access::importQueue(*h.session).async([released = releaseAgain.get_future().share()] { released.wait(); });
    h.session->prepareModelImportCandidate(zip, [&](auto) { answered = true; });
    std::thread releaser([token = Access::importCancellation(*h.session), &releaseAgain] {
        // Released anyway after a while, so that a session that never cancels fails, not hangs.
        for (int waited = 0; waited < 10000 && !token.isCancelled(); ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        releaseAgain.set_value();
    });
    h.session.reset();
    releaser.join();
    EXPECT_FALSE(answered);
    EXPECT_EQ(staging.made(), 1);
}

TEST(SessionModels, RemovalEditsTheListsAndNeverDeletesFiles) {
    ModelHarness h;
    h.session->loadBundledModelIfAvailable(shippedManifest());
    h.settle();
    const fs::path series = h.writeSeries(h.root / "A"), loose = h.writeStandalone("Loose");
    h.session->requestModelLoad(loose);
    h.settle();
    h.session->importModelSeries(series); // runs
    h.settle();
    ASSERT_EQ(h.session->recentModelURLs().size(), 2u);

    // The series in use goes only after the shipped model has loaded.
    h.session->removeModelSeries(h.session->importedModelSeries()[0]);
    EXPECT_EQ(h.session->importedModelSeries().size(), 1u);
    h.settle();
    EXPECT_TRUE(h.session->importedModelSeries().empty());
    EXPECT_FALSE(h.session->customModelURL());
    EXPECT_FALSE(h.key("player.seriesVariant.org.example.anime"));
    EXPECT_EQ(h.harness.store.stringArray("player.modelSeries"), std::vector<std::string>{});
    EXPECT_EQ(h.session->recentModelURLs(), std::vector<fs::path>{loose});

    // A shipped model or one not listed: nothing. The running standalone model: after the switch.
    h.session->removeImportedModel(h.session->bundledModelURLs().at(BundledModelPreset::fast));
    h.session->removeImportedModel(h.root / "elsewhere");
    h.session->requestModelLoad(loose);
    h.settle();
    h.session->removeImportedModel(loose);
    EXPECT_EQ(h.session->recentModelURLs().size(), 1u);
    h.settle();
    EXPECT_EQ(h.harness.store.stringArray("player.recentModels"), std::vector<std::string>{});
    for (const fs::path& kept : {series, loose / "manifest.json"}) EXPECT_TRUE(fs::exists(kept)) << kept;
}

TEST(SessionModels, ALinkedModelsFolderIsOneFolder) {
    SessionHarness scratch;
    const fs::path real = scratch.directory.path() / "real", link = scratch.directory.path() / "linked";
    fs::create_directories(real);
    fs::create_directory_symlink(real, link);
    ModelHarness h(link);
    test::makeZip(packageEntries()).write(h.root / "p.zip");
    h.session->importModel(h.prepare(h.root / "p.zip").value().value());
    h.settle();
    ASSERT_EQ(h.session->importedModelSeries().size(), 1u);

    // The model chosen through the link is the series' variant, not a standalone model.
    const ImportedModelSeries series = h.session->importedModelSeries()[0];
    h.session->requestModelLoad(link / series.manifestURL.parent_path().filename() / "Fast");
    h.settle();
    EXPECT_EQ(h.key("player.selectedModelKind"), "series");
    EXPECT_TRUE(h.session->standaloneModelURLs().empty());

    // Removed, its recent entries go whichever way they were written; the files stay.
    h.session->requestModelLoad(h.writeStandalone("Other"));
    h.settle();
    h.session->removeModelSeries(series);
    EXPECT_EQ(h.session->recentModelURLs().size(), 1u);
    EXPECT_TRUE(fs::exists(series.manifestURL));
}

TEST(SessionModels, TheShippedModelsLoadForReal) {
    ModelHarness h;
    h.startAt(OutputScale::four, std::make_shared<ModelPlaybackEnhancerFactory>());
    h.session->loadBundledModelIfAvailable(shippedManifest());
    h.settle();
    ASSERT_FALSE(h.session->message()) << *h.session->message();
    EXPECT_EQ(h.session->status(), "<モデル準備完了>");
    EXPECT_TRUE(h.session->supports4xOutput());
    EXPECT_EQ(h.session->outputScale(), OutputScale::four);
    h.session->setBundledModel(BundledModelPreset::fast);
    h.settle();
    EXPECT_EQ(h.session->activeModelPreset(), BundledModelPreset::fast);
    EXPECT_EQ(h.session->availableOutputScales().back(), OutputScale::four);
}

} // namespace
} // namespace lumavane
