// The session's models: choosing, loading and installing them, the automatic fast/quality mode,
// imported series, import candidates, import and removal.
#include "Lumavane/Session/PlayerSession.hpp"

#include "Lumavane/Session/ModelSelection.hpp"
#include "Lumavane/Session/PlayableVideos.hpp"
#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Lumavane/Session/PlaybackTimingTrace.hpp"
#include "Lumavane/Session/SameFile.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <system_error>

namespace lumavane {

namespace fs = std::filesystem;
using Variant = ModelSeriesManifest::Variant;

namespace {

constexpr const char* recentModelsKey = "player.recentModels";
constexpr const char* modelSeriesKey = "player.modelSeries";
constexpr const char* seriesVariantPrefix = "player.seriesVariant.";
constexpr const char* autoModesKey = "player.autoModes.v2";
constexpr std::size_t recentModelLimit = 20;
constexpr const char* modelBusyMessage = "別のモデルの処理中です。終わってからもう一度お試しください。";

// A failure that is not one of ours names the file that could not be read, else the chosen item:
// the library's own text ("filesystem error: cannot read file: ...") means nothing to a person.
std::string importFailureDescription(const Localize& localize, const std::exception_ptr& error,
                                     const fs::path& chosen) {
    fs::path named = chosen;
    try {
        std::rethrow_exception(error);
    } catch (const fs::filesystem_error& failure) {
        if (failure.path1().has_filename()) named = failure.path1();
    } catch (...) {}
    return modelFailureDescription(error, localize, ModelFailureMessage::unreadable, displayName(named));
}

bool isZip(const fs::path& url) { return lowerCaseExtension(url) == "zip"; }

// Nothing at the path, as far as can be told (an unreadable folder is not "missing").
bool isMissing(const fs::path& url) {
    std::error_code error;
    const fs::file_status status = fs::status(url, error);
    return status.type() == fs::file_type::not_found;
}

std::vector<std::string> paths(const std::vector<fs::path>& urls) {
    std::vector<std::string> result;
    for (const fs::path& url : urls) result.push_back(url.string());
    return result;
}

// Prepares a chosen ZIP: any thread, nothing of the session. The reserved id is refused with its
// staging folder removed first.
ModelImportCandidate preparedCandidate(const fs::path& url, const std::string& reservedID,
                                       const CancellationToken& cancellation) {
    ModelArchiveImporter::PreparedPackage package =
        ModelArchiveImporter::prepare(url, model_selection::importLimits, cancellation);
    if (package.manifest.id == reservedID) {
        ModelArchiveImporter::discard(package.stagingRoot);
        throw ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::invalid);
    }
    ModelImportCandidate candidate;
    candidate.selectedURL = url;
    candidate.manifestURL = package.manifestURL;
    candidate.manifest = package.manifest;
    candidate.preparedArchive = std::move(package);
    return candidate;
}

} // namespace

// The steps no caller outside the session needs; members so they reach its state.
struct PlayerSession::Models {
    struct Load {
        fs::path url;
        bool automatic = false;
        OutputScale scale = OutputScale::two;
        std::optional<Variant> requiredVariant;
        bool fallbackToDefaultOnFailure = false;
        std::function<void()> onSuccess;
        // Runs when the load does not install its model: a failure or a newer load. A failure
        // runs it after the message is shown (and before any fallback).
        std::function<void()> onNotInstalled;
        std::optional<std::string> autoContext; // automatic loads only
        std::uint64_t generation = 0;
    };

    static void start(PlayerSession& session, Load load) {
        session.pendingModelURL_ = load.url;
        session.automaticModelSwitch_ = load.automatic;
        load.generation = ++session.importGeneration_;
        if (!load.automatic) session.invalidateEnhancements();
        session.loadingModel.set(true);
        session.timingTrace_.record("modelBuild", -1, load.automatic ? 1 : 0);
        if (!load.automatic) session.setStatus("モデルをコンパイル中…");
        session.message.set(std::nullopt);
        if (load.automatic) load.autoContext = session.autoContext_;

        std::shared_ptr<PlaybackEnhancerFactory> factory = session.enhancerFactory_;
        session.worker_.async([weak = std::weak_ptr(session.alive_), executor = &session.executor_,
                               factory = std::move(factory), load = std::move(load)]() mutable {
            std::shared_ptr<PlaybackEnhancer> built;
            std::exception_ptr error;
            try {
                built = factory->make(load.url, load.scale);
                if (load.requiredVariant && !model_selection::meetsVariantRequirements(*built, *load.requiredVariant)) {
                    built.reset();
                    throw ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::invalid);
                }
            } catch (...) {
                error = std::current_exception();
            }
            if (!built && !error) error = std::make_exception_ptr(std::runtime_error("The model could not be loaded."));
            // Moved, never shared: an exception's reference count lives in the uninstrumented C++
            // library, so a copy released here after the main thread read it looks like a race.
            executor->post([weak, load = std::move(load), built = std::move(built),
                            error = std::move(error)]() mutable {
                const auto alive = weak.lock();
                if (!alive) return;
                install(**alive, std::move(load), std::move(built), error);
            });
        });
    }

    static void install(PlayerSession& session, Load load, std::shared_ptr<PlaybackEnhancer> built,
                        std::exception_ptr error) {
        if (load.generation != session.importGeneration_) {
            if (load.onNotInstalled) load.onNotInstalled();
            return;
        }
        session.pendingModelURL_.reset();
        session.loadingModel.set(false);
        session.automaticModelSwitch_ = false;
        const std::optional<fs::path> toRemove = std::exchange(session.modelToRemoveAfterSwitch_, std::nullopt);

        if (!built) {
            session.autoPolicy_.modelLoadFailed(session.hostClock_());
            // A model that is gone would otherwise be told it is not of a kind the player reads.
            session.message.set(isMissing(load.url)
                                    ? failureText(session.localize_, ModelFailureMessage::missing, displayName(load.url))
                                    : modelFailureDescription(error, session.localize_, ModelFailureMessage::unreadable,
                                                              displayName(load.url)));
            session.setStatus(session.modelInfo() ? "以前のモデルを使用" : "モデル未選択");
            if (load.onNotInstalled) load.onNotInstalled();
            if (load.fallbackToDefaultOnFailure) {
                // The fallback load would clear the message in the same turn, and the user would
                // never learn why the chosen model is not the one running.
                const std::optional<std::string> shown = session.message();
                session.useDefaultModel();
                session.message.set(shown);
            }
            return;
        }

        session.outputScale.set(load.scale);
        session.savePreferences();
        session.modelURL_ = load.url;
        const std::optional<BundledModelPreset> shipped = bundledPreset(session, load.url);
        session.customModelURL.set(shipped ? std::nullopt : std::optional<fs::path>(load.url));
        if (toRemove && !session.customModelURL()) {
            std::vector<fs::path> recent = session.recentModelURLs();
            std::erase_if(recent, [&](const fs::path& url) { return sameFile(url, *toRemove); });
            setRecentModels(session, std::move(recent));
        }
        if (session.customModelURL()) {
            std::vector<fs::path> recent = session.recentModelURLs();
            std::erase_if(recent, [&](const fs::path& url) { return sameFile(url, load.url); });
            recent.insert(recent.begin(), load.url);
            if (recent.size() > recentModelLimit) recent.resize(recentModelLimit);
            setRecentModels(session, std::move(recent));
        }
        persistChoice(session, load.url);

        if (shipped) {
            session.activeModelPreset.set(*shipped);
            if (load.autoContext && session.autoContext_ == load.autoContext &&
                session.bundledModelPreset() == BundledModelPreset::automatic) {
                DefaultsValue::Dictionary modes =
                    session.preferences_.dictionary(autoModesKey).value_or(DefaultsValue::Dictionary{});
                modes.insert_or_assign(*load.autoContext, DefaultsValue(rawValue(*shipped)));
                session.preferences_.set(autoModesKey, std::move(modes));
            }
        }

        session.timingTrace_.record("modelInstall", -1, load.automatic ? 1 : 0);
        const bool native4x = built->supportsNative4xOutput();
        const bool optimalDisplay = built->supportsOptimalDisplayOutput();
        session.modelInfo.set(built->info());
        // An automatic switch keeps what the model in place enhanced, and lets its step in flight
        // finish: the frames between now and the new model's first result stay enhanced.
        if (load.automatic) {
            session.enhancer_ = std::move(built);
        } else {
            session.setEnhancer(std::move(built));
        }
        session.supports4xOutput.set(native4x);
        const OutputScale adjusted = model_selection::adjustedOutputScale(session.outputScale(), native4x, optimalDisplay);
        if (adjusted != session.outputScale()) {
            session.outputScale.set(adjusted);
            session.savePreferences();
        }
        session.setStatus("モデル準備完了");
        if (load.onSuccess) load.onSuccess();
        if (load.automatic) {
            session.autoPolicy_.resetMeasurements(); // the next decision measures the new model
        } else {
            session.invalidateEnhancements();
        }
        session.submitLatest();
    }

    static std::optional<BundledModelPreset> bundledPreset(const PlayerSession& session, const fs::path& url) {
        for (const auto& [preset, shippedURL] : session.bundledModelURLs_) {
            if (sameFile(shippedURL, url)) return preset;
        }
        return std::nullopt;
    }

    static void persistChoice(PlayerSession& session, const fs::path& url) {
        if (!session.customModelURL()) return session.persistSelectedDefault();
        for (const ImportedModelSeries& series : session.importedModelSeries()) {
            if (const Variant* variant = model_selection::variantFor(series, url)) {
                return session.persistSelectedSeries(series, *variant);
            }
        }
        session.persistSelectedStandalone(url);
    }

    static void setRecentModels(PlayerSession& session, std::vector<fs::path> recent) {
        session.preferences_.set(recentModelsKey, paths(recent));
        session.recentModelURLs.set(std::move(recent));
    }

    static void writeSeriesList(PlayerSession& session) {
        std::vector<fs::path> manifests;
        for (const ImportedModelSeries& series : session.importedModelSeries()) manifests.push_back(series.manifestURL);
        session.preferences_.set(modelSeriesKey, paths(manifests));
    }

    // The explicit load request: the user's choice, at the current scale unless given.
    static void request(PlayerSession& session, const fs::path& url, bool fallback,
                        std::function<void()> onSuccess = {}, std::optional<OutputScale> scale = std::nullopt,
                        std::function<void()> onNotInstalled = {}) {
        Load load;
        load.url = url;
        load.scale = scale.value_or(session.outputScale());
        load.fallbackToDefaultOnFailure = fallback;
        load.onSuccess = std::move(onSuccess);
        load.onNotInstalled = std::move(onNotInstalled);
        start(session, std::move(load));
    }

    // A series or variant that cannot even be started: the shipped model when falling back,
    // else the error.
    static void failSelection(PlayerSession& session, const ImportedModelSeries& series,
                              std::exception_ptr error, bool fallback,
                              const std::function<void()>& onNotInstalled) {
        if (fallback) {
            session.useDefaultModel();
        } else if (isMissing(series.manifestURL)) {
            session.message.set(failureText(session.localize_, ModelFailureMessage::missing, series.manifest.name));
        } else {
            session.message.set(modelFailureDescription(
                error, session.localize_, ModelFailureMessage::unreadable, series.manifest.name));
        }
        if (onNotInstalled) onNotInstalled();
    }

    static void loadVariant(PlayerSession& session, const ImportedModelSeries& series,
                            const std::optional<std::string>& variantID, bool fallback,
                            std::function<void()> onNotInstalled) {
        const std::optional<std::string> remembered =
            session.preferences_.string(seriesVariantPrefix + series.id());
        const std::optional<std::string> wanted = variantID ? variantID : remembered;
        const auto& variants = series.manifest.variants;
        const auto found = std::find_if(variants.begin(), variants.end(),
                                        [&](const Variant& variant) { return wanted && variant.id == *wanted; });
        const Variant& variant = found != variants.end() ? *found : variants.front();

        fs::path file;
        try {
            file = ModelSeriesManifest::modelURL(variant, series.manifestURL);
        } catch (...) {
            return failSelection(session, series, std::current_exception(), fallback, onNotInstalled);
        }

        Load load;
        load.url = file;
        load.scale = model_selection::variantRequestedScale(session.outputScale(), variant);
        load.requiredVariant = variant;
        load.fallbackToDefaultOnFailure = fallback;
        load.onNotInstalled = std::move(onNotInstalled);
        load.onSuccess = [weak = std::weak_ptr(session.alive_), series, variant] {
            const auto alive = weak.lock();
            if (!alive) return;
            PlayerSession& self = **alive;
            std::vector<ImportedModelSeries> list = self.importedModelSeries();
            const auto same = std::find_if(list.begin(), list.end(),
                                           [&](const ImportedModelSeries& entry) { return entry.id() == series.id(); });
            if (same != list.end()) {
                *same = series;
            } else {
                list.push_back(series);
            }
            self.importedModelSeries.set(std::move(list));
            writeSeriesList(self);
            self.preferences_.set(seriesVariantPrefix + series.id(), variant.id);
            self.persistSelectedSeries(series, variant);
        };
        start(session, std::move(load));
    }

    static void selectSeries(PlayerSession& session, const ImportedModelSeries& series,
                             const std::optional<std::string>& variantID, bool fallback,
                             std::function<void()> onNotInstalled) {
        if (session.loadingModel()) {
            if (onNotInstalled) onNotInstalled();
            return;
        }
        std::optional<ImportedModelSeries> fresh;
        try {
            ImportedModelSeries reread{series.manifestURL, session.loadModelSeriesManifest_(series.manifestURL)};
            if (reread.id() != series.id() || reread.manifest.variants.empty())
                throw ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::invalid);
            fresh = std::move(reread);
        } catch (...) {
            return failSelection(session, series, std::current_exception(), fallback, onNotInstalled);
        }
        loadVariant(session, *fresh, variantID, fallback, std::move(onNotInstalled));
    }

    static void importSeries(PlayerSession& session, const fs::path& manifestURL, std::function<void()> onNotInstalled) {
        if (session.loadingModel()) {
            if (onNotInstalled) onNotInstalled();
            return;
        }
        try {
            ImportedModelSeries series{manifestURL, session.loadModelSeriesManifest_(manifestURL)};
            if (series.id() == session.reservedSeriesID() || series.manifest.variants.empty())
                throw ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::invalid);
            const std::string first = series.manifest.variants.front().id;
            selectSeries(session, series, first, false, std::move(onNotInstalled));
        } catch (...) {
            session.message.set(modelFailureDescription(std::current_exception(), session.localize_,
                                                        ModelFailureMessage::unreadable,
                                                        displayName(manifestURL)));
            if (onNotInstalled) onNotInstalled();
        }
    }

    // Takes the series off the lists and its remembered variant out of the store; no file is
    // touched. Takes a copy: callers pass entries of the list it replaces.
    static void forgetSeries(PlayerSession& session, const ImportedModelSeries removed) {
        std::vector<ImportedModelSeries> list = session.importedModelSeries();
        std::erase_if(list, [&](const ImportedModelSeries& entry) { return entry.id() == removed.id(); });
        session.importedModelSeries.set(std::move(list));
        writeSeriesList(session);
        std::vector<fs::path> recent = session.recentModelURLs();
        std::erase_if(recent, [&](const fs::path& url) { return model_selection::variantFor(removed, url) != nullptr; });
        setRecentModels(session, std::move(recent));
        session.preferences_.remove(seriesVariantPrefix + removed.id());
    }

    static void
    finishPreparation(PlayerSession& session, std::uint64_t generation, const fs::path& url,
                      std::optional<ModelImportCandidate> candidate, std::exception_ptr error,
                      const std::function<void(std::optional<ModelImportCandidate>)>& completion) {
        if (generation != session.modelImportPreparationGeneration_) {
            session.discardModelImport(candidate);
            return;
        }
        session.preparingModelImport.set(false);
        if (candidate) {
            session.message.set(std::nullopt);
            if (completion) completion(std::move(candidate));
        } else {
            session.message.set(importFailureDescription(session.localize_, error, url));
            if (completion) completion(std::nullopt);
        }
    }
};

// --- Choosing and loading.

void PlayerSession::loadModel(const fs::path& url, bool automatic, std::optional<OutputScale> requestedScale,
                              std::optional<Variant> requiredVariant, bool fallbackToDefaultOnFailure,
                              std::function<void()> onSuccess) {
    Models::Load load;
    load.url = url;
    load.automatic = automatic;
    load.scale = requestedScale.value_or(outputScale());
    load.requiredVariant = std::move(requiredVariant);
    load.fallbackToDefaultOnFailure = fallbackToDefaultOnFailure;
    load.onSuccess = std::move(onSuccess);
    Models::start(*this, std::move(load));
}

void PlayerSession::requestModelLoad(const fs::path& url) { Models::request(*this, url, false); }

void PlayerSession::loadBundledModelIfAvailable(std::optional<fs::path> manifestURL) {
    const fs::path document = manifestURL.value_or(resourcesDirectory() / "Models" / "model-series.json");
    std::error_code error;
    if (!fs::exists(document, error)) return;

    std::map<BundledModelPreset, fs::path> urls;
    ModelSeriesManifest manifest;
    try {
        manifest = loadModelSeriesManifest_(document);
        for (const Variant& variant : manifest.variants) {
            if (const auto preset = variant.preset()) urls[*preset] = ModelSeriesManifest::modelURL(variant, document);
        }
    } catch (...) {
        message.set(modelFailureDescription(std::current_exception(), localize_,
                                            ModelFailureMessage::unreadable, displayName(document)));
        return;
    }
    bundledModelManifest.set(manifest);
    bundledModelURLs_ = std::move(urls);
    hasBundledModelChoices.set(bundledModelURLs_.size() > 1);
    restoreDefaultBenchmarkIfCompatible();

    const BundledModelPreset saved = bundledModelPresetFromRawValue(preferences_.string("player.modelPreset").value_or(""))
                                         .value_or(BundledModelPreset::automatic);
    // The preset control shows the stored choice also while an imported model runs, and a
    // fallback to the shipped model takes that choice, not the initial "quality".
    bundledModelPreset.set(saved);
    const std::optional<std::string> kind = preferences_.string("player.selectedModelKind");
    if (kind == "series") {
        const std::optional<std::string> seriesID = preferences_.string("player.selectedSeriesID");
        for (const ImportedModelSeries& series : importedModelSeries()) {
            if (seriesID && series.id() == *seriesID) {
                const ImportedModelSeries chosen = series;
                selectModelSeries(chosen, preferences_.string("player.selectedVariantID"), true);
                return;
            }
        }
    } else if (kind == "standalone") {
        if (const auto path = preferences_.string("player.selectedStandalonePath")) {
            Models::request(*this, fs::path(*path), true);
            return;
        }
    }
    setBundledModel(saved);
}

void PlayerSession::setBundledModel(BundledModelPreset preset) {
    const std::optional<fs::path> url = model_selection::bundledModelURL(bundledModelURLs_, preset, rememberedAutoPreset());
    if (!url) return;
    if (bundledModelPreset() == preset && modelURL_ && sameFile(*modelURL_, *url)) return;
    bundledModelPreset.set(preset);
    preferences_.set("player.modelPreset", rawValue(preset));
    autoPolicy_ = AutoProcessingPolicy();
    autoContext_ = autoContextKey();
    if (customModelURL()) return;
    Models::request(*this, *url, false);
}

void PlayerSession::useDefaultModel() {
    if (loadingModel()) return;
    const std::optional<fs::path> url =
        model_selection::bundledModelURL(bundledModelURLs_, bundledModelPreset(), rememberedAutoPreset());
    if (!url) return;
    autoPolicy_ = AutoProcessingPolicy();
    autoContext_ = autoContextKey();
    Models::request(*this, *url, false);
}

void PlayerSession::selectModelSeries(const ImportedModelSeries& series, std::optional<std::string> variantID,
                                      bool fallbackToDefaultOnFailure) {
    Models::selectSeries(*this, series, variantID, fallbackToDefaultOnFailure, {});
}

void PlayerSession::loadModelSeriesVariant(const ImportedModelSeries& series, std::optional<std::string> variantID,
                                           bool fallbackToDefaultOnFailure) {
    if (series.manifest.variants.empty()) return;
    Models::loadVariant(*this, series, variantID, fallbackToDefaultOnFailure, {});
}

void PlayerSession::reloadCurrentModel() {
    if (loadingModel() || !modelURL_) return;
    Models::request(*this, *modelURL_, false);
}

std::vector<fs::path> PlayerSession::standaloneModelURLs() const {
    std::vector<fs::path> result;
    for (const fs::path& url : recentModelURLs()) {
        const bool inSeries = std::any_of(importedModelSeries().begin(), importedModelSeries().end(),
                                          [&](const auto& series) { return model_selection::variantFor(series, url); });
        if (!inSeries) result.push_back(url);
    }
    return result;
}

std::vector<OutputScale> PlayerSession::availableOutputScales() const {
    const Variant* current = nullptr;
    if (customModelURL()) {
        for (const ImportedModelSeries& series : importedModelSeries()) {
            if ((current = model_selection::variantFor(series, *customModelURL()))) break;
        }
    }
    const std::shared_ptr<PlaybackEnhancer> loaded = enhancer();
    return model_selection::offeredOutputScales(supports4xOutput(), loaded && loaded->supportsOptimalDisplayOutput(),
                                                current);
}

void PlayerSession::setOutputScale(OutputScale scale) {
    const std::vector<OutputScale> offered = availableOutputScales();
    if (scale == outputScale() || std::find(offered.begin(), offered.end(), scale) == offered.end()) return;
    outputScale.set(scale);
    savePreferences();
    if (scale == OutputScale::optimal) optimalOutputSize_ = reportedDisplaySize_;
    if (!modelURL_) return;
    Models::request(*this, *modelURL_, false, {}, scale);
}

void PlayerSession::persistSelectedDefault() {
    preferences_.set("player.selectedModelKind", "default");
    preferences_.remove("player.selectedSeriesID");
    preferences_.remove("player.selectedVariantID");
    preferences_.remove("player.selectedStandalonePath");
}

void PlayerSession::persistSelectedSeries(const ImportedModelSeries& series, const Variant& variant) {
    preferences_.set("player.selectedModelKind", "series");
    preferences_.set("player.selectedSeriesID", series.id());
    preferences_.set("player.selectedVariantID", variant.id);
    preferences_.remove("player.selectedStandalonePath");
}

void PlayerSession::persistSelectedStandalone(const fs::path& url) {
    preferences_.set("player.selectedModelKind", "standalone");
    preferences_.remove("player.selectedSeriesID");
    preferences_.remove("player.selectedVariantID");
    preferences_.set("player.selectedStandalonePath", url.string());
}

// --- Automatic mode.

std::optional<std::string> PlayerSession::autoContextKey() const {
    model_selection::AutoContext context;
    context.machine = autoMachine_;
    if (const auto size = latestSourceSize()) context.sourceSize = std::pair(size->width, size->height);
    context.sourceFPS = sourceFPS();
    context.playbackRate = playbackRate();
    context.outputScale = outputScale();
    if (const auto display = optimalOutputSize_ ? optimalOutputSize_ : reportedDisplaySize_) {
        context.displaySize = std::pair(display->width, display->height);
    }
    return model_selection::autoContextKey(context);
}

BundledModelPreset PlayerSession::rememberedAutoPreset() const {
    const std::optional<std::string> key = autoContextKey();
    if (!key) return BundledModelPreset::quality;
    const auto modes = preferences_.dictionary(autoModesKey);
    std::optional<std::string> stored;
    if (modes) {
        if (const auto found = modes->find(*key); found != modes->end()) {
            if (const std::string* text = found->second.get<std::string>()) stored = *text;
        }
    }
    return model_selection::rememberedPreset(stored);
}

void PlayerSession::prepareAutomaticContext() {
    if (customModelURL() || loadingModel() || bundledModelPreset() != BundledModelPreset::automatic) return;
    const std::optional<std::string> key = autoContextKey();
    if (!key || key == autoContext_) return;
    autoContext_ = key;
    autoPolicy_ = AutoProcessingPolicy();
    const auto url = bundledModelURLs_.find(rememberedAutoPreset());
    if (url == bundledModelURLs_.end()) return;
    const std::optional<fs::path>& running = pendingModelURL_ ? pendingModelURL_ : modelURL_;
    if (running && sameFile(*running, url->second)) return;
    loadModel(url->second, true, std::nullopt, std::nullopt, false, {});
}

// --- Import candidates.

std::string PlayerSession::reservedSeriesID() const {
    return bundledModelManifest() ? bundledModelManifest()->id : model_selection::fallbackReservedSeriesID;
}

std::optional<ModelImportCandidate> PlayerSession::modelImportCandidate(const fs::path& url) {
    // A ZIP is unpacked only on the import queue (prepareModelImportCandidate), never here.
    if (loadingModel() || isZip(url)) return std::nullopt;
    try {
        const bool json = lowerCaseExtension(url) == "json";
        const fs::path manifestURL = json ? url : url / "model-series.json";
        std::error_code error;
        if (!json && !fs::exists(manifestURL, error)) {
            message.set(std::nullopt);
            ModelImportCandidate candidate;
            candidate.selectedURL = url;
            return candidate;
        }
        ModelSeriesManifest manifest = loadModelSeriesManifest_(manifestURL);
        if (manifest.id == reservedSeriesID())
            throw ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::invalid);
        message.set(std::nullopt);
        ModelImportCandidate candidate;
        candidate.selectedURL = url;
        candidate.manifestURL = manifestURL;
        candidate.manifest = std::move(manifest);
        return candidate;
    } catch (...) {
        message.set(importFailureDescription(localize_, std::current_exception(), url));
        return std::nullopt;
    }
}

void PlayerSession::prepareModelImportCandidate(const fs::path& url,
                                                std::function<void(std::optional<ModelImportCandidate>)> completion) {
    if (loadingModel() || preparingModelImport()) {
        // The caller is waiting for an answer: it gets one, and the user learns why.
        message.set(localize_(modelBusyMessage));
        if (completion) completion(std::nullopt);
        return;
    }
    if (!isZip(url)) {
        std::optional<ModelImportCandidate> candidate = modelImportCandidate(url);
        if (completion) completion(std::move(candidate));
        return;
    }
    preparingModelImport.set(true);
    message.set(std::nullopt);
    const std::uint64_t generation = ++modelImportPreparationGeneration_;
    modelImportCancellation_.renew();
    modelImportWorker_.async([weak = std::weak_ptr(alive_), executor = &executor_, url, reserved = reservedSeriesID(),
                              generation, cancellation = modelImportCancellation_.token(),
                              completion = std::move(completion)]() mutable {
        std::optional<ModelImportCandidate> candidate;
        std::exception_ptr error;
        try {
            candidate = preparedCandidate(url, reserved, cancellation);
        } catch (...) {
            error = std::current_exception();
        }
        executor->post([weak, generation, url, candidate = std::move(candidate), error = std::move(error),
                        completion = std::move(completion)] {
            const auto alive = weak.lock();
            if (!alive) {
                if (candidate && candidate->preparedArchive)
                    ModelArchiveImporter::discard(candidate->preparedArchive->stagingRoot);
                return;
            }
            Models::finishPreparation(**alive, generation, url, candidate, error, completion);
        });
    });
}

void PlayerSession::cancelModelImportPreparation() {
    // The work itself stops too: the import queue is serial, and a hostile archive could keep
    // it busy for minutes.
    modelImportCancellation_.cancel();
    ++modelImportPreparationGeneration_;
    preparingModelImport.set(false);
}

void PlayerSession::discardModelImport(const std::optional<ModelImportCandidate>& candidate) {
    if (candidate && candidate->preparedArchive) ModelArchiveImporter::discard(candidate->preparedArchive->stagingRoot);
}

// --- Import and removal.

void PlayerSession::importModel(const ModelImportCandidate& candidate) {
    if (loadingModel()) {
        // Installing now would leave a package nobody lists; the staging folder stays for the sheet.
        message.set(localize_(modelBusyMessage));
        return;
    }
    if (candidate.preparedArchive) {
        fs::path installed;
        try {
            installed = ModelArchiveImporter::install(*candidate.preparedArchive, modelImportsDirectory_);
        } catch (...) {
            message.set(modelFailureDescription(std::current_exception(), localize_,
                                                ModelFailureMessage::installation,
                                                candidate.preparedArchive->manifest.name));
            return;
        }
        // A package that never loads is taken out again: the user sees the error and no folder
        // is left behind that no list shows.
        const fs::path folder = installed.parent_path();
        const fs::path models = modelImportsDirectory_;
        Models::importSeries(*this, installed, [weak = std::weak_ptr(alive_), folder, models] {
            if (!weak.lock() || !sameFile(folder.parent_path(), models)) return;
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        });
        return;
    }
    if (candidate.manifestURL) {
        importModelSeries(*candidate.manifestURL);
        return;
    }
    Models::request(*this, candidate.selectedURL, false);
}

void PlayerSession::importModelSeries(const fs::path& manifestURL) { Models::importSeries(*this, manifestURL, {}); }

void PlayerSession::removeModelSeries(const ImportedModelSeries& series) {
    if (loadingModel()) return;
    if (!series.contains(customModelURL())) {
        Models::forgetSeries(*this, series);
        return;
    }
    const BundledModelPreset preset = bundledModelPreset();
    const std::optional<fs::path> url = model_selection::bundledModelURL(bundledModelURLs_, preset, rememberedAutoPreset());
    if (!url) return;
    Models::request(*this, *url, false, [weak = std::weak_ptr(alive_), series] {
        if (const auto alive = weak.lock()) Models::forgetSeries(**alive, series);
    });
}

void PlayerSession::removeImportedModel(const fs::path& url) {
    if (loadingModel()) return;
    const auto& recent = recentModelURLs();
    if (std::find(recent.begin(), recent.end(), url) == recent.end()) return;
    if (Models::bundledPreset(*this, url)) return;
    if (customModelURL() && sameFile(*customModelURL(), url)) {
        if (bundledModelURLs_.empty()) return;
        modelToRemoveAfterSwitch_ = url;
        useDefaultModel();
        return;
    }
    std::vector<fs::path> kept = recent;
    std::erase(kept, url);
    Models::setRecentModels(*this, std::move(kept));
}

} // namespace lumavane
