// A real session with instant model builds and the standard defaults of the test's own, and
// the sidebar and playlist pane over it.
#pragma once

#include "Lumavane/App/AppTestSupport.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Models/ModelsTestSupport.hpp"
#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Lumavane/Session/SessionTestSupport.hpp"
#include "Lumavane/Views/ModelSelectionTable.hpp"
#include "Lumavane/Views/PlaylistView.hpp"
#include "Lumavane/Views/SidebarView.hpp"

#include <QAbstractButton>

namespace lumavane::test {

struct InstantEnhancer final : PlaybackEnhancer {
    ModelInfo model;
    const ModelInfo& info() const override { return model; }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>&,
                                       std::optional<image::Size>, const CancellationToken&) override {
        return {image, 1};
    }
    bool supportsNative4xOutput() const override { return true; }
    bool supportsOptimalDisplayOutput() const override { return true; }
};

struct InstantFactory final : PlaybackEnhancerFactory {
    std::shared_ptr<PlaybackEnhancer> make(const std::filesystem::path& url, OutputScale) override {
        auto enhancer = std::make_shared<InstantEnhancer>();
        enhancer->model.name = url.filename().string();
        return enhancer;
    }
};

struct SidebarHarness {
    explicit SidebarHarness(const std::string& language = "ja") {
        application();
        freshDefaults("sidebar-" + language);
        DefaultsStore::standard().set(AppLocalization::languageKey, language);
        restart();
    }
    // A new session over the same stored state.
    void restart() {
        session.reset();
        auto options = sessions.options();
        options.loadModelSeriesManifest = &ModelSeriesManifest::load;
        options.enhancerFactory = std::make_shared<InstantFactory>();
        session = std::make_unique<PlayerSession>(std::move(options));
    }
    ~SidebarHarness() { DefaultsStore::standard().synchronize(); }

    SessionHarness sessions;
    std::filesystem::path root = sessions.directory.path();
    std::unique_ptr<PlayerSession> session;

    void settle() {
        EXPECT_TRUE(sessions.loop.runUntil([&] { return !session->loadingModel(); }, 60));
        sessions.loop.runUntilIdle();
        EXPECT_EQ(session->message(), std::nullopt);
    }
    // A series folder with the variants "Fast" and "Quality".
    std::filesystem::path writeSeries(const std::filesystem::path& folder) {
        nlohmann::json manifest = seriesManifest();
        manifest["variants"].push_back({{"id", "quality"}, {"name", "Quality"}, {"path", "Quality"},
                                        {"format", "compact-metal"}, {"outputScales", {2, 4}},
                                        {"supportsOptimal", true}});
        writeText(folder / "model-series.json", manifest.dump());
        writeText(folder / "Fast" / "manifest.json", compactFolderManifest(4));
        writeText(folder / "Quality" / "manifest.json", compactFolderManifest(4));
        return folder / "model-series.json";
    }
    // The shipped models, one imported series, a standalone compact folder and a Core ML file,
    // the Core ML file loaded last.
    void fillModels() {
        session->loadBundledModelIfAvailable(std::filesystem::path(LUMAVANE_SOURCE_DIR) / "resources" / "Models" / "model-series.json");
        settle();
        session->importModelSeries(writeSeries(root / "Series"));
        settle();
        writeText(root / "Loose" / "manifest.json", compactFolderManifest(4));
        session->loadModel(root / "Loose", false, std::nullopt, std::nullopt, false, {});
        settle();
        writeText(root / "Portrait.mlmodel", "model");
        session->loadModel(root / "Portrait.mlmodel", false, std::nullopt, std::nullopt, false, {});
        settle();
    }
    std::filesystem::path video(const std::string& name) {
        writeText(root / "videos" / name, "");
        return root / "videos" / name;
    }
};

template <typename T = QWidget> T* child(const QWidget* parent, const char* name) {
    return parent->findChild<T*>(name);
}

} // namespace lumavane::test
