// A real session with its own staging folder and a model factory that can be held mid-load,
// the import sheet over it with a fake open panel, and model packages to offer it.
#pragma once

#include "Lumavane/Models/ModelsTestSupport.hpp"
#include "Lumavane/Panels/PanelsTestSupport.hpp"
#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Lumavane/Session/SessionTestSupport.hpp"
#include "Lumavane/Sheets/ModelImportSheet.hpp"
#include "Lumavane/Views/SidebarTestSupport.hpp" // InstantEnhancer
#include "ModelArchive/ZipWriter.hpp"
#include "support/ScopedEnv.hpp"

#include <condition_variable>
#include <mutex>

namespace lumavane::test {

// Builds wait while held, so a load stays running as long as a test needs.
class HeldFactory final : public PlaybackEnhancerFactory {
public:
    std::shared_ptr<PlaybackEnhancer> make(const std::filesystem::path& url, OutputScale) override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !held_; });
        auto enhancer = std::make_shared<InstantEnhancer>();
        enhancer->model.name = url.filename().string();
        return enhancer;
    }
    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
};

inline std::vector<ZipEntry> packageEntries() {
    return {{"pkg/model-series.json", seriesManifest().dump(), true},
            {"pkg/Fast/manifest.json", compactFolderManifest(4)},
            {"pkg/Fast/0.weights", pseudoRandomText(3000), true}};
}

struct SheetHarness {
    PanelHarness panels{"sheets"}; // the standard defaults (language "ja") and the fake open panel
    SessionHarness sessions;
    std::filesystem::path root = sessions.directory.path();
    ScopedEnv tmpdir{"TMPDIR", ensure(root / "tmp").string()};
    std::shared_ptr<HeldFactory> factory = std::make_shared<HeldFactory>();
    std::unique_ptr<PlayerSession> session = make();
    std::unique_ptr<ModelImportSheet> sheet = std::make_unique<ModelImportSheet>(*session, panels.dialogs);

    ~SheetHarness() {
        factory->hold(false);
        sheet.reset();
        settle();
    }

    static std::filesystem::path ensure(const std::filesystem::path& folder) {
        std::filesystem::create_directories(folder);
        return folder;
    }
    std::unique_ptr<PlayerSession> make() {
        auto options = sessions.options();
        options.loadModelSeriesManifest = &ModelSeriesManifest::load;
        options.enhancerFactory = factory;
        return std::make_unique<PlayerSession>(std::move(options));
    }
    void settle() {
        EXPECT_TRUE(sessions.loop.runUntil([&] { return !session->preparingModelImport(); }, 60));
        sessions.loop.runUntilIdle();
    }
    // Every preparation started so far has been delivered (or dropped): the import queue is serial.
    void drain() {
        std::optional<ModelImportCandidate> last;
        session->prepareModelImportCandidate(zip("drain.zip", packageEntries()), [&](auto c) { last = std::move(c); });
        settle();
        session->discardModelImport(last);
    }
    bool stagingLeft() const { return !std::filesystem::is_empty(root / "tmp"); }

    std::filesystem::path zip(const std::string& name, const std::vector<ZipEntry>& entries) {
        const auto path = root / name;
        makeZip(entries).write(path);
        return path;
    }
    // A series folder; its manifest's variants declare these scales.
    std::filesystem::path series(const std::string& name, std::vector<std::vector<int>> scales = {{2, 4}}) {
        nlohmann::json manifest = seriesManifest();
        manifest["variants"] = nlohmann::json::array();
        for (std::size_t i = 0; i < scales.size(); ++i) {
            const std::string id = "v" + std::to_string(i);
            manifest["variants"].push_back({{"id", id}, {"name", id}, {"path", id}, {"format", "compact-metal"},
                                            {"outputScales", scales[i]}, {"supportsOptimal", true}});
            writeText(root / name / id / "manifest.json", compactFolderManifest(4));
        }
        writeText(root / name / "model-series.json", manifest.dump());
        return root / name;
    }
    std::filesystem::path modelFile(const std::string& name) {
        writeText(root / name, "model");
        return root / name;
    }
    QWidget* find(const char* name) const { return sheet->findChild<QWidget*>(name); }
    bool shown(const char* name) const { return find(name) && find(name)->isVisibleTo(sheet.get()); }
};

} // namespace lumavane::test
