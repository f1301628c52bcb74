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
#include <mutex>
#include <set>

namespace lumavane {

// The newest source frame and the automatic mode's entry points, without a video.
struct PlayerSessionTestAccess {
    static void setLatest(PlayerSession& session, double width, double height) {
        session.latest_ = image::Image::constantColor(image::Color{0, 0, 0, 1}).cropped(image::Rect{0, 0, width, height});
    }
    static void prepareAutomaticContext(PlayerSession& session) { session.prepareAutomaticContext(); }
};

namespace {

namespace fs = std::filesystem;
using Access = PlayerSessionTestAccess;
using test::SessionHarness;
using test::ScopedEnv;
using test::ZipEntry;

class FakeEnhancer final : public PlaybackEnhancer {
public:
    FakeEnhancer(std::string name, bool native4x, bool optimal)
        : info_{std::move(name), 64, 64, 4, "", "", false}, native4x_(native4x), optimal_(optimal) {}
    const ModelInfo& info() const override { return info_; }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>&,
                                       std::optional<image::Size>, const CancellationToken&) override {
        return {image, 1};
    }
    bool supportsNative4xOutput() const override { return native4x_; }
    bool supportsOptimalDisplayOutput() const override { return optimal_; }

private:
    ModelInfo info_;
    bool native4x_, optimal_;
};

// Builds fakes named after the model's folder. A model whose name is in `failing` throws; one in
// `coreLike` has neither native 4x nor display-sized output. Builds wait while `held`.
class FakeFactory final : public PlaybackEnhancerFactory {
public:
    std::set<std::string> failing, coreLike;

    std::shared_ptr<PlaybackEnhancer> make(const fs::path& url, OutputScale scale) override {
        std::unique_lock lock(mutex_);
        builds.emplace_back(url.filename().string(), scale);
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        const std::string name = url.filename().string();
        if (failing.count(name)) throw std::runtime_error("cannot build " + name);
        const bool plain = coreLike.count(name) > 0;
        return std::make_shared<FakeEnhancer>(name, !plain, !plain);
    }
    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    void waitForBuilds(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return builds.size() >= count; });
    }
    std::vector<std::pair<std::string, OutputScale>> builds;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
};

fs::path shippedManifest() { return resourcesDirectory() / "Models" / "model-series.json"; }

// A session with the real manifest reader, a fake (or the real) enhancer factory and its own
// temporary folder for staging.
struct ModelHarness {
    SessionHarness harness;
    std::shared_ptr<FakeFactory> factory = std::make_shared<FakeFactory>();
    fs::path root = harness.directory.path();
    ScopedEnv tmpdir{"TMPDIR", ensure(root / "tmp").string()};
    std::unique_ptr<PlayerSession> session;

    static fs::path ensure(const fs::path& folder) {
        fs::create_directories(folder);
        return folder;
    }

    explicit ModelHarness(std::shared_ptr<PlaybackEnhancerFactory> real = nullptr,
                          std::optional<fs::path> imports = std::nullopt) {
        make(real ? real : factory, imports);
    }
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
    void startAt(OutputScale scale) {
        harness.store.set(PlayerSession::preferencesKey, DefaultsValue::Dictionary{{"outputScale", rawValue(scale)}});
        make(factory);
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

    std::optional<ModelImportCandidate> prepare(const fs::path& url) {
        std::optional<ModelImportCandidate> result;
        bool called = false;
        session->prepareModelImportCandidate(url, [&](std::optional<ModelImportCandidate> candidate) {
            called = true;
            result = std::move(candidate);
        });
        settle();
        EXPECT_TRUE(called);
        return result;
    }
};

std::vector<ZipEntry> packageEntries(const std::string& id = "org.example.anime") {
    nlohmann::json manifest = test::seriesManifest();
    manifest["id"] = id;
    return {{"pkg/model-series.json", manifest.dump(), true},
            {"pkg/Fast/manifest.json", test::compactFolderManifest(4)},
            {"pkg/Fast/0.weights", test::pseudoRandomText(3000), true}};
}

TEST(SessionModels, LaunchRestoreFollowsTheSavedChoiceAndEachChoiceIsSavedItsOwnWay) {
    ModelHarness h;
    const fs::path series = h.writeSeries(h.root / "Series");
    const fs::path standalone = h.writeStandalone("Loose");

    // First launch: the shipped series, the automatic preset's remembered (quality) model.
    h.session->loadBundledModelIfAvailable(shippedManifest());
    h.settle();
    EXPECT_TRUE(h.session->hasBundledModelChoices());
    EXPECT_EQ(h.session->bundledModelURLs().size(), 2u);
    EXPECT_EQ(h.session->modelInfo()->name, "Lumavane-Quality-4x");
    EXPECT_EQ(h.session->status(), "<モデル準備完了>");
    EXPECT_EQ(h.key("player.modelPreset"), "AUTO");

    struct Choice {
        const char* name;
        std::function<void(PlayerSession&)> choose;
        const char* kind;
        std::optional<std::string> seriesID, variantID, standalonePath;
        const char* restoredModel;
    };
    const std::vector<Choice> choices = {
        {"series variant", [&](PlayerSession& s) { s.importModelSeries(series); }, "series", "org.example.anime",
         "fast", std::nullopt, "Fast"},
        {"other variant", [&](PlayerSession& s) { s.selectModelSeries(s.importedModelSeries()[0], "quality", false); },
         "series", "org.example.anime", "quality", std::nullopt, "Quality"},
        {"standalone", [&](PlayerSession& s) { s.requestModelLoad(standalone); }, "standalone", std::nullopt,
         std::nullopt, standalone.string(), "Loose"},
        {"default", [&](PlayerSession& s) { s.useDefaultModel(); }, "default", std::nullopt, std::nullopt,
         std::nullopt, "Lumavane-Quality-4x"},
        {"fast preset", [&](PlayerSession& s) { s.setBundledModel(BundledModelPreset::fast); }, "default",
         std::nullopt, std::nullopt, std::nullopt, "Lumavane-Fast-4x"},
    };
    for (const Choice& choice : choices) {
        SCOPED_TRACE(choice.name);
        choice.choose(*h.session);
        h.settle();
        EXPECT_FALSE(h.session->message()) << *h.session->message();
        EXPECT_EQ(h.key("player.selectedModelKind"), choice.kind);
        EXPECT_EQ(h.key("player.selectedSeriesID"), choice.seriesID);
        EXPECT_EQ(h.key("player.selectedVariantID"), choice.variantID);
        EXPECT_EQ(h.key("player.selectedStandalonePath"), choice.standalonePath);

        // The next launch comes back to the same model.
        ModelHarness next;
        next.harness.store = h.harness.store;
        next.make(next.factory);
        next.session->loadBundledModelIfAvailable(shippedManifest());
        next.settle();
        ASSERT_TRUE(next.session->modelInfo());
        EXPECT_EQ(next.session->modelInfo()->name, choice.restoredModel);
    }
    EXPECT_EQ(h.key("player.seriesVariant.org.example.anime"), "quality");
    EXPECT_EQ(h.harness.store.stringArray("player.modelSeries"), std::vector<std::string>{series.string()});
    EXPECT_EQ(h.session->standaloneModelURLs(), std::vector<fs::path>{standalone});

    // A saved standalone model that is gone: its error, then the shipped default.
    h.harness.store.set("player.selectedModelKind", "standalone");
    h.harness.store.set("player.selectedStandalonePath", (h.root / "gone").string());
    ModelHarness gone;
    gone.harness.store = h.harness.store;
    gone.factory->failing.insert("gone");
    gone.make(gone.factory);
    gone.session->loadBundledModelIfAvailable(shippedManifest());
    gone.settle();
    EXPECT_EQ(gone.session->message(), "cannot build gone");
    EXPECT_EQ(gone.session->modelInfo()->name, "Lumavane-Quality-4x"); // the preset stays quality
    EXPECT_EQ(gone.key("player.selectedModelKind"), "default");
}

TEST(SessionModels, OnlyTheNewestLoadIsInstalled) {
    ModelHarness h;
    const fs::path first = h.writeStandalone("First"), second = h.writeStandalone("Second");
    h.factory->hold(true);
    bool firstSucceeded = false;
    h.session->loadModel(first, false, std::nullopt, std::nullopt, false, [&] { firstSucceeded = true; });
    h.session->requestModelLoad(second);
    h.factory->waitForBuilds(1);
    h.factory->hold(false);
    h.factory->waitForBuilds(2);
    // The first result arrives first and is dropped: still loading.
    ASSERT_TRUE(h.harness.loop.runUntil([&] { return !h.session->loadingModel(); }, 30));
    EXPECT_FALSE(firstSucceeded);
    EXPECT_EQ(h.session->modelInfo()->name, "Second");
    EXPECT_EQ(h.session->recentModelURLs(), std::vector<fs::path>{second});
    EXPECT_EQ(h.key("player.selectedStandalonePath"), second.string());

    // A failure keeps the running model and says so.
    h.factory->failing.insert("First");
    h.session->requestModelLoad(first);
    h.settle();
    EXPECT_EQ(h.session->message(), "cannot build First");
    EXPECT_EQ(h.session->status(), "<以前のモデルを使用>");
    EXPECT_EQ(h.session->modelInfo()->name, "Second");
    EXPECT_EQ(h.key("player.selectedStandalonePath"), second.string());
}

TEST(SessionModels, ScalesFollowWhatTheModelAndItsVariantServe) {
    struct Case {
        const char* name;
        bool coreLike;
        std::vector<std::int64_t> declared; // empty: a standalone model
        bool declaresOptimal;
        OutputScale current, built, installed;
        std::vector<OutputScale> offered;
    };
    using enum OutputScale;
    const std::vector<Case> cases = {
        {"compact at optimal", false, {}, false, optimal, optimal, optimal, {optimal, two, four}},
        {"core-like at four", true, {}, false, four, four, two, {two}},
        {"core-like at optimal", true, {}, false, optimal, optimal, two, {two}},
        {"4x-only variant at 2x", false, {4}, false, two, four, four, {four}},
        {"variant without optimal", false, {2, 4}, false, optimal, two, two, {two, four}},
        {"optimal variant", false, {2, 4}, true, optimal, optimal, optimal, {optimal, two, four}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness h;
        if (c.coreLike) h.factory->coreLike.insert("Fast");
        fs::path model;
        if (c.declared.empty()) {
            model = h.writeStandalone("Fast");
        } else {
            nlohmann::json manifest = test::seriesManifest();
            manifest["variants"][0]["outputScales"] = c.declared;
            manifest["variants"][0]["supportsOptimal"] = c.declaresOptimal;
            test::writeText(h.root / "S" / "model-series.json", manifest.dump());
            test::writeText(h.root / "S" / "Fast" / "manifest.json", test::compactFolderManifest(4));
        }
        h.startAt(c.current);
        if (c.declared.empty()) {
            h.session->requestModelLoad(model);
        } else {
            h.session->importModelSeries(h.root / "S" / "model-series.json");
        }
        h.settle();
        EXPECT_FALSE(h.session->message()) << *h.session->message();
        ASSERT_FALSE(h.factory->builds.empty());
        EXPECT_EQ(h.factory->builds.back().second, c.built);
        EXPECT_EQ(h.session->outputScale(), c.installed);
        EXPECT_EQ(h.session->availableOutputScales(), c.offered);
    }

    // A scale change reloads at that scale; one not offered is ignored.
    ModelHarness h;
    h.factory->coreLike.insert("Plain");
    h.session->requestModelLoad(h.writeStandalone("Fast"));
    h.settle();
    h.session->setOutputScale(OutputScale::four);
    h.settle();
    EXPECT_EQ(h.factory->builds.back().second, OutputScale::four);
    EXPECT_EQ(h.session->outputScale(), OutputScale::four);
    h.session->requestModelLoad(h.writeStandalone("Plain"));
    h.settle();
    const std::size_t builds = h.factory->builds.size();
    h.session->setOutputScale(OutputScale::four);
    EXPECT_EQ(h.factory->builds.size(), builds);
    EXPECT_EQ(h.session->outputScale(), OutputScale::two);

    // A variant that declares 4x on an engine without it is refused, and the series stays unlisted.
    ModelHarness refused;
    refused.factory->coreLike.insert("Fast");
    refused.session->importModelSeries(refused.writeSeries(refused.root / "S"));
    refused.settle();
    EXPECT_EQ(refused.session->message(), "Invalid or unsupported model-series manifest.");
    EXPECT_TRUE(refused.session->importedModelSeries().empty());
}

TEST(SessionModels, AutomaticContextKeys) {
    using model_selection::AutoContext;
    struct Case {
        const char* name;
        AutoContext context;
        std::optional<std::string> key;
    };
    const std::pair<double, double> hd{1920, 1080};
    const std::vector<Case> cases = {
        {"optimal with display", {"GPU", hd, 24, 1, OutputScale::optimal, std::pair{2560.0, 1440.0}},
         "v2|GPU|1920x1080|24|最適|display:20x11"},
        {"2600 wide, same bucket", {"GPU", hd, 24, 1, OutputScale::optimal, std::pair{2600.0, 1440.0}},
         "v2|GPU|1920x1080|24|最適|display:20x11"},
        {"2624 wide, next bucket", {"GPU", hd, 24, 1, OutputScale::optimal, std::pair{2624.0, 1440.0}},
         "v2|GPU|1920x1080|24|最適|display:21x11"},
        {"rate doubles the rate field", {"GPU", hd, 24, 2, OutputScale::two, std::pair{2560.0, 1440.0}},
         "v2|GPU|1920x1080|48|2×"},
        {"fractional sizes truncated, rate rounded", {"GPU", std::pair{959.9, 540.5}, 29.97, 1, OutputScale::four, {}},
         "v2|GPU|959x540|30|4×"},
        {"optimal without display", {"GPU", hd, 25, 1, OutputScale::optimal, {}}, "v2|GPU|1920x1080|25|最適"},
        {"no frame", {"GPU", std::nullopt, 24, 1, OutputScale::two, {}}, std::nullopt},
        {"unknown rate", {"GPU", hd, 0, 1, OutputScale::two, {}}, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(model_selection::autoContextKey(c.context), c.key) << c.name;
}

TEST(SessionModels, AutomaticModeRemembersTheModelPerContext) {
    ModelHarness h;
    h.session->loadBundledModelIfAvailable(shippedManifest());
    h.settle();
    EXPECT_EQ(h.session->rememberedAutoPreset(), BundledModelPreset::quality); // no frame, no context
    ASSERT_FALSE(h.session->autoContextKey());

    Access::setLatest(*h.session, 320, 180);
    h.session->setSourceFPS(24);
    const std::optional<std::string> at24 = h.session->autoContextKey();
    ASSERT_EQ(at24, "v2|Test GPU|320x180|24|最適");
    Access::prepareAutomaticContext(*h.session); // first seen: the quality model, which already runs
    EXPECT_FALSE(h.session->loadingModel());

    // An automatic switch is remembered for the context it was made in.
    const auto& shipped = h.session->bundledModelURLs();
    h.session->loadModel(shipped.at(BundledModelPreset::fast), true, std::nullopt, std::nullopt, false, {});
    EXPECT_EQ(h.session->status(), "<モデル準備完了>"); // an automatic switch shows no compiling status
    h.settle();
    EXPECT_EQ(h.session->activeModelPreset(), BundledModelPreset::fast);
    EXPECT_EQ(h.session->rememberedAutoPreset(), BundledModelPreset::fast);

    // Another context starts with its own remembered model (none yet: quality), and back again.
    h.session->setSourceFPS(30);
    Access::prepareAutomaticContext(*h.session);
    EXPECT_TRUE(h.session->loadingModel());
    h.settle();
    EXPECT_EQ(h.session->activeModelPreset(), BundledModelPreset::quality);
    h.session->setSourceFPS(24);
    Access::prepareAutomaticContext(*h.session);
    h.settle();
    EXPECT_EQ(h.session->activeModelPreset(), BundledModelPreset::fast);
    const auto modes = h.harness.store.dictionary("player.autoModes.v2");
    ASSERT_TRUE(modes);
    EXPECT_EQ(*modes, (DefaultsValue::Dictionary{{*at24, DefaultsValue("高速")},
                                                 {"v2|Test GPU|320x180|30|最適", DefaultsValue("高画質")}}));

    // A stored "AUTO" is no preference; a chosen preset other than AUTO is never remembered.
    h.harness.store.set("player.autoModes.v2", DefaultsValue::Dictionary{{*at24, DefaultsValue("AUTO")}});
    EXPECT_EQ(h.session->rememberedAutoPreset(), BundledModelPreset::quality);
    h.session->setBundledModel(BundledModelPreset::quality);
    h.settle();
    h.session->loadModel(shipped.at(BundledModelPreset::fast), true, std::nullopt, std::nullopt, false, {});
    h.settle();
    EXPECT_EQ(h.harness.store.dictionary("player.autoModes.v2")->at(*at24), DefaultsValue("AUTO"));
}

TEST(SessionModels, ZipImportsEndToEnd) {
    const auto manyEntries = [] {
        std::vector<ZipEntry> entries = packageEntries();
        for (int i = 0; i < 4096; ++i) entries.push_back({"pkg/x/" + std::to_string(i), ""});
        return entries;
    };
    const auto withEntry = [](ZipEntry extra) {
        std::vector<ZipEntry> entries = packageEntries();
        entries.push_back(std::move(extra));
        return entries;
    };
    struct Case {
        const char* name;
        std::vector<ZipEntry> entries;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases = {
        {"good package", packageEntries(), std::nullopt},
        {"shipped series id", packageEntries("lumavane.compact-4x"), "Invalid or unsupported model-series manifest."},
        {"too many entries", manyEntries(), "The model ZIP contains more than 4,096 entries."},
        {"path outside", withEntry({"../escape.txt", "x"}), ""},
        {"compression ratio", withEntry({"pkg/zeros.bin", std::string(4 << 20, '\0'), true}), ""},
        {"no manifest", {{"pkg/Fast/manifest.json", test::compactFolderManifest(4)}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness h;
        h.session->loadBundledModelIfAvailable(shippedManifest());
        h.settle();
        const fs::path zip = h.root / "Chosen.ZIP";
        test::makeZip(c.entries).write(zip);
        const std::optional<ModelImportCandidate> candidate = h.prepare(zip);
        if (c.refusal) {
            EXPECT_FALSE(candidate);
            ASSERT_TRUE(h.session->message());
            if (!c.refusal->empty()) {
                EXPECT_EQ(h.session->message(), c.refusal);
            }
            EXPECT_FALSE(h.stagingLeft());
            EXPECT_FALSE(fs::exists(h.session->modelImportsDirectory()) &&
                         !fs::is_empty(h.session->modelImportsDirectory()));
            continue;
        }
        ASSERT_TRUE(candidate && candidate->preparedArchive);
        EXPECT_FALSE(h.session->message());
        h.session->importModel(*candidate);
        h.settle();
        EXPECT_FALSE(h.stagingLeft());
        ASSERT_EQ(h.session->importedModelSeries().size(), 1u);
        const fs::path installed = h.session->importedModelSeries()[0].manifestURL;
        EXPECT_TRUE(sameFile(installed.parent_path().parent_path(), h.session->modelImportsDirectory()));
        EXPECT_EQ(h.key("player.selectedModelKind"), "series");
        EXPECT_EQ(h.harness.store.stringArray("player.modelSeries"), std::vector<std::string>{installed.string()});
    }
}

TEST(SessionModels, ImportFailuresLeaveNothingBehind) {
    ModelHarness h;
    const fs::path zip = h.root / "p.zip";
    test::makeZip(packageEntries()).write(zip);

    // The variant does not build: the message shows, and the just-installed folder goes again.
    h.factory->failing.insert("Fast");
    std::optional<ModelImportCandidate> candidate = h.prepare(zip);
    ASSERT_TRUE(candidate);
    h.session->importModel(*candidate);
    h.settle();
    EXPECT_EQ(h.session->message(), "cannot build Fast");
    EXPECT_TRUE(h.session->importedModelSeries().empty());
    EXPECT_TRUE(fs::is_empty(h.session->modelImportsDirectory()));
    EXPECT_FALSE(h.stagingLeft());
    h.factory->failing.clear();

    // While a load runs nothing is installed; the staging folder waits for the sheet.
    candidate = h.prepare(zip);
    ASSERT_TRUE(candidate);
    h.factory->hold(true);
    h.session->requestModelLoad(h.writeStandalone("Busy"));
    h.session->importModel(*candidate);
    EXPECT_EQ(h.session->message(), "<別のモデルの処理中です。終わってからもう一度お試しください。>");
    EXPECT_TRUE(fs::is_empty(h.session->modelImportsDirectory()));
    // ...and a preparation asked for meanwhile answers at once, with nothing.
    std::optional<std::optional<ModelImportCandidate>> answer;
    h.session->prepareModelImportCandidate(zip, [&](auto candidate) { answer = std::move(candidate); });
    ASSERT_TRUE(answer);
    EXPECT_FALSE(*answer);
    h.factory->hold(false);
    h.settle();
    h.session->discardModelImport(candidate);
    EXPECT_FALSE(h.stagingLeft());

    // A preparation the sheet gave up on is dropped with its staging folder; no completion.
    bool called = false;
    h.session->prepareModelImportCandidate(zip, [&](auto) { called = true; });
    EXPECT_TRUE(h.session->preparingModelImport());
    h.session->cancelModelImportPreparation();
    const std::optional<ModelImportCandidate> next = h.prepare(zip); // runs after the dropped one
    EXPECT_FALSE(called);
    h.session->discardModelImport(next);
    EXPECT_FALSE(h.stagingLeft());

    // A ZIP is never unpacked by the immediate classification.
    EXPECT_FALSE(h.session->modelImportCandidate(zip));
    EXPECT_FALSE(h.stagingLeft());
}

TEST(SessionModels, ReservedIdAndCandidateKinds) {
    ModelHarness h;
    const fs::path series = h.writeSeries(h.root / "Series");
    const fs::path reserved = h.writeSeries(h.root / "Reserved", model_selection::fallbackReservedSeriesID);
    const fs::path loose = h.writeStandalone("Loose");

    struct Case {
        fs::path picked;
        bool candidate, hasManifest;
        std::optional<std::string> message;
    };
    const std::vector<Case> cases = {
        {h.root / "Series", true, true, std::nullopt},
        {series, true, true, std::nullopt},
        {loose, true, false, std::nullopt},
        {h.root / "Reserved", false, false, "Invalid or unsupported model-series manifest."},
        {reserved, false, false, "Invalid or unsupported model-series manifest."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.picked);
        const auto candidate = h.prepare(c.picked);
        EXPECT_EQ(candidate.has_value(), c.candidate);
        if (candidate) {
            EXPECT_EQ(candidate->manifest.has_value(), c.hasManifest);
        }
        EXPECT_EQ(h.session->message(), c.message);
    }
    h.session->importModelSeries(reserved);
    h.settle();
    EXPECT_EQ(h.session->message(), "Invalid or unsupported model-series manifest.");
    EXPECT_TRUE(h.session->importedModelSeries().empty());

    // A plain model file is loaded where it lies.
    h.session->importModel(*h.prepare(loose));
    EXPECT_EQ(h.session->status(), "<モデルをコンパイル中…>");
    h.settle();
    EXPECT_EQ(h.session->customModelURL(), loose);
}

TEST(SessionModels, RemovalEditsTheListsAndNeverDeletesFiles) {
    ModelHarness h;
    h.session->loadBundledModelIfAvailable(shippedManifest());
    h.settle();
    const fs::path first = h.writeSeries(h.root / "A", "org.example.a");
    const fs::path second = h.writeSeries(h.root / "B", "org.example.b");
    const fs::path loose = h.writeStandalone("Loose");
    for (const fs::path& manifest : {first, second}) {
        h.session->importModelSeries(manifest);
        h.settle();
    }
    h.session->requestModelLoad(loose);
    h.settle();
    h.session->selectModelSeries(h.session->importedModelSeries()[1], std::nullopt, false); // B runs
    h.settle();
    ASSERT_EQ(h.session->importedModelSeries().size(), 2u);
    ASSERT_EQ(h.session->recentModelURLs().size(), 3u);

    // Not in use: at once.
    h.session->removeModelSeries(h.session->importedModelSeries()[0]);
    EXPECT_EQ(h.session->importedModelSeries().size(), 1u);
    EXPECT_EQ(h.session->recentModelURLs().size(), 2u);
    EXPECT_FALSE(h.key("player.seriesVariant.org.example.a"));
    EXPECT_EQ(h.harness.store.stringArray("player.modelSeries"), std::vector<std::string>{second.string()});

    // In use: only after the shipped model has loaded.
    h.session->removeModelSeries(h.session->importedModelSeries()[0]);
    EXPECT_EQ(h.session->importedModelSeries().size(), 1u);
    h.settle();
    EXPECT_TRUE(h.session->importedModelSeries().empty());
    EXPECT_FALSE(h.session->customModelURL());
    EXPECT_EQ(h.session->recentModelURLs(), std::vector<fs::path>{loose});

    // A shipped model or one not listed: nothing. The running standalone model: after the switch.
    h.session->removeImportedModel(h.session->bundledModelURLs().at(BundledModelPreset::fast));
    h.session->removeImportedModel(h.root / "elsewhere");
    EXPECT_EQ(h.session->recentModelURLs().size(), 1u);
    h.session->requestModelLoad(loose);
    h.settle();
    h.session->removeImportedModel(loose);
    EXPECT_EQ(h.session->recentModelURLs().size(), 1u);
    h.settle();
    EXPECT_TRUE(h.session->recentModelURLs().empty());
    EXPECT_EQ(h.harness.store.stringArray("player.recentModels"), std::vector<std::string>{});

    for (const fs::path& kept : {first, second, loose / "manifest.json"}) EXPECT_TRUE(fs::exists(kept)) << kept;
}

TEST(SessionModels, ALinkedModelsFolderIsOneFolder) {
    SessionHarness scratch;
    const fs::path real = scratch.directory.path() / "real";
    fs::create_directories(real);
    const fs::path link = scratch.directory.path() / "linked";
    fs::create_directory_symlink(real, link);

    ModelHarness h(nullptr, link);
    const fs::path zip = h.root / "p.zip";
    test::makeZip(packageEntries()).write(zip);
    h.session->importModel(*h.prepare(zip));
    h.settle();
    ASSERT_EQ(h.session->importedModelSeries().size(), 1u);
    // The model ran from the resolved folder; the series is listed through the link.
    EXPECT_EQ(h.key("player.selectedModelKind"), "series");
    EXPECT_TRUE(h.session->standaloneModelURLs().empty());
    EXPECT_EQ(h.session->availableOutputScales(), (std::vector{OutputScale::optimal, OutputScale::two, OutputScale::four}));

    // The same model chosen through the link is the series' variant, not a standalone model.
    const ImportedModelSeries series = h.session->importedModelSeries()[0];
    const fs::path throughLink = link / series.manifestURL.parent_path().filename() / "Fast";
    h.session->requestModelLoad(throughLink);
    h.settle();
    EXPECT_EQ(h.key("player.selectedModelKind"), "series");
    EXPECT_EQ(h.session->availableOutputScales(), (std::vector{OutputScale::optimal, OutputScale::two, OutputScale::four}));
    EXPECT_TRUE(h.session->standaloneModelURLs().empty());

    // Removed, its recent entries go whichever way they were written; the files stay.
    h.session->requestModelLoad(h.writeStandalone("Other"));
    h.settle();
    h.session->removeModelSeries(series);
    EXPECT_EQ(h.session->recentModelURLs().size(), 1u);
    EXPECT_TRUE(fs::exists(series.manifestURL));
}

TEST(SessionModels, TheShippedModelsLoadForReal) {
    ModelHarness h(std::make_shared<ModelPlaybackEnhancerFactory>());
    h.harness.store.set(PlayerSession::preferencesKey, DefaultsValue::Dictionary{{"outputScale", rawValue(OutputScale::four)}});
    h.make(std::make_shared<ModelPlaybackEnhancerFactory>());
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
